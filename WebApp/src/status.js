// What the native side says it is doing, the answer's recording and the
// clips' uploads, as words on the signed-in screen. The *View functions are
// pure (an event's detail in, text out) so node tests can check them as
// tables; the render functions put their result into the page.

const clean = (value) => (typeof value === 'string' ? value.replace(/\s+/g, ' ').trim() : '');
const whole = (value) => (Number.isInteger(value) && value >= 0 ? value : null);

// A 24-hour clock in the person's own time zone (tests pass one).
function clockTime(iso, timeZone) {
  if (typeof iso !== 'string') return '';
  const at = new Date(iso);
  if (Number.isNaN(at.getTime())) return '';
  return new Intl.DateTimeFormat('en-GB', {
    hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23', timeZone,
  }).format(at);
}

// For a "failed" that comes without a message.
const failedBecause = {
  camera_unavailable: "the camera isn't available",
  recording_failed: 'the recording failed',
};

// While recording with the default camera because the chosen one is not
// connected: the native side's words, or these naming the camera in use.
function fallbackNote(detail) {
  const message = clean(detail.message);
  if (message) return message;
  const name = clean(detail.camera?.name);
  return `Your chosen camera isn't connected, so ${name || 'the system default camera'} is recording.`;
}

// "veltrano:recording-state" -> {state, code, text, note}. Before the native
// side has said anything the line reads "Not recording"; a state this page
// does not know leaves it empty rather than guess. note is said beside the
// line, or null.
export function recordingView(detail, { timeZone } = {}) {
  if (detail === null || typeof detail !== 'object') return { state: 'idle', code: null, text: 'Not recording', note: null };
  if (detail.state === 'recording') {
    const answer = clean(detail.answerId);
    const clip = whole(detail.clipIndex);
    const since = clockTime(detail.clipStartedAt, timeZone);
    // clipIndex counts from 0; people count clips from 1.
    const text = `Recording${answer && ` answer ${answer}`}${clip === null ? '' : ` — clip ${clip + 1}`}` +
      (since && `, since ${since}`);
    // Only the fallback is news while recording; other codes belong to failures.
    if (clean(detail.code) === 'camera_fallback')
      return { state: 'recording', code: 'camera_fallback', text, note: fallbackNote(detail) };
    return { state: 'recording', code: null, text, note: null };
  }
  if (detail.state === 'stopped') return { state: 'stopped', code: null, text: 'Stopped', note: null };
  if (detail.state === 'failed') {
    const code = clean(detail.code) || null;
    const why = clean(detail.message) || failedBecause[code];
    return { state: 'failed', code, text: why ? `Recording stopped: ${why}` : 'Recording stopped', note: null };
  }
  return { state: 'unknown', code: null, text: '', note: null };
}

const clipLabels = {
  recording: 'Recording',
  queued: 'Waiting to upload',
  uploading: 'Uploading',
  uploaded: 'Uploaded',
  failed: "Didn't upload, will try again",
  gaveUp: "Couldn't be uploaded",
};

// Rounded down, so a clip reads 100% only once every byte is sent.
function percentSent({ state, bytesSent, bytesTotal }) {
  if (state === 'uploaded') return 100;
  const sent = whole(bytesSent);
  if (sent === null || !(Number.isFinite(bytesTotal) && bytesTotal > 0)) return null;
  return Math.min(100, Math.floor((sent * 100) / bytesTotal));
}

// One clip of "veltrano:upload-state" -> {clipId, state, title, status,
// progress, attempt, error}. progress is null (no bar), 'indeterminate' or
// 0-100. Paths, user and session ids stay off the screen.
export function clipView(clip) {
  const state = Object.hasOwn(clipLabels, clip.state) ? clip.state : 'unknown';
  const answer = clean(clip.answerId);
  const percent = percentSent(clip);
  const attempt = whole(clip.attempt);
  let status = clipLabels[state] ?? 'Status not known';
  if (state === 'uploading' && percent !== null) status += ` ${percent}%`;
  // A first attempt is the normal case; only a repeat is worth a word.
  if (attempt !== null && attempt > 1 && state !== 'uploaded') status += `, attempt ${attempt}`;
  let progress = null;
  if (state === 'uploaded') progress = 100;
  else if (state === 'uploading') progress = percent ?? 'indeterminate';
  return {
    clipId: clean(clip.clipId) || null,
    state,
    title: answer ? `Answer ${answer}` : 'A clip',
    status,
    progress,
    attempt,
    // An error left over from an earlier attempt means nothing once uploaded.
    error: state === 'uploaded' ? null : clean(clip.error) || null,
  };
}

// "veltrano:upload-state" or what "uploadStatus" answers -> {pending, clips}.
export function uploadsView(detail) {
  const clips = Array.isArray(detail?.clips) ? detail.clips : [];
  const pending = whole(detail?.pending);
  return {
    pending: pending === null ? '' : pending === 0 ? 'Nothing waiting to upload'
      : `${pending} ${pending === 1 ? 'clip' : 'clips'} waiting to upload`,
    clips: clips.filter((clip) => clip !== null && typeof clip === 'object').map(clipView),
  };
}

export function renderRecording(line, detail, options) {
  const view = recordingView(detail, options);
  const document = line.ownerDocument;
  // The note sits inside the line so the live region reads both together.
  if (view.note)
    line.replaceChildren(view.text, ' ', Object.assign(document.createElement('span'), { className: 'recording-note', textContent: view.note }));
  else line.textContent = view.text;
  line.dataset.state = view.state;
  if (view.code) line.dataset.code = view.code;
  else delete line.dataset.code;
}

// The list is rebuilt whole: it holds a handful of clips and is not live,
// so a progress tick every 250 ms costs nothing and announces nothing.
export function renderUploads({ list, pending }, detail) {
  const view = uploadsView(detail);
  const document = list.ownerDocument;
  const span = (className, text) => Object.assign(document.createElement('span'), { className, textContent: text });
  list.replaceChildren(...view.clips.map((clip) => {
    const item = document.createElement('li');
    item.dataset.state = clip.state;
    if (clip.clipId) item.dataset.clipId = clip.clipId;
    if (clip.attempt !== null) item.dataset.attempt = String(clip.attempt);
    item.append(span('clip-title', clip.title), ' ', span('clip-status', clip.status));
    if (clip.progress !== null) {
      const bar = document.createElement('progress');
      bar.max = 100;
      if (clip.progress !== 'indeterminate') bar.value = clip.progress;
      // The status text says the same in words.
      bar.setAttribute('aria-hidden', 'true');
      item.append(bar);
    }
    if (clip.error) item.append(span('clip-error', clip.error));
    return item;
  }));
  pending.textContent = view.pending;
}
