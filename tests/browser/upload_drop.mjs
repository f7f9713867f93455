// The upload example (a file drop) behind lighttpd (mod_cgi), used by a real
// browser: the form filled in, real files set on its file inputs (one with
// NUL bytes, one large enough to go through a temp file, one whose name
// needs escaping), sent, the 303 followed, and the list page read as the
// browser shows it; the kept files' bytes on disk must be the ones sent, and
// another browser sees none of them.
//
//   node upload_drop.mjs --program <cgiecho-upload> --artifacts <dir>
//     [--chromium /usr/bin/chromium] [--lighttpd lighttpd]
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

import { CHROMIUM_ARGS, parseArgs, startLighttpd, stopLighttpd } from './lighttpd.mjs';

const args = parseArgs(process.argv.slice(2));
for (const name of ['program', 'artifacts']) {
  if (!args[name]) {
    console.error(`usage: node upload_drop.mjs --program <cgiecho-upload> --artifacts <dir>; --${name} is missing`);
    process.exit(2);
  }
}
const chromiumPath = args.chromium ?? '/usr/bin/chromium';
const lighttpdPath = args.lighttpd ?? 'lighttpd';

// What the form gets. Chromium sends a '"' in a filename as "%22", and the
// program shows a filename's bytes as sent.
const binary = Buffer.concat([Buffer.from([0, 0, 1, 0, 255, 0]), crypto.randomBytes(300 << 10), Buffer.alloc(7)]);
const files = [
  { input: '#files', name: '<b>&"\'.txt', shown: '<b>&%22\'.txt', mimeType: 'text/plain', buffer: Buffer.from('<i>text</i> & more\r\n') },
  { input: '#files', name: 'nul.bin', shown: 'nul.bin', mimeType: 'application/octet-stream', buffer: binary },
  { input: '#extra', name: 'large.dat', shown: 'large.dat', mimeType: 'application/octet-stream', buffer: crypto.randomBytes(3 << 20) },
];
const title = `<b>Ann</b> & 'Lee' "x"`;
const note = 'line one\nline <two>';
const tags = ['photos', 'music'];

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'cgiecho-browser-upload-'));
const folder = path.join(work, 'uploads');
let server = null;
let browser = null;

const deadline = setTimeout(() => {
  console.error('FAIL: the run took longer than 150 s');
  cleanup().finally(() => process.exit(1));
}, 150_000);
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, () => cleanup().finally(() => process.exit(1)));
}

