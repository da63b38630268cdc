// The camera preview and the camera menu on the signed-in screen, in
// headless Chromium: the native side faked behind the real page-side script,
// its frame URL served by this test (JPEGs with the frame headers, on another
// origin than the page, as in the app), sign-in through the identity emulator.
// Screenshots of the screen go to $VELTRANO_SCREENSHOT_DIR (or the temp
// folder) as webapp-preview*.png: live, paused, the chosen camera unplugged.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import {
  continueURLFor, deliver, freshEmail, launchBrowser, nativeCalls, nativeEvent, openApp, serveApp, waitForScreen,
} from './harness.mjs';

const red = [255, 0, 0];
const blue = [0, 0, 255];
const colourOf = (frame) => (frame % 2 ? red : blue);

// The native side's frame URL: a new frame every 30 ms while running; a
// request waits for a frame newer than its ?after=, and a stopped feed
// answers 204. It notes each request's after= and answer, and how many
// requests were ever open at once.
async function serveFrames(jpegs) {
  const feed = { running: false, frame: 0, capturedAt: {}, log: [], open: 0, mostOpen: 0 };
  let waiting = new Set();
  const wake = () => {
    const now = waiting;
    waiting = new Set();
    for (const answer of now) answer();
  };
  const timer = setInterval(() => {
    if (!feed.running) return;
    feed.frame += 1;
    feed.capturedAt[feed.frame] = performance.timeOrigin + performance.now();
    wake();
  }, 30);
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://x');
    if (url.pathname !== '/preview/frame') return response.writeHead(404).end();
    const cors = { 'access-control-allow-origin': '*',
                   'access-control-expose-headers': 'X-Veltrano-Frame, X-Veltrano-Captured-At' };
    const after = Number(url.searchParams.get('after'));
    feed.open += 1;
    feed.mostOpen = Math.max(feed.mostOpen, feed.open);
    let done = false;
    const finish = (frame) => {
      done = true;
      feed.open -= 1;
      feed.log.push({ after, frame });
    };
    const answer = () => {
      if (done) return;
      if (!feed.running) {
        finish(null);
        return response.writeHead(204, cors).end();
      }
      if (feed.frame <= after) return waiting.add(answer);
      const frame = feed.frame;
      finish(frame);
      response.writeHead(200, {
        ...cors, 'content-type': 'image/jpeg', 'cache-control': 'no-store',
        'X-Veltrano-Frame': String(frame), 'X-Veltrano-Captured-At': String(feed.capturedAt[frame]),
      }).end(jpegs[frame % 2]);
    };
    request.on('close', () => {
      if (!done) {
        waiting.delete(answer);
        feed.open -= 1;
        done = true;
      }
    });
    answer();
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  feed.url = `http://127.0.0.1:${server.address().port}/preview/frame`;
  feed.start = () => (feed.running = true);
  feed.stop = () => {
    feed.running = false;
    wake();
  };
  feed.close = () => {
    clearInterval(timer);
    server.closeAllConnections();
    return new Promise((resolve) => server.close(resolve));
  };
  return feed;
}

let browser, site, feed;
const screenshots = process.env.VELTRANO_SCREENSHOT_DIR || os.tmpdir();
before(async () => {
  fs.mkdirSync(screenshots, { recursive: true });
  site = await serveApp();
  browser = await launchBrowser();
  // Two small JPEGs, red for odd frames and blue for even ones, made by the browser.
  const page = await browser.newPage();
  const jpegs = await page.evaluate(async (colours) => Promise.all(colours.map(async ([r, g, b]) => {
    const canvas = new OffscreenCanvas(64, 36);
    const context = canvas.getContext('2d');
    context.fillStyle = `rgb(${r} ${g} ${b})`;
    context.fillRect(0, 0, 64, 36);
    const bytes = new Uint8Array(await (await canvas.convertToBlob({ type: 'image/jpeg', quality: 0.9 })).arrayBuffer());
    return btoa(String.fromCharCode(...bytes));
  })), [blue, red]);
  await page.close();
  feed = await serveFrames(jpegs.map((text) => Buffer.from(text, 'base64')));
});
after(async () => {
  await browser?.close();
  await site?.close();
  await feed?.close();
});

