// The web app's entry: reads config.json, signs the person in by email link
// through the identity service, keeps stored clips uploading once a token
// exists and shows what the native side records and uploads, with a live
// camera preview and the camera menu. Screens are
// sections of index.html; one is shown at a time.

import { initializeApp } from 'firebase/app';
import {
  browserLocalPersistence,
  connectAuthEmulator,
  indexedDBLocalPersistence,
  initializeAuth,
  isSignInWithEmailLink,
  onAuthStateChanged,
  sendSignInLinkToEmail,
  signInWithEmailLink,
  signOut,
} from 'firebase/auth';
import { loadConfig } from './config.js';
import { completionEmail, emailLinkFrom, looksLikeEmail } from './links.js';
import { messageFor, notASignInLink } from './messages.js';
import { createCameraMenu } from './cameras.js';
import { bridge, checkBridge } from './native.js';
import { createPreview, PreviewStats } from './preview.js';
import { renderRecording, renderUploads } from './status.js';
import { startUploadRetries } from './uploads.js';

const $ = (id) => document.getElementById(id);
// Kept from "send" until the link completes, so the address need not be
// typed twice; its presence also means a link is on its way.
const emailKey = 'veltrano.signInEmail';

// Deep links can arrive before the identity service is ready; they wait.
const waitingLinks = [];
let receiveLink = (link) => waitingLinks.push(link);
window.__veltranoReceiveAuthCallback = (link) => receiveLink(link ?? {});

// The native side re-sends its latest states at every load, possibly before
// sign-in; they are shown whenever the signed-in screen is.
const uploadsElements = { list: $('uploads'), pending: $('uploads-pending') };
let uploadEvents = 0;
window.addEventListener('veltrano:recording-state', (event) => renderRecording($('recording-state'), event.detail));
window.addEventListener('veltrano:upload-state', (event) => {
  uploadEvents += 1;
  renderUploads(uploadsElements, event.detail);
});

// The preview and the camera menu run only on the signed-in screen; their
// statistics are on window.veltranoPreviewStats for tests and benchmarks.
const previewStats = new PreviewStats((window.veltranoPreviewStats = {}));
const preview = createPreview({
  native: bridge(),
  stats: previewStats,
  elements: {
    area: $('preview-area'), box: $('preview-box'), canvas: $('preview'), show: $('preview-show'),
    hide: $('preview-hide'), note: $('preview-note'), message: $('preview-message'),
  },
});
const cameraMenu = createCameraMenu({
  native: bridge(),
  elements: { area: $('camera-choice'), menu: $('camera-menu'), note: $('camera-note'), message: $('camera-message') },
  onSelected: () => preview.cameraSelected(),
  onChanged: (cameras) => preview.camerasChanged(cameras),
});

// An older native side answers "unknown_method"; the events alone then fill
// the list. An event that arrives while the answer is on its way is newer.
async function askUploadStatus() {
  const native = bridge();
  if (!native) return;
  const seen = uploadEvents;
  let status;
  try {
    status = await native.call('uploadStatus');
  } catch {
    return;
  }
  if (seen === uploadEvents && status !== null && typeof status === 'object') renderUploads(uploadsElements, status);
}

let auth = null;
let previousScreen = 'email';

function show(screen) {
  if (document.body.dataset.screen !== 'confirm' && screen === 'confirm')
    previousScreen = document.body.dataset.screen;
  document.body.dataset.screen = screen;
  for (const section of document.querySelectorAll('main > section'))
    section.hidden = section.dataset.screen !== screen;
  $('paste').hidden = screen !== 'email' && screen !== 'sent';
  $('paste').open = screen === 'sent';
  const heading = document.querySelector(`main > section[data-screen="${screen}"] h1`);
  if (heading && document.activeElement?.tagName !== 'INPUT') heading.focus({ preventScroll: true });
}

function say(id, text) {
  $(id).textContent = text ?? '';
}

function clearMessages() {
  for (const id of ['email-message', 'paste-message', 'confirm-message']) say(id, '');
}

// Runs one request with its form's controls disabled.
async function busy(form, work) {
  const controls = form.querySelectorAll('button, input');
  for (const control of controls) control.disabled = true;
  try {
    return await work();
  } finally {
    for (const control of controls) control.disabled = false;
  }
}

async function sendLink(email) {
  const settings = { url: config.signInContinueURL, handleCodeInApp: true };
  await sendSignInLinkToEmail(auth, email, settings);
  localStorage.setItem(emailKey, email);
  say('sent-to', email);
  clearMessages();
  show('sent');
}

// Completes a link with an address; failures land on `screenOnFailure`.
async function complete(link, email, screenOnFailure, messageId) {
  show('working');
  try {
    await signInWithEmailLink(auth, email, link);
    localStorage.removeItem(emailKey);
    // onAuthStateChanged shows the signed-in screen.
  } catch (error) {
    const expired = error?.code === 'auth/invalid-action-code' || error?.code === 'auth/expired-action-code';
    if (error?.code === 'auth/invalid-email') {
      askForEmail(link, 'mismatch', '');
    } else {
      show(expired ? (localStorage.getItem(emailKey) ? 'sent' : 'email') : screenOnFailure);
      say(expired ? (localStorage.getItem(emailKey) ? 'paste-message' : 'email-message') : messageId,
          messageFor(error, 'complete'));
    }
  }
}

