// The page's pure rules as tables, in node: reading config.json, which
// address completes a link, what a pasted text holds, how the native
// side's recording and upload states read, what a preview frame answer
// means, the preview's statistics and the camera menu.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { ConfigError, loadConfig, parseConfig } from '../../WebApp/src/config.js';
import { completionEmail, emailLinkFrom, looksLikeEmail } from '../../WebApp/src/links.js';
import { cameraMenuView } from '../../WebApp/src/cameras.js';
import { messageFor } from '../../WebApp/src/messages.js';
import { bridgeMessage } from '../../WebApp/src/native.js';
import { frameAnswer, frameURL, PreviewStats, startFailure } from '../../WebApp/src/preview.js';
import { clipView, recordingView, uploadsView } from '../../WebApp/src/status.js';

const base = { apiKey: 'k', projectId: 'p', authDomain: 'p.example.com', endpointBaseURL: 'https://api.example.com' };

test('config.json: what is accepted, how it is normalised, and what is refused', () => {
  const accepted = [
    [base, { signInContinueURL: 'https://p.example.com/sign-in-continue/', endpointBaseURL: 'https://api.example.com', authEmulatorURL: undefined }],
    [{ ...base, endpointBaseURL: ' https://api.example.com/v/// ', signInContinueURL: 'https://c.example.com/x?y=1' },
     { signInContinueURL: 'https://c.example.com/x?y=1', endpointBaseURL: 'https://api.example.com/v' }],
    [{ ...base, authDomain: undefined, signInContinueURL: 'http://127.0.0.1:5/' }, { authDomain: undefined }],
    [{ ...base, authEmulatorHost: '127.0.0.1:9099' }, { authEmulatorURL: 'http://127.0.0.1:9099' }],
    [{ ...base, authEmulatorHost: 'http://localhost:9099/' }, { authEmulatorURL: 'http://localhost:9099' }],
    [{ ...base, authEmulatorHost: '', signInContinueURL: null }, { authEmulatorURL: undefined }],
  ];
  for (const [raw, expected] of accepted) {
    const config = parseConfig(raw);
    for (const [key, value] of Object.entries(expected)) assert.equal(config[key], value, `${JSON.stringify(raw)} ${key}`);
  }
  const refused = [
    null, 'text', [], {}, { ...base, apiKey: '' }, { ...base, apiKey: 7 }, { ...base, projectId: '  ' },
    { ...base, endpointBaseURL: undefined }, { ...base, endpointBaseURL: 'api.example.com' },
    { ...base, endpointBaseURL: 'file:///etc' }, { ...base, endpointBaseURL: 'https://a.example.com/?x=1' },
    { ...base, authDomain: undefined }, { ...base, authDomain: 5 }, { ...base, signInContinueURL: 'veltrano://x' },
    { ...base, authEmulatorHost: '127.0.0.1' }, { ...base, authEmulatorHost: '127.0.0.1:9099/path' },
    { ...base, authEmulatorHost: true },
  ];
  for (const raw of refused) assert.throws(() => parseConfig(raw), ConfigError, JSON.stringify(raw));
});

test('config.json that cannot be fetched or read is a ConfigError', async () => {
  const answer = (status, body) => async () => ({ ok: status === 200, status, text: async () => body });
  await assert.rejects(loadConfig(async () => { throw new TypeError('Load failed'); }), ConfigError);
  await assert.rejects(loadConfig(answer(404, '')), ConfigError);
  await assert.rejects(loadConfig(answer(200, '{"apiKey":')), ConfigError);
  assert.equal((await loadConfig(answer(200, JSON.stringify(base)))).projectId, 'p');
});

test('which address completes a link, and what a pasted text holds', () => {
  const decisions = [
    [{ linkEmail: undefined, storedEmail: 'a@x.org' }, { email: 'a@x.org' }],
    [{ linkEmail: ' A@X.org', storedEmail: 'a@x.org' }, { email: 'a@x.org' }],
    [{ linkEmail: 'b@x.org', storedEmail: 'a@x.org' }, { confirm: 'other', suggested: 'b@x.org' }],
    [{ linkEmail: 'b@x.org', storedEmail: undefined }, { confirm: 'unknown', suggested: 'b@x.org' }],
    [{ linkEmail: undefined, storedEmail: null }, { confirm: 'unknown', suggested: '' }],
  ];
  for (const [input, expected] of decisions) assert.deepEqual(completionEmail(input), expected, JSON.stringify(input));

  const link = 'https://c.example.com/?mode=signIn&oobCode=X&apiKey=k';
  const pasted = [
    [`  ${link}\n`, link],
    [`veltrano://auth/callback?emailLink=${encodeURIComponent(link)}`, link],
    [`VELTRANO://auth/callback?email=a%40x.org&emailLink=${encodeURIComponent(link)}`, link],
    ['veltrano://auth/callback?email=a', ''],
    [undefined, ''],
  ];
  for (const [text, expected] of pasted) assert.equal(emailLinkFrom(text), expected, text);

  for (const [text, ok] of [['a@x.org', true], [' a.b@x.co.uk ', true], ['a@x', false], ['a b@x.org', false], ['', false]])
    assert.equal(looksLikeEmail(text), ok, text);
});

