// Submits forms from a real browser to the echo program behind lighttpd
// (mod_cgi) and checks what the browser makes of the answer: form data
// shows up as text and markup in it never runs, unless the data opts out
// with a leading "nosanitize=1".
//
//   node echo_forms.mjs --program <cgiecho> --artifacts <dir>
//     [--chromium /usr/bin/chromium] [--lighttpd lighttpd]
//
// Screenshots of every answer go to <dir>/<case>.png.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

import { CHROMIUM_ARGS, parseArgs, startLighttpd, stopLighttpd } from './lighttpd.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const args = parseArgs(process.argv.slice(2));
const program = required('program');
const artifacts = required('artifacts');
const chromiumPath = args.chromium ?? '/usr/bin/chromium';
const lighttpdPath = args.lighttpd ?? 'lighttpd';

const PAYLOAD = `<img src=x onerror="document.title='owned'">`;
// What the browser sends for a field f holding PAYLOAD: the urlencoded form
// escapes every byte but letters, digits and a few marks, a space as "+".
const URLENCODED = 'f=%3Cimg+src%3Dx+onerror%3D%22document.title%3D%27owned%27%22%3E';

// data: the bytes between "<html><body>" and the final CR LF of the page,
// exactly as the program wrote them. text: the page's text as the browser
// parsed it (CR LF reads as LF). markup: whether PAYLOAD became an element.
const cases = [
  { name: 'get', form: 'get', data: URLENCODED, text: `${URLENCODED}\n`, markup: false },
  { name: 'post-urlencoded', form: 'post', data: URLENCODED, text: `${URLENCODED}\n`, markup: false },
  {
    name: 'post-text-plain',
    form: 'plain',
    data: `f=${PAYLOAD.replaceAll('<', '&lt;')}\r\n`,
    text: `f=${PAYLOAD}\n\n`,
    markup: false,
  },
  {
    name: 'post-text-plain-nosanitize',
    form: 'optout',
    data: `nosanitize=1\r\nf=${PAYLOAD}\r\n`,
    text: 'nosanitize=1\nf=\n\n',
    markup: true,
  },
  // The bytes are the data, but a browser reads "&not" as a character
  // reference even without its semicolon, as the README warns.
  { name: 'get-legacy-reference', form: 'pairs', fill: false, data: 'name=Ann&note=x', text: 'name=Ann\u00ACe=x\n', markup: false },
];

const PAGE_HEAD = '<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.0 Transitional//EN">\r\n<html><body>';
const PAGE_TAIL = '\r\n</body></html>';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'cgiecho-browser-'));
let server = null;
let context = null;

// Ends the run before CTest's own timeout would, so the server and the
// browser are always stopped here rather than left behind.
const deadline = setTimeout(() => {
  console.error('FAIL: the run took longer than 150 s');
  cleanup().finally(() => process.exit(1));
}, 150_000);
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, () => cleanup().finally(() => process.exit(1)));
}

let failed = 0;
try {
  for (const [file, what] of [[program, 'the echo program'], [chromiumPath, 'chromium']]) {
    if (!fs.existsSync(file)) throw new Error(`${what} not found at ${file}`);
  }
  fs.mkdirSync(artifacts, { recursive: true });
  const port = await startServer();
  const base = `http://127.0.0.1:${port}`;

  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath: chromiumPath,
    headless: true,
    args: CHROMIUM_ARGS,
  });
  // Counts every failed resource load (an injected <img src=x> makes one)
  // before any of the page's own content runs.
  await context.addInitScript(() => {
    window.__resourceErrors = 0;
    window.addEventListener('error', (e) => { if (e.target !== window) window.__resourceErrors += 1; }, true);
  });
  const page = context.pages()[0] ?? (await context.newPage());

  for (const c of cases) {
    const problems = await runCase(page, base, c);
    if (problems.length === 0) {
      console.log(`ok   ${c.name}`);
    } else {
      failed += 1;
      console.log(`FAIL ${c.name}\n  - ${problems.join('\n  - ')}`);
    }
  }
  console.log(`${cases.length - failed} passed, ${failed} failed`);
} catch (err) {
  failed += 1;
  console.error(`FAIL: ${err.stack ?? err}`);
  const log = path.join(work, 'error.log');
  if (fs.existsSync(log)) console.error(`lighttpd error log:\n${fs.readFileSync(log, 'utf8')}`);
} finally {
  await cleanup();
  clearTimeout(deadline);
}
process.exit(failed === 0 ? 0 : 1);

