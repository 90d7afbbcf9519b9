#!/usr/bin/env node
// Writes snapshot.json from the demo app with its default tools, through the snapshot recorder
// that app vendors use: starts the app, runs mcp-bridge-snapshot against its discovery file, and
// stops the app.
//
//   node make-snapshot.mjs [OUTPUT]     (default: snapshot.json beside this script)
//
// The recorder is build/mcp-bridge-snapshot, or the one MCP_BRIDGE_SNAPSHOT_EXE names.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { startApp } from './lib/app-process.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const output = path.resolve(process.argv[2] ?? path.join(here, 'snapshot.json'));
const recorder = process.env.MCP_BRIDGE_SNAPSHOT_EXE ?? path.join(here, '..', 'build', 'mcp-bridge-snapshot');

const temp = fs.mkdtempSync(path.join(os.tmpdir(), 'mcp-bridge-snapshot-'));
const discovery = path.join(temp, 'discovery.json');
const app = await startApp({ discoveryPath: discovery });
try {
  execFileSync(recorder, ['--output', output, discovery], { stdio: 'inherit', timeout: 30000 });
  const { tools } = JSON.parse(fs.readFileSync(output, 'utf8'));
  console.log(`wrote ${output}: ${tools.map((t) => t.name).join(', ')}`);
} finally {
  await app.stop();
  fs.rmSync(temp, { recursive: true, force: true });
}
