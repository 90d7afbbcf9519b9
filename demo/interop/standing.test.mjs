// What an app sends outside any request of the host's (its logs, resource updates, its own
// requests, progress it moves off the call's stream, tool-list changes) reaches the host through
// the bridge's standing event stream. Apps: @modelcontextprotocol/server-everything and
// apps/standing-app.mjs, both built on the SDK; the host is the SDK's stdio client.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, Workspace, eventually, initializeRequest, sdk, sleep, textOf } from './support.mjs';

const opts = { timeout: REQUEST_TIMEOUT_MS };

// Messages the app sends with no request to ride on are dropped by the SDK server while no
// standing stream is open, so each test waits for the bridge's GET before making the app talk.
async function standingStreamOpen(app) {
  if (app.info.app === 'everything') {
    // server-everything logs plain text.
    await app.stdout.waitFor((line) => line.startsWith('Establishing new SSE stream'), { what: 'the standing GET' });
    return;
  }
  const get = await app.waitForEvent((e) => e.event === 'http' && e.method === 'GET' && !e.lastEventId, { what: 'the standing GET' });
  assert.match(get.accept, /text\/event-stream/);
  assert.equal(get.protocolVersion, sdk.LATEST_PROTOCOL_VERSION);
  assert.ok(get.session, 'the GET names the session');
}

// A host that records every notification of the given schemas by method.
function recording(schemas) {
  const seen = {};
  return {
    seen,
    setup(client) {
      for (const schema of schemas) {
        client.setNotificationHandler(schema, (notification) => {
          (seen[notification.method] ??= []).push(notification.params);
        });
      }
    },
  };
}

const LOG_CASES = [
  {
    name: 'server-everything: simulated logging started by a tool',
    app: 'everything',
    level: 'debug',
    async trigger(client) {
      const result = await client.callTool({ name: 'toggle-simulated-logging', arguments: {} }, undefined, opts);
      assert.match(textOf(result), /Started simulated/);
    },
    check(logs) {
      assert.ok(logs.some((p) => /message - SessionId /.test(p.data)), JSON.stringify(logs));
    },
  },
  {
    name: 'standing-app: a tool that logs after it returned',
    app: 'standing-app',
    level: 'info',
    async trigger(client) {
      const result = await client.callTool({ name: 'log-later', arguments: { message: 'after the call', delayMs: 150 } }, undefined, opts);
      assert.equal(textOf(result), 'log scheduled');
    },
    check(logs) {
      assert.deepEqual(logs, [{ level: 'warning', logger: 'interop', data: 'after the call' }]);
    },
  },
];

