// The demo app on its own: what the bridge relies on at its endpoint.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';
import { Workspace, initializeRequest } from './support.mjs';

function post(url, headers, body) {
  return fetch(url, {
    method: 'POST',
    headers: { Accept: 'application/json, text/event-stream', 'Content-Type': 'application/json', ...headers },
    body: typeof body === 'string' ? body : JSON.stringify(body),
    signal: AbortSignal.timeout(5000),
  });
}

test('the app: discovery file, bearer token, sessions, and clean removal on exit', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const app = await ws.startApp();
  const discovery = JSON.parse(fs.readFileSync(ws.discoveryPath, 'utf8'));
  assert.deepEqual(Object.keys(discovery).sort(), ['authToken', 'pid', 'url']);
  assert.equal(discovery.url, `http://127.0.0.1:${app.info.port}/mcp`);
  assert.equal(discovery.pid, app.child.pid);
  assert.ok(discovery.authToken.length >= 32);
  assert.deepEqual(fs.readdirSync(ws.discoveryPath.replace(/[^/]+$/, '')), ['discovery.json'], 'no temp file left');

  const auth = { Authorization: `Bearer ${discovery.authToken}` };
  const init = await post(discovery.url, auth, initializeRequest(0));
  assert.equal(init.status, 200);
  const sessionId = init.headers.get('mcp-session-id');
  assert.ok(sessionId);
  await init.text();

  const ping = { jsonrpc: '2.0', id: 1, method: 'ping' };
  const cases = [
    { name: 'no token', headers: { 'Mcp-Session-Id': sessionId }, status: 401 },
    { name: 'wrong token', headers: { Authorization: 'Bearer nope', 'Mcp-Session-Id': sessionId }, status: 401 },
    { name: 'unknown session', headers: { ...auth, 'Mcp-Session-Id': 'not-a-session' }, status: 404 },
    { name: 'no session', headers: auth, status: 400 },
    { name: 'the session', headers: { ...auth, 'Mcp-Session-Id': sessionId }, status: 200 },
  ];
  for (const c of cases) {
    const response = await post(discovery.url, c.headers, ping);
    await response.text();
    assert.equal(response.status, c.status, c.name);
  }

  const closed = await fetch(discovery.url, { method: 'DELETE', headers: { ...auth, 'Mcp-Session-Id': sessionId }, signal: AbortSignal.timeout(5000) });
  assert.equal(closed.status, 200);
  const after = await post(discovery.url, { ...auth, 'Mcp-Session-Id': sessionId }, ping);
  assert.equal(after.status, 404, 'the session is gone after DELETE');

  const { code } = await app.stop('SIGTERM');
  assert.equal(code, 0);
  assert.equal(fs.existsSync(ws.discoveryPath), false);
});

test('a second app leaves the newer discovery file in place when the first one stops', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  const first = await ws.startApp();
  const second = await ws.startApp();
  await first.stop('SIGTERM');
  assert.equal(JSON.parse(fs.readFileSync(ws.discoveryPath, 'utf8')).pid, second.child.pid);
});
