// Progress notifications of a tool call reach the host, before the call's result.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, Workspace, initializeRequest, sdk, textOf } from './support.mjs';

const STEPS = 4;

// The demo app sends its progress and the result close together, so the stdio client may see the
// result in the same read as the notifications. Handed over as one batch, the client
// runs the result first and reports the notifications as carrying an unknown token; handed over
// one per turn (as a host reading line by line would), all of them reach onprogress first.
const SDK_HOSTS = [
  { name: 'stdio transport as shipped', paced: false, mustDeliver: false },
  { name: 'stdio transport, one message per turn', paced: true, mustDeliver: true },
];

for (const { name, paced, mustDeliver } of SDK_HOSTS) {
  test(`SDK host (${name}): every progress notification arrives before the result`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    await ws.startApp();
    const host = await ws.connectHost({ paced });
    const order = [];
    const result = await host.client.callTool({ name: 'progress', arguments: { steps: STEPS, intervalMs: 30 } }, undefined, {
      timeout: REQUEST_TIMEOUT_MS,
      onprogress: (progress) => order.push(progress),
    });
    order.push('result');
    assert.equal(textOf(result), `finished ${STEPS} steps`);
    await new Promise((resolve) => setImmediate(resolve));

    assert.equal(order.at(-1), 'result', JSON.stringify(order));
    const delivered = order.slice(0, -1);
    const late = host.errors
      .map((error) => /progress notification for an unknown token: (.*)$/s.exec(error.message))
      .filter(Boolean)
      .map((match) => JSON.parse(match[1]).params);
    if (mustDeliver) assert.deepEqual(late, []);
    // Each notification arrived exactly once, one way or the other.
    const seen = [...delivered, ...late].map((p) => p.progress).sort((a, b) => a - b);
    assert.deepEqual(seen, Array.from({ length: STEPS }, (_, i) => i + 1),
      `delivered ${JSON.stringify(delivered)}, late ${JSON.stringify(late)}`);
    const deliveredSteps = delivered.map((p) => p.progress);
    assert.deepEqual(deliveredSteps, [...deliveredSteps].sort((a, b) => a - b), 'in order');
    for (const p of [...delivered, ...late]) {
      assert.equal(p.total, STEPS);
      assert.equal(p.message, `step ${p.progress} of ${STEPS}`);
    }
    assert.deepEqual(host.errors.filter((error) => !/unknown token/.test(error.message)), []);
  });
}

const TOKENS = [
  { name: 'a string progress token', token: 'progress-token-1', id: 2 },
  { name: 'a numeric progress token', token: 99, id: 'call-2' },
];

for (const { name, token, id } of TOKENS) {
  test(`raw wire: progress lines precede the result line, with ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    await ws.startApp();
    const bridge = await ws.spawnInitializedBridge();
    const from = bridge.stdout.lines.length;
    bridge.send({
      jsonrpc: '2.0', id, method: 'tools/call',
      params: { name: 'progress', arguments: { steps: STEPS, intervalMs: 20 }, _meta: { progressToken: token } },
    });
    const replyIndex = await bridge.waitForReply(id, { from });

    const lines = bridge.stdout.lines.slice(from, replyIndex + 1);
    const messages = lines.map((line) => JSON.parse(line));
    const progress = messages.slice(0, -1);
    assert.equal(progress.length, STEPS, lines.join('\n'));
    progress.forEach((message, i) => {
      assert.equal(message.method, 'notifications/progress');
      assert.equal(message.id, undefined);
      assert.deepEqual(message.params, { progressToken: token, progress: i + 1, total: STEPS, message: `step ${i + 1} of ${STEPS}` });
    });
    assert.equal(messages.at(-1).result.content[0].text, `finished ${STEPS} steps`);
    // Each message is a line of its own: JSON with no raw line breaks.
    for (const line of lines) assert.doesNotMatch(line, /[\r\n]/);
    assert.equal(bridge.stderr.text(), '');
  });
}

test('the SDK schema accepts every progress line the bridge writes', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  await ws.startApp();
  const bridge = ws.spawnBridge();
  bridge.send(initializeRequest(1));
  await bridge.waitForReply(1);
  bridge.send({ jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'progress', arguments: { steps: 2, intervalMs: 0 }, _meta: { progressToken: 5 } } });
  const replyIndex = await bridge.waitForReply(2);
  for (const line of bridge.stdout.lines.slice(0, replyIndex + 1)) {
    assert.ok(sdk.JSONRPCMessageSchema.safeParse(JSON.parse(line)).success, line);
  }
  assert.equal(bridge.messages().filter((m) => m?.method === 'notifications/progress').length, 2);
});