test('errors read as plain words, never as codes', () => {
  const cases = [
    [{ code: 'auth/invalid-email' }, 'send', /doesn't look like an email address/],
    [{ code: 'auth/invalid-email' }, 'complete', /sent to a different email address/],
    [{ code: 'auth/invalid-action-code' }, 'complete', /expired or has already been used/],
    [{ code: 'auth/network-request-failed' }, 'send', /can't reach the sign-in service/],
    [{ code: 'auth/unauthorized-continue-uri' }, 'send', /isn't set up correctly/],
    [{ code: 'auth/something-new', message: 'Firebase: Error (auth/something-new).' }, 'send', /^Something went wrong/],
    [new Error('boom'), 'complete', /^Something went wrong/],
  ];
  for (const [error, step, expected] of cases) {
    const text = messageFor(error, step);
    assert.match(text, expected);
    assert.doesNotMatch(text, /auth\/|Firebase/);
  }
});

test('the recording line: each state, a missing or odd field, a failure with and without its message, the camera fallback', () => {
  const at = '2026-12-08T12:00:05.123Z';
  const recording = { answerId: 'A', state: 'recording', clipIndex: 1, clipStartedAt: at, code: null, message: null };
  const failed = { ...recording, state: 'failed', clipIndex: null, clipStartedAt: null };
  const cases = [
    // [detail, state, code, text]
    [recording, 'recording', null, 'Recording answer A — clip 2, since 12:00:05'],
    [{ ...recording, clipIndex: 0, clipStartedAt: '2026-12-08T23:59:59Z' }, 'recording', null, 'Recording answer A — clip 1, since 23:59:59'],
    [{ ...recording, clipStartedAt: 'yesterday' }, 'recording', null, 'Recording answer A — clip 2'],
    [{ ...recording, clipStartedAt: null, clipIndex: -1 }, 'recording', null, 'Recording answer A'],
    [{ ...recording, clipIndex: 1.5, answerId: null }, 'recording', null, 'Recording, since 12:00:05'],
    [{ ...recording, answerId: '  ', code: 'camera_unavailable' }, 'recording', null, 'Recording — clip 2, since 12:00:05'],
    [{ ...recording, state: 'stopped', code: 'recording_failed' }, 'stopped', null, 'Stopped'],
    [{ ...failed, code: 'recording_failed', message: 'The camera was\n unplugged. ' }, 'failed', 'recording_failed',
     'Recording stopped: The camera was unplugged.'],
    [{ ...failed, code: 'camera_unavailable', message: null }, 'failed', 'camera_unavailable', "Recording stopped: the camera isn't available"],
    [{ ...failed, code: 'recording_failed', message: '' }, 'failed', 'recording_failed', 'Recording stopped: the recording failed'],
    [{ ...failed, code: 'disk_on_fire', message: null }, 'failed', 'disk_on_fire', 'Recording stopped'],
    [{ ...failed, code: null, message: 'Disk full.' }, 'failed', null, 'Recording stopped: Disk full.'],
    // The chosen camera is not connected and the default records: its words beside the line.
    [{ ...recording, code: 'camera_fallback', message: ' The chosen camera\nisn\'t connected. ', camera: { id: 'usb-2', name: 'Desk' } },
     'recording', 'camera_fallback', 'Recording answer A — clip 2, since 12:00:05', "The chosen camera isn't connected."],
    [{ ...recording, code: 'camera_fallback', camera: { id: 'usb-2', name: 'Desk Cam' } }, 'recording', 'camera_fallback',
     'Recording answer A — clip 2, since 12:00:05', "Your chosen camera isn't connected, so Desk Cam is recording."],
    [{ ...recording, code: 'camera_fallback', message: '', camera: null }, 'recording', 'camera_fallback',
     'Recording answer A — clip 2, since 12:00:05', "Your chosen camera isn't connected, so the system default camera is recording."],
    [{ ...recording, camera: { id: 'usb-2', name: 'Desk' }, message: 'Not a fallback.' }, 'recording', null,
     'Recording answer A — clip 2, since 12:00:05'],
    [{ ...failed, code: 'camera_fallback', message: 'Gone.' }, 'failed', 'camera_fallback', 'Recording stopped: Gone.'],
    [{ ...recording, state: 'paused' }, 'unknown', null, ''],
    [{}, 'unknown', null, ''],
    [null, 'idle', null, 'Not recording'],
    ['recording', 'idle', null, 'Not recording'],
  ];
  for (const [detail, state, code, text, note = null] of cases)
    assert.deepEqual(recordingView(detail, { timeZone: 'UTC' }), { state, code, text, note }, JSON.stringify(detail));
  // The clock is the person's own: the same instant in Berlin in December.
  assert.match(recordingView(recording, { timeZone: 'Europe/Berlin' }).text, /since 13:00:05$/);
});

test('a clip reads as its state, how far it got, a repeated attempt and its error; nothing internal shows', () => {
  const clip = {
    clipId: 'c-1', objectPath: 'users/u-secret/sessions/s-secret/answers/A/clip.mp4', userId: 'u-secret',
    sessionId: 's-secret', answerId: 'A', state: 'uploading', bytesSent: 450, bytesTotal: 1000, attempt: 1, error: null,
  };
  const cases = [
    // [changes, state, status, progress, error]
    [{}, 'uploading', 'Uploading 45%', 45, null],
    [{ bytesSent: 999, bytesTotal: 1000 }, 'uploading', 'Uploading 99%', 99, null],
    [{ bytesSent: 1200, attempt: 3, error: 'timed out' }, 'uploading', 'Uploading 100%, attempt 3', 100, 'timed out'],
    [{ bytesSent: 0, bytesTotal: 0 }, 'uploading', 'Uploading', 'indeterminate', null],
    [{ bytesSent: null, bytesTotal: null }, 'uploading', 'Uploading', 'indeterminate', null],
    [{ bytesSent: 5, bytesTotal: Infinity }, 'uploading', 'Uploading', 'indeterminate', null],
    [{ state: 'recording', objectPath: null, bytesSent: 0, bytesTotal: 0, attempt: 0 }, 'recording', 'Recording', null, null],
    [{ state: 'queued', bytesSent: 0, attempt: 0 }, 'queued', 'Waiting to upload', null, null],
    [{ state: 'uploaded', bytesSent: 0, bytesTotal: 0, attempt: 2, error: 'HTTP 503' }, 'uploaded', 'Uploaded', 100, null],
    [{ state: 'failed', attempt: 2, error: ' HTTP 503 ' }, 'failed', "Didn't upload, will try again, attempt 2", null, 'HTTP 503'],
    [{ state: 'gaveUp', attempt: 3, error: 'HTTP 400' }, 'gaveUp', "Couldn't be uploaded, attempt 3", null, 'HTTP 400'],
    [{ state: 'gaveUp', attempt: '3', error: 42 }, 'gaveUp', "Couldn't be uploaded", null, null],
    [{ state: 'archived' }, 'unknown', 'Status not known', null, null],
    [{ state: undefined, answerId: null }, 'unknown', 'Status not known', null, null],
  ];
  for (const [changes, state, status, progress, error] of cases) {
    const view = clipView({ ...clip, ...changes });
    assert.deepEqual({ state: view.state, status: view.status, progress: view.progress, error: view.error },
                     { state, status, progress, error }, JSON.stringify(changes));
    assert.equal(view.title, changes.answerId === null ? 'A clip' : 'Answer A');
    assert.doesNotMatch(`${view.title} ${view.status} ${view.error}`, /secret|users\/|c-1|NaN|undefined|\{/);
  }
  assert.equal(clipView(clip).clipId, 'c-1');
  assert.equal(clipView({ ...clip, clipId: null }).clipId, null);
});

test('the upload list: the pending count in words, clips in order, anything malformed read as nothing', () => {
  const pending = [[0, 'Nothing waiting to upload'], [1, '1 clip waiting to upload'], [12, '12 clips waiting to upload'],
                   [null, ''], [undefined, ''], [-1, ''], [2.5, ''], ['3', '']];
  for (const [count, text] of pending) assert.equal(uploadsView({ clips: [], pending: count }).pending, text, String(count));

  const clips = [{ clipId: 'a', state: 'uploaded' }, null, 'clip', { clipId: 'b', state: 'queued' }];
  assert.deepEqual(uploadsView({ clips, pending: 1 }).clips.map((c) => [c.clipId, c.state]), [['a', 'uploaded'], ['b', 'queued']]);
  for (const detail of [null, undefined, 'x', {}, { clips: 'many', pending: 2 }])
    assert.deepEqual(uploadsView(detail).clips, [], JSON.stringify(detail));
});

test('a frame answer: a newer frame, a stop, and anything that cannot move the preview on', () => {
  const headers = (frame, capturedAt) => (name) => ({ 'X-Veltrano-Frame': frame, 'X-Veltrano-Captured-At': capturedAt })[name] ?? null;
  const cases = [
    // [status, frame header, captured-at header, after, answer]
    [200, '1', '1765195205123.25', 0, { kind: 'frame', number: 1, capturedAt: 1765195205123.25 }],
    [200, ' 42 ', '1765195205123', 41, { kind: 'frame', number: 42, capturedAt: 1765195205123 }],
    [200, '43', null, 41, { kind: 'frame', number: 43, capturedAt: null }],
    [200, '43', 'soon', 41, { kind: 'frame', number: 43, capturedAt: null }],
    [200, '43', '', 41, { kind: 'frame', number: 43, capturedAt: null }],
    [204, null, null, 7, { kind: 'stopped' }],
    [204, '8', '1', 7, { kind: 'stopped' }],
    // Not newer, not a whole number, missing (as when the headers are not exposed to the page).
    [200, '7', '1', 7, { kind: 'broken' }],
    [200, '6', '1', 7, { kind: 'broken' }],
    [200, '8.5', '1', 7, { kind: 'broken' }],
    [200, '-9', '1', 0, { kind: 'broken' }],
    [200, '9007199254740993', '1', 0, { kind: 'broken' }],
    [200, null, '1', 0, { kind: 'broken' }],
    [500, '8', '1', 7, { kind: 'broken' }],
    [404, null, null, 0, { kind: 'broken' }],
  ];
  for (const [status, frame, capturedAt, after, answer] of cases)
    assert.deepEqual(frameAnswer(status, headers(frame, capturedAt), after), answer, JSON.stringify([status, frame, capturedAt, after]));
  assert.equal(frameURL('http://127.0.0.1:5/preview/frame', 0), 'http://127.0.0.1:5/preview/frame?after=0');
  assert.equal(frameURL('http://127.0.0.1:5/p?token=x', 12), 'http://127.0.0.1:5/p?token=x&after=12');
});

test('preview statistics: the rate over about a second, the mean latency of the last 30 frames, a restart', () => {
  const view = {};
  const stats = new PreviewStats(view);
  assert.deepEqual(view, { frames: 0, lastFrame: 0, fps: 0, latencyMs: null });
  // 25 frames a second for two seconds, each drawn 10 ms after capture, then 40 for the last 30.
  const start = 1_765_195_205_000;
  for (let i = 0; i < 50; i += 1) stats.drawn(i + 1, start + i * 40, start + i * 40 - (i < 20 ? 10 : 40));
  assert.equal(view.frames, 50);
  assert.equal(view.lastFrame, 50);
  assert.ok(Math.abs(view.fps - 25) < 0.01, String(view.fps));
  assert.equal(view.latencyMs, 40);
  // Slower now: one frame in 400 ms, the rate follows within about a second.
  for (let i = 0; i < 4; i += 1) stats.drawn(60 + i, start + 2000 + i * 400, null);
  assert.ok(Math.abs(view.fps - 2.5) < 0.01, String(view.fps));
  assert.equal(view.latencyMs, 40, 'frames without a capture time leave the mean alone');
  // One frame every two seconds still has a rate.
  stats.drawn(70, start + 5200, start + 5200);
  assert.ok(Math.abs(view.fps - 0.5) < 0.01, String(view.fps));
  assert.equal(view.latencyMs, (29 * 40 + 0) / 30);
  stats.paused();
  assert.equal(view.fps, 0);
  // After a restart: the count goes on, the windows start over.
  stats.restart();
  stats.drawn(1, start + 9000, start + 8995.5);
  assert.deepEqual(view, { frames: 56, lastFrame: 1, fps: 0, latencyMs: 4.5 });
  stats.drawn(2, start + 9033, start + 9030);
  assert.ok(Math.abs(view.fps - 1000 / 33) < 0.01, String(view.fps));
  assert.equal(view.latencyMs, 3.75);
});

test('a failed call reads as plain words, a preview start in particular', () => {
  const failure = (code, message) => Object.assign(new Error(message), { code });
  const cases = [
    [failure('camera_unavailable', 'The camera is in use by another program.'), 'The camera is in use by another program.'],
    [failure('camera_unavailable', ' Unplugged.\n '), 'Unplugged.'],
    [failure('camera_unavailable', 'camera_unavailable'), "The camera isn't available."],
    [failure('camera_unavailable', ''), "The camera isn't available."],
    [failure('camera_unavailable', 'device_open_failed'), "The camera isn't available."],
    [failure('internal', 'Segment writer crashed'), "The preview couldn't start."],
    [new Error('Veltrano native bridge not available'), "The preview couldn't start."],
  ];
  for (const [error, text] of cases) assert.equal(startFailure(error), text, error.message);
  // Any call's failure: a one-word code in the message place is no message either.
  for (const [error, text] of [[failure('busy', 'busy'), 'Fallback.'], [failure('busy', 'Busy.'), 'Busy.'], [null, 'Fallback.']])
    assert.equal(bridgeMessage(error, 'Fallback.'), text, JSON.stringify(error?.message));
});

test('the camera menu from a list: the default first with its name, the chosen one marked, none, an unplugged choice', () => {
  const builtIn = { id: 'built-in', name: 'Built-in Camera', isDefault: true, isSelected: false };
  const desk = { id: 'usb-2', name: '  Desk\nCam ', isDefault: false, isSelected: false };
  const shown = (view) => [view.options.map((o) => `${o.selected ? '*' : ''}${o.value}=${o.label}`), view.disabled, view.note, view.remember];
  const deskChosen = { id: 'usb-2', name: 'Desk Cam' };
  const cases = [
    // [list, remembered, options, disabled, note, remember]
    [[builtIn, desk], null, ['*=System default (Built-in Camera)', 'built-in=Built-in Camera', 'usb-2=Desk Cam'], false, '', null],
    [[builtIn, { ...desk, isSelected: true }], null, ['=System default (Built-in Camera)', 'built-in=Built-in Camera', '*usb-2=Desk Cam'],
     false, '', deskChosen],
    [[{ ...builtIn, isSelected: true }, desk], deskChosen, ['=System default (Built-in Camera)', '*built-in=Built-in Camera', 'usb-2=Desk Cam'],
     false, '', { id: 'built-in', name: 'Built-in Camera' }],
    // No default camera known: the option has no name in parentheses.
    [[{ ...desk, isDefault: false }], null, ['*=System default', 'usb-2=Desk Cam'], false, '', null],
    // The remembered camera is here but not chosen: the default was chosen elsewhere.
    [[builtIn, desk], deskChosen, ['*=System default (Built-in Camera)', 'built-in=Built-in Camera', 'usb-2=Desk Cam'], false, '', null],
    // Unplugged: kept in mind, and said.
    [[builtIn], deskChosen, ['*=System default (Built-in Camera)', 'built-in=Built-in Camera'], false,
     "“Desk Cam” isn't connected, so the system default is used.", deskChosen],
    [[builtIn], { id: 'usb-2', name: '' }, ['*=System default (Built-in Camera)', 'built-in=Built-in Camera'], false,
     "The camera you chose isn't connected, so the system default is used.", { id: 'usb-2', name: '' }],
    [[], deskChosen, ['*=No camera found'], true, '', deskChosen],
    [[], null, ['*=No camera found'], true, '', null],
    [null, null, ['*=No camera found'], true, '', null],
    // Malformed entries and a repeated id are left out; a nameless camera still reads.
    [[null, { name: 'No id' }, { id: '', name: 'Empty' }, { id: 7 }, builtIn, { ...builtIn, name: 'Again', isSelected: true },
      { id: 'x', name: '  ', isSelected: 'yes' }], null,
     ['*=System default (Built-in Camera)', 'built-in=Built-in Camera', 'x=Unnamed camera'], false, '', null],
  ];
  for (const [list, remembered, options, disabled, note, remember] of cases)
    assert.deepEqual(shown(cameraMenuView(list, remembered)), [options, disabled, note, remember], JSON.stringify([list, remembered]));
  assert.ok(cameraMenuView([builtIn, { ...desk, isSelected: true }, { ...builtIn, id: 'b', isSelected: true }]).options
    .filter((option) => option.selected).length === 1, 'one option selected');
});