let confirmingLink = null;
function askForEmail(link, reason, suggested) {
  confirmingLink = link;
  const stored = localStorage.getItem(emailKey);
  const reasons = {
    other: `This link was sent to another address than ${stored}, the one you typed here. ` +
      'Sign in with it only if that address is yours.',
    unknown: 'Type the email address the sign-in link was sent to.',
    mismatch: 'This link was sent to a different email address. Type the address it was sent to.',
  };
  say('confirm-reason', reasons[reason]);
  say('confirm-message', '');
  $('confirm-input').value = suggested;
  show('confirm');
}

// A link from the deep link or the paste field.
function useLink(link, linkEmail, messageId) {
  if (!link || !isSignInWithEmailLink(auth, link)) {
    const screen = auth.currentUser ? 'signed-in' : localStorage.getItem(emailKey) ? 'sent' : 'email';
    show(screen);
    say(screen === 'signed-in' ? 'signed-in-message' : messageId, notASignInLink);
    return;
  }
  const storedEmail = localStorage.getItem(emailKey) ?? undefined;
  const current = auth.currentUser?.email;
  // The account that is signed in already: nothing to do.
  if (current && (linkEmail ?? storedEmail)?.toLowerCase() === current.toLowerCase()) return;
  const decision = completionEmail({ linkEmail, storedEmail });
  if (decision.email) complete(link, decision.email, storedEmail ? 'sent' : 'email', messageId);
  else askForEmail(link, decision.confirm, decision.suggested);
}

let stopRetries = () => {};
function onUser(user) {
  stopRetries();
  stopRetries = () => {};
  if (!user) {
    preview.stop();
    say('signed-in-as', '');
    if (document.body.dataset.screen === 'signed-in' || document.body.dataset.screen === 'starting') {
      const stored = localStorage.getItem(emailKey);
      if (stored) say('sent-to', stored);
      $('email-input').value = stored ?? '';
      show(stored ? 'sent' : 'email');
    }
    return;
  }
  say('signed-in-as', user.email ?? '');
  say('signed-in-message', '');
  show('signed-in');
  askUploadStatus();
  preview.start();
  cameraMenu.load();
  // A refreshed token: clips may wait a while before they upload.
  stopRetries = startUploadRetries({ native: bridge(), freshToken: () => user.getIdToken(true) });
}

function wire() {
  $('email-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const email = $('email-input').value.trim();
    if (!looksLikeEmail(email)) return say('email-message', messageFor({ code: 'auth/invalid-email' }));
    busy($('email-form'), () => sendLink(email).catch((error) => say('email-message', messageFor(error, 'send'))));
  });
  $('paste-form').addEventListener('submit', (event) => {
    event.preventDefault();
    useLink(emailLinkFrom($('paste-input').value), undefined, 'paste-message');
    $('paste-input').value = '';
  });
  $('resend').addEventListener('click', () => {
    const email = localStorage.getItem(emailKey);
    if (email) sendLink(email).catch((error) => say('paste-message', messageFor(error, 'send')));
  });
  $('other-email').addEventListener('click', () => {
    localStorage.removeItem(emailKey);
    clearMessages();
    show('email');
    $('email-input').focus();
  });
  $('confirm-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const email = $('confirm-input').value.trim();
    if (!looksLikeEmail(email)) return say('confirm-message', messageFor({ code: 'auth/invalid-email' }));
    complete(confirmingLink, email, 'confirm', 'confirm-message');
  });
  $('confirm-cancel').addEventListener('click', () => {
    confirmingLink = null;
    show(auth.currentUser ? 'signed-in' : previousScreen === 'confirm' ? 'email' : previousScreen);
  });
  $('sign-out').addEventListener('click', async () => {
    stopRetries();
    await signOut(auth);
    // Everything this page keeps goes with the account.
    localStorage.clear();
    sessionStorage.clear();
    $('email-input').value = '';
    clearMessages();
    show('email');
  });
}

let config;
async function start() {
  checkBridge().then((state) => (document.body.dataset.bridge = state));
  try {
    config = await loadConfig();
  } catch {
    show('unconfigured');
    return;
  }
  const app = initializeApp({ apiKey: config.apiKey, authDomain: config.authDomain, projectId: config.projectId });
  // IndexedDB first, localStorage where a web view offers no IndexedDB.
  auth = initializeAuth(app, { persistence: [indexedDBLocalPersistence, browserLocalPersistence] });
  if (config.authEmulatorURL) {
    connectAuthEmulator(auth, config.authEmulatorURL, { disableWarnings: true });
    $('emulator-note').hidden = false;
  }
  wire();
  await auth.authStateReady();
  onAuthStateChanged(auth, onUser);
  receiveLink = ({ emailLink, email }) =>
    useLink(emailLinkFrom(emailLink), typeof email === 'string' && email !== '' ? email : undefined,
            localStorage.getItem(emailKey) ? 'paste-message' : 'email-message');
  for (const link of waitingLinks.splice(0)) receiveLink(link);
}

start();
