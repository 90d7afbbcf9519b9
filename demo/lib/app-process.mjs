// Starts demo/app.mjs as a child process and follows its JSON-line log.

import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { LineCollector, parseJsonOrNull } from './lines.mjs';

export const APP_SCRIPT = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'app.mjs');

export class AppProcess {
  constructor(child) {
    this.child = child;
    this.stdout = new LineCollector(child.stdout, { name: `app ${child.pid} stdout` });
    this.stderr = new LineCollector(child.stderr, { name: `app ${child.pid} stderr` });
    this.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    this.info = null;
  }

  // The log events so far, parsed.
  events(name) {
    return this.stdout.lines.map(parseJsonOrNull).filter((e) => e && (name === undefined || e.event === name));
  }

  async waitForEvent(predicate, { timeoutMs = 10000, what = 'an event' } = {}) {
    const index = await this.stdout.waitFor((line) => {
      const event = parseJsonOrNull(line);
      return event !== null && predicate(event);
    }, { timeoutMs, what });
    return JSON.parse(this.stdout.lines[index]);
  }

  get running() {
    return this.child.exitCode === null && this.child.signalCode === null;
  }

  // Stops the app with `signal` and waits for it to exit; SIGKILL if it does not in time.
  async stop(signal = 'SIGTERM', { timeoutMs = 5000 } = {}) {
    if (!this.running) return this.exited;
    this.child.kill(signal);
    const timer = setTimeout(() => this.child.kill('SIGKILL'), timeoutMs);
    try {
      return await this.exited;
    } finally {
      clearTimeout(timer);
    }
  }
}

export async function startApp({ discoveryPath, tools = 'default', port = 0, timeoutMs = 10000, env } = {}) {
  const args = [APP_SCRIPT, '--port', String(port), '--tools', tools];
  if (discoveryPath) args.push('--discovery', discoveryPath);
  const child = spawn(process.execPath, args, { stdio: ['ignore', 'pipe', 'pipe'], env: env ?? process.env });
  const app = new AppProcess(child);
  try {
    app.info = await app.waitForEvent((e) => e.event === 'ready', { timeoutMs, what: 'the ready line' });
  } catch (error) {
    await app.stop('SIGKILL');
    throw new Error(`the demo app did not start: ${error.message}\nstderr:\n${app.stderr.text()}`);
  }
  return app;
}
