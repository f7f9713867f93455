// Chromium sends the requests that record.py captures: forms submitted as a
// user would (url-encoded and multipart with files, text/plain, a GET form,
// one with cookies set), and a PUT and a HEAD from the page's own fetch().
// Each case makes exactly one request to the program; the names of the
// cases, in the order they ran, go to standard output as a JSON list.
//
//   node browse.mjs --base http://127.0.0.1:PORT --program cgiecho
//     [--chromium /usr/bin/chromium] [--modules DIR]
//
// DIR holds playwright-core (tests/browser/node_modules, made by
// `npm ci --prefix tests/browser`).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const base = args.base;
const program = args.program;
if (!base || !program) {
  console.error('usage: node browse.mjs --base URL --program NAME [--chromium PATH] [--modules DIR]');
  process.exit(2);
}
const modules = args.modules ?? path.join(here, '..', 'browser', 'node_modules');
const { chromium } = await import(pathToFileURL(path.join(modules, 'playwright-core', 'index.mjs')).href);

// Every byte value once, and a text file whose lines look like multipart
// delimiters without being one.
const ALL_BYTES = Buffer.from(Array.from({ length: 256 }, (_, i) => i));
const NOTES = Buffer.from('first line\r\n--not-a-boundary\r\n\r\nlast line, no line break', 'utf8');

const cases = [
  { name: 'get-form', run: (page) => submit(page, 'get') },
  { name: 'post-urlencoded', run: (page) => submit(page, 'urlencoded') },
  {
    name: 'post-multipart-files',
    run: async (page) => {
      await page.setInputFiles('#multipart input[name=text_file]',
        { name: 'notes résumé.txt', mimeType: 'text/plain', buffer: NOTES });
      await page.setInputFiles('#multipart input[name=binary_file]',
        { name: 'bytes.bin', mimeType: 'application/octet-stream', buffer: ALL_BYTES });
      await submit(page, 'multipart');
    },
  },
  { name: 'post-text-plain', run: (page) => submit(page, 'plain') },
  {
    name: 'get-cookies',
    run: async (page, context) => {
      await context.addCookies([
        { name: 'session', value: 'abc123', url: base },
        { name: 'theme', value: '"dark"', url: base },
        { name: 'empty', value: '', url: base },
      ]);
      await submit(page, 'get');
      await context.clearCookies();
    },
  },
  {
    name: 'put-fetch',
    run: (page) => page.evaluate(async (url) => {
      const r = await fetch(url, { method: 'PUT', headers: { 'Content-Type': 'application/json' },
                                   body: '{"id":7,"note":"a<b>"}' });
      return r.arrayBuffer();
    }, `/cgi-bin/${program}?id=7`),
  },
  {
    name: 'head-fetch',
    run: (page) => page.evaluate(async (url) => {
      await fetch(url, { method: 'HEAD' });
    }, `/cgi-bin/${program}?q=head&x=%3C`),
  },
];

async function submit(page, form) {
  await Promise.all([
    page.waitForResponse((r) => r.url().includes(`/cgi-bin/${program}`) && r.request().isNavigationRequest()),
    page.click(`#${form} button[type=submit]`),
  ]);
  await page.waitForLoadState('load');
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'cgiecho-record-'));
const context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
  executablePath: args.chromium ?? '/usr/bin/chromium',
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
const done = [];
try {
  const page = context.pages()[0] ?? (await context.newPage());
  for (const c of cases) {
    await page.goto(`${base}/forms.html#${program}`);
    await c.run(page, context);
    done.push(c.name);
  }
} finally {
  await context.close();
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(JSON.stringify(done));
