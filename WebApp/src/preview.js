// The live camera preview on the signed-in screen: the same feed the
// recording uses, pulled one frame at a time from the native side's frame
// URL and drawn into a canvas. The pure rules (what an answer means, the
// statistics) come first so node tests can check them as tables.

import { bridgeMessage } from './native.js';

export const maxWidth = 640;
const fpsWindowMs = 1000;
const latencySamples = 30;

// The next frame's address: the native side waits until a frame newer than
// `after` exists.
export function frameURL(url, after) {
  return `${url}${url.includes('?') ? '&' : '?'}after=${after}`;
}

// One answer of the frame URL -> {kind, number, capturedAt}:
//   'frame'   a JPEG newer than `after` (capturedAt is null when unreadable)
//   'stopped' 204: the native side stopped the preview
//   'broken'  anything else, a frame without a readable, newer number
//             included: asking again would only get the same answer
export function frameAnswer(status, header, after) {
  if (status === 204) return { kind: 'stopped' };
  if (status !== 200) return { kind: 'broken' };
  const numberText = header('X-Veltrano-Frame')?.trim() ?? '';
  const number = /^\d+$/.test(numberText) ? Number(numberText) : NaN;
  if (!Number.isSafeInteger(number) || number <= after) return { kind: 'broken' };
  const capturedText = header('X-Veltrano-Captured-At')?.trim() ?? '';
  const capturedAt = capturedText === '' ? NaN : Number(capturedText);
  return { kind: 'frame', number, capturedAt: Number.isFinite(capturedAt) ? capturedAt : null };
}

// The statistics tests and benchmarks read from window.veltranoPreviewStats:
// frames drawn since the page loaded, the last frame's number, frames per
// second over about the last second and the mean capture-to-draw time over
// the last 30 frames (null before any). restart() forgets the rolling
// windows, so a pause does not drag the rate down once frames flow again.
export class PreviewStats {
  constructor(target = {}) {
    this.view = Object.assign(target, { frames: 0, lastFrame: 0, fps: 0, latencyMs: null });
    this.restart();
  }

  restart() {
    this.drawTimes = [];
    this.latencies = [];
    this.view.fps = 0;
  }

  // A frame drawn at `now` (ms since the epoch, like capturedAt).
  drawn(number, now, capturedAt) {
    const view = this.view;
    view.frames += 1;
    view.lastFrame = number;
    const times = this.drawTimes;
    times.push(now);
    // Keep one draw older than the window, so a slow camera still has a rate.
    while (times.length > 2 && now - times[1] >= fpsWindowMs) times.shift();
    const span = times.at(-1) - times[0];
    view.fps = times.length > 1 && span > 0 ? ((times.length - 1) * 1000) / span : 0;
    if (capturedAt !== null && Number.isFinite(capturedAt)) {
      this.latencies.push(now - capturedAt);
      if (this.latencies.length > latencySamples) this.latencies.shift();
    }
    if (this.latencies.length)
      view.latencyMs = this.latencies.reduce((sum, value) => sum + value, 0) / this.latencies.length;
  }

  paused() {
    this.view.fps = 0;
  }
}

// Plain words for a failed startPreview.
export function startFailure(error) {
  if (error?.code === 'camera_unavailable') return bridgeMessage(error, "The camera isn't available.");
  return "The preview couldn't start.";
}