const cameras = () => [
  { id: 'built-in', name: 'Built-in Camera', isDefault: true, isSelected: false },
  { id: 'usb-2', name: 'Desk Cam', isDefault: false, isSelected: false },
];

// The native side's camera methods over the harness's fake handler, as set
// for this load by sessionStorage 'test.native': 'full' (default), 'older'
// (none of them) or 'no-camera'. startPreview and stopPreview drive the
// test's feed through an exposed function; stopPreview also counts itself in
// sessionStorage, which a reload keeps. document.visibilityState follows
// window.__visibility, so the test can hide and show the window.
async function fakeCameraSide(page) {
  await page.exposeFunction('__feed', (what) => (what === 'url' ? feed.url : feed[what]()));
  await page.addInitScript((initial) => {
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => window.__visibility ?? 'visible' });
    const mode = sessionStorage.getItem('test.native') ?? 'full';
    const native = window.__native;
    native.cameras = initial;
    native.gone = [];
    native.replies.stopPreview = () => {
      sessionStorage.setItem('test.stops', String(Number(sessionStorage.getItem('test.stops') ?? 0) + 1));
      return window.__feed('stop').then(() => ({ ok: true, data: {} }));
    };
    if (mode === 'older') return;
    if (mode === 'no-camera') {
      native.cameras = [];
      native.replies.startPreview = { ok: false, code: 'camera_unavailable', message: 'No camera is connected to this computer.' };
    } else {
      native.replies.startPreview = async () => {
        await window.__feed('start');
        return { ok: true, data: { url: await window.__feed('url'), width: 64, height: 36 } };
      };
    }
    native.replies.listCameras = () => ({ ok: true, data: native.cameras });
    native.replies.selectCamera = () => {
      const { id } = native.calls.at(-1).payload;
      if (native.gone.includes(id) || (id !== null && !native.cameras.some((camera) => camera.id === id)))
        return { ok: false, code: 'camera_unavailable', message: 'That camera is no longer connected.' };
      native.cameras = native.cameras.map((camera) => ({ ...camera, isSelected: camera.id === id }));
      return { ok: true, data: native.cameras };
    };
  }, cameras());
}

// The app as signed in, with the camera side faked as `beforeLoad` sets up.
async function openSignedIn(beforeLoad = fakeCameraSide) {
  site.config = site.goodConfig();
  const opened = await openApp(browser, site, { beforeLoad });
  await signedIn(opened.page);
  return opened;
}

async function signedIn(page) {
  const email = freshEmail('person');
  await waitForScreen(page, 'email');
  await page.fill('#email-input', email);
  await page.click('#email-form button[type=submit]');
  await waitForScreen(page, 'sent');
  await deliver(page, await continueURLFor(email));
  await waitForScreen(page, 'signed-in');
}

const previewState = (page) => page.evaluate(() => document.getElementById('preview-box').dataset.state);
const waitForPreview = (page, state) =>
  page.waitForFunction((want) => document.getElementById('preview-box').dataset.state === want, state, { timeout: 10000 });
const framesDrawn = (page) => page.evaluate(() => Number(document.getElementById('preview').dataset.frames));
const waitForFrames = (page, count) =>
  page.waitForFunction((n) => Number(document.getElementById('preview').dataset.frames) >= n, count, { timeout: 10000 });
const setVisibility = (page, visibility) => page.evaluate((visibility) => {
  window.__visibility = visibility;
  document.dispatchEvent(new Event('visibilitychange'));
}, visibility);
const buttons = (page) => page.evaluate(() => ({
  show: !document.getElementById('preview-show').hidden, hide: !document.getElementById('preview-hide').hidden,
  note: document.getElementById('preview-note').hidden ? '' : document.getElementById('preview-note').textContent,
}));
// The canvas's middle pixel, as red, green, blue.
const middlePixel = (page) => page.evaluate(() => {
  const canvas = document.getElementById('preview');
  return [...canvas.getContext('2d').getImageData(canvas.width >> 1, canvas.height >> 1, 1, 1).data.slice(0, 3)];
});
const near = (pixel, colour) => pixel.every((value, i) => Math.abs(value - colour[i]) < 40);

