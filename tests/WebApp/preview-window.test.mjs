// The camera preview in the real window (WebKitGTK under Xvfb) from a
// stand-in camera on a private PipeWire graph, through the whole program:
// frames reach the page over the "app" scheme, preview and recording share
// one capture stream, and the preview stops when the page asks, when the
// page goes away and a second after the window is hidden; a second camera
// plugged in is announced, can be chosen, and once unplugged the answer
// records from the default and says so. A screenshot of
// the page drawing the frames goes to $VELTRANO_SCREENSHOT_DIR/preview-*.png.
//
// Environment: as window.test.mjs, inside tests/support/private-pipewire.sh
// with a 1280x720 stand-in camera.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, test } from 'node:test';
import { killAll, run, screenshot, startApp, track, until } from './app-driver.mjs';

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'veltrano-preview-window-'));
after(() => {
  killAll();
  fs.rmSync(scratch, { recursive: true, force: true });
});

// The capture streams on the graph (its Stream/Input/Video nodes) of the
// app's clients: nothing else on this private graph captures.
async function captureStreams(pid) {
  let objects;
  // A graph that changes while pw-dump reads it can come out cut short.
  for (let attempt = 0; !objects; attempt += 1) {
    const { stdout } = await run('pw-dump', [], { maxBuffer: 64 * 1024 * 1024 });
    try { objects = JSON.parse(stdout); } catch (error) { if (attempt === 5) throw error; }
  }
  const clients = new Set(objects.filter((o) => o.type === 'PipeWire:Interface:Client' &&
    String(o.info?.props?.['application.process.id'] ?? o.info?.props?.['pipewire.sec.pid']) === String(pid))
    .map((o) => o.id));
  return objects.filter((o) => o.type === 'PipeWire:Interface:Node' &&
    o.info?.props?.['media.class'] === 'Stream/Input/Video' && clients.has(o.info?.props?.['client.id'])).length;
}

// Starts the preview and a page-side loop that draws every frame into a
// canvas of its own and keeps count; window.__loop holds the counts.
const startLoop = `
  const started = await window.veltranoNative.call('startPreview', { maxWidth: 640 });
  let canvas = document.getElementById('test-preview');
  if (!canvas) {
    canvas = document.body.appendChild(document.createElement('canvas'));
    canvas.id = 'test-preview';
    canvas.style = 'position: fixed; top: 8px; left: 8px; z-index: 99; border: 2px solid #333';
  }
  canvas.width = started.width;
  canvas.height = started.height;
  const loop = window.__loop = { frames: 0, last: 0, latencies: [], ended: null, numbers: [] };
  (async () => {
    for (;;) {
      let reply;
      try { reply = await fetch(started.url + '?after=' + loop.last); } catch (e) { loop.ended = String(e); return; }
      if (reply.status !== 200) { loop.ended = reply.status; return; }
      const number = Number(reply.headers.get('X-Veltrano-Frame'));
      const capturedAt = Number(reply.headers.get('X-Veltrano-Captured-At'));
      const bitmap = await createImageBitmap(await reply.blob());
      canvas.getContext('2d').drawImage(bitmap, 0, 0);
      bitmap.close();
      loop.latencies.push(Date.now() - capturedAt);
      loop.numbers.push(number);
      loop.last = number;
      loop.frames += 1;
    }
  })();
  return started;`;
const loopState = 'return window.__loop ? { ...window.__loop, latencies: window.__loop.latencies.slice(-30) } : null';

