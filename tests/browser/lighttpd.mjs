// What the browser tests share: lighttpd on a free port of 127.0.0.1, and
// their command-line arguments.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

// Starts lighttpd with the configuration that `config(port)` gives (lines),
// written to `confPath`. The port is picked free just before the start; if
// another process takes it in between, lighttpd exits and a new port is
// tried. Resolves to { child, port }.
export async function startLighttpd(lighttpdPath, confPath, config) {
  for (let attempt = 1; attempt <= 5; attempt += 1) {
    const port = await freePort();
    fs.writeFileSync(confPath, [...config(port), ''].join('\n'));
    // -i: lighttpd also stops by itself after a minute without requests,
    // should the test die without stopping it.
    const child = spawn(lighttpdPath, ['-D', '-i', '60', '-f', confPath], { stdio: ['ignore', 'inherit', 'inherit'] });
    const outcome = await Promise.race([
      new Promise((resolve) => child.once('error', resolve)),
      new Promise((resolve) => child.once('exit', () => resolve('exited'))),
      waitForPort(port, 10_000).then((open) => (open ? 'ready' : 'silent')),
    ]);
    if (outcome === 'ready') return { child, port };
    if (outcome instanceof Error) throw new Error(`lighttpd (${lighttpdPath}) could not be started: ${outcome.message}`);
    if (outcome === 'silent') {
      child.kill('SIGTERM');
      throw new Error(`lighttpd did not answer on port ${port}`);
    }
    // It exited: most likely the port was taken meanwhile.
  }
  throw new Error('lighttpd could not bind a free port in 5 attempts');
}

// Stops a lighttpd that startLighttpd started, and waits for it.
export async function stopLighttpd(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  const gone = new Promise((resolve) => child.once('exit', resolve));
  child.kill('SIGTERM');
  await gone;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

async function waitForPort(port, ms) {
  const until = Date.now() + ms;
  while (Date.now() < until) {
    const open = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1');
      socket.once('connect', () => { socket.destroy(); resolve(true); });
      socket.once('error', () => resolve(false));
    });
    if (open) return true;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return false;
}

// "--name value" pairs into an object.
export function parseArgs(list) {
  const out = {};
  for (let i = 0; i < list.length; i += 2) {
    if (!list[i].startsWith('--') || i + 1 >= list.length) throw new Error(`bad argument ${list[i]}`);
    out[list[i].slice(2)] = list[i + 1];
  }
  return out;
}

// The Chromium flags every browser test runs with.
export const CHROMIUM_ARGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// lighttpd on 127.0.0.1 with `program` as /cgi-bin/<script> (mod_cgi) and
// `env` set for each request, as a server's administrator sets it; its
// files (configuration, document root, error.log) in `work`. Resolves to
// { child, port }.
export async function startCgi(lighttpdPath, work, program, script, env = {}) {
  const bin = path.join(work, 'htdocs', 'cgi-bin');
  fs.mkdirSync(bin, { recursive: true });
  fs.copyFileSync(program, path.join(bin, script));
  fs.chmodSync(path.join(bin, script), 0o755);
  const setenv = Object.entries(env).map(([k, v]) => `"${k}" => "${v}"`).join(', ');
  return startLighttpd(lighttpdPath, path.join(work, 'lighttpd.conf'), (port) => [
    `server.document-root = "${path.join(work, 'htdocs')}"`,
    'server.bind = "127.0.0.1"',
    `server.port = ${port}`,
    'server.modules = ("mod_setenv", "mod_cgi")',
    `server.errorlog = "${path.join(work, 'error.log')}"`,
    `setenv.add-environment = (${setenv})`,
    '$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }',
  ]);
}

// Closes a browser and stops a lighttpd that startLighttpd started (either
// may be null), then removes the run's folder.
export async function stopAll(browser, server, work) {
  if (browser) await browser.close().catch(() => {});
  if (server) await stopLighttpd(server);
  fs.rmSync(work, { recursive: true, force: true });
}

// Runs `cleanup` and fails the run after `ms`, or at once on a signal, so
// that neither a hung browser nor the server outlives the test. The timer,
// for clearTimeout once the run ends.
export function limitRun(ms, cleanup) {
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.on(signal, () => cleanup().finally(() => process.exit(1)));
  }
  return setTimeout(() => {
    console.error(`FAIL: the run took longer than ${ms / 1000} s`);
    cleanup().finally(() => process.exit(1));
  }, ms);
}
