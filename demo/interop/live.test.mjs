// A tool call talks while it runs: the app asks the host for input or for a model completion on
// the call's own event stream, and reports progress that keeps the host's time-out from running
// out. Through the bridge, each of these reaches the host as it happens.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { REQUEST_TIMEOUT_MS, Workspace, sdk, textOf } from './support.mjs';

test('a tool that elicits is answered by the host\'s handler', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  await ws.startApp({ tools: 'interactive' });
  const questions = [];
  const host = await ws.connectHost({
    capabilities: { elicitation: {} },
    setup: (client) => client.setRequestHandler(sdk.ElicitRequestSchema, async (request) => {
      questions.push(request.params.message);
      return { action: 'accept', content: { name: 'Ada' } };
    }),
  });
  const result = await host.client.callTool({ name: 'ask', arguments: { question: 'Your name?' } }, undefined,
    { timeout: REQUEST_TIMEOUT_MS });
  assert.equal(textOf(result), 'hello Ada');
  assert.deepEqual(questions, ['Your name?']);
});

test('a tool that samples is answered by the host\'s handler, with calls queued behind it', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t, { serializeToolCalls: true });
  await ws.startApp({ tools: 'interactive' });
  const host = await ws.connectHost({
    capabilities: { sampling: {} },
    setup: (client) => client.setRequestHandler(sdk.CreateMessageRequestSchema, async (request) => ({
      role: 'assistant',
      model: 'test-model',
      content: { type: 'text', text: `short (${request.params.messages[0].content.text.length} chars)` },
    })),
  });
  const sampled = host.client.callTool({ name: 'summarize', arguments: { text: 'a long text' } }, undefined,
    { timeout: REQUEST_TIMEOUT_MS });
  const queued = host.client.callTool({ name: 'echo', arguments: { text: 'after' } }, undefined,
    { timeout: REQUEST_TIMEOUT_MS });
  assert.equal(textOf(await sampled), 'summary: short (22 chars)');
  assert.equal(textOf(await queued), 'after');
});

test('progress keeps a call alive past the host\'s time-out (resetTimeoutOnProgress)', { timeout: 30000 }, async (t) => {
  const ws = Workspace.create(t);
  await ws.startApp();
  const host = await ws.connectHost();
  const progress = [];
  const started = performance.now();
  const result = await host.client.callTool({ name: 'progress', arguments: { steps: 7, intervalMs: 700 } }, undefined, {
    timeout: 2000,
    resetTimeoutOnProgress: true,
    onprogress: (p) => progress.push({ step: p.progress, at: performance.now() - started }),
  });
  assert.equal(textOf(result), 'finished 7 steps');
  assert.ok(performance.now() - started > 4500, 'the call ran its 5 s');
  // Live: each notification arrived about when the app sent it, not all at the end.
  assert.ok(progress.length >= 6, JSON.stringify(progress));
  assert.ok(progress[0].at < 2000, JSON.stringify(progress));
});
