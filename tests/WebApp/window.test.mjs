// The installed web app in the real window (WebKitGTK under Xvfb, on the
// bus of tests/support/run-with-display.sh): the whole program as it ships
// (the end-to-end host: runApplicationMain with test folders), the identity
// emulator and the reference upload service. A person types an address,
// scripts/sign-in.sh hands the emulator's link to the app as the deep link,
// the page signs in, and its "retryPendingUploads" brings a clip left by an
// earlier run to the endpoint with the signed-in user's token. A restart
// finds the person still signed in. Screenshots of each screen go to
// $VELTRANO_SCREENSHOT_DIR/webapp-signin-*.png.
//
// Environment: VELTRANO_AUTH_EMULATOR (started by run-browser-tests.sh),
// VELTRANO_E2E_HOST, VELTRANO_APP_PROGRAM, VELTRANO_UPLOAD_SERVICE,
// VELTRANO_WEB_APP_DIR, VELTRANO_SCREENSHOT_DIR.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { after, test } from 'node:test';
import { killAll, run, screenshot, startApp, track, until } from './app-driver.mjs';

const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../..');
const emulator = `http://${process.env.VELTRANO_AUTH_EMULATOR}`;
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'veltrano-webapp-window-'));
after(() => {
  killAll();
  fs.rmSync(scratch, { recursive: true, force: true });
});

