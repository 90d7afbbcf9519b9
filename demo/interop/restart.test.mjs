// The app restarts on another port with a new discovery file: the same host, without a restart
// of its own, is served by the new app.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { OFFLINE_MESSAGE, REQUEST_TIMEOUT_MS, Workspace, eventually, textOf } from './support.mjs';

const CASES = [
  { stop: 'SIGTERM', callWhileDown: false },
  { stop: 'SIGTERM', callWhileDown: true },
  { stop: 'SIGKILL', callWhileDown: false },
  // The failed attempt on the stale file starts the bridge's short back-off, so the new app may
  // be tried only a little later.
  { stop: 'SIGKILL', callWhileDown: true, retry: true },
];

for (const { stop, callWhileDown, retry = false } of CASES) {
  const name = `app stopped with ${stop}${callWhileDown ? ', a call while it is down,' : ''} then restarted: the new app serves the next call`;
  test(name, { timeout: 30000 }, async (t) => {
    const ws = Workspace.create(t);
    const first = await ws.startApp();
    const host = await ws.connectHost({ name: 'restart-host' });
    const { client } = host;
    const echo = (text) => client.callTool({ name: 'echo', arguments: { text } }, undefined, { timeout: REQUEST_TIMEOUT_MS });

    assert.equal(textOf(await echo('to the first app')), 'to the first app');
    assert.equal(first.events('tool-start').length, 1);
    await first.stop(stop);

    if (callWhileDown) {
      const offline = await echo('while down');
      assert.equal(offline.isError, true);
      assert.equal(textOf(offline), OFFLINE_MESSAGE);
    }

    const second = await ws.startApp();
    assert.notEqual(second.info.pid, first.info.pid);
    assert.equal(JSON.parse(fs.readFileSync(ws.discoveryPath, 'utf8')).url, second.info.url);

    const served = retry
      ? await eventually(async () => {
        const result = await echo('to the second app');
        return result.isError ? null : result;
      }, { timeoutMs: 6000, intervalMs: 250, what: 'the second app to serve a call' })
      : await echo('to the second app');
    assert.notEqual(served.isError, true);
    assert.equal(textOf(served), 'to the second app');

    // The second app ran the call, in a session opened with the host's own initialize.
    const [opened] = second.events('session-open');
    assert.equal(opened?.client, 'restart-host');
    const calls = second.events('tool-start');
    assert.equal(calls.length, 1);
    assert.deepEqual(calls[0].args, { text: 'to the second app' });
    assert.equal(calls[0].session, opened.session);
    assert.equal(first.events('tool-start').length, 1);

    assert.deepEqual(host.listChanged, [], 'the new app has the snapshot tools');
    const { tools } = await client.listTools(undefined, { timeout: REQUEST_TIMEOUT_MS });
    assert.equal(tools.length, 4);
    assert.equal(second.events('session-open').length, 1, 'one session with the new app');
  });
}
