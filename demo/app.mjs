#!/usr/bin/env node
// Demo app: an MCP server on 127.0.0.1 over the Streamable HTTP transport, with stateful
// sessions and a bearer token. It publishes its endpoint in a discovery file and logs what
// happens as JSON lines on stdout; the first line is {"event":"ready",...}.
//
//   node app.mjs [--port N] [--discovery FILE] [--tools default|extended|interactive]
//
// --port       0 (the default) takes any free port
// --discovery  where to write the discovery file; by default
//              $XDG_DATA_HOME/mcp-bridge-demo/discovery.json (or ~/.local/share/...)
// --tools      "default" offers echo, add, progress and slow; "extended" adds reverse,
//              so the tool list no longer matches demo/snapshot.json; "interactive" adds ask
//              and summarize, which ask the host (elicitation, sampling) in the middle of a call

import { randomBytes, randomUUID, timingSafeEqual } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { setTimeout as sleep } from 'node:timers/promises';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';

const HOST = '127.0.0.1';
const ENDPOINT_PATH = '/mcp';
const MAX_BODY_BYTES = 4 * 1024 * 1024;

function defaultDiscoveryPath() {
  const dataHome = process.env.XDG_DATA_HOME || path.join(os.homedir(), '.local', 'share');
  return path.join(dataHome, 'mcp-bridge-demo', 'discovery.json');
}

function parseOptions(argv) {
  const { values } = parseArgs({
    args: argv,
    options: {
      port: { type: 'string', default: '0' },
      discovery: { type: 'string', default: defaultDiscoveryPath() },
      tools: { type: 'string', default: 'default' },
      help: { type: 'boolean', short: 'h', default: false },
    },
    strict: true,
  });
  if (values.help) {
    process.stdout.write('usage: node app.mjs [--port N] [--discovery FILE] [--tools default|extended|interactive]\n');
    process.exit(0);
  }
  const port = Number(values.port);
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    throw new Error(`--port must be an integer from 0 to 65535, not ${values.port}`);
  }
  if (!['default', 'extended', 'interactive'].includes(values.tools)) {
    throw new Error(`--tools must be "default", "extended" or "interactive", not ${values.tools}`);
  }
  return { port, discoveryPath: path.resolve(values.discovery), toolSet: values.tools };
}

let options;
try {
  options = parseOptions(process.argv.slice(2));
} catch (error) {
  process.stderr.write(`app: ${error.message}\n`);
  process.exit(2);
}

// Milliseconds since start, from a monotonic clock: log times are comparable within one run.
const now = () => Math.round(performance.now() * 10) / 10;

function log(event, fields = {}) {
  process.stdout.write(`${JSON.stringify({ event, t: now(), ...fields })}\n`);
}

const authToken = randomBytes(24).toString('base64url');
const expectedAuthorization = Buffer.from(`Bearer ${authToken}`);

function isAuthorized(req) {
  const given = Buffer.from(req.headers.authorization ?? '');
  return given.length === expectedAuthorization.length && timingSafeEqual(given, expectedAuthorization);
}

// Tools. Each call is logged on start and end so that callers can see ordering and overlap.
function toolResult(text) {
  return { content: [{ type: 'text', text }] };
}

function logged(name, handler) {
  return async (args, extra) => {
    const fields = { tool: name, session: extra.sessionId, request: extra.requestId, args };
    log('tool-start', fields);
    try {
      const result = await handler(args, extra);
      log('tool-end', fields);
      return result;
    } catch (error) {
      log('tool-error', { ...fields, message: String(error?.message ?? error) });
      throw error;
    }
  };
}

