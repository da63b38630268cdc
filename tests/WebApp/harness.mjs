// What the browser tests share: the built web app served on loopback with a
// config.json of the test's choosing, Debian's Chromium driven by
// playwright-core, the page-side bridge script exactly as the app injects
// it over a fake native handler, and the identity emulator's REST API.
//
// Environment (set by run-browser-tests.sh): VELTRANO_WEB_APP_DIR (the built
// app), VELTRANO_PAGE_BRIDGE_SCRIPT, VELTRANO_NODE_MODULES (the web app's
// packages), VELTRANO_AUTH_EMULATOR (host:port).

import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { createRequire } from 'node:module';

const require = createRequire(path.join(process.env.VELTRANO_NODE_MODULES, 'node_modules', 'x.js'));
const { chromium } = require('playwright-core');

const appDir = process.env.VELTRANO_WEB_APP_DIR;
const bridgeScript = fs.readFileSync(process.env.VELTRANO_PAGE_BRIDGE_SCRIPT, 'utf8');
export const emulatorHost = process.env.VELTRANO_AUTH_EMULATOR;
export const project = 'demo-veltrano';
const emulator = `http://${emulatorHost}`;

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.json': 'application/json' };

// Serves the app under / and the continue page under /sign-in-continue/;
// `site.config` is what config.json answers: an object, a raw string, or
// null for a 404.
export async function serveApp() {
  const site = { config: null };
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://x');
    if (url.pathname === '/config.json') {
      if (site.config === null) return response.writeHead(404).end();
      const body = typeof site.config === 'string' ? site.config : JSON.stringify(site.config);
      return response.writeHead(200, { 'content-type': 'application/json' }).end(body);
    }
    const relative = url.pathname === '/' ? 'index.html' : url.pathname.replace(/^\/+/, '');
    const file = relative.startsWith('sign-in-continue/')
      ? path.join(appDir, '..', 'sign-in-continue', relative.slice('sign-in-continue/'.length) || 'index.html')
      : path.join(appDir, relative);
    if (relative.includes('..') || !fs.existsSync(file) || fs.statSync(file).isDirectory())
      return response.writeHead(404).end();
    response.writeHead(200, { 'content-type': types[path.extname(file)] ?? 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  site.origin = `http://127.0.0.1:${server.address().port}`;
  site.goodConfig = () => ({
    apiKey: 'fake-api-key',
    authDomain: 'demo-veltrano.firebaseapp.com',
    projectId: project,
    signInContinueURL: `${site.origin}/sign-in-continue/`,
    endpointBaseURL: 'http://127.0.0.1:8787',
    authEmulatorHost: emulatorHost,
  });
  site.close = () => new Promise((resolve) => server.close(resolve));
  return site;
}

export function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.VELTRANO_CHROMIUM ?? '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--no-first-run'],
  });
}

// The native side as the page meets it: the real page-side script over a
// handler that records every message in window.__native.calls and answers
// from window.__native.replies[method] (an envelope), "ping" and
// "retryPendingUploads" succeeding and anything else unknown by default.
function fakeNative() {
  const native = (window.__native = { calls: [], replies: {} });
  const defaults = {
    ping: () => ({ ok: true, data: { pong: true, timestamp: '2026-01-31T09:05:00Z' } }),
    retryPendingUploads: () => ({ ok: true, data: null }),
  };
  const postMessage = (message) => {
    native.calls.push(JSON.parse(JSON.stringify(message)));
    const reply = native.replies[message.method] ?? defaults[message.method];
    return Promise.resolve(
      reply ? (typeof reply === 'function' ? reply() : reply)
            : { ok: false, code: 'unknown_method', message: `Unknown method: ${message.method}` });
  };
  window.webkit = { messageHandlers: { veltranoBridge: { postMessage } } };
}

// A fresh profile (context, with playwright's `contextOptions`) with the
// fake native side, on the app's page. `errors` collects what the page left
// uncaught, unhandled rejections included.
export async function openApp(browser, site, { beforeLoad, contextOptions } = {}) {
  const context = await browser.newContext(contextOptions);
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.addInitScript(fakeNative);
  await page.addInitScript(bridgeScript);
  if (beforeLoad) await beforeLoad(page);
  await page.goto(`${site.origin}/index.html`);
  return { context, page, errors };
}

export const screen = (page) => page.evaluate(() => document.body.dataset.screen);
export async function waitForScreen(page, name) {
  await page.waitForFunction((want) => document.body.dataset.screen === want, name, { timeout: 15000 });
}
export const visibleText = (page) => page.evaluate(() => document.body.innerText);
export const nativeCalls = (page, method) =>
  page.evaluate((m) => window.__native.calls.filter((c) => !m || c.method === m), method);

// What the native side does to tell the page its state: a CustomEvent on window.
export const nativeEvent = (page, name, detail) =>
  page.evaluate(([name, detail]) => window.dispatchEvent(new CustomEvent(name, { detail })), [name, detail]);

// ---- The identity emulator -------------------------------------------------

async function rest(method, route, body) {
  const response = await fetch(`${emulator}${route}`, {
    method,
    headers: { 'content-type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  return response.json();
}

// Asks the emulator for a link as the page would, without a page.
export const sendLink = (email, continueUrl) =>
  rest('POST', '/identitytoolkit.googleapis.com/v1/accounts:sendOobCode?key=fake-api-key',
       { requestType: 'EMAIL_SIGNIN', email, continueUrl, canHandleCodeInApp: true });

export async function linksFor(email) {
  const { oobCodes = [] } = await rest('GET', `/emulator/v1/projects/${project}/oobCodes`);
  return oobCodes.filter((code) => code.email === email && code.requestType === 'EMAIL_SIGNIN');
}

// The continue page's own address once the email's link is opened: the
// emulator answers the link with a redirect there.
export async function continueURLFor(email) {
  const links = await linksFor(email);
  if (!links.length) throw new Error(`no link was sent to ${email}`);
  const response = await fetch(links.at(-1).oobLink, { redirect: 'manual' });
  return response.headers.get('location');
}

export const deepLinkFor = (emailLink, email) =>
  `veltrano://auth/callback?emailLink=${encodeURIComponent(emailLink)}` +
  (email === undefined ? '' : `&email=${encodeURIComponent(email)}`);

// What the native side does with a deep link: the page's callback, with
// email only when the link has one.
export function deliver(page, emailLink, email) {
  return page.evaluate(([emailLink, email]) => {
    const link = email === undefined ? { emailLink } : { emailLink, email };
    window.__veltranoReceiveAuthCallback(link);
  }, [emailLink, email]);
}

export function tokenClaims(token) {
  return JSON.parse(Buffer.from(token.split('.')[1], 'base64url').toString());
}

let counter = 0;
export const freshEmail = (name) => `${name}-${process.pid}-${++counter}@example.com`;
