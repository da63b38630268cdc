// The camera preview in the real window against recording alone, side by
// side in one run: the whole program (the end-to-end host) on a 1280x720
// 30 fps stand-in camera on a private PipeWire graph, the page drawing
// every frame it gets into a canvas as the web app does.
//
//   bash bench/WebApp/run-preview-bench.sh [--rounds N] [--seconds S]
//
// Each round records one answer without the preview and one with it open
// (order alternating), and measures over the same S seconds of recording:
// CPU seconds per second of the app's own process and of its WebKit
// processes (from /proc), and with the preview: frames drawn per second in
// the page, camera-to-page latency (Date.now() at draw minus the frame's
// capture time), and enterAnswer -> "recording" as the page sees it.
//
// Environment: VELTRANO_E2E_HOST, VELTRANO_WEB_APP_DIR, inside
// tests/support/private-pipewire.sh and tests/support/run-with-display.sh.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { killAll, startApp, until } from '../../tests/WebApp/app-driver.mjs';

const arg = (name, fallback) => {
  const i = process.argv.indexOf(name);
  return i > 0 ? Number(process.argv[i + 1]) : fallback;
};
const rounds = arg('--rounds', 3), seconds = arg('--seconds', 10);
const draw = !process.argv.includes('--no-draw');  // decode only: what showing the frames costs
const ticks = 100;  // USER_HZ on Linux

// utime + stime of a process, in seconds.
const cpu = (pid) => {
  try {
    const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(fields[11]) + Number(fields[12])) / ticks;
  } catch { return 0; }
};
// Every process below `pid` (WebKit starts its processes through helpers).
const descendants = (pid) => {
  const parents = new Map();
  for (const d of fs.readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    try { parents.set(d, fs.readFileSync(`/proc/${d}/stat`, 'utf8').split(') ')[1].split(' ')[1]); } catch {}
  }
  const below = (p) => [...parents].filter(([, parent]) => parent === String(p)).flatMap(([child]) => [child, ...below(child)]);
  return below(pid);
};
const webkit = (pid) => descendants(pid).filter((c) => {
  try { return /WebKit/.test(fs.readFileSync(`/proc/${c}/comm`, 'utf8')); } catch { return false; }
});
// Per thread of the app: name -> CPU seconds (threads of one name summed).
const threads = (pid) => {
  const out = {};
  for (const t of fs.readdirSync(`/proc/${pid}/task`)) {
    try {
      const name = fs.readFileSync(`/proc/${pid}/task/${t}/comm`, 'utf8').trim();
      const fields = fs.readFileSync(`/proc/${pid}/task/${t}/stat`, 'utf8').split(') ')[1].split(' ');
      out[name] = (out[name] ?? 0) + (Number(fields[11]) + Number(fields[12])) / ticks;
    } catch {}
  }
  return out;
};
const sample = (pid) => ({ app: cpu(pid), web: webkit(pid).reduce((sum, c) => sum + cpu(c), 0), at: Date.now(),
                           threads: threads(pid) });
const busiest = (before, after, wall) => Object.entries(after.threads)
  .map(([name, s]) => [name, (s - (before.threads[name] ?? 0)) / wall]).filter(([, s]) => s > 0.005)
  .sort((a, b) => b[1] - a[1]).slice(0, 8).map(([name, s]) => `${name} ${s.toFixed(3)}`).join(', ');

const startLoop = `
  const started = await window.veltranoNative.call('startPreview', { maxWidth: 640 });
  const canvas = document.getElementById('bench-preview') ?? document.body.appendChild(document.createElement('canvas'));
  canvas.id = 'bench-preview';
  canvas.width = started.width;
  canvas.height = started.height;
  const loop = window.__loop = { frames: 0, last: 0, latencies: [], stop: false };
  (async () => {
    while (!loop.stop) {
      const reply = await fetch(started.url + '?after=' + loop.last);
      if (reply.status !== 200) return;
      loop.last = Number(reply.headers.get('X-Veltrano-Frame'));
      const capturedAt = Number(reply.headers.get('X-Veltrano-Captured-At'));
      const bitmap = await createImageBitmap(await reply.blob());
      if (${draw}) canvas.getContext('2d').drawImage(bitmap, 0, 0);
      bitmap.close();
      loop.latencies.push(Date.now() - capturedAt);
      loop.frames += 1;
    }
  })();
  return started;`;
