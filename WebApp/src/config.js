// config.json beside index.html is the one file a deployer edits: which
// identity project signs people in, where the continue page lives, and the
// endpoint's base URL. Anything wrong with it becomes one ConfigError; the
// page then says in plain words that sign-in is not set up.

export class ConfigError extends Error {}

const nonEmpty = (value) => typeof value === 'string' && value.trim() !== '';

function webURL(value, key) {
  let url;
  try {
    url = new URL(value);
  } catch {
    throw new ConfigError(`${key} is not a URL`);
  }
  if (url.protocol !== 'https:' && url.protocol !== 'http:') throw new ConfigError(`${key} is not http or https`);
  return url;
}

// "127.0.0.1:9099" or "http://127.0.0.1:9099" -> "http://127.0.0.1:9099".
function emulatorURL(value) {
  const url = webURL(/^[a-z]+:\/\//i.test(value) ? value : `http://${value}`, 'authEmulatorHost');
  if (!url.port || url.pathname !== '/' || url.search) throw new ConfigError('authEmulatorHost is not host:port');
  return url.origin;
}

export function parseConfig(raw) {
  if (raw === null || typeof raw !== 'object' || Array.isArray(raw)) throw new ConfigError('not an object');
  for (const key of ['apiKey', 'projectId', 'endpointBaseURL'])
    if (!nonEmpty(raw[key])) throw new ConfigError(`${key} is missing`);
  for (const key of ['authDomain', 'signInContinueURL', 'authEmulatorHost'])
    if (raw[key] !== undefined && raw[key] !== null && typeof raw[key] !== 'string')
      throw new ConfigError(`${key} is not a string`);

  const authDomain = nonEmpty(raw.authDomain) ? raw.authDomain.trim() : undefined;
  // By default the continue page is hosted on the auth domain, which the
  // identity service always accepts as a continue URL.
  let continueURL = nonEmpty(raw.signInContinueURL) ? raw.signInContinueURL.trim() : undefined;
  if (!continueURL && authDomain) continueURL = `https://${authDomain}/sign-in-continue/`;
  if (!continueURL) throw new ConfigError('signInContinueURL is missing and there is no authDomain');

  const endpoint = webURL(raw.endpointBaseURL.trim(), 'endpointBaseURL');
  if (endpoint.search || endpoint.hash) throw new ConfigError('endpointBaseURL has a query');
  return {
    apiKey: raw.apiKey.trim(),
    projectId: raw.projectId.trim(),
    authDomain,
    signInContinueURL: webURL(continueURL, 'signInContinueURL').href,
    // Without a trailing slash, so paths join as `${endpointBaseURL}/v1/...`.
    endpointBaseURL: endpoint.href.replace(/\/+$/, ''),
    authEmulatorURL: nonEmpty(raw.authEmulatorHost) ? emulatorURL(raw.authEmulatorHost.trim()) : undefined,
  };
}

export async function loadConfig(fetchConfig = () => fetch('config.json', { cache: 'no-store' })) {
  let response;
  try {
    response = await fetchConfig();
  } catch {
    throw new ConfigError('config.json cannot be read');
  }
  if (!response.ok) throw new ConfigError(`config.json: status ${response.status}`);
  let raw;
  try {
    raw = JSON.parse(await response.text());
  } catch {
    throw new ConfigError('config.json is not JSON');
  }
  return parseConfig(raw);
}