for (const { name, app: appName, level, trigger, check } of LOG_CASES) {
  test(`log messages sent outside any request reach the host: ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startTestApp(appName);
    const rec = recording([sdk.LoggingMessageNotificationSchema]);
    const host = await ws.connectHost({ setup: rec.setup });
    await standingStreamOpen(app);
    await host.client.setLoggingLevel(level, opts);
    await trigger(host.client);
    const logs = await eventually(() => rec.seen['notifications/message'], { what: 'a log message at the host' });
    // A round trip more lets a duplicate show.
    await sleep(200);
    await host.client.ping(opts);
    check(logs);
    assert.deepEqual(host.errors, []);
  });
}

test('a resource subscription fires: server-everything\'s updates reach the host', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('everything');
  const rec = recording([sdk.ResourceUpdatedNotificationSchema, sdk.LoggingMessageNotificationSchema]);
  const host = await ws.connectHost({ setup: rec.setup });
  await standingStreamOpen(app);
  const { client } = host;
  assert.equal(client.getServerCapabilities()?.resources?.subscribe, true);
  const { resources } = await client.listResources(undefined, opts);
  const uri = resources[0].uri;
  assert.deepEqual(await client.subscribeResource({ uri }, opts), {});
  // The app acknowledges the subscription with a log message of its own.
  await eventually(() => rec.seen['notifications/message']?.some((p) => String(p.data).includes(`Received Subscribe Resource request for URI: ${uri}`)),
    { what: 'the subscription log message' });

  await client.callTool({ name: 'toggle-subscriber-updates', arguments: {} }, undefined, opts);
  const updates = await eventually(() => rec.seen['notifications/resources/updated'], { what: 'notifications/resources/updated' });
  assert.deepEqual(updates[0], { uri });
  await client.callTool({ name: 'toggle-subscriber-updates', arguments: {} }, undefined, opts);
  assert.deepEqual(host.errors, []);
});

const ROOTS = [
  { uri: 'file:///tmp/interop-root-one', name: 'one' },
  { uri: 'file:///tmp/interop-root-two', name: 'two ✓' },
];

const ROOTS_CASES = [
  {
    // server-everything asks for the roots shortly after notifications/initialized, and again
    // from its get-roots-list tool when it has none yet.
    name: 'server-everything after initialization and in get-roots-list',
    app: 'everything',
    async run(client, rec) {
      const result = await client.callTool({ name: 'get-roots-list', arguments: {} }, undefined, opts);
      assert.match(textOf(result), /Current MCP Roots \(2 total\)/);
      for (const root of ROOTS) assert.ok(textOf(result).includes(root.uri), textOf(result));
      await eventually(() => rec.seen['notifications/message']?.some((p) => p.data === 'Roots updated: 2 root(s) received from client'),
        { what: 'the app\'s log of the roots it received' });
    },
  },
  {
    name: 'standing-app inside a tool call',
    app: 'standing-app',
    async run(client) {
      const result = await client.callTool({ name: 'roots-now', arguments: {} }, undefined, opts);
      assert.notEqual(result.isError, true, textOf(result));
      assert.deepEqual(JSON.parse(textOf(result)), ROOTS);
    },
  },
];

for (const { name, app: appName, run } of ROOTS_CASES) {
  test(`roots/list from the app is answered by the host's handler: ${name}`, { timeout: 30000 }, async (t) => {
    // Tool calls go one at a time by default; the host's answer is no tool call and must pass.
    const ws = Workspace.create(t);
    const app = await ws.startTestApp(appName);
    const rec = recording([sdk.LoggingMessageNotificationSchema]);
    let asked = 0;
    const host = await ws.connectHost({
      capabilities: { roots: { listChanged: true } },
      setup(client) {
        rec.setup(client);
        client.setRequestHandler(sdk.ListRootsRequestSchema, async () => {
          asked += 1;
          return { roots: ROOTS };
        });
      },
    });
    await standingStreamOpen(app);
    await run(host.client, rec);
    assert.ok(asked >= 1, 'the host\'s handler was asked');
    assert.deepEqual(host.errors, []);
  });
}

// Progress for a call's token that the app sends on the standing stream, while the call waits to
// be released: the host must see it before the call ends.
const STEPS = 3;

test('SDK host: progress sent outside the call\'s own stream arrives while the call runs', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: false });
  const app = await ws.startTestApp('standing-app');
  const host = await ws.connectHost();
  await standingStreamOpen(app);
  const { client } = host;
  const progress = [];
  let ended = false;
  const call = client.callTool({ name: 'progress-elsewhere', arguments: { steps: STEPS, gate: 'sdk' } }, undefined, {
    ...opts,
    onprogress: (p) => progress.push(p),
  }).finally(() => { ended = true; });
  await eventually(() => progress.length >= STEPS, { what: `${STEPS} progress notifications`, timeoutMs: 8000 });
  assert.equal(ended, false, 'the call was still running');
  assert.equal(textOf(await client.callTool({ name: 'release', arguments: { gate: 'sdk' } }, undefined, opts)), 'released sdk');
  assert.equal(textOf(await call), `released after ${STEPS} steps`);
  assert.deepEqual(progress.map((p) => [p.progress, p.total, p.message]),
    Array.from({ length: STEPS }, (_, i) => [i + 1, STEPS, `elsewhere ${i + 1}`]));
  assert.deepEqual(host.errors, []);
});

