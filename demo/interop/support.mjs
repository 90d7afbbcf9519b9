// Shared fixtures of the interop tests: a temp folder per test with a copy of the bridge, its
// configuration and snapshot; demo apps on port 0; hosts that launch the bridge copy either
// through the SDK's stdio client or over raw pipes. Everything started is stopped in teardown.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { LineCollector, parseJsonOrNull } from '../lib/lines.mjs';
import { AppProcess, startApp } from '../lib/app-process.mjs';

export const DEMO_DIR = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');

// Missing dependencies or a missing bridge path fail the suite; they never skip it.
async function importSdk() {
  try {
    const [client, stdio, types] = await Promise.all([
      import('@modelcontextprotocol/sdk/client/index.js'),
      import('@modelcontextprotocol/sdk/client/stdio.js'),
      import('@modelcontextprotocol/sdk/types.js'),
    ]);
    return { ...client, ...stdio, ...types };
  } catch (error) {
    throw new Error(`cannot load the MCP SDK from ${path.join(DEMO_DIR, 'node_modules')} ` +
      `(run: npm ci --prefix demo): ${error.message}`);
  }
}
export const sdk = await importSdk();

export const BRIDGE_EXE = process.env.MCP_BRIDGE_EXE;
if (!BRIDGE_EXE) throw new Error('MCP_BRIDGE_EXE must name the mcp-bridge executable under test');
if (!fs.existsSync(BRIDGE_EXE)) throw new Error(`MCP_BRIDGE_EXE does not exist: ${BRIDGE_EXE}`);

export const SNAPSHOT = JSON.parse(fs.readFileSync(path.join(DEMO_DIR, 'snapshot.json'), 'utf8'));
export const OFFLINE_MESSAGE = 'The demo app is offline (interop test).';
export const REQUEST_TIMEOUT_MS = 10000;

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

