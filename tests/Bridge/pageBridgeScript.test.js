'use strict';
// The page-side bridge script, exactly as the app injects it, against a fake
// window.webkit.messageHandlers. node:test and node:assert only (nodejs 18).
const test = require('node:test');
const assert = require('node:assert');
const scriptText = require('node:fs').readFileSync(process.env.VELTRANO_PAGE_BRIDGE_SCRIPT, 'utf8');

// Runs the script with `window` bound to the given object, as at document start.
function load(window) {
  new Function('window', scriptText)(window);
  return window.veltranoNative;
}

// A bridge whose handler records each message in `posted` and answers with reply().
function withHandler(reply, posted = []) {
  const postMessage = (message) => { posted.push(message); return reply(message); };
  return load({ webkit: { messageHandlers: { veltranoBridge: { postMessage } } } });
}

test('without webkit.messageHandlers.veltranoBridge, looked up on every call, the bridge is unavailable', async () => {
  for (const window of [{}, { webkit: {} }, { webkit: { messageHandlers: { other: {} } } }]) {
    assert.strictEqual(load(window).isAvailable(), false);
    await assert.rejects(window.veltranoNative.call('ping'), { name: 'Error', message: 'Veltrano native bridge not available' });
  }
  const late = {};
  assert.deepStrictEqual(Object.keys(load(late)).sort(), ['call', 'isAvailable']);
  late.webkit = { messageHandlers: { veltranoBridge: { postMessage: () => Promise.resolve({ ok: true, data: 1 }) } } };
  assert.strictEqual(late.veltranoNative.isAvailable(), true);
  assert.strictEqual(await late.veltranoNative.call('ping'), 1);
});

test('call posts {method, payload} with undefined made null and resolves to the data itself', async () => {
  const data = { pong: true, timestamp: '2026-01-31T09:05:00Z' }, posted = [];
  const native = withHandler(() => Promise.resolve({ ok: true, data }), posted);
  assert.strictEqual(await native.call('ping'), data);
  await native.call('enterAnswer', { userId: 'u' });
  await native.call('x', 0);
  assert.deepStrictEqual(posted, [{ method: 'ping', payload: null }, { method: 'enterAnswer', payload: { userId: 'u' } },
    { method: 'x', payload: 0 }]);
});

test('ok: false rejects with the first non-empty of message, code, "bridge_error" and carries the code', async () => {
  const cases = [
    [{ code: 'camera_unavailable', message: 'No camera' }, 'No camera', 'camera_unavailable'],
    [{ code: 'upload_failed', message: '' }, 'upload_failed', 'upload_failed'],
    [{ code: 'internal', message: null }, 'internal', 'internal'],
    [{ code: 'c', message: 0 }, '0', 'c'], // present and not empty, though falsy
    [{ code: '' }, 'bridge_error', ''],
    [{}, 'bridge_error', undefined],
  ];
  for (const [fields, message, code] of cases) {
    const native = withHandler(() => Promise.resolve({ ok: false, ...fields }));
    await assert.rejects(native.call('ping'), { name: 'Error', message, code });
  }
});

test('bodies without a boolean "ok" pass through unchanged', async () => {
  for (const body of [undefined, null, 0, 'text', [1], { data: 5 }, { ok: 'true', data: 1 }, { ok: 1 }]) {
    assert.strictEqual(await withHandler(() => Promise.resolve(body)).call('ping'), body);
  }
});

test('a postMessage that throws or returns no thenable rejects; any thenable is read like a promise', async () => {
  for (const result of [undefined, 42, { then: 'no' }]) {
    const posted = [];
    const message = 'Bridge does not support async replies; update WebKit or use a fallback';
    await assert.rejects(withHandler(() => result, posted).call('ping'), { name: 'Error', message });
    assert.strictEqual(posted.length, 1);
  }
  const thenable = { then(resolve) { resolve({ ok: true, data: 'from thenable' }); } };
  assert.strictEqual(await withHandler(() => thenable).call('ping'), 'from thenable');
  const native = withHandler(() => { throw new TypeError('DataCloneError'); });
  let returned;
  assert.doesNotThrow(() => { returned = native.call('ping', { f() {} }); });
  await assert.rejects(returned, TypeError);
});