test('the preview in the real window: frames in the page, one capture stream with a recording, every way it stops', async () => {
  const bundle = path.join(scratch, 'bundle'), data = path.join(scratch, 'data');
  fs.cpSync(path.join(process.env.VELTRANO_WEB_APP_DIR, '..', '..', '..'), bundle, { recursive: true });
  const app = startApp(bundle, data, ['--camera', 'system']);
  const pid = app.host.pid;
  await until('the page', async () => (await app.screen()) !== null);

  // Frames arrive at the page's width, numbered upwards, each drawn.
  const started = await app.page(startLoop);
  assert.deepEqual(started, { url: 'app://local/__veltrano/preview', width: 640, height: 360 });
  const t0 = Date.now();
  await until('30 frames drawn', async () => (await app.page(loopState))?.frames >= 30);
  const early = await app.page(loopState);
  const fps = (early.frames * 1000) / (Date.now() - t0);
  const latency = early.latencies.reduce((a, b) => a + b, 0) / early.latencies.length;
  console.log(`preview in the window: ${fps.toFixed(1)} fps, camera-to-page ${latency.toFixed(0)} ms (mean of 30)`);
  assert.ok(early.numbers.every((n, i) => i === 0 || n > early.numbers[i - 1]), 'frame numbers went backwards');
  assert.ok(latency > 0 && latency < 2000, `latency ${latency}`);
  assert.equal(early.ended, null);
  assert.equal(await captureStreams(pid), 1);
  await screenshot(app, 'preview-window');

  // An answer records from the same stream while the page draws on.
  const entered = await app.page(`return await window.veltranoNative.call('enterAnswer',
    { userId: 'u', sessionId: 's', answerId: 'preview-answer', idToken: 'not-checked-here' });`);
  assert.deepEqual(entered, { status: 'recording', answerId: 'preview-answer' });
  const before = (await app.page(loopState)).frames;
  await until('frames while recording', async () => (await app.page(loopState)).frames >= before + 30);
  assert.equal(await captureStreams(pid), 1, 'preview and recording opened the camera twice');
  await screenshot(app, 'preview-while-recording');

  // Stopped by the page: the loop hears 204, the recording keeps the camera.
  assert.deepEqual(await app.page(`return await window.veltranoNative.call('stopPreview');`), {});
  await until('the loop ended by the stop', async () => (await app.page(loopState)).ended === 204);
  assert.equal(await captureStreams(pid), 1);
  // No upload service here: the leave stops the camera and reports the
  // last clip's failed upload.
  const left = await app.page(`try { return await window.veltranoNative.call('enterAnswer',
    { userId: 'u', sessionId: 's', answerId: null, idToken: 'not-checked-here' }); } catch (e) { return e.code; }`);
  assert.ok(left === 'upload_failed' || left?.status === 'idle', JSON.stringify(left));
  await until('the camera closed after the answer and the preview', async () => (await captureStreams(pid)) === 0, 15);

  // Hidden for a second: stopped; shown again, the page starts it anew.
  await app.page(startLoop);
  await until('frames again', async () => (await app.page(loopState)).frames >= 5);
  assert.equal(await app.window(false), true);
  await until('the hidden window\'s preview stopped', async () => (await app.page(loopState)).ended === 204, 10);
  await until('its camera closed', async () => (await captureStreams(pid)) === 0, 15);
  assert.equal(await app.window(true), true);
  await app.page(startLoop);
  await until('frames after showing', async () => (await app.page(loopState)).frames >= 5);

  // A second camera is plugged in: the page hears of it, and choosing it
  // moves the preview onto it (its own frame size). Unplugged, it is gone
  // from the list, and an answer records from the default and says so.
  await app.page(`window.__events = { cameras: [], recording: [] };
    addEventListener('veltrano:cameras-changed', (e) => window.__events.cameras.push(e.detail));
    addEventListener('veltrano:recording-state', (e) => window.__events.recording.push(e.detail));`);
  const second = track(spawn(process.env.VELTRANO_STANDIN_CAMERA, ['SecondCamera', '640x480@30'], { stdio: 'ignore' }));
  const plugged = await until('the second camera announced', async () => {
    const lists = (await app.page('return window.__events.cameras'));
    return lists.at(-1)?.length === 2 && lists.at(-1);
  });
  assert.deepEqual(plugged.map((c) => c.id).sort(), ['pipewire:SecondCamera', 'pipewire:StandInCamera']);
  assert.equal(plugged.filter((c) => c.isDefault).length, 1);
  assert.ok(plugged.every((c) => !c.isSelected));
  const chosen = await app.page(`return await window.veltranoNative.call('selectCamera', { id: 'pipewire:SecondCamera' });`);
  assert.deepEqual(chosen.filter((c) => c.isSelected).map((c) => c.id), ['pipewire:SecondCamera']);
  assert.deepEqual(JSON.parse(fs.readFileSync(path.join(data, 'settings.json'), 'utf8')), { camera: 'pipewire:SecondCamera' });
  await until('the old camera\'s preview stopped', async () => (await app.page(loopState)).ended === 204);
  assert.deepEqual(await app.page(startLoop), { url: 'app://local/__veltrano/preview', width: 640, height: 480 });
  await until('frames from the second camera', async () => (await app.page(loopState)).frames >= 5);
  await screenshot(app, 'preview-second-camera');
  assert.equal(await app.page(`try { await window.veltranoNative.call('selectCamera', { id: 'pipewire:Nowhere' }); }
    catch (e) { return e.code; }`), 'camera_unavailable');

  second.kill('SIGTERM');
  const unplugged = await until('the second camera gone', async () => {
    const lists = (await app.page('return window.__events.cameras'));
    return lists.at(-1)?.length === 1 && lists.at(-1);
  });
  assert.deepEqual(unplugged.map((c) => c.id), ['pipewire:StandInCamera']);
  await until('its preview stopped', async () => (await app.page(loopState)).ended !== null);
  await until('its camera closed', async () => (await captureStreams(pid)) === 0, 15);
  assert.deepEqual(await app.page(`return await window.veltranoNative.call('enterAnswer',
    { userId: 'u', sessionId: 's', answerId: 'fallback-answer', idToken: 'not-checked-here' });`),
                   { status: 'recording', answerId: 'fallback-answer' });
  const fallback = await until('the recording state of the fallback', async () =>
    (await app.page('return window.__events.recording')).find((d) => d.state === 'recording'));
  assert.equal(fallback.code, 'camera_fallback');
  assert.deepEqual(fallback.camera, { id: 'pipewire:StandInCamera', name: 'StandInCamera' });
  await app.page(`try { await window.veltranoNative.call('enterAnswer',
    { userId: 'u', sessionId: 's', answerId: null, idToken: 'not-checked-here' }); } catch {}`);

  // The page goes away (a reload): the preview stops with it.
  await app.page('setTimeout(() => location.reload(), 0);');
  await until('the reloaded page', async () => (await app.page('return window.__loop === undefined')) === true);
  await until('the camera closed after the page went', async () => (await captureStreams(pid)) === 0, 15);
  assert.equal(await app.page(`return (await fetch('app://local/__veltrano/preview?after=0')).status;`), 204);

  app.host.kill('SIGTERM');
  assert.deepEqual(await app.exited, { code: 0, signal: null });
});