export async function withTimeout(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms: ${what}`)), ms);
  });
  try {
    return await Promise.race([promise, timeout]);
  } finally {
    clearTimeout(timer);
  }
}

// Polls `check` until it returns a truthy value or the time is up.
export async function eventually(check, { timeoutMs = 5000, intervalMs = 50, what = 'a condition' } = {}) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(intervalMs);
  }
}

// The text of a tool result's first content item.
export function textOf(result) {
  return result?.content?.[0]?.text;
}

// Hands the client one incoming message per event-loop turn, so that a notification's handler
// runs before the next message (the stdio transport hands over a whole read at once).
class PacedTransport {
  constructor(inner) {
    this.inner = inner;
    this.queue = Promise.resolve();
    inner.onmessage = (message, extra) => {
      this.queue = this.queue.then(() => new Promise((resolve) => setImmediate(() => {
        this.onmessage?.(message, extra);
        resolve();
      })));
    };
    inner.onclose = () => { this.queue.then(() => this.onclose?.()); };
    inner.onerror = (error) => this.onerror?.(error);
  }

  start() { return this.inner.start(); }
  send(message, options) { return this.inner.send(message, options); }
  close() { return this.inner.close(); }
}

export class Workspace {
  // A fresh folder for test `t`, removed with everything started in it when the test ends.
  static create(t, { serializeToolCalls = true, snapshot = SNAPSHOT, offlineMessage = OFFLINE_MESSAGE } = {}) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'mcp-bridge-interop-'));
    const ws = new Workspace(dir);
    t.after(() => ws.dispose());
    fs.mkdirSync(path.join(dir, 'data'));
    ws.bridgePath = path.join(dir, 'mcp-bridge');
    fs.copyFileSync(BRIDGE_EXE, ws.bridgePath);
    fs.chmodSync(ws.bridgePath, 0o755);
    ws.discoveryPath = path.join(dir, 'app', 'discovery.json');
    ws.snapshot = snapshot;
    ws.offlineMessage = offlineMessage;
    fs.writeFileSync(path.join(dir, 'snapshot.json'), JSON.stringify(snapshot, null, 2));
    fs.writeFileSync(path.join(dir, 'mcp-bridge.json'), JSON.stringify({
      discoveryFile: ws.discoveryPath,
      offlineMessage,
      snapshotFile: 'snapshot.json',
      serializeToolCalls,
    }, null, 2));
    return ws;
  }

  constructor(dir) {
    this.dir = dir;
    this.cleanups = [];
  }

  get env() {
    return { ...process.env, XDG_DATA_HOME: path.join(this.dir, 'data'), HOME: this.dir };
  }

  async startApp({ tools = 'default' } = {}) {
    const app = await startApp({ discoveryPath: this.discoveryPath, tools, env: this.env });
    this.cleanups.push(() => app.stop('SIGKILL'));
    return app;
  }

  // A test app of demo/interop/apps (standing-app, everything) given this workspace's discovery
  // file; `args` go to the app.
  async startTestApp(name, args = []) {
    const script = path.join(DEMO_DIR, 'interop', 'apps', `${name}.mjs`);
    const child = spawn(process.execPath, [script, '--discovery', this.discoveryPath, ...args], {
      cwd: DEMO_DIR, stdio: ['ignore', 'pipe', 'pipe'], env: this.env,
    });
    const app = new AppProcess(child);
    this.cleanups.push(() => app.stop('SIGKILL'));
    try {
      app.info = await app.waitForEvent((e) => e.event === 'ready', { timeoutMs: 15000, what: 'the ready line' });
    } catch (error) {
      throw new Error(`${name} did not start: ${error.message}\nstderr:\n${app.stderr.text()}`);
    }
    return app;
  }

  // An SDK client whose stdio transport launches the bridge copy. Tool-list-changed
  // notifications and client-side errors are recorded on the returned host. `paced` hands the
  // client one message per event-loop turn.
  // `capabilities` and `setup(client)` let a test answer the app's own requests.
  async connectHost({ name = 'interop-host', paced = false, capabilities = {}, setup = () => {} } = {}) {
    const transport = new sdk.StdioClientTransport({
      command: this.bridgePath,
      args: [],
      cwd: this.dir,
      env: { XDG_DATA_HOME: path.join(this.dir, 'data'), HOME: this.dir },
      stderr: 'pipe',
    });
    const stderr = new LineCollector(transport.stderr, { name: 'bridge stderr' });
    const client = new sdk.Client({ name, version: '1.0.0' }, { capabilities });
    setup(client);
    const host = { client, transport, stderr, listChanged: [], errors: [] };
    client.setNotificationHandler(sdk.ToolListChangedNotificationSchema, (notification) => {
      host.listChanged.push(notification);
    });
    client.onerror = (error) => host.errors.push(error);
    this.cleanups.push(() => client.close());
    await withTimeout(client.connect(paced ? new PacedTransport(transport) : transport, { timeout: REQUEST_TIMEOUT_MS }), REQUEST_TIMEOUT_MS, 'initialize through the bridge');
    return host;
  }

  // The bridge copy over raw pipes, for checks of the exact lines on the wire.
  spawnBridge() {
    const child = spawn(this.bridgePath, [], { cwd: this.dir, env: this.env, stdio: ['pipe', 'pipe', 'pipe'] });
    const raw = {
      child,
      stdout: new LineCollector(child.stdout, { name: 'bridge stdout' }),
      stderr: new LineCollector(child.stderr, { name: 'bridge stderr' }),
      exited: new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal }))),
      send(message) {
        child.stdin.write(`${typeof message === 'string' ? message : JSON.stringify(message)}\n`);
      },
      messages() {
        return raw.stdout.lines.map(parseJsonOrNull);
      },
      // Waits for the reply whose id is `id` and returns its index among the stdout lines.
      waitForReply(id, { timeoutMs = REQUEST_TIMEOUT_MS, from = 0 } = {}) {
        return raw.stdout.waitFor((line) => {
          const message = parseJsonOrNull(line);
          return message !== null && message.id === id && ('result' in message || 'error' in message);
        }, { timeoutMs, from, what: `the reply to id ${JSON.stringify(id)}` });
      },
    };
    this.cleanups.push(async () => {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      await withTimeout(raw.exited, 5000, 'the bridge to exit').catch(() => {});
    });
    return raw;
  }

  // A bridge over raw pipes whose host has initialized the session.
  async spawnInitializedBridge() {
    const bridge = this.spawnBridge();
    bridge.send(initializeRequest(1));
    await bridge.waitForReply(1);
    bridge.send({ jsonrpc: '2.0', method: 'notifications/initialized' });
    return bridge;
  }

  async dispose() {
    for (const cleanup of this.cleanups.reverse()) {
      await withTimeout(Promise.resolve().then(cleanup), 6000, 'cleanup').catch(() => {});
    }
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// The initialize request of a raw host.
export function initializeRequest(id = 1, clientName = 'raw-host') {
  return {
    jsonrpc: '2.0', id, method: 'initialize',
    params: { protocolVersion: sdk.LATEST_PROTOCOL_VERSION, capabilities: {}, clientInfo: { name: clientName, version: '1.0.0' } },
  };
}