test('raw wire: progress from the standing stream precedes the result, once each', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: false });
  const app = await ws.startTestApp('standing-app');
  const bridge = await ws.spawnInitializedBridge();
  await standingStreamOpen(app);
  const from = bridge.stdout.lines.length;
  bridge.send({
    jsonrpc: '2.0', id: 2, method: 'tools/call',
    params: { name: 'progress-elsewhere', arguments: { steps: STEPS, gate: 'raw' }, _meta: { progressToken: 'tok-raw' } },
  });
  const isProgress = (m) => m?.method === 'notifications/progress';
  await eventually(() => bridge.messages().slice(from).filter(isProgress).length >= STEPS, { what: 'the progress lines', timeoutMs: 8000 });
  assert.equal(bridge.messages().slice(from).some((m) => m?.id === 2), false, 'no result yet');
  bridge.send({ jsonrpc: '2.0', id: 3, method: 'tools/call', params: { name: 'release', arguments: { gate: 'raw' } } });
  await bridge.waitForReply(2, { from });
  await bridge.waitForReply(3, { from });
  await sleep(200);
  const messages = bridge.messages().slice(from);
  assert.deepEqual(messages.filter(isProgress).map((m) => m.params),
    Array.from({ length: STEPS }, (_, i) => ({ progressToken: 'tok-raw', progress: i + 1, total: STEPS, message: `elsewhere ${i + 1}` })));
  assert.equal(messages.filter((m) => m?.id === 2).length, 1, bridge.stdout.text());
  assert.equal(messages.filter((m) => m?.id === 3).length, 1, bridge.stdout.text());
  assert.equal(bridge.stderr.text(), '');
});

test('an app that adds a tool mid-session: the host is told and lists the new tool', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app');
  const host = await ws.connectHost();
  await standingStreamOpen(app);
  const { client } = host;
  const before = (await client.listTools(undefined, opts)).tools.map((tool) => tool.name);
  assert.equal(before.includes('late-tool'), false);
  assert.deepEqual(host.listChanged, []);

  await client.callTool({ name: 'add-tool', arguments: { name: 'late-tool', delayMs: 100 } }, undefined, opts);
  await eventually(() => host.listChanged.length > 0, { what: 'notifications/tools/list_changed' });
  const after = (await client.listTools(undefined, opts)).tools.map((tool) => tool.name);
  assert.deepEqual(after, [...before, 'late-tool']);
  assert.equal(textOf(await client.callTool({ name: 'late-tool', arguments: {} }, undefined, opts)), 'late-tool ran');
  assert.deepEqual(host.listChanged, [{ method: 'notifications/tools/list_changed' }]);
  assert.deepEqual(host.errors, []);
});

for (const eventIds of ['plain', 'odd']) {
  test(`a standing stream the app ended is reopened from its last event (${eventIds} event ids): each log once`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startTestApp('standing-app', ['--event-ids', eventIds]);
    const rec = recording([sdk.LoggingMessageNotificationSchema]);
    const host = await ws.connectHost({ setup: rec.setup });
    await standingStreamOpen(app);
    const { client } = host;
    assert.equal(textOf(await client.callTool({ name: 'drop-standing', arguments: { label: 'drop' } }, undefined, opts)), 'dropped');
    await eventually(() => (rec.seen['notifications/message'] ?? []).length >= 2, { what: 'both log messages', timeoutMs: 8000 });
    const reopened = await app.waitForEvent((e) => e.event === 'http' && e.method === 'GET' && e.lastEventId !== undefined,
      { what: 'the standing GET reopened with Last-Event-ID' });
    assert.equal(reopened.protocolVersion, sdk.LATEST_PROTOCOL_VERSION);
    await sleep(200);
    await client.ping(opts);
    assert.deepEqual(rec.seen['notifications/message'].map((p) => p.data), ['drop before', 'drop while closed']);
    assert.deepEqual(app.events('unknown-event-id'), []);
    assert.deepEqual(host.errors, []);
  });
}

// The app numbers its own requests from 0, as the host may number its own: the host's answer to
// the app's roots/list id 0 is no reply to the host's tools/call id 0, and the other way round.
test('raw wire: the app\'s request and the host\'s call share an id: each side gets its own answer', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app');
  const bridge = ws.spawnBridge();
  bridge.send({ ...initializeRequest('init'), params: { ...initializeRequest().params, capabilities: { roots: {} } } });
  await bridge.waitForReply('init');
  bridge.send({ jsonrpc: '2.0', method: 'notifications/initialized' });
  await standingStreamOpen(app);
  const from = bridge.stdout.lines.length;
  bridge.send({ jsonrpc: '2.0', id: 0, method: 'tools/call', params: { name: 'roots-now', arguments: {} } });
  const askedIndex = await bridge.stdout.waitFor((line) => JSON.parse(line).method === 'roots/list', { from, what: 'roots/list from the app' });
  const asked = bridge.messages()[askedIndex];
  assert.equal(asked.id, 0, 'the ids collide');
  const roots = [{ uri: 'file:///tmp/shared-id', name: 'shared id' }];
  bridge.send({ jsonrpc: '2.0', id: asked.id, result: { roots } });
  const replyIndex = await bridge.waitForReply(0, { from: askedIndex + 1 });
  const reply = bridge.messages()[replyIndex];
  assert.deepEqual(JSON.parse(reply.result.content[0].text), roots, JSON.stringify(reply));
  bridge.send({ jsonrpc: '2.0', id: 1, method: 'ping' });
  await bridge.waitForReply(1, { from });
  const replies = bridge.messages().slice(from).filter((m) => m?.id === 0 && !('method' in m));
  assert.equal(replies.length, 1, bridge.stdout.text());
  assert.equal(bridge.stderr.text(), '');
});

