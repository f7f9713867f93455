// The feedback example behind lighttpd (mod_cgi), used by a real browser:
// the form filled in (a non-ASCII name, two topics, a file with NUL bytes),
// sent, the 303 followed to the thank-you page, and the form opened again
// with the name filled in from the cookie; the attachment kept on disk must
// hold the bytes sent.
//
//   node feedback_form.mjs --program <cgiecho-feedback> --artifacts <dir>
//     [--chromium /usr/bin/chromium] [--lighttpd lighttpd]
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

import { CHROMIUM_ARGS, limitRun, parseArgs, startCgi, stopAll } from './lighttpd.mjs';

const args = parseArgs(process.argv.slice(2));
for (const name of ['program', 'artifacts']) {
  if (!args[name]) {
    console.error(`usage: node feedback_form.mjs --program <cgiecho-feedback> --artifacts <dir>; --${name} is missing`);
    process.exit(2);
  }
}
const chromiumPath = args.chromium ?? '/usr/bin/chromium';
const lighttpdPath = args.lighttpd ?? 'lighttpd';

const name = 'Zoë "Lee" <b>&';
const topics = ['documentation', 'ideas'];
const attachment = Buffer.concat([Buffer.from([0, 255, 0, 13, 10]), crypto.randomBytes(50 << 10)]);

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'cgiecho-browser-feedback-'));
const folder = path.join(work, 'feedback');
let server = null;
let browser = null;

const deadline = limitRun(150_000, cleanup);

const problems = [];
try {
  for (const [file, what] of [[args.program, 'the feedback example'], [chromiumPath, 'chromium']]) {
    if (!fs.existsSync(file)) throw new Error(`${what} not found at ${file}`);
  }
  fs.mkdirSync(args.artifacts, { recursive: true });
  fs.mkdirSync(folder);
  const started = await startCgi(lighttpdPath, work, args.program, 'feedback', { CGIECHO_FEEDBACK_DIR: folder });
  server = started.child;
  const { port } = started;
  const url = `http://127.0.0.1:${port}/cgi-bin/feedback`;
  browser = await chromium.launch({ executablePath: chromiumPath, headless: true, args: CHROMIUM_ARGS });

  const page = await (await browser.newContext()).newPage();
  await page.goto(url);
  await page.fill('#name', name);
  await page.fill('#email', 'zoe@example.test');
  await page.selectOption('#topic', topics);
  await page.fill('#message', 'The docs <are> fine.\nThanks!');
  await page.setInputFiles('#attachment', { name: 'trace.bin', mimeType: 'application/octet-stream', buffer: attachment });
  const [post] = await Promise.all([
    page.waitForResponse((r) => r.request().method() === 'POST' && r.url() === url),
    page.click('button[type=submit]'),
  ]);
  await page.waitForURL(`${url}?thanks=1`);
  if (post.status() !== 303 || post.headers().location !== `${url}?thanks=1`) {
    problems.push(`the POST got ${post.status()} to ${post.headers().location}, expected 303 to ${url}?thanks=1`);
  }
  if ((await page.locator('#thanks').count()) !== 1) problems.push('the thank-you page has no thanks');
  await page.screenshot({ path: path.join(args.artifacts, 'feedback-thanks.png'), fullPage: true });

  const kept = fs.readdirSync(folder);
  const files = kept.filter((n) => /^[0-9a-f]{32}\.attachment$/.test(n));
  const records = kept.filter((n) => /^[0-9a-f]{32}\.feedback$/.test(n));
  if (files.length !== 1 || records.length !== 1 || kept.length !== 2) {
    problems.push(`the folder holds ${JSON.stringify(kept)}`);
  } else {
    if (!fs.readFileSync(path.join(folder, files[0])).equals(attachment)) problems.push('the attachment kept differs');
    const record = fs.readFileSync(path.join(folder, records[0]), 'utf8');
    for (const t of topics) if (!record.includes(`topic: ${t}\n`)) problems.push(`the record lacks topic ${t}`);
  }

  // The form again, the name filled in from the cookie as it was typed.
  await page.goto(url);
  const shown = await page.inputValue('#name');
  if (shown !== name) problems.push(`the form shows the name ${JSON.stringify(shown)}, expected ${JSON.stringify(name)}`);
  if ((await page.locator('form b').count()) !== 0) problems.push('the name injected markup into the form');
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

async function cleanup() {
  const [b, s] = [browser, server];
  browser = server = null;  // once, whether the run ends first or a signal does
  await stopAll(b, s, work);
}
