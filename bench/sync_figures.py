#!/usr/bin/env python3
"""What the agent's exchange with the service costs, with the setup app's settings (a poll and an
upload every 15 seconds, a sample cycle every 3 seconds) and a policy of 100, 100 000 and
1 000 000 blocked names: the bytes on the wire per unchanged poll and per report (both ways,
headers included), the status the service answered the reports with, and the agent's CPU time,
scaled to CPU-seconds per hour.

Each agent/service pair given (for example the build of this tree, and one of an earlier
commit, see bench/service-figures.sh) runs the same road, one after the other and size by size,
so the figures of one run compare. The agent talks to the service through a small counting
proxy on loopback; the window starts once the first poll and upload are done (taking the policy
up once is not counted), and CPU time is the sum of the agent's threads' run time
(/proc/PID/task/*/schedstat). DNS filtering is off (it needs port 53); the proxy's thread would
only wait.

Usage: sync_figures.py --pair NAME AGENT SERVICE [--pair ...] [--sizes 100,100000,1000000]
                       [--seconds 120]
"""

import argparse
import asyncio
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request


class CountingProxy:
    """A TCP relay that records, per connection, the first request line, the answer's status and
    the bytes in both directions. The service closes each connection after one answer."""

    def __init__(self, upstream_port):
        self.upstream_port = upstream_port
        self.exchanges = []  # (time, request line, status, bytes sent, bytes received)
        self.lock = threading.Lock()
        self.loop = asyncio.new_event_loop()
        ready = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(ready,), daemon=True)
        self.thread.start()
        ready.wait()

    def _run(self, ready):
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(
            asyncio.start_server(self._serve, "127.0.0.1", 0))
        self.port = server.sockets[0].getsockname()[1]
        ready.set()
        self.loop.run_forever()

    async def _serve(self, client_reader, client_writer):
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        except OSError:
            client_writer.close()
            return
        counts = {"sent": 0, "received": 0, "request": b"", "answer": b""}

        async def pipe(reader, writer, key, first):
            try:
                while True:
                    data = await reader.read(65536)
                    if not data:
                        break
                    counts[key] += len(data)
                    if len(counts[first]) < 200:
                        counts[first] += data[:200]
                    writer.write(data)
                    await writer.drain()
            except (ConnectionError, OSError):
                pass
            finally:
                try:
                    writer.write_eof()
                except (OSError, RuntimeError):
                    pass

        await asyncio.gather(pipe(client_reader, up_writer, "sent", "request"),
                             pipe(up_reader, client_writer, "received", "answer"))
        client_writer.close()
        up_writer.close()
        line = counts["request"].split(b"\r\n", 1)[0].decode("latin-1")
        status = counts["answer"].split(b" ", 2)[1].decode("latin-1") if counts["answer"] else "-"
        with self.lock:
            self.exchanges.append((time.monotonic(), line, status, counts["sent"],
                                   counts["received"]))

    def since(self, start):
        with self.lock:
            return [e for e in self.exchanges if e[0] >= start]

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)


