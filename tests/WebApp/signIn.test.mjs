// The sign-in screens, and what the signed-in screen shows of the native
// side's recording and uploads, in headless Chromium against the real
// identity emulator, with the native side faked behind the real page-side
// script.

import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import {
  continueURLFor, deepLinkFor, deliver, freshEmail, launchBrowser, linksFor, nativeCalls, nativeEvent, openApp,
  screen, sendLink, serveApp, tokenClaims, visibleText, waitForScreen,
} from './harness.mjs';

let browser, site;
before(async () => {
  site = await serveApp();
  browser = await launchBrowser();
});
after(async () => {
  await browser?.close();
  await site?.close();
});

// Nobody sees an id, a token, a sign-in code or JSON, on any screen.
async function assertNothingInternal(page, secrets = []) {
  const text = await visibleText(page);
  for (const secret of secrets.filter(Boolean)) assert.ok(!text.includes(secret), `"${secret}" shown: ${text}`);
  assert.doesNotMatch(text, /[{}]|auth\/|oobCode|apiKey|undefined|null/, text);
}

async function typeEmail(page, email) {
  await page.fill('#email-input', email);
  await page.click('#email-form button[type=submit]');
}

test('a config.json that is missing, broken or incomplete shows one plain screen', async () => {
  const good = site.goodConfig();
  const cases = [
    [null, 'unconfigured'],
    ['{"apiKey": ', 'unconfigured'],
    [[good], 'unconfigured'],
    [{ ...good, apiKey: ' ' }, 'unconfigured'],
    [{ ...good, projectId: undefined }, 'unconfigured'],
    [{ ...good, endpointBaseURL: 'ftp://files.example.com' }, 'unconfigured'],
    [{ ...good, signInContinueURL: undefined, authDomain: undefined }, 'unconfigured'],
    [{ ...good, authEmulatorHost: '127.0.0.1' }, 'unconfigured'],
    [{ ...good, signInContinueURL: undefined }, 'email'],
    [good, 'email'],
  ];
  for (const [config, expected] of cases) {
    site.config = config;
    const { context, page } = await openApp(browser, site);
    await page.waitForFunction(() => document.body.dataset.screen !== 'starting');
    assert.equal(await screen(page), expected, JSON.stringify(config));
    if (expected === 'unconfigured') assert.match(await visibleText(page), /Sign-in isn't set up/);
    assert.equal(await page.evaluate(() => document.body.dataset.bridge), 'ready');
    await assertNothingInternal(page);
    await context.close();
  }
});

test('email, link sent, paste the link, signed in, sign out: what the person sees and what the page keeps', async () => {
  site.config = site.goodConfig();
  const email = freshEmail('journey');
  const { context, page } = await openApp(browser, site);
  await waitForScreen(page, 'email');
  assert.equal(await page.isVisible('#paste'), true);

  await typeEmail(page, 'not an address');
  assert.match(await page.textContent('#email-message'), /doesn't look like an email address/);
  assert.equal(await screen(page), 'email');

  await typeEmail(page, email);
  await waitForScreen(page, 'sent');
  assert.match(await visibleText(page), new RegExp(`sent a sign-in link to ${email}`));
  const [link] = await linksFor(email);
  assert.equal(new URL(link.oobLink).searchParams.get('continueUrl'), site.config.signInContinueURL);
  assert.equal(await page.evaluate(() => localStorage.getItem('veltrano.signInEmail')), email);

  // Remembered across a restart: the person lands on the same screen.
  await page.reload();
  await waitForScreen(page, 'sent');
  assert.equal(await page.evaluate(() => document.getElementById('paste').open), true);

  for (const pasted of ['hello', 'https://example.com/?mode=signIn', 'veltrano://auth/callback?other=1']) {
    await page.fill('#paste-input', pasted);
    await page.click('#paste-form button[type=submit]');
    assert.match(await page.textContent('#paste-message'), /isn't a sign-in link/, pasted);
  }
  assert.deepEqual(await nativeCalls(page, 'retryPendingUploads'), []);

  // The address bar's veltrano: link, as copied after the continue page.
  const continueURL = await continueURLFor(email);
  await page.fill('#paste-input', deepLinkFor(continueURL));
  await page.click('#paste-form button[type=submit]');
  await waitForScreen(page, 'signed-in');
  assert.match(await visibleText(page), new RegExp(`Signed in as ${email}`));
  assert.equal(await page.evaluate(() => localStorage.getItem('veltrano.signInEmail')), null);

  await page.waitForFunction(() => window.__native.calls.some((c) => c.method === 'retryPendingUploads'));
  const [retry] = await nativeCalls(page, 'retryPendingUploads');
  const claims = tokenClaims(retry.payload.idToken);
  assert.equal(claims.email, email);
  assert.equal(claims.aud, 'demo-veltrano');
  await assertNothingInternal(page, [claims.sub, retry.payload.idToken, new URL(continueURL).searchParams.get('oobCode')]);

  // Still signed in after a restart, and the restart retries again.
  await page.reload();
  await waitForScreen(page, 'signed-in');
  await page.waitForFunction(() => window.__native.calls.some((c) => c.method === 'retryPendingUploads'));

  await page.click('#sign-out');
  await waitForScreen(page, 'email');
  assert.equal(await page.inputValue('#email-input'), '');
  const kept = await page.evaluate(async () => ({
    local: localStorage.length,
    session: sessionStorage.length,
    databases: (await indexedDB.databases()).length
      ? await new Promise((resolve) => {
          const open = indexedDB.open('firebaseLocalStorageDb');
          open.onsuccess = () => {
            const db = open.result;
            if (!db.objectStoreNames.contains('firebaseLocalStorage')) return resolve(0);
            const count = db.transaction('firebaseLocalStorage').objectStore('firebaseLocalStorage').count();
            count.onsuccess = () => resolve(count.result);
          };
        })
      : 0,
  }));
  assert.deepEqual(kept, { local: 0, session: 0, databases: 0 });
  await page.reload();
  await waitForScreen(page, 'email');
  await context.close();
});

test('deep links: with and without the address, for another address, used twice, not a sign-in link', async () => {
  site.config = site.goodConfig();
  const continueUrl = site.config.signInContinueURL;

  // Typed here, the link arrives with the same address (in other letter case) or with none.
  for (const withEmail of [(email) => email.toUpperCase(), () => undefined]) {
    const email = freshEmail('typed');
    const { context, page } = await openApp(browser, site);
    await waitForScreen(page, 'email');
    await typeEmail(page, email);
    await waitForScreen(page, 'sent');
    await deliver(page, await continueURLFor(email), withEmail(email));
    await waitForScreen(page, 'signed-in');
    assert.match(await visibleText(page), new RegExp(`Signed in as ${email}`));
    await context.close();
  }

  // Asked for elsewhere (nothing typed here): the person confirms the
  // address; a wrong one is refused and the link stays usable.
  {
    const email = freshEmail('elsewhere');
    await sendLink(email, continueUrl);
    const { context, page } = await openApp(browser, site);
    await waitForScreen(page, 'email');
    const link = await continueURLFor(email);
    await deliver(page, link);
    await waitForScreen(page, 'confirm');
    assert.equal(await page.inputValue('#confirm-input'), '');
    await page.fill('#confirm-input', freshEmail('wrong'));
    await page.click('#confirm-form button[type=submit]');
    await waitForScreen(page, 'confirm');
    assert.match(await visibleText(page), /sent to a different email address/);
    await page.fill('#confirm-input', email);
    await page.click('#confirm-form button[type=submit]');
    await waitForScreen(page, 'signed-in');

    // The same link again, now used: in a fresh profile with the address typed.
    const second = await openApp(browser, site);
    await waitForScreen(second.page, 'email');
    await typeEmail(second.page, email);
    await waitForScreen(second.page, 'sent');
    await deliver(second.page, link, email);
    await second.page.waitForFunction(() => document.getElementById('paste-message').textContent !== '');
    assert.equal(await screen(second.page), 'sent');
    assert.match(await second.page.textContent('#paste-message'), /expired or has already been used/);
    await context.close();
    await second.context.close();
  }

  // A link that names another address than the one typed here is not
  // completed unasked; Cancel goes back to waiting for the right one.
  {
    const typed = freshEmail('typed');
    const other = freshEmail('other');
    await sendLink(other, continueUrl);
    const { context, page } = await openApp(browser, site);
    await waitForScreen(page, 'email');
    await typeEmail(page, typed);
    await waitForScreen(page, 'sent');
    await deliver(page, await continueURLFor(other), other);
    await waitForScreen(page, 'confirm');
    assert.match(await visibleText(page), new RegExp(`another address than ${typed}`));
    assert.equal(await page.inputValue('#confirm-input'), other);
    assert.equal((await linksFor(other)).length, 1, 'the link was not used');
    await page.click('#confirm-cancel');
    await waitForScreen(page, 'sent');
    assert.deepEqual(await nativeCalls(page, 'retryPendingUploads'), []);
    await context.close();
  }

  // Not a sign-in link at all; and a link that arrives while the page is
  // still starting waits for it.
  {
    const email = freshEmail('early');
    await sendLink(email, continueUrl);
    const early = await continueURLFor(email);
    const { context, page } = await openApp(browser, site, {
      beforeLoad: (page) =>
        page.addInitScript((link) => {
          document.addEventListener('DOMContentLoaded', () => {
            localStorage.setItem('veltrano.signInEmail', link.email);
            window.__veltranoReceiveAuthCallback({ emailLink: 'https://example.com/not-a-link' });
            window.__veltranoReceiveAuthCallback({ emailLink: link.emailLink });
          });
        }, { email, emailLink: early }),
    });
    await waitForScreen(page, 'signed-in');
    assert.match(await visibleText(page), new RegExp(`Signed in as ${email}`));
    await context.close();
  }
});

test('the continue page forwards its own address to the app, which signs in with it', async () => {
  site.config = site.goodConfig();
  const email = freshEmail('continue');
  const { context, page } = await openApp(browser, site);
  await waitForScreen(page, 'email');
  await typeEmail(page, email);
  await waitForScreen(page, 'sent');

  const continueURL = await continueURLFor(email);
  const continuePage = await context.newPage();
  // Its veltrano: navigation goes nowhere in this browser; the page stays.
  await continuePage.goto(continueURL, { waitUntil: 'commit' });
  await continuePage.waitForFunction(() => document.getElementById('open')?.getAttribute('href') !== '#');
  const target = await continuePage.getAttribute('#open', 'href');
  assert.equal(target, deepLinkFor(continueURL));
  assert.match(await continuePage.innerText('body'), /Return to Veltrano/);

  await deliver(page, new URL(target).searchParams.get('emailLink'));
  await waitForScreen(page, 'signed-in');
  await context.close();
});

test('retries: after sign-in, when the network is back, every ten minutes while clips wait, never after sign-out', async () => {
  site.config = site.goodConfig();
  const email = freshEmail('retry');
  const { context, page } = await openApp(browser, site, { beforeLoad: (page) => page.clock.install() });
  await waitForScreen(page, 'email');
  await typeEmail(page, email);
  await waitForScreen(page, 'sent');
  await deliver(page, await continueURLFor(email));
  await waitForScreen(page, 'signed-in');

  const counts = async () => ({
    retries: (await nativeCalls(page, 'retryPendingUploads')).length,
    status: (await nativeCalls(page, 'uploadStatus')).length,
  });
  const settle = () => page.waitForTimeout(300);
  const tenMinutes = 10 * 60 * 1000;
  await page.waitForFunction(() => window.__native.calls.some((c) => c.method === 'retryPendingUploads'));
  // The one uploadStatus so far is the signed-in screen's own.
  assert.deepEqual(await counts(), { retries: 1, status: 1 });

  const steps = [
    // [what happens, status reply, expected counts]
    ['online', null, { retries: 2, status: 1 }],
    ['ten minutes, no uploadStatus on this native side', null, { retries: 3, status: 2 }],
    ['ten minutes, nothing waiting', { ok: true, data: { clips: [], pending: 0 } }, { retries: 3, status: 3 }],
    ['nine minutes', { ok: true, data: { clips: [], pending: 2 } }, { retries: 3, status: 3 }],
    ['one more minute, two clips waiting', { ok: true, data: { clips: [], pending: 2 } }, { retries: 4, status: 4 }],
  ];
  for (const [what, reply, expected] of steps) {
    await page.evaluate((reply) => {
      if (reply) window.__native.replies.uploadStatus = reply;
    }, reply);
    if (what === 'online') await page.evaluate(() => window.dispatchEvent(new Event('online')));
    else await page.clock.fastForward(what.startsWith('nine') ? 9 * 60 * 1000 : what.startsWith('one more') ? 60 * 1000 : tenMinutes);
    if (expected.retries > (await counts()).retries)
      await page.waitForFunction((n) => window.__native.calls.filter((c) => c.method === 'retryPendingUploads').length >= n, expected.retries);
    await settle();
    assert.deepEqual(await counts(), expected, what);
  }
  const tokens = (await nativeCalls(page, 'retryPendingUploads')).map((c) => tokenClaims(c.payload.idToken).email);
  assert.deepEqual(tokens, [email, email, email, email]);

  await page.click('#sign-out');
  await waitForScreen(page, 'email');
  const before = await counts();
  await page.evaluate(() => window.dispatchEvent(new Event('online')));
  await page.clock.fastForward(3 * tenMinutes);
  await settle();
  assert.deepEqual(await counts(), before);
  await context.close();
});

test('the signed-in screen: the recording line and the clip list from both events and one uploadStatus, stale or missing answers', async () => {
  site.config = site.goodConfig();
  const email = freshEmail('status');
  // uploadStatus's answer waits until the test hands it over, unless this
  // load plays a native side that has no such method.
  const { context, page, errors } = await openApp(browser, site, {
    contextOptions: { timezoneId: 'Europe/Berlin' },
    beforeLoad: (page) => page.addInitScript(() => {
      if (sessionStorage.getItem('test.olderNative')) return;
      window.__native.replies.uploadStatus = () => new Promise((resolve) => (window.__answerUploadStatus = resolve));
    }),
  });
  const recordingState = (detail) => nativeEvent(page, 'veltrano:recording-state', detail);
  const uploadState = (detail) => nativeEvent(page, 'veltrano:upload-state', detail);
  const answerUploadStatus = async (data) => {
    await page.waitForFunction(() => typeof window.__answerUploadStatus === 'function');
    await page.evaluate((data) => window.__answerUploadStatus({ ok: true, data }), data);
    await page.waitForTimeout(200);
  };
  const shown = () => page.evaluate(() => {
    const line = document.getElementById('recording-state');
    return {
      line: line.innerText, state: line.dataset.state, code: line.dataset.code ?? null,
      pending: document.getElementById('uploads-pending').innerText,
      clips: [...document.querySelectorAll('#uploads > li')].map((item) => {
        const bar = item.querySelector('progress');
        return [item.dataset.clipId, item.dataset.state, item.innerText.replace(/\s+/g, ' ').trim(),
                bar ? (bar.hasAttribute('value') ? bar.value : 'indeterminate') : null];
      }),
    };
  });
  const who = { userId: 'user-7f3a', sessionId: 'session-91c2', answerId: 'A' };
  const clip = (clipId, state, bytesSent, bytesTotal, attempt, error) => ({
    clipId, objectPath: state === 'recording' ? null : `${who.userId}/${who.sessionId}/A/${clipId}.mp4`, ...who,
    state, bytesSent, bytesTotal, attempt, error,
  });
  const at = (time) => `2026-12-08T${time}.123Z`;

  // What the native side re-sends as the page loads comes before sign-in.
  await waitForScreen(page, 'email');
  await recordingState({ answerId: 'A', state: 'recording', clipIndex: 0, clipStartedAt: at('12:00:05'), code: null, message: null });
  await typeEmail(page, email);
  await waitForScreen(page, 'sent');
  await deliver(page, await continueURLFor(email));
  await waitForScreen(page, 'signed-in');
  await page.waitForFunction(() => window.__native.calls.some((c) => c.method === 'uploadStatus'));
  assert.deepEqual(await shown(), { line: 'Recording answer A — clip 1, since 13:00:05', state: 'recording', code: null, pending: '', clips: [] });

  await answerUploadStatus({ clips: [clip('c0', 'uploading', 250, 1000, 2, 'HTTP 503'), clip('c1', 'recording', 0, 0, 0, null)], pending: 1 });
  assert.deepEqual((await shown()).clips, [
    ['c0', 'uploading', 'Answer A Uploading 25%, attempt 2 HTTP 503', 25],
    ['c1', 'recording', 'Answer A Recording', null],
  ]);
  assert.equal((await shown()).pending, '1 clip waiting to upload');

  // Progress, a clip boundary, a clip handed off without its size yet, a failure mid-clip.
  await uploadState({ clips: [clip('c0', 'uploaded', 1000, 1000, 2, 'HTTP 503'), clip('c1', 'uploading', 0, 0, 1, null),
                              clip('c2', 'recording', 0, 0, 0, null)], pending: 1 });
  await recordingState({ answerId: 'A', state: 'recording', clipIndex: 2, clipStartedAt: at('12:02:05'), code: null, message: null });
  assert.deepEqual(await shown(), {
    line: 'Recording answer A — clip 3, since 13:02:05', state: 'recording', code: null, pending: '1 clip waiting to upload',
    clips: [['c0', 'uploaded', 'Answer A Uploaded', 100], ['c1', 'uploading', 'Answer A Uploading', 'indeterminate'],
            ['c2', 'recording', 'Answer A Recording', null]],
  });
  await recordingState({ answerId: 'A', state: 'failed', clipIndex: 2, clipStartedAt: at('12:02:05'), code: 'recording_failed',
                         message: 'The camera was unplugged.' });
  await uploadState({ clips: [clip('c1', 'failed', 400, 800, 1, 'Connection reset'), clip('c2', 'gaveUp', 0, 0, 3, 'HTTP 400'),
                              { clipId: 'c3', state: 'archived' }], pending: 2 });
  assert.deepEqual(await shown(), {
    line: 'Recording stopped: The camera was unplugged.', state: 'failed', code: 'recording_failed', pending: '2 clips waiting to upload',
    clips: [['c1', 'failed', "Answer A Didn't upload, will try again Connection reset", null],
            ['c2', 'gaveUp', "Answer A Couldn't be uploaded, attempt 3 HTTP 400", null],
            ['c3', 'unknown', 'A clip Status not known', null]],
  });
  assert.deepEqual(await page.evaluate(() => ({
    live: document.getElementById('recording-state').getAttribute('aria-live'),
    list: document.getElementById('uploads').tagName,
    label: document.getElementById('uploads').getAttribute('aria-labelledby'),
  })), { live: 'polite', list: 'UL', label: 'uploads-heading' });
  await assertNothingInternal(page, [who.userId, who.sessionId, 'c0', 'c1', '.mp4']);
  assert.equal((await nativeCalls(page, 'uploadStatus')).length, 1);

  // After a restart an event overtakes the slower uploadStatus answer, which is then older and dropped.
  await page.reload();
  await waitForScreen(page, 'signed-in');
  assert.equal((await shown()).line, 'Not recording');
  await recordingState({ answerId: 'B', state: 'stopped', clipIndex: null, clipStartedAt: null, code: null, message: null });
  await uploadState({ clips: [clip('c2', 'uploaded', 10, 10, 1, null)], pending: 0 });
  await answerUploadStatus({ clips: [clip('c2', 'queued', 0, 10, 0, null)], pending: 1 });
  assert.deepEqual(await shown(), { line: 'Stopped', state: 'stopped', code: null, pending: 'Nothing waiting to upload',
                                    clips: [['c2', 'uploaded', 'Answer A Uploaded', 100]] });
  assert.equal((await nativeCalls(page, 'uploadStatus')).length, 1);

  // A native side without uploadStatus: the screen still works from the events alone.
  await page.evaluate(() => sessionStorage.setItem('test.olderNative', '1'));
  await page.reload();
  await waitForScreen(page, 'signed-in');
  await page.waitForFunction(() => window.__native.calls.some((c) => c.method === 'uploadStatus'));
  await recordingState({ answerId: 'B', state: 'failed', clipIndex: 0, clipStartedAt: at('12:10:00'), code: 'camera_unavailable', message: null });
  await uploadState({ clips: [clip('c4', 'queued', 0, 2048, 0, null)], pending: 1 });
  assert.deepEqual(await shown(), {
    line: "Recording stopped: the camera isn't available", state: 'failed', code: 'camera_unavailable',
    pending: '1 clip waiting to upload', clips: [['c4', 'queued', 'Answer A Waiting to upload', null]],
  });
  assert.equal(await page.evaluate(() => document.body.dataset.bridge), 'ready');
  await page.click('#sign-out');
  await waitForScreen(page, 'email');
  assert.deepEqual(errors, []);
  await context.close();
});
