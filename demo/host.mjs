#!/usr/bin/env node
// A scripted MCP host: launches the bridge over raw pipes, plays a short conversation and prints
// every line that crosses the wire.
//
//   node host.mjs BRIDGE_EXECUTABLE [--full]
//
// host   > a line the host wrote to the bridge's stdin
// bridge < a line the bridge wrote to its stdout
// stderr : a line the bridge wrote to its stderr
// Long lines are cut at 160 characters unless --full is given.

import { spawn } from 'node:child_process';
import { parseArgs } from 'node:util';
import { LineCollector, parseJsonOrNull } from './lib/lines.mjs';

const { values, positionals } = parseArgs({
  allowPositionals: true,
  options: { full: { type: 'boolean', default: false }, help: { type: 'boolean', short: 'h', default: false } },
});
if (values.help || positionals.length !== 1) {
  process.stderr.write('usage: node host.mjs BRIDGE_EXECUTABLE [--full]\n');
  process.exit(values.help ? 0 : 2);
}
const bridgePath = positionals[0];
const REPLY_TIMEOUT_MS = 10000;
const WIDTH = 160;

function show(prefix, line) {
  const text = !values.full && line.length > WIDTH ? `${line.slice(0, WIDTH)}… (${line.length - WIDTH} more characters)` : line;
  process.stdout.write(`${prefix} ${text}\n`);
}

const conversation = [
  {
    title: 'initialize',
    send: { jsonrpc: '2.0', id: 1, method: 'initialize', params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'demo-host', version: '1.0.0' } } },
  },
  { title: 'initialized (a notification: no reply)', send: { jsonrpc: '2.0', method: 'notifications/initialized' } },
  { title: 'tools/list', send: { jsonrpc: '2.0', id: 2, method: 'tools/list' } },
  { title: 'tools/call echo', send: { jsonrpc: '2.0', id: 3, method: 'tools/call', params: { name: 'echo', arguments: { text: 'hello through the bridge' } } } },
  {
    title: 'tools/call progress (progress notifications come before the result)',
    send: { jsonrpc: '2.0', id: 4, method: 'tools/call', params: { name: 'progress', arguments: { steps: 3, intervalMs: 100 }, _meta: { progressToken: 'demo-progress' } } },
  },
  { title: 'ping', send: { jsonrpc: '2.0', id: 5, method: 'ping' } },
  { title: 'a line that is not JSON (the reply has id null)', raw: '{"jsonrpc":"2.0","id":6,"method":', expect: null },
];

const child = spawn(bridgePath, [], { stdio: ['pipe', 'pipe', 'pipe'] });
const spawned = new Promise((resolve, reject) => {
  child.once('spawn', resolve);
  child.once('error', reject);
});
const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
const stdout = new LineCollector(child.stdout, { name: 'bridge stdout' });
const stderr = new LineCollector(child.stderr, { name: 'bridge stderr' });
stdout.push = ((push) => (line) => { show('bridge <', line); push.call(stdout, line); })(stdout.push);
stderr.push = ((push) => (line) => { show('stderr :', line); push.call(stderr, line); })(stderr.push);

let failed = false;
try {
  await spawned;
  for (const step of conversation) {
    process.stdout.write(`\n-- ${step.title}\n`);
    const line = step.raw ?? JSON.stringify(step.send);
    const expectedId = 'expect' in step ? step.expect : step.send?.id;
    const from = stdout.lines.length;
    show('host   >', line);
    child.stdin.write(`${line}\n`);
    if (expectedId === undefined) {
      await new Promise((resolve) => setTimeout(resolve, 200));
      continue;
    }
    await stdout.waitFor((text) => {
      const message = parseJsonOrNull(text);
      return message !== null && message.id === expectedId && ('result' in message || 'error' in message);
    }, { from, timeoutMs: REPLY_TIMEOUT_MS, what: `the reply to ${step.title}` });
  }
} catch (error) {
  failed = true;
  process.stderr.write(`host: ${error.message.split('\n')[0]}\n`);
} finally {
  process.stdout.write('\n-- end of input\n');
  child.stdin.end();
  const timer = setTimeout(() => child.kill('SIGKILL'), 6000);
  const { code, signal } = await exited;
  clearTimeout(timer);
  process.stdout.write(`bridge exited with ${signal ?? `code ${code}`}\n`);
  if (code !== 0) failed = true;
}
process.exit(failed ? 1 : 0);
