#!/usr/bin/env node
// Test app for the interop tests: an SDK server on 127.0.0.1 over Streamable HTTP whose tools
// make it talk to the host outside the request that started them, on the session's standing
// event stream (no related request), or end their own request's stream early and answer later.
// It keeps every stream's events in an event store, so streams can be resumed, the standing one
// too.
// It logs JSON lines on stdout; the first is {"event":"ready",...}.
//
//   node standing-app.mjs --discovery FILE [--retry-ms N]
//
// --retry-ms  the "retry" delay the app names on its request streams (default 100)
// --standing  serve (the default); refuse: 405 for the standing stream's GET; end: each such
//             GET gets an event stream that ends at once, with no event
// --event-ids plain (the default): 1, 2, ...; odd: with spaces and punctuation

import { randomBytes, randomUUID } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { setTimeout as sleep } from 'node:timers/promises';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';

const { values: options } = parseArgs({
  options: {
    discovery: { type: 'string' },
    'retry-ms': { type: 'string', default: '100' },
    standing: { type: 'string', default: 'serve' },
    'event-ids': { type: 'string', default: 'plain' },
  },
  strict: true,
});
if (!options.discovery) {
  process.stderr.write('standing-app: --discovery is required\n');
  process.exit(2);
}
const retryInterval = Number(options['retry-ms']);

function log(event, fields = {}) {
  process.stdout.write(`${JSON.stringify({ event, t: Math.round(performance.now()), ...fields })}\n`);
}

const authToken = randomBytes(24).toString('base64url');
const text = (value) => ({ content: [{ type: 'text', text: value }] });

// Calls held open until a `release` call names them, so a test can look at the host's side while
// the call is still running.
const gates = new Map();
function gate(name) {
  if (!gates.has(name)) {
    let open;
    const promise = new Promise((resolve) => { open = resolve; });
    gates.set(name, { promise, open });
  }
  return gates.get(name);
}

