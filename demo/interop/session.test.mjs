// A whole session through the bridge while the app runs: the SDK client as host, the SDK
// server behind the bridge.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, SNAPSHOT, Workspace, textOf, withTimeout } from './support.mjs';

const TOOL_CALLS = [
  { name: 'echo', arguments: { text: 'hello through the bridge' }, expected: 'hello through the bridge' },
  { name: 'echo', arguments: { text: 'quotes " and \\ and\nnewline, ünïcödé ✓' }, expected: 'quotes " and \\ and\nnewline, ünïcödé ✓' },
  { name: 'add', arguments: { a: 2, b: 40 }, expected: '42' },
  { name: 'add', arguments: { a: -1.5, b: 0.25 }, expected: '-1.25' },
];

test('a full session: initialize, tools/list, tools/call, ping, and the session ends with the host', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startApp();
  const host = await ws.connectHost({ name: 'full-session-host' });
  const { client } = host;

  // initialize: the app's own result, with the tool-list capability raised to listChanged.
  assert.equal(client.getServerCapabilities()?.tools?.listChanged, true);
  assert.deepEqual(client.getServerVersion(), SNAPSHOT.initialize.serverInfo);
  assert.equal(client.getInstructions(), SNAPSHOT.initialize.instructions);
  // The host's initialize reached the app, replayed with its own client info.
  const opened = await app.waitForEvent((e) => e.event === 'session-open', { what: 'the session with the app' });
  assert.equal(opened.client, 'full-session-host');

  const { tools } = await client.listTools(undefined, { timeout: REQUEST_TIMEOUT_MS });
  assert.deepEqual(tools.map((tool) => tool.name), ['echo', 'add', 'progress', 'slow']);

  for (const call of TOOL_CALLS) {
    const result = await client.callTool({ name: call.name, arguments: call.arguments }, undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.notEqual(result.isError, true, `${call.name} ${JSON.stringify(call.arguments)}`);
    assert.equal(textOf(result), call.expected, `${call.name} ${JSON.stringify(call.arguments)}`);
  }
  // The app ran each call, in the same session as the initialize.
  const starts = app.events('tool-start');
  assert.deepEqual(starts.map((e) => e.tool), TOOL_CALLS.map((c) => c.name));
  assert.ok(starts.every((e) => e.session === opened.session));

  assert.deepEqual(await client.ping({ timeout: REQUEST_TIMEOUT_MS }), {});

  // An unknown tool is the app's answer, relayed: an error result, not an offline answer.
  const unknown = await client.callTool({ name: 'no-such-tool', arguments: {} }, undefined, { timeout: REQUEST_TIMEOUT_MS });
  assert.equal(unknown.isError, true);
  assert.match(textOf(unknown), /no-such-tool/);

  assert.deepEqual(host.listChanged, [], 'no tool-list change: the app matches the snapshot');
  assert.equal(host.stderr.text(), '', 'nothing on the bridge stderr');

  // End of input: the bridge ends its session with the app.
  await withTimeout(client.close(), 8000, 'closing the host');
  const closed = await app.waitForEvent((e) => e.event === 'session-closed', { timeoutMs: 5000, what: 'the session DELETE' });
  assert.equal(closed.session, opened.session);
  assert.equal(app.events('session-open').length, 1, 'one session for the whole run');
});

test('replies carry the host ids, also when the app answers an error with a null id', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startApp();
  const bridge = ws.spawnBridge();
  bridge.send({ jsonrpc: '2.0', id: 'init', method: 'initialize', params: { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
  await bridge.waitForReply('init');
  bridge.send({ jsonrpc: '2.0', method: 'notifications/initialized' });

  const cases = [
    { id: 'echo-1', request: { method: 'tools/call', params: { name: 'echo', arguments: { text: 'x' } } }, check: (m) => assert.equal(m.result.content[0].text, 'x') },
    { id: 12, request: { method: 'ping' }, check: (m) => assert.deepEqual(m.result, {}) },
    // The app refuses a fractional id with HTTP 400 and an error whose id is null.
    { id: 7.5, request: { method: 'ping' }, check: (m) => assert.equal(m.error.code, -32700) },
    { id: 'bad', request: { method: 'no/such/method' }, check: (m) => assert.equal(m.error.code, -32601) },
  ];
  for (const c of cases) {
    bridge.send({ jsonrpc: '2.0', id: c.id, ...c.request });
    const index = await bridge.waitForReply(c.id);
    const reply = bridge.messages()[index];
    assert.equal(reply.jsonrpc, '2.0');
    c.check(reply);
  }
  assert.equal(app.events('session-open').length, 1);
});
