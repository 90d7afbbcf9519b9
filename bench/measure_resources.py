#!/usr/bin/env python3
"""What one enormous input line and a flood of messages cost the bridge: peak resident memory
(VmHWM) and peak thread count (Threads, sampled every millisecond) from /proc/<pid>/status, and the
time until the last reply. Not part of the test run; it takes minutes and gigabytes.

    bench/measure_resources.py BRIDGE_EXE [--line-mb 1024] [--flood 100000] [--app-delay-ms 0 20]
                               [--max-threads 4000]

For the flood it runs the bridge once with no app (offline answers) and once per app delay with a
minimal MCP endpoint on 127.0.0.1 that answers every request after that delay.

The bridge starts a thread per message without bound, and the kernel's process ids
(/proc/sys/kernel/pid_max, often 32768) are shared by the whole machine: a flood against a slow app
could take them all. So the bridge runs as the user nobody with at most --max-threads processes
and threads (RLIMIT_NPROC, which root ignores); past that, thread creation fails inside the bridge,
which is what happens on a machine that runs out.
"""

import argparse
import http.server
import json
import os
import shutil
import socketserver
import subprocess
import sys
import tempfile
import threading
import time


def status(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError, ValueError):
        pass
    return None


class Sampler(threading.Thread):
    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.threads, self.hwm_kb, self.running = pid, 0, 0, True

    def run(self):
        while self.running:
            threads = status(self.pid, "Threads")
            hwm = status(self.pid, "VmHWM")
            if threads is None:
                break
            self.threads = max(self.threads, threads)
            self.hwm_kb = max(self.hwm_kb, hwm or 0)
            time.sleep(0.001)


class App(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 4096
    allow_reuse_address = True


def app_handler(delay):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def reply(self, status, body=b"", headers=()):
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            if body:
                self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)

        def do_DELETE(self):
            self.reply(200)

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            message = json.loads(self.rfile.read(length) or b"null")
            if not isinstance(message, dict) or "id" not in message:
                return self.reply(202)
            if delay:
                time.sleep(delay)
            method = message.get("method")
            result = {}
            headers = ()
            if method == "initialize":
                result = {"protocolVersion": "2025-06-18", "capabilities": {"tools": {}},
                          "serverInfo": {"name": "measure", "version": "1"}}
                headers = (("Mcp-Session-Id", "s1"),)
            elif method == "tools/list":
                result = {"tools": []}
            body = json.dumps({"jsonrpc": "2.0", "id": message["id"], "result": result}).encode()
            self.reply(200, body, headers)

    return Handler


def install(exe, folder, discovery):
    bridge = os.path.join(folder, "mcp-bridge")
    shutil.copy(exe, bridge)
    with open(os.path.join(folder, "snapshot.json"), "w") as f:
        json.dump({"initialize": {"capabilities": {}}, "tools": []}, f)
    with open(os.path.join(folder, "mcp-bridge.json"), "w") as f:
        json.dump({"discoveryFile": discovery, "offlineMessage": "offline",
                   "snapshotFile": "snapshot.json"}, f)
    return bridge


def run(command, feed, expected_replies, label):
    """Starts the bridge, feeds it, reads `expected_replies` lines, then ends its input."""
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, cwd=os.path.dirname(command[-1]))
    # The sampler follows the bridge itself, not the prlimit and setpriv that exec it.
    time.sleep(0.2)
    sampler = Sampler(process.pid)
    sampler.start()
    started = time.monotonic()
    writer = threading.Thread(target=feed, args=(process.stdin,), daemon=True)
    writer.start()
    replies = 0
    while replies < expected_replies:
        line = process.stdout.readline()
        if not line:
            break
        replies += 1
    elapsed = time.monotonic() - started
    writer.join()
    hwm = status(process.pid, "VmHWM") or sampler.hwm_kb
    sampler.running = False
    process.stdin.close()
    process.wait(timeout=60)
    print(f"{label}: {replies}/{expected_replies} replies in {elapsed:.1f} s, "
          f"peak RSS {max(hwm, sampler.hwm_kb) / 1024:.0f} MB, peak threads {sampler.threads}",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bridge_exe")
    parser.add_argument("--line-mb", type=int, default=1024)
    parser.add_argument("--flood", type=int, default=100000)
    parser.add_argument("--app-delay-ms", type=int, nargs="*", default=[0, 20])
    parser.add_argument("--max-threads", type=int, default=4000)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="mcp-bridge-measure-")
    os.chmod(folder, 0o755)
    discovery = os.path.join(folder, "discovery.json")
    bridge = [*(["prlimit", f"--nproc={args.max_threads}", "--", "setpriv", "--reuid=nobody",
                 "--regid=nogroup", "--clear-groups"] if os.getuid() == 0 else []),
              install(args.bridge_exe, folder, discovery)]
    try:
        if args.line_mb > 0:
            def one_big_line(stdin):
                stdin.write(b'{"jsonrpc":"2.0","id":1,"method":"ping","params":{"blob":"')
                chunk = b"x" * (1 << 20)
                for _ in range(args.line_mb):
                    stdin.write(chunk)
                stdin.write(b'"}}\n')
                stdin.flush()
            run(bridge, one_big_line, 1, f"one {args.line_mb} MB line, no app")

        def flood(stdin):
            batch = []
            for i in range(1, args.flood + 1):
                batch.append(b'{"jsonrpc":"2.0","id":%d,"method":"ping"}\n' % i)
                if len(batch) == 1000:
                    stdin.write(b"".join(batch))
                    batch = []
            stdin.write(b"".join(batch))
            stdin.flush()

        run(bridge, flood, args.flood, f"{args.flood} pings, no app")
        for delay_ms in args.app_delay_ms:
            server = App(("127.0.0.1", 0), app_handler(delay_ms / 1000))
            threading.Thread(target=server.serve_forever, daemon=True).start()
            with open(discovery, "w") as f:
                os.fchmod(f.fileno(), 0o644)
                json.dump({"url": f"http://127.0.0.1:{server.server_address[1]}/mcp",
                           "authToken": "t", "pid": 1}, f)
            run(bridge, flood, args.flood, f"{args.flood} pings, app answering after {delay_ms} ms")
            server.shutdown()
            os.remove(discovery)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