const problems = [];
try {
  for (const [file, what] of [[args.program, 'the upload example'], [chromiumPath, 'chromium']]) {
    if (!fs.existsSync(file)) throw new Error(`${what} not found at ${file}`);
  }
  fs.mkdirSync(args.artifacts, { recursive: true });
  const port = await startServer();
  const url = `http://127.0.0.1:${port}/cgi-bin/upload`;
  browser = await chromium.launch({ executablePath: chromiumPath, headless: true, args: CHROMIUM_ARGS });

  const page = await (await browser.newContext()).newPage();
  await page.goto(url);
  await page.fill('#title', title);
  await page.fill('#note', note);
  await page.selectOption('#tags', tags);
  for (const input of ['#files', '#extra']) {
    await page.setInputFiles(input, files.filter((f) => f.input === input)
      .map(({ name, mimeType, buffer }) => ({ name, mimeType, buffer })));
  }
  const [post] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST' && r.url() === url),
    page.click('button[type=submit]'),
  ]);
  await page.waitForURL(url);
  await page.waitForLoadState('load');
  if (post.status() !== 303 || post.headers().location !== url) {
    problems.push(`the POST got ${post.status()} to ${post.headers().location}, expected 303 to ${url}`);
  }
  if (page.url() !== url) problems.push(`the browser ended at ${page.url()}`);
  await page.screenshot({ path: path.join(args.artifacts, 'upload-list.png'), fullPage: true });

  const seen = await page.evaluate(() => ({
    rows: [...document.querySelectorAll('section.drop table.files tr')].slice(1)
      .map((tr) => [...tr.cells].map((td) => td.textContent)),
    fields: [...document.querySelectorAll('section.drop table.fields tr')].slice(1)
      .map((tr) => [...tr.cells].map((td) => td.textContent)),
    drops: document.querySelectorAll('section.drop').length,
    // The page has no <b> or <i> of its own: any would be injected.
    injected: document.querySelectorAll('section.drop b, section.drop i').length,
  }));
  if (seen.drops !== 1) problems.push(`${seen.drops} drops listed, expected 1`);
  if (seen.injected !== 0) problems.push(`${seen.injected} elements injected by the data`);
  // The browser sends the note's line break as CR LF, and reads it back
  // from the page as LF.
  const wantFields = [['title', title], ['note', note], ...tags.map((t) => ['tags', t])];
  if (JSON.stringify(seen.fields) !== JSON.stringify(wantFields)) {
    problems.push(`fields listed ${JSON.stringify(seen.fields)}, expected ${JSON.stringify(wantFields)}`);
  }
  const want = files.map((f) => [f.input.slice(1), f.shown, f.mimeType, String(f.buffer.length)]);
  const listed = seen.rows.map((r) => r.slice(0, 4));
  if (JSON.stringify(listed) !== JSON.stringify(want)) {
    problems.push(`files listed ${JSON.stringify(listed)}, expected ${JSON.stringify(want)}`);
  }
  // The kept files, by the names the page gives them, hold the bytes sent.
  seen.rows.forEach((row, i) => {
    const stored = row[4];
    if (!/^[0-9a-f]{32}\.upload$/.test(stored)) {
      problems.push(`file ${i} kept as ${JSON.stringify(stored)}, not a name of the program's own`);
    } else if (i < files.length && !fs.readFileSync(path.join(folder, stored)).equals(files[i].buffer)) {
      problems.push(`${stored} on disk differs from ${files[i].name} as sent`);
    }
  });
  const onDisk = fs.readdirSync(folder).filter((n) => n.endsWith('.upload')).length;
  if (onDisk !== files.length) problems.push(`${onDisk} files kept, expected ${files.length}`);

  // Another browser (no cookie) sees none of them.
  const other = await (await browser.newContext()).newPage();
  await other.goto(url);
  if ((await other.locator('section.drop').count()) !== 0 || (await other.locator('#none').count()) !== 1) {
    problems.push('another browser sees this browser\'s drops');
  }
} catch (err) {
  problems.push(`${err.stack ?? err}`);
  const log = path.join(work, 'error.log');
  if (fs.existsSync(log)) console.error(`lighttpd error log:\n${fs.readFileSync(log, 'utf8')}`);
} finally {
  await cleanup();
  clearTimeout(deadline);
}
for (const p of problems) console.log(`FAIL ${p}`);
console.log(problems.length === 0 ? '1 passed, 0 failed' : '0 passed, 1 failed');
process.exit(problems.length === 0 ? 0 : 1);

// lighttpd on 127.0.0.1 with the program in /cgi-bin/ and its folder set by
// the configuration, as a server's administrator sets it.
async function startServer() {
  const bin = path.join(work, 'htdocs', 'cgi-bin');
  fs.mkdirSync(bin, { recursive: true });
  fs.mkdirSync(folder);
  fs.copyFileSync(args.program, path.join(bin, 'upload'));
  fs.chmodSync(path.join(bin, 'upload'), 0o755);
  const started = await startLighttpd(lighttpdPath, path.join(work, 'lighttpd.conf'), (port) => [
    `server.document-root = "${path.join(work, 'htdocs')}"`,
    'server.bind = "127.0.0.1"',
    `server.port = ${port}`,
    'server.modules = ("mod_setenv", "mod_cgi")',
    `server.errorlog = "${path.join(work, 'error.log')}"`,
    `setenv.add-environment = ("CGIECHO_UPLOAD_DIR" => "${folder}")`,
    '$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }',
  ]);
  server = started.child;
  return started.port;
}

async function cleanup() {
  if (browser) {
    const closing = browser;
    browser = null;
    await closing.close().catch(() => {});
  }
  if (server) {
    const stopping = server;
    server = null;
    await stopLighttpd(stopping);
  }
  fs.rmSync(work, { recursive: true, force: true });
}
