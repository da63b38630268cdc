// What the real-window tests share: the shipped program through the
// end-to-end host with a driver (each script runs in the page, its value
// comes back), waiting for a condition, and screenshots of the X screen.
//
// Environment: VELTRANO_E2E_HOST, VELTRANO_SCREENSHOT_DIR.

import { execFile, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { promisify } from 'node:util';

export const run = promisify(execFile);

// Every program a test started; `killAll` ends those still running.
const children = [];
export const track = (child) => (children.push(child), child);
export const killAll = () => {
  for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
};

export const until = async (what, check, seconds = 30) => {
  const deadline = Date.now() + seconds * 1000;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
};

// The shipped program with a driver: each script runs in the page, its
// value comes back on stdout.
export function startApp(bundle, data, extraArgs = []) {
  const host = track(spawn(process.env.VELTRANO_E2E_HOST, ['--bundle', bundle, '--data', data, ...extraArgs],
                           { stdio: ['pipe', 'pipe', 'inherit'] }));
  const waiting = new Map();
  let next = 0;
  readline.createInterface({ input: host.stdout }).on('line', (line) => {
    if (!line.startsWith('reply ')) return;
    const { id, value } = JSON.parse(line.slice(6));
    waiting.get(id)?.(value);
    waiting.delete(id);
  });
  const send = (command) =>
    new Promise((resolve) => {
      if (gone) return resolve(null);
      const id = ++next;
      waiting.set(id, resolve);
      host.stdin.write(`${JSON.stringify({ id, ...command })}\n`);
    });
  const page = (script) => send({ script });
  // A host that ends answers every script still waiting, and every later
  // one, with null: a test then fails on its check instead of hanging.
  let gone = false;
  const exited = new Promise((resolve) => host.on('exit', (code, signal) => {
    gone = true;
    for (const answer of waiting.values()) answer(null);
    waiting.clear();
    resolve({ code, signal });
  }));
  return { host, page, exited, screen: () => page('return document.body?.dataset.screen ?? null'),
           window: (shown) => send({ window: shown ? 'show' : 'hide' }) };
}

// The X screen as a person sees it: the window, its banner and the page,
// once the page has drawn two frames and the compositor has shown them.
export async function screenshot(app, name) {
  await app.page('await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));');
  await new Promise((resolve) => setTimeout(resolve, 1000));
  const dir = process.env.VELTRANO_SCREENSHOT_DIR;
  fs.mkdirSync(dir, { recursive: true });
  await run('gst-launch-1.0', ['-q', 'ximagesrc', 'num-buffers=1', 'use-damage=false', 'endx=1023', 'endy=719', '!',
                               'videoconvert', '!', 'pngenc', '!', 'filesink', `location=${path.join(dir, name)}.png`]);
}