test('the preview: frames drawn and counted one request at a time, a stop pauses it, the button and a shown window restart it, hide and leaving stop it', async () => {
  const { context, page, errors } = await openSignedIn();
  await waitForFrames(page, 10);
  assert.deepEqual((await nativeCalls(page, 'startPreview')).map((c) => c.payload), [{ maxWidth: 640 }]);
  const live = await page.evaluate(() => ({
    stats: { ...window.veltranoPreviewStats }, frames: Number(document.getElementById('preview').dataset.frames),
    size: [document.getElementById('preview').width, document.getElementById('preview').height],
  }));
  assert.ok(live.stats.frames >= 10 && live.stats.frames === live.frames, JSON.stringify(live));
  assert.ok(Number.isInteger(live.stats.lastFrame) && live.stats.lastFrame >= live.stats.frames, JSON.stringify(live));
  // A frame every 30 ms at best (a busy machine's timers run late), drawn soon after its capture.
  assert.ok(live.stats.fps > 5 && live.stats.fps < 40, JSON.stringify(live));
  assert.ok(Number.isFinite(live.stats.latencyMs) && live.stats.latencyMs >= 0 && live.stats.latencyMs < 500, JSON.stringify(live));
  assert.deepEqual(live.size, [64, 36]);
  assert.equal(await previewState(page), 'live');
  assert.deepEqual(await buttons(page), { show: false, hide: true, note: '' });

  // The native side stops the preview (the window was hidden): 204, paused,
  // the last frame drawn is the last one served, each ask was for the frame
  // after the one before, never two at once.
  await setVisibility(page, 'hidden');
  feed.stop();
  await waitForPreview(page, 'paused');
  const served = feed.log.filter((entry) => entry.frame !== null);
  const paused = await page.evaluate(() => ({ ...window.veltranoPreviewStats }));
  assert.equal(paused.lastFrame, served.at(-1).frame);
  assert.equal(paused.frames, served.length);
  assert.equal(paused.fps, 0);
  assert.ok(near(await middlePixel(page), colourOf(paused.lastFrame)), String(await middlePixel(page)));
  assert.equal(feed.log[0].after, 0);
  for (let i = 1; i < feed.log.length; i += 1)
    assert.equal(feed.log[i].after, feed.log[i - 1].frame ?? 0, `request ${i}: ${JSON.stringify(feed.log.slice(i - 1, i + 1))}`);
  assert.equal(feed.mostOpen, 1);
  assert.deepEqual(await buttons(page), { show: true, hide: false, note: 'Preview paused' });
  await page.locator('section[data-screen="signed-in"]').screenshot({ path: path.join(screenshots, 'webapp-preview-paused.png') });

  // Shown again: the person had it on, so it starts again by itself.
  await setVisibility(page, 'visible');
  await waitForPreview(page, 'live');
  await waitForFrames(page, paused.frames + 5);
  assert.equal((await nativeCalls(page, 'startPreview')).length, 2);

  // Stopped again, and the button brings it back.
  feed.stop();
  await waitForPreview(page, 'paused');
  await page.click('#preview-show');
  await waitForPreview(page, 'live');
  assert.equal((await nativeCalls(page, 'startPreview')).length, 3);
  await page.locator('section[data-screen="signed-in"]').screenshot({ path: path.join(screenshots, 'webapp-preview.png') });

  // The person hides it: the native side is asked to stop, and showing the
  // window does not bring it back.
  await page.click('#preview-hide');
  await waitForPreview(page, 'off');
  assert.equal((await nativeCalls(page, 'stopPreview')).length, 1);
  assert.deepEqual(await buttons(page), { show: true, hide: false, note: 'Preview hidden' });
  const framesWhenHidden = await framesDrawn(page);
  await setVisibility(page, 'hidden');
  await setVisibility(page, 'visible');
  await page.waitForTimeout(300);
  assert.equal((await nativeCalls(page, 'startPreview')).length, 3);
  assert.equal(await framesDrawn(page), framesWhenHidden);

  // Leaving the page while it runs stops it too.
  await page.click('#preview-show');
  await waitForPreview(page, 'live');
  await page.reload();
  await waitForScreen(page, 'signed-in');
  assert.equal(await page.evaluate(() => sessionStorage.getItem('test.stops')), '2');
  await waitForPreview(page, 'live');
  assert.deepEqual(errors, []);
  await context.close();
});

