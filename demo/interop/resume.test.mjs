// A tool call whose event stream the app ends early (apps/standing-app.mjs, close-early: the SDK
// transport's closeSSEStream with the SDK's example event store) is resumed by the bridge with a
// GET carrying Last-Event-ID after the app's "retry" delay; the host gets the result once.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, Workspace, eventually, initializeRequest, sdk, sleep, textOf } from './support.mjs';

const CASES = [
  { name: 'the answer comes while the resumed stream is open', retryMs: 50, answerAfterMs: 700 },
  { name: 'the answer waits in the app\'s event store until the resume', retryMs: 700, answerAfterMs: 60 },
  // Event ids are opaque text: sent back exactly as the app wrote them.
  { name: 'event ids with spaces and punctuation', retryMs: 50, answerAfterMs: 300, eventIds: 'odd' },
];

// The app's log of the GET that resumed the call's stream, after it ended that stream.
async function resumption(app) {
  const closed = await app.waitForEvent((e) => e.event === 'stream-closed', { what: 'the early end of the stream' });
  const get = await app.waitForEvent((e) => e.event === 'http' && e.method === 'GET' && e.lastEventId !== undefined,
    { what: 'a GET with Last-Event-ID' });
  assert.ok(get.t >= closed.t, 'resumed after the stream ended');
  assert.match(get.accept, /text\/event-stream/);
  assert.equal(get.protocolVersion, sdk.LATEST_PROTOCOL_VERSION);
  assert.deepEqual(app.events('unknown-event-id'), []);
  return get;
}

for (const { name, retryMs, answerAfterMs, eventIds = 'plain' } of CASES) {
  test(`SDK host: a stream the app ended early is resumed, one result: ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startTestApp('standing-app', ['--retry-ms', String(retryMs), '--event-ids', eventIds]);
    const host = await ws.connectHost();
    const { client } = host;
    const result = await client.callTool({ name: 'close-early', arguments: { answerAfterMs, label: 'sdk' } }, undefined, {
      timeout: REQUEST_TIMEOUT_MS,
    });
    assert.notEqual(result.isError, true, textOf(result));
    assert.equal(textOf(result), 'answered sdk');
    const get = await resumption(app);
    const closed = app.events('stream-closed')[0];
    assert.ok(get.t - closed.t >= retryMs - 5, `waited the app's retry delay (${get.t - closed.t} ms)`);
    // A second copy of the result would show as a response to an unknown id.
    await sleep(300);
    await client.ping({ timeout: REQUEST_TIMEOUT_MS });
    assert.deepEqual(host.errors, []);
    assert.equal(app.events('http').filter((e) => e.method === 'GET' && e.lastEventId !== undefined).length, 1,
      'one resumption was enough');
  });

  test(`raw wire: a stream the app ended early is resumed: one response line, each progress once: ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startTestApp('standing-app', ['--retry-ms', String(retryMs), '--event-ids', eventIds]);
    const bridge = await ws.spawnInitializedBridge();
    const from = bridge.stdout.lines.length;
    bridge.send({
      jsonrpc: '2.0', id: 'call-7', method: 'tools/call',
      params: { name: 'close-early', arguments: { answerAfterMs, label: 'raw' }, _meta: { progressToken: 7 } },
    });
    const replyIndex = await bridge.waitForReply('call-7', { from });
    await resumption(app);
    await sleep(300);
    bridge.send({ jsonrpc: '2.0', id: 9, method: 'ping' });
    await bridge.waitForReply(9, { from });

    const messages = bridge.messages().slice(from);
    const replies = messages.filter((m) => m?.id === 'call-7');
    assert.equal(replies.length, 1, bridge.stdout.text());
    assert.deepEqual(replies[0].result?.content, [{ type: 'text', text: 'answered raw' }], bridge.stdout.text());
    const progress = messages.filter((m) => m?.method === 'notifications/progress');
    assert.deepEqual(progress.map((m) => m.params), [
      { progressToken: 7, progress: 1, total: 2 },
      { progressToken: 7, progress: 2, total: 2 },
    ], bridge.stdout.text());
    // Both before the result.
    assert.ok(bridge.messages().slice(from, replyIndex).filter((m) => m?.method === 'notifications/progress').length === 2);
    // Nothing but those lines and the ping's reply: no empty priming events relayed.
    assert.equal(messages.length, 4, bridge.stdout.text());
    assert.equal(bridge.stderr.text(), '');
  });
}

test('the app\'s early end of a stream is no error: later calls go on in the same session', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app', ['--retry-ms', '50']);
  const host = await ws.connectHost();
  const { client } = host;
  for (const label of ['first', 'second']) {
    const result = await client.callTool({ name: 'close-early', arguments: { answerAfterMs: 100, label } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.equal(textOf(result), `answered ${label}`);
  }
  await eventually(() => app.events('http').filter((e) => e.method === 'GET' && e.lastEventId !== undefined).length === 2,
    { what: 'two resumptions' });
  assert.equal(app.events('session-open').length, 1);
  assert.deepEqual(host.errors, []);
});

// The host gives up on the call while the bridge waits to resume its stream: the app hears of
// it, and the next call is not held behind the abandoned one (tool calls go one at a time).
test('SDK host: a call cancelled while its stream awaits resumption frees the next call', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app', ['--retry-ms', '300']);
  const host = await ws.connectHost();
  const { client } = host;
  const abort = new AbortController();
  const call = client.callTool({ name: 'close-early', arguments: { answerAfterMs: 4000, label: 'cancelled' } }, undefined, {
    timeout: REQUEST_TIMEOUT_MS, signal: abort.signal,
  });
  await app.waitForEvent((e) => e.event === 'stream-closed', { what: 'the early end of the stream' });
  abort.abort('the host gave up');
  await assert.rejects(call);
  const started = Date.now();
  const next = await client.callTool({ name: 'release', arguments: { gate: 'unused' } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
  assert.equal(textOf(next), 'released unused');
  assert.ok(Date.now() - started < 2500, `the next call waited ${Date.now() - started} ms`);
  await app.waitForEvent((e) => e.event === 'cancelled', { what: 'the app to hear of the cancellation' });
  // Once the bridge stops waiting for the call it lets go of the resumed stream too.
  await app.waitForEvent((e) => e.event === 'http-closed' && e.method === 'GET' && e.lastEventId !== undefined,
    { what: 'the resumed stream to be let go', timeoutMs: 5000 });
  assert.deepEqual(host.errors, []);
});

// The app lets go of the resumed stream too, with nothing new on it, before it answers.
test('SDK host: a stream ended again after its resumption is resumed again: one result', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startTestApp('standing-app', ['--retry-ms', '50']);
  const host = await ws.connectHost();
  const { client } = host;
  const result = await client.callTool({ name: 'poll-long', arguments: { times: 2, everyMs: 400 } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
  assert.notEqual(result.isError, true, textOf(result));
  assert.equal(textOf(result), 'answered after 2 pauses');
  const resumes = app.events('http').filter((e) => e.method === 'GET' && e.lastEventId !== undefined);
  assert.equal(resumes.length, 2, JSON.stringify(resumes));
  assert.equal(resumes[0].lastEventId, resumes[1].lastEventId, 'nothing new came on the first resumption');
  await sleep(200);
  await client.ping({ timeout: REQUEST_TIMEOUT_MS });
  assert.deepEqual(host.errors, []);
});
