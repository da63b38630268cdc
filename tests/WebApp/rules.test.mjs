// The page's pure rules as tables, in node: reading config.json, which
// address completes a link, what a pasted text holds.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { ConfigError, loadConfig, parseConfig } from '../../WebApp/src/config.js';
import { completionEmail, emailLinkFrom, looksLikeEmail } from '../../WebApp/src/links.js';
import { messageFor } from '../../WebApp/src/messages.js';

const base = { apiKey: 'k', projectId: 'p', authDomain: 'p.example.com', endpointBaseURL: 'https://api.example.com' };

test('config.json: what is accepted, how it is normalised, and what is refused', () => {
  const accepted = [
    [base, { signInContinueURL: 'https://p.example.com/sign-in-continue/', endpointBaseURL: 'https://api.example.com', authEmulatorURL: undefined }],
    [{ ...base, endpointBaseURL: ' https://api.example.com/v/// ', signInContinueURL: 'https://c.example.com/x?y=1' },
     { signInContinueURL: 'https://c.example.com/x?y=1', endpointBaseURL: 'https://api.example.com/v' }],
    [{ ...base, authDomain: undefined, signInContinueURL: 'http://127.0.0.1:5/' }, { authDomain: undefined }],
    [{ ...base, authEmulatorHost: '127.0.0.1:9099' }, { authEmulatorURL: 'http://127.0.0.1:9099' }],
    [{ ...base, authEmulatorHost: 'http://localhost:9099/' }, { authEmulatorURL: 'http://localhost:9099' }],
    [{ ...base, authEmulatorHost: '', signInContinueURL: null }, { authEmulatorURL: undefined }],
  ];
  for (const [raw, expected] of accepted) {
    const config = parseConfig(raw);
    for (const [key, value] of Object.entries(expected)) assert.equal(config[key], value, `${JSON.stringify(raw)} ${key}`);
  }
  const refused = [
    null, 'text', [], {}, { ...base, apiKey: '' }, { ...base, apiKey: 7 }, { ...base, projectId: '  ' },
    { ...base, endpointBaseURL: undefined }, { ...base, endpointBaseURL: 'api.example.com' },
    { ...base, endpointBaseURL: 'file:///etc' }, { ...base, endpointBaseURL: 'https://a.example.com/?x=1' },
    { ...base, authDomain: undefined }, { ...base, authDomain: 5 }, { ...base, signInContinueURL: 'veltrano://x' },
    { ...base, authEmulatorHost: '127.0.0.1' }, { ...base, authEmulatorHost: '127.0.0.1:9099/path' },
    { ...base, authEmulatorHost: true },
  ];
  for (const raw of refused) assert.throws(() => parseConfig(raw), ConfigError, JSON.stringify(raw));
});

test('config.json that cannot be fetched or read is a ConfigError', async () => {
  const answer = (status, body) => async () => ({ ok: status === 200, status, text: async () => body });
  await assert.rejects(loadConfig(async () => { throw new TypeError('Load failed'); }), ConfigError);
  await assert.rejects(loadConfig(answer(404, '')), ConfigError);
  await assert.rejects(loadConfig(answer(200, '{"apiKey":')), ConfigError);
  assert.equal((await loadConfig(answer(200, JSON.stringify(base)))).projectId, 'p');
});

test('which address completes a link, and what a pasted text holds', () => {
  const decisions = [
    [{ linkEmail: undefined, storedEmail: 'a@x.org' }, { email: 'a@x.org' }],
    [{ linkEmail: ' A@X.org', storedEmail: 'a@x.org' }, { email: 'a@x.org' }],
    [{ linkEmail: 'b@x.org', storedEmail: 'a@x.org' }, { confirm: 'other', suggested: 'b@x.org' }],
    [{ linkEmail: 'b@x.org', storedEmail: undefined }, { confirm: 'unknown', suggested: 'b@x.org' }],
    [{ linkEmail: undefined, storedEmail: null }, { confirm: 'unknown', suggested: '' }],
  ];
  for (const [input, expected] of decisions) assert.deepEqual(completionEmail(input), expected, JSON.stringify(input));

  const link = 'https://c.example.com/?mode=signIn&oobCode=X&apiKey=k';
  const pasted = [
    [`  ${link}\n`, link],
    [`veltrano://auth/callback?emailLink=${encodeURIComponent(link)}`, link],
    [`VELTRANO://auth/callback?email=a%40x.org&emailLink=${encodeURIComponent(link)}`, link],
    ['veltrano://auth/callback?email=a', ''],
    [undefined, ''],
  ];
  for (const [text, expected] of pasted) assert.equal(emailLinkFrom(text), expected, text);

  for (const [text, ok] of [['a@x.org', true], [' a.b@x.co.uk ', true], ['a@x', false], ['a b@x.org', false], ['', false]])
    assert.equal(looksLikeEmail(text), ok, text);
});

test('errors read as plain words, never as codes', () => {
  const cases = [
    [{ code: 'auth/invalid-email' }, 'send', /doesn't look like an email address/],
    [{ code: 'auth/invalid-email' }, 'complete', /sent to a different email address/],
    [{ code: 'auth/invalid-action-code' }, 'complete', /expired or has already been used/],
    [{ code: 'auth/network-request-failed' }, 'send', /can't reach the sign-in service/],
    [{ code: 'auth/unauthorized-continue-uri' }, 'send', /isn't set up correctly/],
    [{ code: 'auth/something-new', message: 'Firebase: Error (auth/something-new).' }, 'send', /^Something went wrong/],
    [new Error('boom'), 'complete', /^Something went wrong/],
  ];
  for (const [error, step, expected] of cases) {
    const text = messageFor(error, step);
    assert.match(text, expected);
    assert.doesNotMatch(text, /auth\/|Firebase/);
  }
});