// The reference service; in its emulator mode (when this build has one) it
// accepts the emulator's ID tokens, otherwise a fixed token only; the
// test reads /control/requests, served only with --test-controls.
async function startService(storage) {
  const { stdout: help } = await run(process.env.VELTRANO_UPLOAD_SERVICE, ['--help']).catch((e) => e);
  const emulatorMode = String(help).includes('--auth-emulator');
  const args = ['--listen', '127.0.0.1:0', '--storage', storage, '--test-controls',
                ...(emulatorMode ? ['--auth-emulator', '--auth-project', 'demo-veltrano'] : ['--token', 'fixed'])];
  const service = spawn(process.env.VELTRANO_UPLOAD_SERVICE, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  track(service);
  const [endpoint] = await readline.createInterface({ input: service.stdout })[Symbol.asyncIterator]().next()
    .then(({ value }) => [value]);
  return { service, endpoint, origin: new URL(endpoint).origin, emulatorMode };
}

async function emulatorREST(method, route, body) {
  const response = await fetch(`${emulator}${route}`, {
    method, headers: { 'content-type': 'application/json' }, body: body && JSON.stringify(body),
  });
  return response.json();
}

test('signed in through sign-in.sh in the real window; the retry brings an earlier clip with a token of that user', async () => {
  const email = `window-${process.pid}@example.com`;
  const bundle = path.join(scratch, 'bundle'), data = path.join(scratch, 'data'), storage = path.join(scratch, 'objects');
  const { endpoint, origin, emulatorMode } = await startService(storage);

  // The account exists already (so its uid is known), and an earlier run
  // left one of its clips waiting in the store.
  const { localId: uid } = await emulatorREST('POST', '/identitytoolkit.googleapis.com/v1/accounts:signUp?key=fake-api-key',
                                              { email, password: 'not-used-here' });
  const clip = path.join(data, 'recordings', 'earlier.mp4');
  const objectPath = `${uid}/session-1/answer-1/2026-01-31T09-05-00Z.mp4`;  // the app's stamp
  fs.mkdirSync(path.dirname(clip), { recursive: true });
  fs.writeFileSync(clip, Buffer.alloc(64 * 1024, 7));
  fs.writeFileSync(path.join(data, 'pending-uploads.json'), JSON.stringify([{
    id: '6F9619FF-8B86-D011-B42D-00C04FC964FF', fileURL: `file://${clip}`, userId: uid, sessionId: 'session-1',
    answerId: 'answer-1', objectPath, idToken: 'expired-long-ago', enqueuedAt: 791542800,
  }]));

  // The installed app, configured for this emulator and service.
  fs.cpSync(path.join(process.env.VELTRANO_WEB_APP_DIR, '..', '..', '..'), bundle, { recursive: true });
  const share = path.join(bundle, 'share', 'VeltranoMac');
  fs.writeFileSync(path.join(share, 'Info.json'), JSON.stringify({
    CFBundleIdentifier: 'com.brackwood.VeltranoMac', VeltranoAnswerVideoSignedURLRequestURL: endpoint }));
  fs.writeFileSync(path.join(share, 'WebApp', 'config.json'), JSON.stringify({
    apiKey: 'fake-api-key', authDomain: 'demo-veltrano.firebaseapp.com', projectId: 'demo-veltrano',
    signInContinueURL: 'http://127.0.0.1:9/sign-in-continue/', endpointBaseURL: origin,
    authEmulatorHost: process.env.VELTRANO_AUTH_EMULATOR }));

  let app = startApp(bundle, data);
  await until('the sign-in screen', async () => (await app.screen()) === 'email');
  const storageKinds = await app.page(`
    const db = await new Promise((resolve) => { const open = indexedDB.open('probe'); open.onsuccess = () => resolve(true);
                                                 open.onerror = () => resolve(false); });
    return { indexedDB: db, origin: location.origin };`);
  console.log(`page origin ${storageKinds.origin}, IndexedDB usable: ${storageKinds.indexedDB}`);
  assert.equal(storageKinds.origin, 'app://local');

  await app.page(`document.getElementById('email-input').value = ${JSON.stringify(email)};`);
  await screenshot(app, 'webapp-signin-email');
  await app.page(`document.getElementById('email-form').requestSubmit();`);
  await until('the link-sent screen', async () => (await app.screen()) === 'sent');
  await screenshot(app, 'webapp-signin-sent');

  const signIn = await run('bash', [path.join(root, 'scripts', 'sign-in.sh'), email], {
    env: { ...process.env, VELTRANO_RUN_STATE: path.join(scratch, 'no-run'), VELTRANO_APP: process.env.VELTRANO_APP_PROGRAM },
  });
  assert.match(signIn.stdout, /handed the sign-in link/);
  await until('the signed-in screen', async () => (await app.screen()) === 'signed-in');
  const text = await app.page('return document.body.innerText');
  assert.match(text, new RegExp(`Signed in as ${email}`));
  assert.ok(!text.includes(uid) && !/[{}]|oobCode|token/i.test(text), text);
  assert.equal(await app.page('return window.__veltranoReceiveAuthCallback !== undefined'), true);
  // The signed-in screen shows the camera: the preview draws the test
  // camera's frames through the app scheme.
  const previewShown = await until('the preview drawing', async () => {
    const now = await app.page(`return { state: document.getElementById('preview-box').dataset.state,
      frames: window.veltranoPreviewStats.frames, latencyMs: window.veltranoPreviewStats.latencyMs };`);
    return now.state === 'live' && now.frames >= 10 && now;
  });
  assert.ok(Number.isFinite(previewShown.latencyMs), JSON.stringify(previewShown));
  await screenshot(app, 'webapp-signin-signed-in');

  // The stored clip's request carries a fresh token of the signed-in user.
  const requests = await until('the stored clip at the endpoint', async () => {
    const list = await (await fetch(`${origin}/control/requests`)).json();
    return list.some((r) => r.method === 'POST') && list;
  });
  const post = requests.find((r) => r.method === 'POST');
  const bearer = post.headers.find(([name]) => name.toLowerCase() === 'authorization')[1];
  const claims = JSON.parse(Buffer.from(bearer.replace(/^Bearer /, '').split('.')[1], 'base64url').toString());
  assert.equal(claims.sub, uid);
  assert.equal(claims.email, email);
  assert.equal(claims.aud, 'demo-veltrano');
  assert.equal(JSON.parse(post.body).objectPath, objectPath);
  if (emulatorMode) {
    await until('the clip in storage', () => fs.existsSync(path.join(storage, objectPath)));
    // Stored byte for byte, and only then gone from the app's data.
    assert.deepEqual(fs.readFileSync(path.join(storage, objectPath)), Buffer.alloc(64 * 1024, 7));
    await until('the uploaded clip removed', () => !fs.existsSync(clip));

    // The signed-in screen follows the native side: the earlier clip shows
    // as uploaded; an answer recorded from the test camera shows as
    // recording, then stopped, and its clip goes up like any other.
    const shown = () => app.page(`return {
      state: document.getElementById('recording-state').dataset.state,
      line: document.getElementById('recording-state').textContent,
      clips: [...document.querySelectorAll('#uploads li')].map((li) => li.dataset.state),
      pending: document.getElementById('uploads-pending').textContent };`);
    await until('the earlier clip shown as uploaded', async () => (await shown()).clips.includes('uploaded'));
    const { idToken: answerToken } = await emulatorREST('POST', '/identitytoolkit.googleapis.com/v1/accounts:signInWithPassword?key=fake-api-key',
                                                        { email, password: 'not-used-here', returnSecureToken: true });
    const enter = (answerId) => app.page(`return await window.veltranoNative.call('enterAnswer',
      ${JSON.stringify({ userId: uid, sessionId: 'session-1', answerId, idToken: answerToken })});`);
    assert.deepEqual(await enter('answer-2'), { status: 'recording', answerId: 'answer-2' });
    const recording = await until('the recording line', async () => {
      const now = await shown();
      return now.state === 'recording' && now.clips.includes('recording') && now;
    });
    assert.match(recording.line, /answer-2/);
    await screenshot(app, 'webapp-recording');
    assert.deepEqual(await enter(null), { status: 'idle' });
    const stopped = await until('the stopped line and the clip uploaded', async () => {
      const now = await shown();
      return now.state === 'stopped' && now.clips.filter((c) => c === 'uploaded').length === 2 && now;
    });
    assert.match(stopped.pending, /Nothing waiting/);
    await screenshot(app, 'webapp-recording-stopped');

    // The Origin a fetch from app://local/index.html carries in this window,
    // seen by a server that allows any; and the service's default
    // --allow-origin lets the page read its sessions with a bearer token
    // (a preflighted request).
    const origins = [];
    const echo = http.createServer((request, response) => {
      origins.push(request.headers.origin);
      response.setHeader('access-control-allow-origin', '*');
      response.end();
    });
    await new Promise((resolve) => echo.listen(0, '127.0.0.1', resolve));
    const { idToken } = await emulatorREST('POST', '/identitytoolkit.googleapis.com/v1/accounts:signInWithPassword?key=fake-api-key',
                                           { email, password: 'not-used-here', returnSecureToken: true });
    const fromPage = await app.page(`
      await fetch('http://127.0.0.1:${echo.address().port}/origin');
      const reply = await fetch(${JSON.stringify(`${origin}/v1/sessions`)},
                                { headers: { Authorization: ${JSON.stringify(`Bearer ${idToken}`)} } });
      return { status: reply.status, sessions: (await reply.json()).sessions.map((s) => s.id) };`);
    echo.close();
    console.log(`a fetch from the page carries Origin ${origins[0]}`);
    assert.deepEqual(origins, ['app://local']);
    assert.deepEqual(fromPage, { status: 200, sessions: ['sample-introductions', 'sample-product-feedback'] });
  } else {
    assert.equal(post.status, 401, 'a service without emulator mode refuses the token');
  }

  // Quit and start again: still signed in, with nothing to type.
  app.host.kill('SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
  app = startApp(bundle, data);
  await until('the signed-in screen after a restart', async () => (await app.screen()) === 'signed-in');
  app.host.kill('SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});