def cpu_seconds(pid):
    """The process's threads' time on a processor so far (nanoseconds in schedstat)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def request(port, method, path, token=None, body=None):
    headers = {"Content-Type": "application/json"}
    if token:
        headers["Authorization"] = "Bearer " + token
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method,
                                 data=body.encode() if body is not None else None,
                                 headers=headers)
    with urllib.request.urlopen(req, timeout=300) as answer:
        return json.loads(answer.read())


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    raise RuntimeError("timed out waiting for " + what)


def run_one(agent, service, names, seconds, work):
    db = os.path.join(work, "service.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.unlink(db + suffix)
    service_log = open(os.path.join(work, "service.log"), "w")
    svc = subprocess.Popen([service, "--db", db, "--listen", "127.0.0.1:0"],
                           stdout=subprocess.PIPE, stderr=service_log, text=True)
    agent_proc = None
    proxy = None
    try:
        line = svc.stdout.readline()
        port = int(re.match(r"listening on 127\.0\.0\.1:(\d+)", line).group(1))
        account = request(port, "POST", "/v1/register", body=json.dumps(
            {"email": "bench@example.com", "password": "bench password"}))["apiToken"]
        device = request(port, "POST", "/v1/devices", account, json.dumps({"name": "Bench Mac"}))
        policy = json.dumps({"domains": [f"host{i}.example-site.com" for i in range(names)]})
        request(port, "PUT", f"/v1/devices/{device['id']}/policy", account, policy)

        proxy = CountingProxy(port)
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump({"serverURL": f"http://127.0.0.1:{proxy.port}",
                       "deviceToken": device["token"], "pollIntervalSeconds": 15,
                       "sampleIntervalSeconds": 3, "upstreamDNS": "1.1.1.1",
                       "enableDNS": False}, f)
        agent_log = os.path.join(work, "agent.log")
        agent_proc = subprocess.Popen([agent, "--config", config],
                                      stdout=subprocess.DEVNULL, stderr=open(agent_log, "w"))
        # The first poll takes the policy up, the first upload follows: then the window opens.
        wait_for(lambda: any(e[1].startswith("POST") for e in proxy.since(0)), 120,
                 "the first upload")
        start = time.monotonic()
        cpu0 = cpu_seconds(agent_proc.pid)
        time.sleep(seconds)
        cpu1 = cpu_seconds(agent_proc.pid)
        elapsed = time.monotonic() - start
        window = proxy.since(start)
        polls = [e for e in window if e[1].startswith("GET ")]
        uploads = [e for e in window if e[1].startswith("POST ")]

        def mean_bytes(exchanges):
            return sum(e[3] + e[4] for e in exchanges) / len(exchanges) if exchanges else 0

        return {
            "names": names,
            "cpu_per_hour": (cpu1 - cpu0) / elapsed * 3600,
            "poll_bytes": mean_bytes(polls),
            "poll_statuses": sorted(set(e[2] for e in polls)),
            "report_bytes": mean_bytes(uploads),
            "report_statuses": sorted(set(e[2] for e in uploads)),
            "polls": len(polls),
            "uploads": len(uploads),
        }
    finally:
        if agent_proc:
            agent_proc.send_signal(signal.SIGTERM)
            try:
                agent_proc.wait(30)
            except subprocess.TimeoutExpired:
                agent_proc.kill()
        if proxy:
            proxy.stop()
        svc.send_signal(signal.SIGTERM)
        try:
            svc.wait(30)
        except subprocess.TimeoutExpired:
            svc.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pair", nargs=3, action="append", metavar=("NAME", "AGENT", "SERVICE"),
                        required=True)
    parser.add_argument("--sizes", default="100,100000,1000000")
    parser.add_argument("--seconds", type=float, default=120)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    with open("/proc/loadavg") as f:
        print("load average before:", " ".join(f.read().split()[:3]))
    results = {}
    with tempfile.TemporaryDirectory(prefix="tether-sync-") as work:
        for names in sizes:
            for name, agent, service in args.pair:
                r = run_one(agent, service, names, args.seconds, work)
                results[(name, names)] = r
                print(f"{name:>8} {names:>9} names: {r['cpu_per_hour']:8.2f} CPU-s/h   "
                      f"poll {r['poll_bytes']:>12,.0f} B ({r['polls']}x, {','.join(r['poll_statuses'])})   "
                      f"report {r['report_bytes']:>12,.0f} B ({r['uploads']}x, "
                      f"{','.join(r['report_statuses'])})", flush=True)
    with open("/proc/loadavg") as f:
        print("load average after:", " ".join(f.read().split()[:3]))
    for name, _, _ in args.pair:
        small, large = results.get((name, min(sizes))), results.get((name, max(sizes)))
        if small and large and small["cpu_per_hour"] > 0:
            print(f"{name}: CPU {max(sizes)} / {min(sizes)} names: "
                  f"{large['cpu_per_hour'] / small['cpu_per_hour']:.2f}x (target: at most 2x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