function createServer(transport) {
  const server = new McpServer(
    { name: 'interop-standing-app', version: '1.0.0' },
    { capabilities: { logging: {}, tools: { listChanged: true } } },
  );

  server.registerTool('log-later', {
    description: 'Returns at once; logs the message on its own after the delay.',
    inputSchema: { message: z.string(), delayMs: z.number().int().min(0).max(5000).default(100) },
  }, async ({ message, delayMs }, extra) => {
    setTimeout(() => {
      server.sendLoggingMessage({ level: 'warning', logger: 'interop', data: message }, extra.sessionId)
        .then(() => log('logged', { message }), (error) => log('log-failed', { message: String(error) }));
    }, delayMs);
    return text('log scheduled');
  });

  server.registerTool('log-burst', {
    description: 'Returns at once; then logs `count` messages of about `size` characters each.',
    inputSchema: { count: z.number().int().min(1).max(1000), size: z.number().int().min(0).max(100000) },
  }, async ({ count, size }, extra) => {
    setImmediate(async () => {
      for (let i = 0; i < count; i += 1) {
        await server.sendLoggingMessage({ level: 'info', logger: 'burst', data: `${i}:${'x'.repeat(size)}` }, extra.sessionId);
      }
      log('burst-sent', { count });
    });
    return text('burst scheduled');
  });

  // The app forgets the session (as when it expires sessions): its streams end and its id is
  // unknown from then on.
  server.registerTool('end-session', {
    description: 'Returns, then ends this session.',
    inputSchema: {},
  }, async (_args, extra) => {
    setTimeout(() => {
      log('session-ended', { session: extra.sessionId });
      transport.close();
    }, 50);
    return text('ending');
  });

  server.registerTool('add-tool', {
    description: 'Returns at once; registers a tool of the given name after the delay.',
    inputSchema: { name: z.string(), delayMs: z.number().int().min(0).max(5000).default(100) },
  }, async ({ name, delayMs }) => {
    setTimeout(() => {
      server.registerTool(name, { description: `Added mid-session: ${name}` }, async () => text(`${name} ran`));
      log('tool-added', { name });
    }, delayMs);
    return text('tool scheduled');
  });

  server.registerTool('roots-now', {
    description: 'Asks the host for its roots, outside this call\'s stream, and returns them.',
    inputSchema: {},
  }, async () => {
    const { roots } = await server.server.listRoots(undefined, { timeout: 10000 });
    return text(JSON.stringify(roots));
  });

  // Progress for this call's token, sent on the standing stream rather than the call's own; the
  // call then waits for `release` so that the host sees the progress while it is still running.
  server.registerTool('progress-elsewhere', {
    description: 'Reports progress outside its own stream, then waits to be released.',
    inputSchema: { steps: z.number().int().min(1).max(10).default(3), gate: z.string() },
  }, async ({ steps, gate: name }, extra) => {
    const progressToken = extra._meta?.progressToken;
    if (progressToken === undefined) throw new Error('no progress token');
    for (let step = 1; step <= steps; step += 1) {
      await server.server.notification({
        method: 'notifications/progress',
        params: { progressToken, progress: step, total: steps, message: `elsewhere ${step}` },
      });
      log('progress-sent', { step });
    }
    await Promise.race([gate(name).promise, sleep(10000)]);
    return text(`released after ${steps} steps`);
  });

  // Logs once on the standing stream, ends that stream, and logs again while it is closed: the
  // second message reaches the host only if the stream is resumed from the first one's event.
  server.registerTool('drop-standing', {
    description: 'Ends the standing stream between two log messages.',
    inputSchema: { label: z.string() },
  }, async ({ label }, extra) => {
    if (typeof extra.closeStandaloneSSEStream !== 'function') {
      throw new Error('the standing stream cannot be ended (no event store or an old protocol version)');
    }
    await server.sendLoggingMessage({ level: 'info', data: `${label} before` }, extra.sessionId);
    extra.closeStandaloneSSEStream();
    log('standing-closed');
    await server.sendLoggingMessage({ level: 'info', data: `${label} while closed` }, extra.sessionId);
    return text('dropped');
  });

  // A long operation that lets go of its stream now and then (the polling the SDK's
  // closeSSEStream is for), with nothing new to send in between, and answers at the end.
  server.registerTool('poll-long', {
    description: 'Ends its own stream every so often, then answers.',
    inputSchema: { times: z.number().int().min(1).max(20), everyMs: z.number().int().min(10).max(5000) },
  }, async ({ times, everyMs }, extra) => {
    if (typeof extra.closeSSEStream !== 'function') throw new Error('the request stream cannot be ended early');
    for (let i = 1; i <= times; i += 1) {
      await sleep(everyMs);
      extra.closeSSEStream();
      log('stream-closed', { request: extra.requestId, time: i });
    }
    await sleep(everyMs);
    return text(`answered after ${times} pauses`);
  });

  server.registerTool('release', {
    description: 'Lets a held call return.',
    inputSchema: { gate: z.string() },
  }, async ({ gate: name }) => {
    gate(name).open();
    return text(`released ${name}`);
  });

  // Ends its own request's stream after the first progress, then sends more progress and the
  // result, which the event store keeps for the resumed stream.
  server.registerTool('close-early', {
    description: 'Ends its own stream early and answers afterwards.',
    inputSchema: { answerAfterMs: z.number().int().min(0).max(5000), label: z.string() },
  }, async ({ answerAfterMs, label }, extra) => {
    if (typeof extra.closeSSEStream !== 'function') {
      throw new Error('the request stream cannot be ended early (no event store or an old protocol version)');
    }
    extra.signal.addEventListener('abort', () => log('cancelled', { request: extra.requestId }));
    const progressToken = extra._meta?.progressToken;
    const progress = async (step) => {
      if (progressToken === undefined) return;
      await extra.sendNotification({ method: 'notifications/progress', params: { progressToken, progress: step, total: 2 } });
    };
    await sleep(20);
    await progress(1);
    await sleep(20);
    extra.closeSSEStream();
    log('stream-closed', { request: extra.requestId });
    await sleep(answerAfterMs / 2);
    await progress(2);
    await sleep(answerAfterMs / 2 + 20);
    log('answering', { request: extra.requestId });
    return text(`answered ${label}`);
  });

  return server;
}