test('the camera menu: lists and marks the cameras, selects one, follows cameras coming and going, a failed choice, the recording fallback', async () => {
  const { context, page, errors } = await openSignedIn();
  const menu = () => page.evaluate(() => {
    const select = document.getElementById('camera-menu');
    const note = document.getElementById('camera-note');
    return {
      options: [...select.options].map((option) => `${option.selected ? '*' : ''}${option.textContent}`),
      value: select.value, disabled: select.disabled, note: note.hidden ? '' : note.textContent,
      message: document.getElementById('camera-message').textContent,
    };
  });
  const camerasChanged = (list) => nativeEvent(page, 'veltrano:cameras-changed', list);
  const choose = async (value) => {
    const before = (await nativeCalls(page, 'selectCamera')).length;
    await page.selectOption('#camera-menu', value);
    await page.waitForFunction((n) => window.__native.calls.filter((c) => c.method === 'selectCamera').length > n, before);
    await page.waitForFunction(() => !document.getElementById('camera-menu').disabled);
  };
  await page.waitForFunction(() => document.getElementById('camera-menu').options.length > 0);
  await waitForPreview(page, 'live');
  const listed = { options: ['*System default (Built-in Camera)', 'Built-in Camera', 'Desk Cam'], value: '', disabled: false, note: '', message: '' };
  assert.deepEqual(await menu(), listed);

  // Chosen: the native side is told, the menu marks it, the preview restarts with the new feed.
  await choose('usb-2');
  assert.deepEqual((await nativeCalls(page, 'selectCamera')).map((c) => c.payload), [{ id: 'usb-2' }]);
  assert.deepEqual(await menu(), { ...listed, options: ['System default (Built-in Camera)', 'Built-in Camera', '*Desk Cam'], value: 'usb-2' });
  await waitForPreview(page, 'live');
  assert.equal((await nativeCalls(page, 'startPreview')).length, 2);

  // Unplugged: the default is used, and the note says the chosen one is missing; a restart still knows.
  const unplugged = [{ ...cameras()[0] }];
  await camerasChanged(unplugged);
  const missing = { options: ['*System default (Built-in Camera)', 'Built-in Camera'], value: '', disabled: false,
                    note: "“Desk Cam” isn't connected, so the system default is used.", message: '' };
  assert.deepEqual(await menu(), missing);
  // Recording meanwhile uses the default, and the line says why.
  await nativeEvent(page, 'veltrano:recording-state', {
    answerId: 'A', state: 'recording', clipIndex: 0, clipStartedAt: null, camera: { id: 'built-in', name: 'Built-in Camera' },
    code: 'camera_fallback', message: 'Desk Cam isn’t connected, so Built-in Camera is recording.',
  });
  assert.deepEqual(await page.evaluate(() => {
    const line = document.getElementById('recording-state');
    return [line.dataset.state, line.dataset.code, line.innerText.replace(/\s+/g, ' ')];
  }), ['recording', 'camera_fallback', 'Recording answer A — clip 1 Desk Cam isn’t connected, so Built-in Camera is recording.']);
  await page.locator('section[data-screen="signed-in"]').screenshot({ path: path.join(screenshots, 'webapp-preview-camera-missing.png') });
  await page.evaluate((list) => sessionStorage.setItem('test.cameras', JSON.stringify(list)), unplugged);
  await page.evaluate(() => (window.__native.cameras = JSON.parse(sessionStorage.getItem('test.cameras'))));
  await page.addInitScript(() => {
    const list = sessionStorage.getItem('test.cameras');
    if (list) window.__native.cameras = JSON.parse(list);
  });
  await page.reload();
  await waitForScreen(page, 'signed-in');
  await page.waitForFunction(() => document.getElementById('camera-menu').options.length > 0);
  assert.deepEqual(await menu(), missing);

  // Plugged back in and chosen by the native side again: no note.
  await camerasChanged(cameras().map((camera) => ({ ...camera, isSelected: camera.id === 'usb-2' })));
  assert.deepEqual(await menu(), { ...listed, options: ['System default (Built-in Camera)', 'Built-in Camera', '*Desk Cam'], value: 'usb-2' });

  // A camera in the menu that is gone by the time it is chosen: its message,
  // and the menu as the native side lists it.
  await page.evaluate(() => {
    window.__native.cameras = [{ id: 'built-in', name: 'Built-in Camera', isDefault: true, isSelected: true }];
  });
  await camerasChanged([...cameras(), { id: 'old', name: 'Old Cam', isDefault: false, isSelected: false }]);
  await choose('old');
  assert.deepEqual(await menu(), { options: ['System default (Built-in Camera)', '*Built-in Camera'], value: 'built-in',
                                   disabled: false, note: '', message: 'That camera is no longer connected.' });

  // The system default is chosen as {id: null}.
  await choose('');
  assert.deepEqual((await nativeCalls(page, 'selectCamera')).at(-1).payload, { id: null });
  assert.deepEqual(await menu(), { options: ['*System default (Built-in Camera)', 'Built-in Camera'], value: '',
                                   disabled: false, note: '', message: '' });

  // No camera at all.
  await camerasChanged([]);
  assert.deepEqual(await menu(), { options: ['*No camera found'], value: '', disabled: true, note: '', message: '' });

  assert.deepEqual(errors, []);
  await context.close();
});