function registerTools(server, toolSet) {
  server.registerTool('echo', {
    description: 'Returns the text it is given.',
    inputSchema: { text: z.string().describe('Text to return') },
  }, logged('echo', async ({ text }) => toolResult(text)));

  server.registerTool('add', {
    description: 'Adds two numbers.',
    inputSchema: { a: z.number(), b: z.number() },
  }, logged('add', async ({ a, b }) => toolResult(String(a + b))));

  server.registerTool('progress', {
    description: 'Reports progress a few times, then returns.',
    inputSchema: {
      steps: z.number().int().min(1).max(20).default(3).describe('How many progress notifications'),
      intervalMs: z.number().int().min(0).max(5000).default(50).describe('Pause before each notification'),
    },
  }, logged('progress', async ({ steps, intervalMs }, extra) => {
    const progressToken = extra._meta?.progressToken;
    for (let step = 1; step <= steps; step += 1) {
      await sleep(intervalMs, undefined, { signal: extra.signal });
      if (progressToken !== undefined) {
        await extra.sendNotification({
          method: 'notifications/progress',
          params: { progressToken, progress: step, total: steps, message: `step ${step} of ${steps}` },
        });
      }
    }
    return toolResult(`finished ${steps} steps`);
  }));

  server.registerTool('slow', {
    description: 'Waits the given number of milliseconds, then returns.',
    inputSchema: {
      ms: z.number().int().min(0).max(60000).describe('How long to wait'),
      label: z.string().optional().describe('Shown in the app log and the result'),
    },
  }, logged('slow', async ({ ms, label }, extra) => {
    await sleep(ms, undefined, { signal: extra.signal });
    return toolResult(`${label ?? 'slow'}: waited ${ms} ms`);
  }));

  if (toolSet === 'extended') {
    server.registerTool('reverse', {
      description: 'Returns the text reversed.',
      inputSchema: { text: z.string() },
    }, logged('reverse', async ({ text }) => toolResult([...text].reverse().join(''))));
  }

  if (toolSet === 'interactive') {
    // Both ask on the call's own event stream (relatedRequestId) and wait there for the answer.
    server.registerTool('ask', {
      description: 'Asks the user for a name (elicitation) and greets them.',
      inputSchema: { question: z.string() },
    }, logged('ask', async ({ question }, extra) => {
      const answer = await server.server.elicitInput({
        message: question,
        requestedSchema: { type: 'object', properties: { name: { type: 'string' } }, required: ['name'] },
      }, { relatedRequestId: extra.requestId });
      return toolResult(answer.action === 'accept' ? `hello ${answer.content.name}` : `no answer (${answer.action})`);
    }));
    server.registerTool('summarize', {
      description: 'Asks the host\'s model to summarize a text (sampling).',
      inputSchema: { text: z.string() },
    }, logged('summarize', async ({ text }, extra) => {
      const reply = await server.server.createMessage({
        messages: [{ role: 'user', content: { type: 'text', text: `Summarize: ${text}` } }],
        maxTokens: 100,
      }, { relatedRequestId: extra.requestId });
      return toolResult(`summary: ${reply.content.text}`);
    }));
  }
}

function createMcpServer() {
  const server = new McpServer(
    { name: 'mcp-bridge-demo-app', version: '1.0.0' },
    { instructions: 'Demo app for mcp-bridge: echo, add, progress and slow.' },
  );
  registerTools(server, options.toolSet);
  return server;
}

// Sessions: one transport and one McpServer per Mcp-Session-Id.
const sessions = new Map();

async function openSession(req, res, body) {
  const server = createMcpServer();
  const transport = new StreamableHTTPServerTransport({
    sessionIdGenerator: () => randomUUID(),
    onsessioninitialized: (sessionId) => {
      sessions.set(sessionId, { transport, server });
      const client = body.params?.clientInfo;
      log('session-open', { session: sessionId, client: client?.name, protocolVersion: body.params?.protocolVersion });
    },
    onsessionclosed: (sessionId) => {
      sessions.delete(sessionId);
      log('session-closed', { session: sessionId });
    },
  });
  transport.onclose = () => {
    if (transport.sessionId) sessions.delete(transport.sessionId);
  };
  await server.connect(transport);
  await transport.handleRequest(req, res, body);
}

function sendJson(res, status, payload, headers = {}) {
  if (res.headersSent) return;
  res.writeHead(status, { 'Content-Type': 'application/json', ...headers });
  res.end(JSON.stringify(payload));
}

function rpcError(code, message) {
  return { jsonrpc: '2.0', id: null, error: { code, message } };
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY_BYTES) {
        reject(new Error('body too large'));
        req.destroy();
        return;
      }
      chunks.push(chunk);
    });
    req.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

