#!/usr/bin/env node
// Writes snapshot.json from a running demo app with its default tools: the app's initialize
// result and its tools/list tools, as the bridge answers them while the app is down.
//
//   node make-snapshot.mjs [OUTPUT]     (default: snapshot.json beside this script)

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { LATEST_PROTOCOL_VERSION } from '@modelcontextprotocol/sdk/types.js';
import { startApp } from './lib/app-process.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const output = path.resolve(process.argv[2] ?? path.join(here, 'snapshot.json'));

// The JSON-RPC messages in a plain JSON or event-stream body.
function messagesOf(contentType, body) {
  if (!contentType.includes('text/event-stream')) return body.trim() ? [JSON.parse(body)] : [];
  return body.split(/\r?\n/).filter((line) => line.startsWith('data:'))
    .map((line) => JSON.parse(line.slice(5).trim()));
}

const temp = fs.mkdtempSync(path.join(os.tmpdir(), 'mcp-bridge-snapshot-'));
const app = await startApp({ discoveryPath: path.join(temp, 'discovery.json') });
try {
  const { url, authToken } = JSON.parse(fs.readFileSync(path.join(temp, 'discovery.json'), 'utf8'));
  const headers = {
    Authorization: `Bearer ${authToken}`,
    Accept: 'application/json, text/event-stream',
    'Content-Type': 'application/json',
  };
  const post = async (message) => {
    const response = await fetch(url, { method: 'POST', headers, body: JSON.stringify(message), signal: AbortSignal.timeout(10000) });
    const messages = messagesOf(response.headers.get('content-type') ?? '', await response.text());
    return { response, result: messages.find((m) => 'result' in m)?.result };
  };

  const init = await post({
    jsonrpc: '2.0', id: 0, method: 'initialize',
    params: { protocolVersion: LATEST_PROTOCOL_VERSION, capabilities: {}, clientInfo: { name: 'make-snapshot', version: '1.0.0' } },
  });
  headers['Mcp-Session-Id'] = init.response.headers.get('mcp-session-id');
  await post({ jsonrpc: '2.0', method: 'notifications/initialized' });
  const list = await post({ jsonrpc: '2.0', id: 1, method: 'tools/list' });
  await fetch(url, { method: 'DELETE', headers, signal: AbortSignal.timeout(10000) });

  if (!init.result || !Array.isArray(list.result?.tools)) throw new Error('the app gave no initialize result or tool list');
  fs.writeFileSync(output, `${JSON.stringify({ initialize: init.result, tools: list.result.tools }, null, 2)}\n`);
  console.log(`wrote ${output}: ${list.result.tools.map((t) => t.name).join(', ')}`);
} finally {
  await app.stop();
  fs.rmSync(temp, { recursive: true, force: true });
}
