// Collects the lines of a readable stream and lets callers wait, with a time limit, for a line
// that matches.

export class LineCollector {
  constructor(stream, { name = 'stream' } = {}) {
    this.name = name;
    this.lines = [];
    this.ended = false;
    this.waiters = new Set();
    let pending = '';
    stream.setEncoding('utf8');
    stream.on('data', (chunk) => {
      pending += chunk;
      let end;
      while ((end = pending.indexOf('\n')) >= 0) {
        this.push(pending.slice(0, end).replace(/\r$/, ''));
        pending = pending.slice(end + 1);
      }
    });
    stream.on('end', () => {
      if (pending) this.push(pending);
      pending = '';
      this.ended = true;
      for (const waiter of this.waiters) waiter.check();
    });
  }

  push(line) {
    this.lines.push(line);
    for (const waiter of this.waiters) waiter.check();
  }

  text() {
    return this.lines.join('\n');
  }

  // Resolves with the index of the first line at or after `from` for which `predicate` holds.
  waitFor(predicate, { from = 0, timeoutMs = 10000, what = 'a matching line' } = {}) {
    return new Promise((resolve, reject) => {
      const waiter = {
        check: () => {
          for (let i = from; i < this.lines.length; i += 1) {
            if (predicate(this.lines[i], i)) {
              finish();
              resolve(i);
              return;
            }
          }
          if (this.ended) {
            finish();
            reject(new Error(`${this.name} ended without ${what}; it had:\n${this.text()}`));
          }
        },
      };
      const timer = setTimeout(() => {
        finish();
        reject(new Error(`timed out after ${timeoutMs} ms waiting on ${this.name} for ${what}; it had:\n${this.text()}`));
      }, timeoutMs);
      const finish = () => {
        clearTimeout(timer);
        this.waiters.delete(waiter);
      };
      this.waiters.add(waiter);
      waiter.check();
    });
  }
}

export function parseJsonOrNull(text) {
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}
