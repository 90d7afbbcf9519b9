// After initialize every request to the app (posts, the standing stream's GET) names the
// protocol version the app agreed to, which need not be the one the host asked for.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Workspace, initializeRequest, sdk, sleep } from './support.mjs';

const CASES = [
  { asked: sdk.LATEST_PROTOCOL_VERSION, agreed: sdk.LATEST_PROTOCOL_VERSION },
  { asked: '2025-06-18', agreed: '2025-06-18' },
  { asked: '2025-03-26', agreed: '2025-03-26' },
  // The app answers a version it does not know with its own latest.
  { asked: '2099-01-01', agreed: sdk.LATEST_PROTOCOL_VERSION },
];

for (const { asked, agreed } of CASES) {
  test(`raw wire: the host asks for ${asked}, the app agrees to ${agreed}: every later request names ${agreed}`, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const app = await ws.startTestApp('standing-app');
    const bridge = ws.spawnBridge();
    const init = initializeRequest(1);
    bridge.send({ ...init, params: { ...init.params, protocolVersion: asked } });
    const initIndex = await bridge.waitForReply(1);
    assert.equal(bridge.messages()[initIndex].result?.protocolVersion, agreed);
    bridge.send({ jsonrpc: '2.0', method: 'notifications/initialized' });
    bridge.send({ jsonrpc: '2.0', id: 2, method: 'tools/list' });
    const listIndex = await bridge.waitForReply(2);
    assert.ok(bridge.messages()[listIndex].result?.tools?.length > 0, bridge.stdout.lines[listIndex]);
    bridge.send({ jsonrpc: '2.0', id: 3, method: 'tools/call', params: { name: 'release', arguments: { gate: 'g' } } });
    const callIndex = await bridge.waitForReply(3);
    assert.equal(bridge.messages()[callIndex].result?.content?.[0]?.text, 'released g', bridge.stdout.lines[callIndex]);
    await app.waitForEvent((e) => e.event === 'http' && e.method === 'GET', { what: 'the standing GET' });
    await sleep(100);

    const [first, ...later] = app.events('http');
    assert.equal(first.body?.method, 'initialize');
    assert.equal(first.protocolVersion, undefined);
    assert.deepEqual(later.map((e) => [e.method, e.body?.method, e.protocolVersion]).sort(), [
      ['GET', undefined, agreed],
      ['POST', 'notifications/initialized', agreed],
      ['POST', 'tools/call', agreed],
      ['POST', 'tools/list', agreed],
    ]);
    assert.equal(bridge.stderr.text(), '');
  });
}
