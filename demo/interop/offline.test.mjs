// While the app is down the bridge answers in its place: from the snapshot and with the
// configured offline message.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { OFFLINE_MESSAGE, REQUEST_TIMEOUT_MS, SNAPSHOT, Workspace, initializeRequest, textOf } from './support.mjs';

const NOT_AVAILABLE = 'The app is not available';

// How the app goes away mid-run: a clean stop removes the discovery file; a kill leaves it behind
// pointing at a closed port.
const STOPS = [
  { name: 'stopped cleanly (discovery file removed)', signal: 'SIGTERM', discoveryLeft: false },
  { name: 'killed (stale discovery file left behind)', signal: 'SIGKILL', discoveryLeft: true },
];

for (const stop of STOPS) {
  test(`the app ${stop.name} mid-run: the next calls get the offline answers`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startApp();
    const host = await ws.connectHost();
    const { client } = host;
    const live = await client.callTool({ name: 'echo', arguments: { text: 'live' } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.equal(textOf(live), 'live');

    await app.stop(stop.signal);
    assert.equal(fs.existsSync(ws.discoveryPath), stop.discoveryLeft);

    const call = await client.callTool({ name: 'echo', arguments: { text: 'anyone there?' } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.equal(call.isError, true);
    assert.deepEqual(call.content, [{ type: 'text', text: OFFLINE_MESSAGE }]);

    const { tools } = await client.listTools(undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.deepEqual(tools, SNAPSHOT.tools);
    assert.deepEqual(await client.ping({ timeout: REQUEST_TIMEOUT_MS }), {});

    // One stderr line per request that found no app, and nothing else.
    await host.stderr.waitFor((line, i) => i === 2, { timeoutMs: 5000, what: 'three lines' });
    assert.deepEqual(host.stderr.lines, [NOT_AVAILABLE, NOT_AVAILABLE, NOT_AVAILABLE]);
  });
}

// The answers given in the app's place, exactly as written on the wire.
const OFFLINE_ANSWERS = [
  { request: { method: 'ping' }, reply: { result: {} } },
  { request: { method: 'tools/list' }, reply: { result: { tools: SNAPSHOT.tools } } },
  {
    request: { method: 'tools/call', params: { name: 'echo', arguments: { text: 'x' } } },
    reply: { result: { isError: true, content: [{ type: 'text', text: OFFLINE_MESSAGE }] } },
  },
  { request: { method: 'resources/list' }, reply: { result: { resources: [] } } },
  { request: { method: 'resources/templates/list' }, reply: { result: { resourceTemplates: [] } } },
  { request: { method: 'prompts/list' }, reply: { error: { code: -32000, message: OFFLINE_MESSAGE } } },
  { request: { method: 'Tools/List' }, reply: { error: { code: -32000, message: OFFLINE_MESSAGE } } },
];

test('no app at all: initialize from the snapshot, and each request gets its offline answer', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const bridge = ws.spawnBridge();
  bridge.send(initializeRequest(1));
  const initIndex = await bridge.waitForReply(1);
  const expectedInit = structuredClone(SNAPSHOT.initialize);
  expectedInit.capabilities.tools.listChanged = true;
  assert.deepEqual(bridge.messages()[initIndex], { jsonrpc: '2.0', id: 1, result: expectedInit });
  bridge.send({ jsonrpc: '2.0', method: 'notifications/initialized' });

  let id = 100;
  for (const { request, reply } of OFFLINE_ANSWERS) {
    id += 1;
    bridge.send({ jsonrpc: '2.0', id, ...request });
    const index = await bridge.waitForReply(id);
    assert.deepEqual(bridge.messages()[index], { jsonrpc: '2.0', id, ...reply }, request.method);
  }
  // A notification gets no answer; a line that is not JSON gets a parse error.
  bridge.send({ jsonrpc: '2.0', method: 'notifications/roots/list_changed' });
  bridge.send('this is not JSON');
  const parseIndex = await bridge.waitForReply(null);
  assert.equal(bridge.messages()[parseIndex].error.code, -32700);
  assert.equal(bridge.stdout.lines.length, 1 + OFFLINE_ANSWERS.length + 1, bridge.stdout.text());
  // Every message that took the road to the app, the notification included, found no app.
  const expectedLines = OFFLINE_ANSWERS.length + 2;
  await bridge.stderr.waitFor((line, i) => i === expectedLines - 1, { timeoutMs: 5000, what: `${expectedLines} lines` });
  assert.deepEqual(bridge.stderr.lines, Array(expectedLines).fill(NOT_AVAILABLE));
});

test('an SDK host connects and works while the app is down', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const host = await ws.connectHost();
  const { client } = host;
  assert.equal(client.getServerCapabilities()?.tools?.listChanged, true);
  assert.deepEqual(client.getServerVersion(), SNAPSHOT.initialize.serverInfo);
  const call = await client.callTool({ name: 'add', arguments: { a: 1, b: 2 } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
  assert.equal(call.isError, true);
  assert.equal(textOf(call), OFFLINE_MESSAGE);
  assert.deepEqual((await client.listResources(undefined, { timeout: REQUEST_TIMEOUT_MS })).resources, []);
});
