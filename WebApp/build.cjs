// Builds the installed web app into one folder:
//
//   node WebApp/build.cjs --out DIR [--config FILE] [--modules DIR]
//
// The sources import packages by name and esbuild finds them, offline, in
// the node_modules of --modules, by default the folder that
// scripts/node-packages.sh installs WebApp/package-lock.json into. The output holds index.html, style.css, one minified
// app.js with everything it imports, and config.json (copied from --config
// when given). The continue page goes beside the output folder, in
// sign-in-continue/, for a deployer to host; the app never loads it.
'use strict';

const fs = require('node:fs');
const path = require('node:path');

function option(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

const out = option('--out');
const config = option('--config');
if (!out) {
  console.error('usage: node build.cjs --out DIR [--config FILE] [--modules DIR]');
  process.exit(2);
}

const source = __dirname;
const modules =
  option('--modules') ??
  require('node:child_process')
    .execFileSync('bash', [path.join(source, '..', 'scripts', 'node-packages.sh'), 'WebApp'], {
      stdio: ['ignore', 'pipe', 'inherit'],
    })
    .toString()
    .trim();
const esbuild = require(path.join(modules, 'node_modules', 'esbuild'));

// A stale file from an earlier build must not be served.
fs.rmSync(out, { recursive: true, force: true });
fs.mkdirSync(out, { recursive: true });

const result = esbuild.buildSync({
  entryPoints: [path.join(source, 'src', 'main.js')],
  outfile: path.join(out, 'app.js'),
  bundle: true,
  format: 'esm',
  minify: true,
  // The web view is WebKitGTK 2.50, the browser tests Chromium 150+.
  target: ['es2022'],
  nodePaths: [path.join(modules, 'node_modules')],
  legalComments: 'none',
  logLevel: 'warning',
  metafile: true,
});
if (result.errors.length) process.exit(1);

for (const file of ['index.html', 'style.css']) fs.copyFileSync(path.join(source, file), path.join(out, file));
if (config) fs.copyFileSync(config, path.join(out, 'config.json'));

const continueOut = path.join(out, '..', 'sign-in-continue');
fs.mkdirSync(continueOut, { recursive: true });
fs.copyFileSync(path.join(source, 'continue', 'index.html'), path.join(continueOut, 'index.html'));
