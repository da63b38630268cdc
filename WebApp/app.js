// The first web app: a plain module that exercises the native contract.
// window.veltranoNative is injected before this runs; every global the
// native side calls into is defined here.

const $ = (selector) => document.querySelector(selector);
const form = $('#answer-form');
const fields = ['userId', 'sessionId', 'answerId', 'idToken'];
const savedKey = 'veltrano.answerForm';
let openAnswerId = null;

function time() {
  return new Date().toLocaleTimeString([], { hour12: false });
}

function logEvent(kind, text) {
  const item = document.createElement('li');
  const label = document.createElement('strong');
  label.textContent = `${time()} ${kind}`;
  item.append(label, ' ', text);
  $('#events').prepend(item);
}

function showReply(method, outcome) {
  const box = $('#reply');
  box.replaceChildren();
  const title = document.createElement('strong');
  title.textContent = method;
  const body = document.createElement('pre');
  if (outcome.error) {
    box.className = 'reply failed';
    body.textContent = `${outcome.error.code ?? 'error'}: ${outcome.error.message}`;
  } else {
    box.className = 'reply ok';
    body.textContent = JSON.stringify(outcome.data ?? null, null, 2);
  }
  box.append(title, body);
}

function bridge() {
  return window.veltranoNative && window.veltranoNative.isAvailable() ? window.veltranoNative : null;
}

async function call(method, payload) {
  const native = bridge();
  try {
    if (!native) throw new Error('Veltrano native bridge not available');
    const data = await native.call(method, payload);
    showReply(method, { data });
    return data;
  } catch (error) {
    showReply(method, { error });
    logEvent('error', `${method}: ${error.code ?? ''} ${error.message}`);
    return undefined;
  }
}

async function ping() {
  const status = $('#bridge-status');
  const native = bridge();
  if (!native) {
    status.textContent = 'Native bridge not available';
    status.className = 'status failed';
    document.body.dataset.bridge = 'missing';
    return;
  }
  try {
    const started = performance.now();
    const data = await native.call('ping');
    const ms = Math.max(1, Math.round(performance.now() - started));
    status.textContent = `Bridge available · pong at ${data.timestamp} (${ms} ms)`;
    status.className = 'status ok';
    document.body.dataset.bridge = 'ready';
  } catch (error) {
    status.textContent = `Ping failed: ${error.code ?? ''} ${error.message}`;
    status.className = 'status failed';
    document.body.dataset.bridge = 'failed';
  }
}

function formValues() {
  const data = new FormData(form);
  return Object.fromEntries(fields.map((name) => [name, String(data.get(name) ?? '').trim()]));
}

function fill(values) {
  for (const name of fields) {
    if (typeof values?.[name] === 'string') form.elements[name].value = values[name];
  }
}

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  const values = formValues();
  const reply = await call('enterAnswer', values);
  if (reply) {
    openAnswerId = reply.status === 'recording' || reply.status === 'already_recording' ? values.answerId : null;
    logEvent('enterAnswer', reply.status);
  }
});

$('#leave').addEventListener('click', async () => {
  const { userId, sessionId, idToken } = formValues();
  const reply = await call('enterAnswer', { userId, sessionId, answerId: null, idToken });
  if (reply) {
    openAnswerId = null;
    logEvent('enterAnswer', reply.status);
  }
});

$('#retry').addEventListener('click', async () => {
  const { idToken } = formValues();
  if ((await call('retryPendingUploads', { idToken })) !== undefined || bridge()) logEvent('retry', 'requested');
});

$('#ping').addEventListener('click', ping);

window.addEventListener('veltrano:app-focus', (event) => {
  const { focused, source } = event.detail ?? {};
  logEvent('focus', `${focused ? 'active' : 'inactive'} (${source})`);
});

// Called once per new sign-in link.
window.__veltranoReceiveAuthCallback = ({ emailLink, email }) => {
  const text = email === undefined ? `emailLink ${emailLink}` : `emailLink ${emailLink}, email ${email}`;
  $('#sign-in').textContent = `Last sign-in link: ${text}`;
  $('#sign-in').className = '';
  logEvent('sign-in', text);
};

// Called before the app quits: keep what was typed for the next start.
window.__veltranoFlushAnswerSave = async () => {
  const { idToken, ...rest } = formValues();
  localStorage.setItem(savedKey, JSON.stringify(rest));
  logEvent('flush', openAnswerId ? `answer ${openAnswerId} saved` : 'saved');
  return { ok: true, status: 'saved' };
};

try {
  fill(JSON.parse(localStorage.getItem(savedKey) ?? 'null'));
} catch {
  localStorage.removeItem(savedKey);
}

// A development run may put dev-config.js beside this file to prefill the
// form; an installed app has none.
try {
  const config = await import('./dev-config.js');
  fill(config.default ?? config);
} catch {
  // No development configuration.
}

await ping();