// Fills the form's field with PAYLOAD, submits it and returns what is wrong
// with the answer; an empty list when nothing is.
async function runCase(page, base, c) {
  const problems = [];
  await page.goto(`${base}/index.html`);
  if (c.fill !== false) await page.fill(`#${c.form} input[name=f]`, PAYLOAD);
  const [response] = await Promise.all([
    page.waitForResponse((r) => r.url().startsWith(`${base}/cgi-bin/cgiecho`) && r.request().isNavigationRequest()),
    page.click(`#${c.form} button[type=submit]`),
  ]);
  await page.waitForLoadState('load');

  const body = (await response.body()).toString('latin1');
  const want = PAGE_HEAD + c.data + PAGE_TAIL;
  if (body !== want) problems.push(`the program wrote ${JSON.stringify(body)}, expected ${JSON.stringify(want)}`);
  const type = response.headers()['content-type'];
  if (type !== 'text/html') problems.push(`Content-Type is ${JSON.stringify(type)}`);

  if (c.markup) {
    // The onerror handler runs once the image has failed to load.
    await page.waitForFunction(() => document.title === 'owned', null, { timeout: 10_000 })
      .catch(() => problems.push('the onerror script never ran'));
  } else {
    // Give a handler that should not exist the time to run anyway.
    await page.waitForTimeout(500);
  }
  const seen = await page.evaluate(() => ({
    title: document.title,
    images: document.querySelectorAll('img').length,
    scripts: document.scripts.length,
    handlers: [...document.querySelectorAll('*')].flatMap((el) =>
      [...el.attributes].filter((a) => a.name.startsWith('on')).map((a) => `${el.tagName}.${a.name}`)),
    resourceErrors: window.__resourceErrors,
    text: document.body.textContent,
  }));
  await page.screenshot({ path: path.join(artifacts, `${c.name}.png`), fullPage: true });

  if (seen.text !== c.text) problems.push(`the page reads ${JSON.stringify(seen.text)}, expected ${JSON.stringify(c.text)}`);
  if (c.markup) {
    if (seen.title !== 'owned') problems.push(`title is ${JSON.stringify(seen.title)}, not "owned"`);
    if (seen.images !== 1) problems.push(`${seen.images} <img> elements, expected the injected one`);
    if (seen.resourceErrors < 1) problems.push('the injected image never failed to load');
  } else {
    if (seen.title === 'owned') problems.push('the injected onerror script ran');
    if (seen.images !== 0) problems.push(`${seen.images} <img> elements were injected`);
    if (seen.scripts !== 0) problems.push(`${seen.scripts} <script> elements on the page`);
    if (seen.handlers.length !== 0) problems.push(`event handler attributes: ${seen.handlers.join(', ')}`);
    if (seen.resourceErrors !== 0) problems.push(`${seen.resourceErrors} failed resource loads: something was injected`);
  }
  return problems;
}

// lighttpd on 127.0.0.1 with the test page as index.html and the program
// in /cgi-bin/.
async function startServer() {
  const root = path.join(work, 'htdocs');
  fs.mkdirSync(path.join(root, 'cgi-bin'), { recursive: true });
  fs.copyFileSync(path.join(here, 'forms.html'), path.join(root, 'index.html'));
  fs.copyFileSync(program, path.join(root, 'cgi-bin', 'cgiecho'));
  fs.chmodSync(path.join(root, 'cgi-bin', 'cgiecho'), 0o755);
  const started = await startLighttpd(lighttpdPath, path.join(work, 'lighttpd.conf'), (port) => [
    `server.document-root = "${root}"`,
    'server.bind = "127.0.0.1"',
    `server.port = ${port}`,
    'server.modules = ("mod_cgi")',
    `server.errorlog = "${path.join(work, 'error.log')}"`,
    'mimetype.assign = (".html" => "text/html; charset=utf-8")',
    'index-file.names = ("index.html")',
    '$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }',
  ]);
  server = started.child;
  return started.port;
}

async function cleanup() {
  if (context) {
    const closing = context;
    context = null;
    await closing.close().catch(() => {});
  }
  if (server) {
    const stopping = server;
    server = null;
    await stopLighttpd(stopping);
  }
  fs.rmSync(work, { recursive: true, force: true });
}

function required(name) {
  if (!args[name]) {
    console.error(`usage: node echo_forms.mjs --program <cgiecho> --artifacts <dir>; --${name} is missing`);
    process.exit(2);
  }
  return args[name];
}
