// Tool calls run one at a time when "serializeToolCalls" is true, and side by side when false.
// The app logs when each call starts and ends.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, Workspace, eventually, sleep, textOf } from './support.mjs';

const SLOW_MS = 1000;

function slowCall(client, label, { ms = SLOW_MS, signal } = {}) {
  return client.callTool({ name: 'slow', arguments: { ms, label } }, undefined, { timeout: REQUEST_TIMEOUT_MS, signal });
}

// start/end times of each labelled slow call, as the app logged them.
function timings(app) {
  const byLabel = {};
  for (const event of app.events()) {
    if (event.tool !== 'slow') continue;
    const label = event.args.label;
    byLabel[label] ??= {};
    if (event.event === 'tool-start') byLabel[label].start = event.t;
    if (event.event === 'tool-end') byLabel[label].end = event.t;
  }
  return byLabel;
}

const MODES = [
  { serializeToolCalls: true, overlap: false },
  { serializeToolCalls: false, overlap: true },
];

for (const { serializeToolCalls, overlap } of MODES) {
  test(`serializeToolCalls ${serializeToolCalls}: two slow calls started together ${overlap ? 'overlap' : 'run one after the other'}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t, { serializeToolCalls });
    const app = await ws.startApp();
    const { client } = await ws.connectHost();

    const results = await Promise.all([slowCall(client, 'first'), slowCall(client, 'second')]);
    assert.deepEqual(results.map(textOf), [`first: waited ${SLOW_MS} ms`, `second: waited ${SLOW_MS} ms`]);

    // The app logs a call's end just after it answers: wait for both log lines.
    await eventually(() => {
      const logged = timings(app);
      return logged.first?.end !== undefined && logged.second?.end !== undefined;
    }, { what: 'the app to log both calls' });
    const { first, second } = timings(app);
    assert.ok(first?.start !== undefined && first.end !== undefined && second?.start !== undefined && second.end !== undefined,
      JSON.stringify(timings(app)));
    const [earlier, later] = first.start <= second.start ? [first, second] : [second, first];
    if (overlap) {
      assert.ok(later.start < earlier.end, `the calls overlap: ${JSON.stringify({ first, second })}`);
    } else {
      assert.equal(earlier, first, 'in arrival order');
      assert.ok(later.start >= earlier.end, `one after the other: ${JSON.stringify({ first, second })}`);
    }
  });
}

test('serialized tool calls do not hold up other requests', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: true });
  const app = await ws.startApp();
  const { client } = await ws.connectHost();

  const calls = Promise.all([slowCall(client, 'first'), slowCall(client, 'second')]);
  await app.waitForEvent((e) => e.event === 'tool-start' && e.args?.label === 'first', { what: 'the first call to start' });
  const { tools } = await client.listTools(undefined, { timeout: REQUEST_TIMEOUT_MS });
  await client.ping({ timeout: REQUEST_TIMEOUT_MS });
  assert.equal(tools.length, 4);
  assert.deepEqual(app.events('tool-end'), [], 'answered while the first call still ran');
  await calls;
});

test('a queued tool call withdrawn by the host never reaches the app', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: true });
  const app = await ws.startApp();
  const { client } = await ws.connectHost();

  const first = slowCall(client, 'first');
  const controller = new AbortController();
  const withdrawn = slowCall(client, 'withdrawn', { signal: controller.signal });
  await app.waitForEvent((e) => e.event === 'tool-start' && e.args?.label === 'first', { what: 'the first call to start' });
  controller.abort('changed my mind');
  await assert.rejects(withdrawn);
  assert.equal(textOf(await first), `first: waited ${SLOW_MS} ms`);

  // A call queued behind it runs next; by then the withdrawn one would have run before it.
  const next = await client.callTool({ name: 'echo', arguments: { text: 'next' } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
  assert.equal(textOf(next), 'next');
  await sleep(100);
  assert.deepEqual(app.events('tool-start').map((e) => e.args.label ?? e.args.text), ['first', 'next']);
  assert.ok(!app.events('post').some((e) => e.methods.includes('notifications/cancelled')), 'the cancellation stayed in the bridge');
});

test('without serialization a cancellation reaches the app and stops the running call', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: false });
  const app = await ws.startApp();
  const { client } = await ws.connectHost();

  const controller = new AbortController();
  const call = slowCall(client, 'cancelled', { ms: 5000, signal: controller.signal });
  await app.waitForEvent((e) => e.event === 'tool-start' && e.args?.label === 'cancelled', { what: 'the call to start' });
  controller.abort('stop');
  await assert.rejects(call);
  await eventually(() => app.events('tool-error').some((e) => e.args.label === 'cancelled'), { what: 'the app to stop the call' });
  assert.equal(app.events('tool-end').length, 0);
  // The bridge stays usable.
  assert.equal(textOf(await client.callTool({ name: 'echo', arguments: { text: 'after' } }, undefined, { timeout: REQUEST_TIMEOUT_MS })), 'after');
});

// The app, as MCP asks of it, sends no reply to a call that was cancelled while it ran, and its
// event stream stays open: the bridge must not hold the tool-call queue behind it.
test('with serialization, cancelling the running call does not block the next tool call', {
  timeout: 30000,
}, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: true });
  const app = await ws.startApp();
  const { client } = await ws.connectHost();

  const controller = new AbortController();
  const call = slowCall(client, 'cancelled', { ms: 5000, signal: controller.signal });
  await app.waitForEvent((e) => e.event === 'tool-start' && e.args?.label === 'cancelled', { what: 'the call to start' });
  controller.abort('stop');
  await assert.rejects(call);
  await eventually(() => app.events('tool-error').some((e) => e.args.label === 'cancelled'), { what: 'the app to stop the call' });
  const next = await client.callTool({ name: 'echo', arguments: { text: 'after' } }, undefined, { timeout: 3000 });
  assert.equal(textOf(next), 'after');
});
