'use strict';
// Behaviour of the page-side bridge script, run against a fake
// window.webkit.messageHandlers. The script under test is the exact text the
// app injects (written by write_page_bridge_script). Only node:test and
// node:assert, so Debian's nodejs 18 runs it.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');

const scriptPath = process.env.VELTRANO_PAGE_BRIDGE_SCRIPT;
assert.ok(scriptPath, 'VELTRANO_PAGE_BRIDGE_SCRIPT must name the generated script');
const scriptText = fs.readFileSync(scriptPath, 'utf8');

// Runs the script with `window` bound to a fresh object, as a page would at
// document start, and returns that window.
function loadInto(window) {
  new Function('window', scriptText)(window);
  return window;
}

// A window whose handler records every posted message and answers with what
// `reply(message)` returns.
function windowWithHandler(reply) {
  const posted = [];
  const window = {
    webkit: {
      messageHandlers: {
        veltranoBridge: {
          postMessage(message) {
            posted.push(message);
            return reply(message);
          },
        },
      },
    },
  };
  loadInto(window);
  return { native: window.veltranoNative, posted };
}

test('the script defines veltranoNative with exactly isAvailable and call', () => {
  const window = loadInto({});
  assert.deepStrictEqual(Object.keys(window.veltranoNative).sort(), ['call', 'isAvailable']);
  assert.strictEqual(typeof window.veltranoNative.isAvailable, 'function');
  assert.strictEqual(typeof window.veltranoNative.call, 'function');
});

test('isAvailable is true only when webkit, messageHandlers and veltranoBridge all exist', () => {
  const cases = [
    [{}, false],
    [{ webkit: {} }, false],
    [{ webkit: { messageHandlers: {} } }, false],
    [{ webkit: { messageHandlers: { otherBridge: { postMessage() {} } } } }, false],
    [{ webkit: { messageHandlers: { veltranoBridge: { postMessage() {} } } } }, true],
  ];
  for (const [window, expected] of cases) {
    loadInto(window);
    assert.strictEqual(window.veltranoNative.isAvailable(), expected, JSON.stringify(window));
  }
  // Looked up on every call, so a handler that appears later counts.
  const late = loadInto({});
  late.webkit = { messageHandlers: { veltranoBridge: { postMessage() {} } } };
  assert.strictEqual(late.veltranoNative.isAvailable(), true);
});

test('call posts {method, payload} and an undefined payload becomes null', async () => {
  const { native, posted } = windowWithHandler(() => Promise.resolve({ ok: true, data: null }));
  await native.call('ping');
  await native.call('enterAnswer', { userId: 'u', answerId: undefined });
  await native.call('retryPendingUploads', null);
  await native.call('x', 0);
  assert.deepStrictEqual(posted, [
    { method: 'ping', payload: null },
    { method: 'enterAnswer', payload: { userId: 'u', answerId: undefined } },
    { method: 'retryPendingUploads', payload: null },
    { method: 'x', payload: 0 },
  ]);
  assert.deepStrictEqual(Object.keys(posted[0]), ['method', 'payload']);
});

test('a successful reply resolves to its data, not the envelope', async () => {
  const data = { pong: true, timestamp: '2026-01-31T09:05:00Z' };
  const { native } = windowWithHandler(() => Promise.resolve({ ok: true, data }));
  assert.strictEqual(await native.call('ping'), data);
  const nullData = windowWithHandler(() => Promise.resolve({ ok: true, data: null }));
  assert.strictEqual(await nullData.native.call('retryPendingUploads', { idToken: 't' }), null);
});

test('a failed reply rejects with an Error whose message is the first non-empty of message, code, "bridge_error"', async () => {
  const cases = [
    [{ ok: false, code: 'camera_unavailable', message: 'No camera' }, 'No camera', 'camera_unavailable'],
    [{ ok: false, code: 'upload_failed', message: '' }, 'upload_failed', 'upload_failed'],
    [{ ok: false, code: 'upload_failed', message: null }, 'upload_failed', 'upload_failed'],
    [{ ok: false, code: 'internal' }, 'internal', 'internal'],
    [{ ok: false, code: '', message: '' }, 'bridge_error', ''],
    [{ ok: false }, 'bridge_error', undefined],
  ];
  for (const [envelope, message, code] of cases) {
    const { native } = windowWithHandler(() => Promise.resolve(envelope));
    await assert.rejects(native.call('enterAnswer', {}), (error) => {
      assert.ok(error instanceof Error, 'rejects with an Error');
      assert.strictEqual(error.message, message);
      assert.strictEqual(error.code, code);
      assert.ok('code' in error, 'the code property is always set');
      return true;
    });
  }
});

test('replies without a boolean "ok" pass through unchanged', async () => {
  const odd = [undefined, null, 0, 'text', [1], { data: 5 }, { ok: 'true', data: 1 }, { ok: 1, data: 1 }];
  for (const body of odd) {
    const { native } = windowWithHandler(() => Promise.resolve(body));
    assert.strictEqual(await native.call('ping'), body);
  }
});

test('a missing handler rejects without posting anything', async () => {
  for (const window of [{}, { webkit: {} }, { webkit: { messageHandlers: {} } }]) {
    loadInto(window);
    await assert.rejects(window.veltranoNative.call('ping'), (error) => {
      assert.ok(error instanceof Error);
      assert.strictEqual(error.message, 'Veltrano native bridge not available');
      return true;
    });
  }
});

test('a postMessage that returns no thenable rejects with the async-replies error', async () => {
  for (const result of [undefined, null, 42, { then: 'not a function' }, {}]) {
    const { native, posted } = windowWithHandler(() => result);
    await assert.rejects(native.call('ping'), (error) => {
      assert.ok(error instanceof Error);
      assert.strictEqual(error.message, 'Bridge does not support async replies; update WebKit or use a fallback');
      return true;
    });
    assert.strictEqual(posted.length, 1, 'the message was still posted');
  }
});

test('any thenable is accepted and read like a promise', async () => {
  const thenable = { then(resolve) { resolve({ ok: true, data: 'from thenable' }); } };
  const { native } = windowWithHandler(() => thenable);
  assert.strictEqual(await native.call('ping'), 'from thenable');
});

test('a rejected post and a throwing postMessage both reject the call rather than throw', async () => {
  const rejected = windowWithHandler(() => Promise.reject(new Error('web view gone')));
  await assert.rejects(rejected.native.call('ping'), /web view gone/);

  const throwing = windowWithHandler(() => {
    throw new TypeError('DataCloneError');
  });
  let returned;
  assert.doesNotThrow(() => {
    returned = throwing.native.call('ping', { f() {} });
  });
  await assert.rejects(returned, TypeError);
});
