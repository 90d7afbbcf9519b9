#!/usr/bin/env node
// Starts @modelcontextprotocol/server-everything's Streamable HTTP server (its
// `streamableHttp` entry, endpoint /mcp) for the interop tests: on 127.0.0.1 only and any free
// port, with a discovery file naming it. It checks no bearer token, so any token will do.
// Prints {"event":"ready",...} on stdout once it listens (the server's own lines are plain text).
//
//   node everything.mjs --discovery FILE

import { randomBytes } from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { parseArgs } from 'node:util';

const { values: options } = parseArgs({ options: { discovery: { type: 'string' } }, strict: true });
if (!options.discovery) {
  process.stderr.write('everything: --discovery is required\n');
  process.exit(2);
}

// The server calls listen(PORT) on every interface; keep it on loopback and learn the port.
const listen = net.Server.prototype.listen;
net.Server.prototype.listen = function loopbackListen(port, ...rest) {
  const callback = rest.find((arg) => typeof arg === 'function');
  this.once('listening', () => {
    const { port: bound } = this.address();
    const url = `http://127.0.0.1:${bound}/mcp`;
    fs.mkdirSync(path.dirname(options.discovery), { recursive: true });
    fs.writeFileSync(options.discovery, JSON.stringify({ url, authToken: randomBytes(16).toString('hex'), pid: process.pid }));
    process.stdout.write(`${JSON.stringify({ event: 'ready', app: 'everything', url, port: bound, pid: process.pid })}\n`);
  });
  return listen.call(this, { port: Number(port) || 0, host: '127.0.0.1' }, callback);
};

process.env.PORT = '0';
await import('@modelcontextprotocol/server-everything/dist/transports/streamableHttp.js');