// Events in the order stored. (The SDK's example store orders by millisecond time stamps and
// cannot resume the standing stream, whose id begins with its separator.)
class OrderedEventStore {
  constructor() {
    this.events = [];
  }

  static idOf(index) {
    return options['event-ids'] === 'odd' ? `ev ${index}; a=b/c:d, "q" %20 {x}` : String(index);
  }

  async storeEvent(streamId, message) {
    this.events.push({ streamId, message });
    return OrderedEventStore.idOf(this.events.length);
  }

  indexOf(eventId) {
    const index = this.events.findIndex((_, i) => OrderedEventStore.idOf(i + 1) === eventId);
    if (index < 0) log('unknown-event-id', { eventId });
    return index;
  }

  async getStreamIdForEventId(eventId) {
    return this.events[this.indexOf(eventId)]?.streamId;
  }

  async replayEventsAfter(lastEventId, { send }) {
    const from = this.indexOf(lastEventId);
    const streamId = this.events[from]?.streamId;
    for (let i = from + 1; i < this.events.length; i += 1) {
      if (this.events[i].streamId === streamId) await send(OrderedEventStore.idOf(i + 1), this.events[i].message);
    }
    return streamId;
  }
}

const sessions = new Map();

async function handle(req, res) {
  const url = new URL(req.url, 'http://127.0.0.1');
  if (url.pathname !== '/mcp' || req.headers.authorization !== `Bearer ${authToken}`) {
    res.writeHead(url.pathname !== '/mcp' ? 404 : 401).end();
    return;
  }
  const sessionId = req.headers['mcp-session-id'];
  let body;
  if (req.method === 'POST') {
    const chunks = [];
    for await (const chunk of req) chunks.push(chunk);
    body = JSON.parse(Buffer.concat(chunks).toString('utf8'));
  }
  log('http', {
    method: req.method,
    session: sessionId,
    lastEventId: req.headers['last-event-id'],
    protocolVersion: req.headers['mcp-protocol-version'],
    accept: req.headers.accept,
    body: body && { method: body.method, id: body.id },
  });
  res.once('close', () => log('http-closed', { method: req.method, lastEventId: req.headers['last-event-id'] }));
  if (req.method === 'GET' && req.headers['last-event-id'] === undefined && options.standing !== 'serve') {
    if (options.standing === 'refuse') {
      res.writeHead(405, { Allow: 'POST, DELETE' }).end();
    } else {
      res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache' }).end();
    }
    return;
  }
  if (sessionId !== undefined) {
    const transport = sessions.get(sessionId);
    if (!transport) {
      res.writeHead(404, { 'Content-Type': 'application/json' })
        .end(JSON.stringify({ jsonrpc: '2.0', id: null, error: { code: -32001, message: 'Session not found' } }));
      return;
    }
    await transport.handleRequest(req, res, body);
    return;
  }
  if (req.method !== 'POST' || !isInitializeRequest(body)) {
    res.writeHead(400).end();
    return;
  }
  const transport = new StreamableHTTPServerTransport({
    sessionIdGenerator: () => randomUUID(),
    eventStore: new OrderedEventStore(),
    retryInterval,
    onsessioninitialized: (id) => {
      sessions.set(id, transport);
      log('session-open', { session: id });
    },
  });
  transport.onclose = () => sessions.delete(transport.sessionId);
  await createServer(transport).connect(transport);
  await transport.handleRequest(req, res, body);
}

const httpServer = http.createServer((req, res) => {
  handle(req, res).catch((error) => {
    log('http-error', { message: String(error?.message ?? error) });
    if (!res.headersSent) res.writeHead(500).end();
  });
});

process.on('SIGTERM', () => {
  httpServer.closeAllConnections();
  process.exit(0);
});

httpServer.listen(0, '127.0.0.1', () => {
  const { port } = httpServer.address();
  const url = `http://127.0.0.1:${port}/mcp`;
  fs.mkdirSync(path.dirname(options.discovery), { recursive: true });
  fs.writeFileSync(options.discovery, JSON.stringify({ url, authToken, pid: process.pid }));
  log('ready', { app: 'standing-app', url, port, pid: process.pid });
});