// An app without a standing stream, or one that ends it at once each time, gets no flood of
// GETs; the session goes on.
const NO_STREAM_CASES = [
  { name: 'the app answers the GET with 405: asked once', standing: 'refuse', fewest: 1, most: 1 },
  { name: 'the app ends the stream at once each time: reopened, with pauses', standing: 'end', fewest: 2, most: 3 },
];

for (const { name, standing, fewest, most } of NO_STREAM_CASES) {
  test(`no standing stream to be had: ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startTestApp('standing-app', ['--standing', standing]);
    const host = await ws.connectHost();
    await app.waitForEvent((e) => e.event === 'http' && e.method === 'GET', { what: 'the standing GET' });
    await sleep(2500);
    const gets = app.events('http').filter((e) => e.method === 'GET');
    assert.ok(gets.length >= fewest && gets.length <= most, `${gets.length} GETs: ${JSON.stringify(gets)}`);
    assert.equal(textOf(await host.client.callTool({ name: 'release', arguments: { gate: 'g' } }, undefined, opts)), 'released g');
    assert.equal(app.events('session-open').length, 1);
    assert.deepEqual(host.errors, []);
    assert.equal(host.stderr.text(), '', 'nothing for the user to see');
  });
}

// The app is replaced while the host stays: the new session gets a standing stream of its own.
test('after the app restarts, the new session\'s standing stream carries its logs', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const first = await ws.startTestApp('standing-app');
  const rec = recording([sdk.LoggingMessageNotificationSchema]);
  const host = await ws.connectHost({ setup: rec.setup });
  await standingStreamOpen(first);
  const { client } = host;
  await client.callTool({ name: 'log-later', arguments: { message: 'from the first app', delayMs: 0 } }, undefined, opts);
  await eventually(() => rec.seen['notifications/message']?.length === 1, { what: 'the first app\'s log' });

  await first.stop('SIGKILL');
  const second = await ws.startTestApp('standing-app');
  await client.callTool({ name: 'release', arguments: { gate: 'g' } }, undefined, opts);
  await standingStreamOpen(second);
  await client.callTool({ name: 'log-later', arguments: { message: 'from the second app', delayMs: 0 } }, undefined, opts);
  await eventually(() => rec.seen['notifications/message']?.length === 2, { what: 'the second app\'s log' });
  assert.deepEqual(rec.seen['notifications/message'].map((p) => p.data), ['from the first app', 'from the second app']);
  assert.equal(second.events('session-open').length, 1);
});

// The app was down when the host initialized: the bridge opens the session with the first
// message after, and that session gets a standing stream too.
test('the app comes up after initialize: the session opened later carries the app\'s logs', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const rec = recording([sdk.LoggingMessageNotificationSchema]);
  const host = await ws.connectHost({ setup: rec.setup });
  const app = await ws.startTestApp('standing-app');
  const { client } = host;
  assert.equal(textOf(await client.callTool({ name: 'release', arguments: { gate: 'g' } }, undefined, opts)), 'released g');
  await standingStreamOpen(app);
  await client.callTool({ name: 'log-later', arguments: { message: 'late session', delayMs: 0 } }, undefined, opts);
  await eventually(() => rec.seen['notifications/message'], { what: 'the log message' });
  assert.deepEqual(rec.seen['notifications/message'], [{ level: 'warning', logger: 'interop', data: 'late session' }]);
  assert.equal(app.events('session-open').length, 1);
});

// server-everything's long-running operation reports progress on the call's own stream, some
// hundreds of milliseconds apart: each line reaches the host while the call still runs.
test('raw wire: server-everything\'s long-running operation: its progress arrives while the call runs', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  await ws.startTestApp('everything');
  const bridge = await ws.spawnInitializedBridge();
  const from = bridge.stdout.lines.length;
  bridge.send({
    jsonrpc: '2.0', id: 2, method: 'tools/call',
    params: { name: 'trigger-long-running-operation', arguments: { duration: 1.5, steps: 3 }, _meta: { progressToken: 'long' } },
  });
  const firstIndex = await bridge.stdout.waitFor((line) => JSON.parse(line).method === 'notifications/progress', { from, what: 'the first progress line' });
  assert.equal(bridge.messages().slice(from).some((m) => m?.id === 2), false, 'the result came with the first progress');
  const replyIndex = await bridge.waitForReply(2, { from });
  assert.match(bridge.messages()[replyIndex].result.content[0].text, /Long running operation completed/);
  assert.deepEqual(bridge.messages().slice(firstIndex, replyIndex).map((m) => m.params),
    [1, 2, 3].map((progress) => ({ progress, total: 3, progressToken: 'long' })));
  assert.equal(bridge.stderr.text(), '');
});

// Lines from the standing stream and from the host's requests' streams are written by different
// threads: each must stay whole and come once.
test('raw wire: a burst of large log lines among many replies: every line whole, each once', { timeout: 30000 }, async (t) => {
  const COUNT = 150;
  const SIZE = 20000;
  const PINGS = 40;
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app');
  const bridge = await ws.spawnInitializedBridge();
  await standingStreamOpen(app);
  const from = bridge.stdout.lines.length;
  bridge.send({ jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'log-burst', arguments: { count: COUNT, size: SIZE } } });
  for (let i = 0; i < PINGS; i += 1) {
    bridge.send({ jsonrpc: '2.0', id: 100 + i, method: i % 2 ? 'ping' : 'tools/list' });
  }
  await bridge.waitForReply(2, { from });
  await app.waitForEvent((e) => e.event === 'burst-sent', { what: 'the whole burst' });
  await eventually(() => bridge.messages().slice(from).filter((m) => m?.method === 'notifications/message').length >= COUNT,
    { what: `${COUNT} log lines`, timeoutMs: 15000 });
  for (let i = 0; i < PINGS; i += 1) await bridge.waitForReply(100 + i, { from });
  await sleep(100);

  const lines = bridge.stdout.lines.slice(from);
  const broken = lines.filter((line) => sdk.JSONRPCMessageSchema.safeParse(JSON.parse(line)).success !== true);
  assert.deepEqual(broken.map((line) => line.slice(0, 200)), []);
  const messages = lines.map((line) => JSON.parse(line));
  const logs = messages.filter((m) => m.method === 'notifications/message').map((m) => m.params.data);
  assert.equal(logs.length, COUNT);
  logs.forEach((data, i) => assert.equal(data, `${i}:${'x'.repeat(SIZE)}`, `log ${i} whole and in order`));
  const ids = messages.filter((m) => 'id' in m).map((m) => m.id).sort((a, b) => a - b);
  assert.deepEqual(ids, [2, ...Array.from({ length: PINGS }, (_, i) => 100 + i)]);
  assert.equal(bridge.stderr.text(), '');
});

// The app forgets the session: the bridge opens a new one with the next message, and that one
// gets a standing stream of its own.
test('after the app ends the session, the next session\'s standing stream carries its logs', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app');
  const rec = recording([sdk.LoggingMessageNotificationSchema]);
  const host = await ws.connectHost({ setup: rec.setup });
  await standingStreamOpen(app);
  const { client } = host;
  assert.equal(textOf(await client.callTool({ name: 'end-session', arguments: {} }, undefined, opts)), 'ending');
  const ended = await app.waitForEvent((e) => e.event === 'session-ended', { what: 'the end of the session' });
  await sleep(300);
  assert.equal(textOf(await client.callTool({ name: 'release', arguments: { gate: 'g' } }, undefined, opts)), 'released g');
  const sessions = app.events('session-open');
  assert.equal(sessions.length, 2);
  await eventually(() => app.events('http').some((e) => e.method === 'GET' && e.session === sessions[1].session),
    { what: 'the new session\'s standing GET' });
  await client.callTool({ name: 'log-later', arguments: { message: 'second session', delayMs: 0 } }, undefined, opts);
  await eventually(() => rec.seen['notifications/message'], { what: 'the log of the second session' });
  assert.equal(rec.seen['notifications/message'][0].data, 'second session');
  assert.notEqual(sessions[1].session, ended.session);
  assert.deepEqual(host.errors, []);
});