const stopLoop = `window.__loop.stop = true; await window.veltranoNative.call('stopPreview'); return true;`;
const enter = (answerId) => `const t = performance.now();
  let reply;
  try { reply = await window.veltranoNative.call('enterAnswer',
    { userId: 'u', sessionId: 's', answerId: ${JSON.stringify(answerId)}, idToken: 'bench' }); }
  catch (e) { reply = e.code; }
  return { ms: performance.now() - t, reply };`;

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'veltrano-preview-bench-'));
const bundle = path.join(scratch, 'bundle');
fs.cpSync(path.join(process.env.VELTRANO_WEB_APP_DIR, '..', '..', '..'), bundle, { recursive: true });
const app = startApp(bundle, path.join(scratch, 'data'), ['--camera', 'system']);
const pid = app.host.pid;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const mean = (values) => values.reduce((a, b) => a + b, 0) / values.length;
const results = { alone: [], preview: [] };
try {
  await until('the page', async () => (await app.screen()) !== null, 60);
  // Warm up once: plugins, encoders, the first camera open.
  await app.page(enter('warm-up'));
  await new Promise((r) => setTimeout(r, 2000));
  await app.page(enter(null));
  for (let round = 0; round < rounds; round += 1) {
    for (const withPreview of round % 2 ? [true, false] : [false, true]) {
      if (withPreview) {
        await app.page(startLoop);
        await until('preview frames', async () => (await app.page('return window.__loop.frames')) >= 10);
      }
      const entered = await app.page(enter(`round-${round}-${withPreview}`));
      await new Promise((r) => setTimeout(r, 1000));  // past the first clip's start-up
      const framesBefore = withPreview ? await app.page('return window.__loop.frames') : 0;
      const before = sample(pid);
      await new Promise((r) => setTimeout(r, seconds * 1000));
      const after = sample(pid);
      const wall = (after.at - before.at) / 1000;
      const row = { enterMs: entered.ms, app: (after.app - before.app) / wall, web: (after.web - before.web) / wall };
      if (process.argv.includes('--threads')) row.threads = busiest(before, after, wall);
      if (withPreview) {
        const loop = await app.page('return { frames: window.__loop.frames, latencies: window.__loop.latencies.slice(-300) }');
        row.fps = (loop.frames - framesBefore) / wall;
        row.latencyMs = mean(loop.latencies);
        row.latencyP95 = [...loop.latencies].sort((a, b) => a - b)[Math.floor(loop.latencies.length * 0.95)];
        await app.page(stopLoop);
      }
      await app.page(enter(null));
      results[withPreview ? 'preview' : 'alone'].push(row);
      console.log(`round ${round} ${withPreview ? 'preview+recording' : 'recording alone  '}: ${JSON.stringify(row)}`);
      await new Promise((r) => setTimeout(r, 1500));  // the camera's linger
    }
  }
  const alone = results.alone, withPreview = results.preview;
  const appAlone = median(alone.map((r) => r.app)), appPreview = median(withPreview.map((r) => r.app));
  const webAlone = median(alone.map((r) => r.web)), webPreview = median(withPreview.map((r) => r.web));
  console.log(`summary (median of ${rounds}): app CPU recording alone ${appAlone.toFixed(3)} s/s, ` +
    `preview+recording ${appPreview.toFixed(3)} s/s, ratio ${(appPreview / appAlone).toFixed(3)}; ` +
    `WebKit processes ${webAlone.toFixed(3)} -> ${webPreview.toFixed(3)} s/s; ` +
    `page ${median(withPreview.map((r) => r.fps)).toFixed(1)} fps at 640 px, ` +
    `latency mean ${median(withPreview.map((r) => r.latencyMs)).toFixed(0)} ms ` +
    `(p95 ${median(withPreview.map((r) => r.latencyP95)).toFixed(0)} ms); ` +
    `enterAnswer -> recording ${median(alone.map((r) => r.enterMs)).toFixed(0)} ms alone, ` +
    `${median(withPreview.map((r) => r.enterMs)).toFixed(0)} ms with the preview open`);
} finally {
  app.host.kill('SIGTERM');
  await app.exited;
  killAll();
  fs.rmSync(scratch, { recursive: true, force: true });
}
