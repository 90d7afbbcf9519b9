// When the bridge opens its session with the app for a message other than initialize, it compares
// the app's tools with the snapshot's and tells the host about a difference.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, SNAPSHOT, Workspace, initializeRequest, sleep, textOf } from './support.mjs';

const LIST_CHANGED = 'notifications/tools/list_changed';

const SDK_CASES = [
  { name: 'app down at initialize, then up with an extra tool: the host is told', appAtInitialize: false, tools: 'extended', expected: true },
  { name: 'app down at initialize, then up with the snapshot tools: nothing to tell', appAtInitialize: false, tools: 'default', expected: false },
  // initialize opened the session itself, without a tool-list comparison.
  { name: 'app up at initialize with an extra tool: no comparison, nothing told', appAtInitialize: true, tools: 'extended', expected: false },
];

for (const { name, appAtInitialize, tools, expected } of SDK_CASES) {
  test(`SDK host: ${name}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const early = appAtInitialize ? await ws.startApp({ tools }) : null;
    const host = await ws.connectHost();
    const app = early ?? await ws.startApp({ tools });
    const { client } = host;

    const result = await client.callTool({ name: 'echo', arguments: { text: 'first call' } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.equal(textOf(result), 'first call');
    assert.equal(app.events('tool-start').length, 1, 'served by the app');

    // A further round trip lets any notification that came before it be handled.
    const { tools: listed } = await client.listTools(undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.equal(listed.some((tool) => tool.name === 'reverse'), tools === 'extended', 'the app\'s own list');
    assert.equal(host.listChanged.length, expected ? 1 : 0, JSON.stringify(host.listChanged));
    if (expected) assert.deepEqual(host.listChanged[0], { method: LIST_CHANGED });

    // The next messages use the same session: no second comparison.
    await client.callTool({ name: 'echo', arguments: { text: 'second call' } }, undefined, { timeout: REQUEST_TIMEOUT_MS });
    await client.ping({ timeout: REQUEST_TIMEOUT_MS });
    assert.equal(host.listChanged.length, expected ? 1 : 0);
    assert.equal(app.events('session-open').length, 1);
  });
}

// Snapshots that differ from the app's default tools in one way each.
function reorderedKeys(value) {
  if (Array.isArray(value)) return value.map(reorderedKeys);
  if (value && typeof value === 'object') {
    return Object.fromEntries(Object.entries(value).reverse().map(([k, v]) => [k, reorderedKeys(v)]));
  }
  return value;
}
const withTools = (tools) => ({ ...SNAPSHOT, tools });

const WIRE_CASES = [
  { name: 'the app offers an extra tool', tools: 'extended', snapshot: SNAPSHOT, expected: true },
  { name: 'the snapshot lacks a tool', tools: 'default', snapshot: withTools(SNAPSHOT.tools.slice(0, -1)), expected: true },
  { name: 'the snapshot lists the tools in another order', tools: 'default', snapshot: withTools([...SNAPSHOT.tools].reverse()), expected: true },
  {
    name: 'a description differs',
    tools: 'default',
    snapshot: withTools(SNAPSHOT.tools.map((tool, i) => (i === 0 ? { ...tool, description: `${tool.description} (old)` } : tool))),
    expected: true,
  },
  { name: 'the snapshot writes every object\'s members in another order', tools: 'default', snapshot: withTools(reorderedKeys(SNAPSHOT.tools)), expected: false },
  { name: 'the snapshot equals the app\'s tools', tools: 'default', snapshot: SNAPSHOT, expected: false },
];

for (const { name, tools, snapshot, expected } of WIRE_CASES) {
  test(`raw wire: ${name}: ${expected ? 'list_changed comes before the reply' : 'no list_changed'}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t, { snapshot });
    const bridge = await ws.spawnInitializedBridge();
    const app = await ws.startApp({ tools });

    const from = bridge.stdout.lines.length;
    bridge.send({ jsonrpc: '2.0', id: 2, method: 'tools/call', params: { name: 'echo', arguments: { text: 'hi' } } });
    const replyIndex = await bridge.waitForReply(2, { from });
    assert.equal(bridge.messages()[replyIndex].result.content[0].text, 'hi');

    bridge.send({ jsonrpc: '2.0', id: 3, method: 'ping' });
    await bridge.waitForReply(3, { from });
    await sleep(50);
    const notices = bridge.messages().slice(from).filter((m) => m?.method === LIST_CHANGED);
    assert.equal(notices.length, expected ? 1 : 0, bridge.stdout.text());
    if (expected) {
      assert.equal(bridge.stdout.lines[replyIndex - 1], JSON.stringify({ jsonrpc: '2.0', method: LIST_CHANGED }));
    }
    assert.equal(app.events('session-open').length, 1);
    assert.equal(bridge.stderr.text(), '');
  });
}
