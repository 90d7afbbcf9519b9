// The snapshot recorder against the SDK's server as app: it records what the bridge needs, and
// its check tells a snapshot that holds from a stale one and from one it could not check.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { SNAPSHOT, Workspace } from './support.mjs';

const RECORDER = process.env.MCP_BRIDGE_SNAPSHOT_EXE;
if (!RECORDER || !fs.existsSync(RECORDER)) {
  throw new Error(`MCP_BRIDGE_SNAPSHOT_EXE must name the mcp-bridge-snapshot executable: ${RECORDER}`);
}

// Runs the recorder to its end: exit code, standard output and the lines of standard error.
function record(ws, args) {
  return new Promise((resolve) => {
    execFile(RECORDER, args, { cwd: ws.dir, env: ws.env, timeout: 30000 }, (error, stdout, stderr) => {
      resolve({ code: error ? error.code : 0, stdout, stderr: stderr.split('\n').filter(Boolean) });
    });
  });
}

test('the recorder writes the SDK app\'s snapshot, which the bundled one matches', { timeout: 60000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startApp();
  const output = path.join(ws.dir, 'recorded.json');
  const run = await record(ws, ['--output', output, path.join(ws.dir, 'mcp-bridge.json')]);
  assert.deepEqual(run, { code: 0, stdout: '', stderr: [] });

  const recorded = JSON.parse(fs.readFileSync(output, 'utf8'));
  assert.deepEqual(recorded.tools, SNAPSHOT.tools);
  assert.deepEqual(recorded.initialize, SNAPSHOT.initialize);
  // The session was opened and ended through the discovery file.
  const opened = await app.waitForEvent((e) => e.event === 'session-open', { what: 'the session opened' });
  assert.equal(opened.client, 'mcp-bridge-snapshot');
  await app.waitForEvent((e) => e.event === 'session-closed' && e.session === opened.session, { what: 'the session closed' });

  const check = await record(ws, ['--check', path.join(ws.dir, 'snapshot.json'), ws.discoveryPath]);
  assert.deepEqual(check, { code: 0, stdout: '', stderr: [] });
});

test('--check: tools added since the snapshot exit 1, an app that is gone exits 2', { timeout: 60000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startApp({ tools: 'extended' });
  const snapshot = path.join(ws.dir, 'snapshot.json');
  const stale = await record(ws, ['--check', snapshot, ws.discoveryPath]);
  assert.equal(stale.code, 1);
  assert.match(stale.stdout, /^\+ reverse$/m);
  assert.deepEqual(stale.stderr, []);

  await app.stop('SIGKILL');
  const gone = await record(ws, ['--check', snapshot, ws.discoveryPath]);
  assert.equal(gone.code, 2);
  assert.equal(gone.stdout, '');
  assert.equal(gone.stderr.length, 1);
  assert.match(gone.stderr[0], /^The app is not running: nothing answers at http:\/\/127\.0\.0\.1:\d+\//);
});