function methodsOf(body) {
  const messages = Array.isArray(body) ? body : [body];
  return messages.map((m) => (m && typeof m === 'object' && typeof m.method === 'string' ? m.method : null))
    .filter(Boolean);
}

async function handleHttp(req, res) {
  const url = new URL(req.url, `http://${HOST}`);
  if (url.pathname !== ENDPOINT_PATH) {
    sendJson(res, 404, rpcError(-32000, 'Not found'));
    return;
  }
  if (!isAuthorized(req)) {
    log('unauthorized', { method: req.method });
    sendJson(res, 401, rpcError(-32001, 'Unauthorized'), { 'WWW-Authenticate': 'Bearer' });
    return;
  }
  const sessionId = req.headers['mcp-session-id'];
  const session = typeof sessionId === 'string' ? sessions.get(sessionId) : undefined;
  if (sessionId !== undefined && !session) {
    log('unknown-session', { method: req.method, session: sessionId });
    sendJson(res, 404, rpcError(-32001, 'Session not found'));
    return;
  }

  if (req.method !== 'POST') {
    // GET (the stand-alone event stream) and DELETE (end of session) need a session.
    if (!session) {
      sendJson(res, 400, rpcError(-32000, 'Bad Request: Mcp-Session-Id header is required'));
      return;
    }
    await session.transport.handleRequest(req, res);
    return;
  }

  let body;
  try {
    body = JSON.parse(await readBody(req));
  } catch {
    log('parse-error', { session: sessionId });
    sendJson(res, 400, rpcError(-32700, 'Parse error'));
    return;
  }
  res.once('close', () => log('post', { session: sessionId, methods: methodsOf(body), status: res.statusCode }));
  if (session) {
    await session.transport.handleRequest(req, res, body);
  } else if (isInitializeRequest(body)) {
    await openSession(req, res, body);
  } else {
    sendJson(res, 400, rpcError(-32000, 'Bad Request: Mcp-Session-Id header is required'));
  }
}

// Discovery file: written atomically, removed on exit unless a newer instance replaced it.
function writeDiscovery(info) {
  fs.mkdirSync(path.dirname(options.discoveryPath), { recursive: true });
  const temp = `${options.discoveryPath}.${process.pid}.tmp`;
  fs.writeFileSync(temp, `${JSON.stringify(info, null, 2)}\n`, { mode: 0o600 });
  fs.renameSync(temp, options.discoveryPath);
}

let discoveryWritten = false;
function removeDiscovery() {
  if (!discoveryWritten) return;
  discoveryWritten = false;
  try {
    const current = JSON.parse(fs.readFileSync(options.discoveryPath, 'utf8'));
    if (current.authToken === authToken) fs.unlinkSync(options.discoveryPath);
  } catch {
    // Already gone or rewritten by someone else: leave it.
  }
}

const httpServer = http.createServer((req, res) => {
  handleHttp(req, res).catch((error) => {
    log('http-error', { message: String(error?.message ?? error) });
    sendJson(res, 500, rpcError(-32603, 'Internal server error'));
  });
});

let stopping = false;
async function shutdown(signal) {
  if (stopping) return;
  stopping = true;
  removeDiscovery();
  log('stopping', { signal });
  const force = setTimeout(() => process.exit(0), 1000);
  force.unref();
  httpServer.close();
  httpServer.closeAllConnections();
  await Promise.allSettled([...sessions.values()].map(({ server }) => server.close()));
  process.exit(0);
}

process.on('SIGTERM', () => shutdown('SIGTERM'));
process.on('SIGINT', () => shutdown('SIGINT'));
process.on('exit', removeDiscovery);

httpServer.on('error', (error) => {
  process.stderr.write(`app: ${error.message}\n`);
  process.exit(1);
});

httpServer.listen(options.port, HOST, () => {
  const { port } = httpServer.address();
  const url = `http://${HOST}:${port}${ENDPOINT_PATH}`;
  writeDiscovery({ url, authToken, pid: process.pid });
  discoveryWritten = true;
  log('ready', { url, port, pid: process.pid, discovery: options.discoveryPath, tools: options.toolSet });
});
