// The native side, reached through window.veltranoNative (injected by the
// app before any page script runs; absent in a plain browser).

export function bridge() {
  const native = window.veltranoNative;
  return native && typeof native.isAvailable === 'function' && native.isAvailable() ? native : null;
}

// 'ready', 'missing' or 'failed': whether the app around the page answers.
export async function checkBridge() {
  const native = bridge();
  if (!native) return 'missing';
  try {
    const data = await native.call('ping');
    return data && data.pong === true ? 'ready' : 'failed';
  } catch {
    return 'failed';
  }
}

// A failed call's message when it is words for a person; the page-side
// script puts the bare code there when the native side sent none.
export function bridgeMessage(error, fallback) {
  const message = typeof error?.message === 'string' ? error.message.replace(/\s+/g, ' ').trim() : '';
  const plain = message !== '' && message !== error?.code && !/^[a-z]+(_[a-z]+)+$/.test(message);
  return plain ? message : fallback;
}
