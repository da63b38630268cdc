// Clips left on this computer by an earlier run move again only when the
// page calls "retryPendingUploads" with a current token: once signed in,
// whenever the network comes back, and every ten minutes while the native
// side says clips are waiting.

export const retryIntervalMs = 10 * 60 * 1000;

// Whether clips are waiting. A native side without "uploadStatus" (or one
// that fails to answer) cannot tell; retrying then costs one call.
async function clipsWaiting(native) {
  try {
    const status = await native.call('uploadStatus');
    return !(typeof status?.pending === 'number') || status.pending > 0;
  } catch {
    return true;
  }
}

// native: the bridge (may be null); freshToken: () => Promise<string>.
// Returns stop(), which ends every later call.
export function startUploadRetries({ native, freshToken }) {
  if (!native) return () => {};
  let stopped = false;
  const retry = async () => {
    let idToken;
    try {
      idToken = await freshToken();
    } catch {
      return; // offline or signed out meanwhile: the next trigger tries again
    }
    if (stopped || !idToken) return;
    try {
      await native.call('retryPendingUploads', { idToken });
    } catch {
      // The native side keeps its clips; nothing for the person to do.
    }
  };
  const onOnline = () => retry();
  const timer = setInterval(async () => {
    if (!stopped && (await clipsWaiting(native)) && !stopped) retry();
  }, retryIntervalMs);
  window.addEventListener('online', onOnline);
  retry();
  return () => {
    stopped = true;
    clearInterval(timer);
    window.removeEventListener('online', onOnline);
  };
}
