// The scripted host (host.mjs) plays its conversation through the bridge.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import path from 'node:path';
import { test } from 'node:test';
import { DEMO_DIR, Workspace, withTimeout } from './support.mjs';

function runHost(ws) {
  const child = spawn(process.execPath, [path.join(DEMO_DIR, 'host.mjs'), ws.bridgePath, '--full'], { env: ws.env, stdio: ['ignore', 'pipe', 'pipe'] });
  ws.cleanups.push(() => child.kill('SIGKILL'));
  let stdout = '';
  let stderr = '';
  child.stdout.on('data', (chunk) => { stdout += chunk; });
  child.stderr.on('data', (chunk) => { stderr += chunk; });
  return withTimeout(new Promise((resolve) => child.once('close', (code) => resolve({ code, stdout, stderr }))), 20000, 'host.mjs');
}

const CASES = [
  { name: 'the app running', app: true, present: ['"progressToken":"demo-progress","progress":3', '"text":"hello through the bridge"'], absent: ['stderr :'] },
  { name: 'no app', app: false, present: ['stderr : The app is not available', '"isError":true'], absent: ['notifications/progress'] },
];

for (const { name, app, present, absent } of CASES) {
  test(`host.mjs plays its conversation with ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    if (app) await ws.startApp();
    const { code, stdout, stderr } = await runHost(ws);
    assert.equal(code, 0, `${stdout}\n${stderr}`);
    for (const text of [...present, '"id":null,"error":{"code":-32700', 'bridge exited with code 0']) assert.ok(stdout.includes(text), `missing ${text}:\n${stdout}`);
    for (const text of absent) assert.ok(!stdout.includes(text), `unexpected ${text}:\n${stdout}`);
    const sent = stdout.split('\n').filter((line) => line.startsWith('host   > '));
    assert.equal(sent.length, 7);
  });
}
