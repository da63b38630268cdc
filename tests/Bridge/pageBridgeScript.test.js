'use strict';
// The page-side bridge script, exactly as the app injects it, against a fake
// window.webkit.messageHandlers. node:test and node:assert only (nodejs 18).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');

const scriptText = fs.readFileSync(process.env.VELTRANO_PAGE_BRIDGE_SCRIPT, 'utf8');

// Runs the script with `window` bound to the given object, as at document start.
function load(window) {
  new Function('window', scriptText)(window);
  return window;
}

// A window whose handler records each message and answers with reply(message).
function withHandler(reply) {
  const posted = [];
  const postMessage = (message) => { posted.push(message); return reply(message); };
  const window = load({ webkit: { messageHandlers: { veltranoBridge: { postMessage } } } });
  return { native: window.veltranoNative, posted };
}

function rejectsWith(promise, message, code) {
  return assert.rejects(promise, (error) => {
    assert.ok(error instanceof Error);
    assert.strictEqual(error.message, message);
    if (arguments.length > 2) assert.strictEqual(error.code, code);
    return true;
  });
}

test('isAvailable checks webkit, messageHandlers and veltranoBridge, looked up on every call', () => {
  const cases = [[{}, false], [{ webkit: {} }, false], [{ webkit: { messageHandlers: { other: {} } } }, false],
    [{ webkit: { messageHandlers: { veltranoBridge: {} } } }, true]];
  for (const [window, expected] of cases) assert.strictEqual(load(window).veltranoNative.isAvailable(), expected);
  const late = load({});
  assert.deepStrictEqual(Object.keys(late.veltranoNative).sort(), ['call', 'isAvailable']);
  late.webkit = { messageHandlers: { veltranoBridge: {} } };
  assert.strictEqual(late.veltranoNative.isAvailable(), true);
});

test('call posts {method, payload} with undefined made null and resolves to the data itself', async () => {
  const data = { pong: true, timestamp: '2026-01-31T09:05:00Z' };
  const { native, posted } = withHandler(() => Promise.resolve({ ok: true, data }));
  assert.strictEqual(await native.call('ping'), data);
  await native.call('enterAnswer', { userId: 'u' });
  await native.call('x', 0);
  assert.deepStrictEqual(posted, [{ method: 'ping', payload: null }, { method: 'enterAnswer', payload: { userId: 'u' } },
    { method: 'x', payload: 0 }]);
});

test('ok: false rejects with the first non-empty of message, code, "bridge_error" and carries the code', async () => {
  const cases = [
    [{ ok: false, code: 'camera_unavailable', message: 'No camera' }, 'No camera', 'camera_unavailable'],
    [{ ok: false, code: 'upload_failed', message: '' }, 'upload_failed', 'upload_failed'],
    [{ ok: false, code: 'internal', message: null }, 'internal', 'internal'],
    [{ ok: false, code: 'c', message: 0 }, '0', 'c'], // present and not empty, though falsy
    [{ ok: false, code: '' }, 'bridge_error', ''],
    [{ ok: false }, 'bridge_error', undefined],
  ];
  for (const [envelope, message, code] of cases) {
    await rejectsWith(withHandler(() => Promise.resolve(envelope)).native.call('ping'), message, code);
  }
});

test('bodies without a boolean "ok" pass through unchanged', async () => {
  for (const body of [undefined, null, 0, 'text', [1], { data: 5 }, { ok: 'true', data: 1 }, { ok: 1 }]) {
    assert.strictEqual(await withHandler(() => Promise.resolve(body)).native.call('ping'), body);
  }
});

test('a missing handler rejects without posting', async () => {
  for (const window of [{}, { webkit: {} }, { webkit: { messageHandlers: {} } }]) {
    await rejectsWith(load(window).veltranoNative.call('ping'), 'Veltrano native bridge not available');
  }
});

test('a postMessage that returns no thenable rejects; any thenable is read like a promise', async () => {
  for (const result of [undefined, 42, { then: 'no' }]) {
    const { native, posted } = withHandler(() => result);
    await rejectsWith(native.call('ping'), 'Bridge does not support async replies; update WebKit or use a fallback');
    assert.strictEqual(posted.length, 1);
  }
  const thenable = { then(resolve) { resolve({ ok: true, data: 'from thenable' }); } };
  assert.strictEqual(await withHandler(() => thenable).native.call('ping'), 'from thenable');
});

test('a failing post rejects the call instead of throwing', async () => {
  await assert.rejects(withHandler(() => Promise.reject(new Error('gone'))).native.call('ping'), /gone/);
  const { native } = withHandler(() => { throw new TypeError('DataCloneError'); });
  let returned;
  assert.doesNotThrow(() => { returned = native.call('ping', { f() {} }); });
  await assert.rejects(returned, TypeError);
});