test('an older native side hides the preview and the menu; no camera shows its message, and a camera plugged in starts the preview', async () => {
  const { context, page, errors } = await openSignedIn(async (page) => {
    await page.addInitScript(() => sessionStorage.setItem('test.native', sessionStorage.getItem('test.next') ?? 'older'));
    await fakeCameraSide(page);
  });
  await page.waitForFunction(() => ['startPreview', 'listCameras'].every((m) => window.__native.calls.some((c) => c.method === m)));
  await page.waitForTimeout(300);
  assert.deepEqual(await page.evaluate(() => ({
    camera: document.getElementById('camera').getBoundingClientRect().height,
    preview: document.getElementById('preview-area').hidden, menu: document.getElementById('camera-choice').hidden,
    text: document.querySelector('section[data-screen="signed-in"]').innerText,
  })).then(({ text, ...rest }) => ({ ...rest, quiet: !/camera|preview|unknown/i.test(text) })),
  { camera: 0, preview: true, menu: true, quiet: true });
  assert.equal(await framesDrawn(page), 0);

  await page.evaluate(() => sessionStorage.setItem('test.next', 'no-camera'));
  await page.reload();
  await waitForScreen(page, 'signed-in');
  await waitForPreview(page, 'unavailable');
  assert.equal(await page.textContent('#preview-message'), 'No camera is connected to this computer.');
  assert.deepEqual(await buttons(page), { show: true, hide: false, note: 'No preview' });
  await page.waitForFunction(() => document.getElementById('camera-menu').options.length > 0);
  assert.deepEqual(await page.evaluate(() => [document.getElementById('camera-menu').disabled,
                                              document.getElementById('camera-menu').innerText]), [true, 'No camera found']);

  // A camera is plugged in: the preview the person had on starts.
  await page.evaluate(async () => {
    window.__native.replies.startPreview = async () => {
      await window.__feed('start');
      return { ok: true, data: { url: await window.__feed('url'), width: 64, height: 36 } };
    };
  });
  await nativeEvent(page, 'veltrano:cameras-changed', [cameras()[0]]);
  await waitForPreview(page, 'live');
  assert.equal(await page.textContent('#preview-message'), '');
  assert.equal(await page.inputValue('#camera-menu'), '');
  assert.deepEqual(errors, []);
  await context.close();
});