// The preview on the page. elements: {area, box, canvas, show, hide, note,
// message}; native: the bridge; fetchFrame: fetch. state (also
// box.dataset.state) is 'off' (the person hid it), 'starting', 'live',
// 'paused' (the native side stopped it), 'unavailable' (no camera) or
// 'unsupported' (an older native side: the area stays hidden).
export function createPreview({ native, elements, fetchFrame = (...args) => fetch(...args), stats }) {
  let state = 'off';
  let wanted = false;
  // Each start gets a new generation; an older loop that wakes up ends.
  let generation = 0;
  let abort = null;
  // The area shows once the native side has answered a start, so an older
  // one (without a preview) never flashes it.
  let answered = false;
  const { area, box, canvas, show, hide, note, message } = elements;
  const context = canvas.getContext('2d');

  const notes = { off: 'Preview hidden', starting: 'Starting the camera…', paused: 'Preview paused',
                  unavailable: 'No preview', live: '', unsupported: '' };
  function become(next, words = '') {
    state = next;
    box.dataset.state = next;
    area.hidden = next === 'unsupported' || !answered;
    if (next === 'unsupported') return;
    note.textContent = notes[next];
    note.hidden = next === 'live';
    hide.hidden = next !== 'live' && next !== 'starting';
    show.hidden = !hide.hidden;
    message.textContent = words;
    if (next !== 'live') stats.paused();
  }

  function endLoop() {
    generation += 1;
    abort?.abort();
    abort = null;
  }

  function draw(bitmap) {
    // Resizing clears the canvas; drawing straight after in the same task
    // means nobody sees the blank.
    if (canvas.width !== bitmap.width || canvas.height !== bitmap.height) {
      canvas.width = bitmap.width;
      canvas.height = bitmap.height;
    }
    context.drawImage(bitmap, 0, 0);
  }

  async function pull(url, mine, signal) {
    let after = 0;
    for (;;) {
      let response;
      try {
        response = await fetchFrame(frameURL(url, after), { signal, cache: 'no-store' });
      } catch {
        if (mine === generation) become('paused');
        return;
      }
      if (mine !== generation) return;
      const answer = frameAnswer(response.status, (name) => response.headers.get(name), after);
      if (answer.kind !== 'frame') {
        if (answer.kind === 'broken') console.warn(`preview: frame answer ${response.status} unusable`);
        become('paused');
        return;
      }
      let bitmap;
      try {
        bitmap = await createImageBitmap(await response.blob());
      } catch {
        // One frame that does not decode costs that frame only.
        if (mine !== generation) return;
        after = answer.number;
        continue;
      }
      if (mine !== generation) {
        bitmap.close();
        return;
      }
      draw(bitmap);
      bitmap.close();
      after = answer.number;
      stats.drawn(answer.number, Date.now(), answer.capturedAt);
      canvas.dataset.frames = String(stats.view.frames);
      if (state !== 'live') become('live');
    }
  }

  async function start() {
    if (state === 'unsupported' || !native) return;
    wanted = true;
    endLoop();
    const mine = generation;
    become('starting');
    let reply;
    try {
      reply = await native.call('startPreview', { maxWidth });
    } catch (error) {
      if (mine !== generation) return;
      answered = true;
      if (error?.code === 'unknown_method') become('unsupported');
      else become(error?.code === 'camera_unavailable' ? 'unavailable' : 'paused', startFailure(error));
      return;
    }
    if (mine !== generation) return;
    answered = true;
    if (typeof reply?.url !== 'string' || reply.url === '') {
      become('paused', "The preview couldn't start.");
      return;
    }
    // The frame size from the answer, so the box has its shape before the first frame.
    if (Number.isInteger(reply.width) && reply.width > 0 && Number.isInteger(reply.height) && reply.height > 0
        && (canvas.width !== reply.width || canvas.height !== reply.height)) {
      canvas.width = reply.width;
      canvas.height = reply.height;
    }
    stats.restart();
    abort = new AbortController();
    pull(reply.url, mine, abort.signal);
  }

  // The person's "hide", sign-out and leaving the page: the native side
  // stops the camera feed only when asked.
  function stop({ byPerson = true } = {}) {
    const running = state === 'live' || state === 'starting';
    if (byPerson) wanted = false;
    endLoop();
    if (running && native) native.call('stopPreview').catch(() => {});
    if (state === 'unsupported' || state === 'off') return;
    if (byPerson || running) become(byPerson ? 'off' : 'paused');
  }

  show.addEventListener('click', () => start());
  hide.addEventListener('click', () => stop());
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible' && wanted && (state === 'paused' || state === 'unavailable')) start();
  });
  window.addEventListener('pagehide', () => stop({ byPerson: false }));

  return {
    start,
    stop,
    get state() {
      return state;
    },
    // A camera came or went: a preview that had no camera may have one now.
    camerasChanged(cameras) {
      if (wanted && (state === 'paused' || state === 'unavailable') && cameras.length) start();
    },
    // Another camera feeds the preview: a new start gets its frame size.
    cameraSelected() {
      if (wanted && state !== 'unsupported') start();
    },
  };
}
