#!/usr/bin/env python3
"""The DNS benchmarks behind bench/run-all.sh.

Throughput of the agent's DNS proxy (run by dns_proxy_driver) for blocked and for forwarded
names, side by side with dnsmasq holding the same blocked names and forwarding to the same
upstream, with a minimal C responder as the ceiling and a minimal C relay as the reference for
forwarding; the latency added by the proxy in front of an upstream that answers after 5 ms; and
the whole agent (KinwardAgent) taking up a policy of 1 000 000 blocked names: its resident
memory, its peak while taking the policy up, and the time from the policy's arrival to the first
answer that blocks a name of it.

Runs inside a private network namespace (run-all.sh starts it with `unshare -n`), so every
address and port is its own; all traffic stays on 127.0.0.0/8. The program under test runs on
one core, the load generator and the upstream on the other. Every child is stopped on exit.
"""

import argparse
import json
import os
import random
import re
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CPU_UNDER_TEST = "0"
CPU_LOAD = "1"

LISTEN = "127.0.0.1"
UPSTREAM = "127.0.0.2"
PORT_UNDER_TEST = 5300
PORT_UPSTREAM = 5301
PORT_SLOW_UPSTREAM = 5302
FORWARD_ZONE = "fwd.test"
FORWARD_ANSWER = "192.0.2.1"

TLDS = ["com", "net", "org", "io", "de", "co.uk"]
WORDS = ["ads", "track", "cdn", "media", "stats", "pixel", "metrics", "banner"]

children = []


# ----------------------------------------------------------------------------------------------
# Processes


def pinned(cpu, argv):
    return ["taskset", "-c", cpu] + argv


def start(argv, **kwargs):
    """Starts a child that is stopped when the harness ends."""
    proc = subprocess.Popen(argv, **kwargs)
    children.append(proc)
    return proc


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)
    if proc in children:
        children.remove(proc)


def stop_all():
    for proc in list(children):
        stop(proc)


def cpu_seconds(pid):
    """User plus system CPU time of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


# ----------------------------------------------------------------------------------------------
# Names and query files


def blocked_name(list_id, i):
    """Name i of blocked list list_id: about 20 characters, like the names of real blocklists."""
    h = (i * 2654435761 + list_id * 97) % 1000
    return f"{'st'[list_id]}{i}-{WORDS[i % len(WORDS)]}{h}.{TLDS[i % len(TLDS)]}"


def write_names(path, list_id, count):
    with open(path, "w") as f:
        for i in range(count):
            f.write(blocked_name(list_id, i) + "\n")


def write_dnsmasq_conf(path, list_id, count):
    with open(path, "w") as f:
        for i in range(count):
            f.write(f"address=/{blocked_name(list_id, i)}/0.0.0.0\n")


def write_blocked_queries(path, count, rules, seed):
    """Queries for names at or under random blocked names, spread over the whole list."""
    rng = random.Random(seed)
    prefixes = ["", "www.", "cdn.", "a.b."]
    with open(path, "w") as f:
        for _ in range(count):
            f.write(f"{rng.choice(prefixes)}{blocked_name(0, rng.randrange(rules))} A\n")


def write_forwarded_queries(path, count):
    with open(path, "w") as f:
        for k in range(count):
            f.write(f"h{k}.{FORWARD_ZONE} A\n")


# ----------------------------------------------------------------------------------------------
# A small DNS client for readiness checks and probes


def dns_query(name, qtype=1, ident=0x1234):
    header = struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0)
    qname = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return header + qname + struct.pack("!HH", qtype, 1)


def first_a(reply):
    """(rcode, first A address or None) of a reply to a query made by dns_query."""
    if len(reply) < 12:
        return None, None
    rcode = reply[3] & 0x0F
    ancount = struct.unpack("!H", reply[6:8])[0]
    pos = 12
    while pos < len(reply) and reply[pos] != 0:
        pos += 1 + reply[pos]
    pos += 5
    for _ in range(ancount):
        if pos + 12 > len(reply):
            break
        if reply[pos] & 0xC0 == 0xC0:
            pos += 2
        else:
            while pos < len(reply) and reply[pos] != 0:
                pos += 1 + reply[pos]
            pos += 1
        rtype, _, _, rdlength = struct.unpack("!HHIH", reply[pos:pos + 10])
        pos += 10
        if rtype == 1 and rdlength == 4:
            return rcode, socket.inet_ntoa(reply[pos:pos + 4])
        pos += rdlength
    return rcode, None


def ask(address, port, name, timeout=0.5):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        ident = random.randrange(65536)
        try:
            s.sendto(dns_query(name, ident=ident), (address, port))
            while True:
                reply, _ = s.recvfrom(4096)
                if reply[:2] == struct.pack("!H", ident):
                    return first_a(reply)
        except OSError:
            return None, None


def wait_answer(address, port, name, expected, limit_seconds, proc=None):
    """Asks until the name is answered with the expected address; False after the limit."""
    deadline = time.monotonic() + limit_seconds
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        if ask(address, port, name)[1] == expected:
            return True
        time.sleep(0.1)
    return False


# ----------------------------------------------------------------------------------------------
# dnsperf


def dnsperf(port, query_file, seconds, outstanding, verbose=False, address=LISTEN):
    cmd = pinned(CPU_LOAD, ["dnsperf", "-s", address, "-p", str(port), "-d", query_file,
                            "-l", str(seconds), "-q", str(outstanding), "-t", "2", "-c", "1"])
    if verbose:
        cmd.append("-v")
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=seconds + 60).stdout

    def number(pattern):
        m = re.search(pattern, out)
        return float(m.group(1)) if m else 0.0

    result = {
        "qps": number(r"Queries per second:\s+([\d.]+)"),
        "completed": number(r"Queries completed:\s+(\d+)"),
        "lost": number(r"Queries lost:\s+(\d+)"),
        "codes": (re.search(r"Response codes:\s+(.*)", out) or [None, ""])[1].strip(),
    }
    if verbose:
        latencies = [float(m.group(1)) for m in re.finditer(r"^> \S+ \S+ \S+ ([\d.]+)$", out,
                                                              re.M)]
        result["median_ms"] = statistics.median(latencies) * 1000 if latencies else 0.0
        result["p90_ms"] = (statistics.quantiles(latencies, n=10)[-1] * 1000
                            if len(latencies) >= 10 else 0.0)
    return result


def udp_buffer_drops():
    """Datagrams the kernel dropped in this namespace because a socket's receive buffer was full:
    a query lost in a run is a query some socket on the way had no room for."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("RcvbufErrors")])


def measure_once(proc, port, query_file, seconds, outstanding, address=LISTEN):
    """One dnsperf run against a server, with the server's CPU time per answered query."""
    before = cpu_seconds(proc.pid)
    drops = udp_buffer_drops()
    r = dnsperf(port, query_file, seconds, outstanding, address=address)
    used = cpu_seconds(proc.pid) - before
    r["cpu_us"] = used / r["completed"] * 1e6 if r["completed"] else 0.0
    r["buffer_drops"] = udp_buffer_drops() - drops
    return r


# ----------------------------------------------------------------------------------------------
# Servers


def start_upstream(port):
    """dnsmasq answering the forwarded zone itself, without a cache, on the upstream address."""
    proc = start(pinned(CPU_LOAD, [
        "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--cache-size=0",
        "--listen-address=" + UPSTREAM, "--bind-interfaces", f"--port={port}",
        "--pid-file=", "--user=root", "--log-facility=/dev/null",
        f"--address=/{FORWARD_ZONE}/{FORWARD_ANSWER}"]))
    if not wait_answer(UPSTREAM, port, "probe." + FORWARD_ZONE, FORWARD_ANSWER, 30, proc):
        raise RuntimeError("the upstream dnsmasq did not start")
    return proc


def start_dnsmasq_filter(conf, port, upstream_port, probe):
    proc = start(pinned(CPU_UNDER_TEST, [
        "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts", "--cache-size=0",
        "--listen-address=" + LISTEN, "--bind-interfaces", f"--port={port}",
        "--pid-file=", "--user=root", "--log-facility=/dev/null",
        f"--server={UPSTREAM}#{upstream_port}", f"--conf-file={conf}"]))
    if not wait_answer(LISTEN, port, probe, "0.0.0.0", 600, proc):
        raise RuntimeError("dnsmasq did not start with " + conf)
    return proc


def start_driver(driver, names, upstream_port, port=PORT_UNDER_TEST):
    proc = start(pinned(CPU_UNDER_TEST, [
        driver, "--port", str(port),
        "--upstream", UPSTREAM, "--upstream-port", str(upstream_port), "--names", names]),
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline().split()
    if not line or line[0] != "ready":
        raise RuntimeError("dns_proxy_driver did not start with " + names)
    return proc


# ----------------------------------------------------------------------------------------------
# Sections


def throughput(args, work, results):
    """Every server under test runs at once on its own port (idle while another is measured);
    the dnsperf runs go round them in turn, so that load from elsewhere on the machine falls on
    all of them alike. The best run of each counts."""
    rules_small, rules_large = args.rules_small, args.rules_large
    sizes = (rules_small, rules_large)
    names = {n: os.path.join(work, f"names-{n}.txt") for n in sizes}
    confs = {n: os.path.join(work, f"dnsmasq-{n}.conf") for n in sizes}
    blocked_q = {n: os.path.join(work, f"queries-blocked-{n}.txt") for n in sizes}
    forwarded_q = os.path.join(work, "queries-forwarded.txt")
    for n in sizes:
        write_names(names[n], 0, n)
        write_dnsmasq_conf(confs[n], 0, n)
        write_blocked_queries(blocked_q[n], 200_000, n, seed=n)
    write_forwarded_queries(forwarded_q, 200_000)
    probe = {n: "www." + blocked_name(0, n - 1) for n in sizes}
    fwd_probe = "probe." + FORWARD_ZONE

    upstream = start_upstream(PORT_UPSTREAM)
    servers = {}  # label -> (process, port)
    port = PORT_UNDER_TEST + 10

    def add(label, proc, expect_name, expect_answer, limit=30):
        nonlocal port
        if not wait_answer(LISTEN, port, expect_name, expect_answer, limit, proc):
            raise RuntimeError(label + " did not start")
        servers[label] = (proc, port)
        port += 1

    add("ceiling", start(pinned(CPU_UNDER_TEST, [
        os.path.join(args.bin_dir, "dns_responder"), "--listen", LISTEN, "--port", str(port)])),
        probe[rules_small], "0.0.0.0")
    add("relay", start(pinned(CPU_UNDER_TEST, [
        os.path.join(args.bin_dir, "dns_relay"), "--listen", LISTEN, "--port", str(port),
        "--upstream", UPSTREAM, "--upstream-port", str(PORT_UPSTREAM)])),
        fwd_probe, FORWARD_ANSWER)
    drivers = {"proxy": os.path.join(args.bin_dir, "dns_proxy_driver")}
    if args.alt_driver:
        drivers["alt"] = args.alt_driver
    for kind, driver in drivers.items():
        for n in sizes:
            proc = start_driver(driver, names[n], PORT_UPSTREAM, port)
            add(f"{kind}_{n}", proc, probe[n], "0.0.0.0")
            results[f"{kind}_{n}_rss_mib"] = status_kib(proc.pid, "VmRSS") / 1024
    for n in sizes:
        began = time.monotonic()
        proc = start_dnsmasq_filter(confs[n], port, PORT_UPSTREAM, probe[n])
        results[f"dnsmasq_{n}_load_s"] = time.monotonic() - began
        add(f"dnsmasq_{n}", proc, probe[n], "0.0.0.0")
        results[f"dnsmasq_{n}_rss_mib"] = status_kib(proc.pid, "VmRSS") / 1024

    runs = [("upstream_alone", upstream, PORT_UPSTREAM, forwarded_q, UPSTREAM),
            ("ceiling_blocked", *servers["ceiling"], blocked_q[rules_small], LISTEN),
            ("relay_forwarded", *servers["relay"], forwarded_q, LISTEN)]
    for kind in list(drivers) + ["dnsmasq"]:
        for n in sizes:
            runs.append((f"{kind}_{n}_blocked", *servers[f"{kind}_{n}"], blocked_q[n], LISTEN))
            runs.append((f"{kind}_{n}_forwarded", *servers[f"{kind}_{n}"], forwarded_q, LISTEN))
    try:
        for _ in range(args.repeats):
            for key, proc, server_port, query_file, address in runs:
                r = measure_once(proc, server_port, query_file, args.seconds, args.outstanding,
                                 address)
                if key not in results or r["qps"] > results[key]["qps"]:
                    results[key] = r
    finally:
        for proc, _ in servers.values():
            stop(proc)
        stop(upstream)


def latency(args, work, results):
    """Median latency through the proxy to an upstream that answers after 5 ms."""
    names = os.path.join(work, f"names-{args.rules_small}.txt")
    if not os.path.exists(names):
        write_names(names, 0, args.rules_small)
    forwarded_q = os.path.join(work, "queries-forwarded.txt")
    if not os.path.exists(forwarded_q):
        write_forwarded_queries(forwarded_q, 200_000)
    slow = start(pinned(CPU_LOAD, [
        os.path.join(args.bin_dir, "dns_responder"), "--listen", UPSTREAM,
        "--port", str(PORT_SLOW_UPSTREAM), "--answer", FORWARD_ANSWER,
        "--delay-ms", str(args.delay_ms)]))
    try:
        if not wait_answer(UPSTREAM, PORT_SLOW_UPSTREAM, "probe." + FORWARD_ZONE, FORWARD_ANSWER,
                           10, slow):
            raise RuntimeError("the slow upstream did not start")
        proxy = start_driver(os.path.join(args.bin_dir, "dns_proxy_driver"), names,
                             PORT_SLOW_UPSTREAM)
        try:
            if not wait_answer(LISTEN, PORT_UNDER_TEST, "probe." + FORWARD_ZONE, FORWARD_ANSWER,
                               10, proxy):
                raise RuntimeError("the proxy does not forward to the slow upstream")
            # Direct and through the proxy in turn; the lowest median of each counts (a busy
            # machine only ever adds to a latency).
            for _ in range(args.repeats):
                for key, address, port in (("slow_direct", UPSTREAM, PORT_SLOW_UPSTREAM),
                                           ("slow_proxy", LISTEN, PORT_UNDER_TEST)):
                    r = dnsperf(port, forwarded_q, args.latency_seconds,
                                args.latency_outstanding, verbose=True, address=address)
                    if key not in results or r["median_ms"] < results[key]["median_ms"]:
                        results[key] = r
        finally:
            stop(proxy)
    finally:
        stop(slow)


class PolicyServer:
    """Serves one policy document at GET /v1/policy and takes usage reports, on 127.0.0.1."""

    def __init__(self):
        self.lock = threading.Lock()
        self.body = b""
        self.rev = 0
        # (rev, time.time() when the request came in, and once the whole answer was handed to
        # the socket: the policy's arrival)
        self.served = []
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                began = time.time()
                if self.path != "/v1/policy":
                    self.send_error(404)
                    return
                with server.lock:
                    body, rev = server.body, server.rev
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                with server.lock:
                    server.served.append((rev, began, time.time()))

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                self.rfile.read(min(length, 64 << 20))
                body = b'{"date":"2026-01-01"}'
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *_):
                pass

        self.httpd = ThreadingHTTPServer((LISTEN, 0), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def publish(self, rev, list_id, count):
        doc = {"rev": rev, "usageEpoch": 0, "apps": {},
               "domains": [blocked_name(list_id, i) for i in range(count)],
               "domainLimits": {}, "domainAllow": [], "domainExact": []}
        body = json.dumps(doc, separators=(",", ":")).encode()
        with self.lock:
            self.body, self.rev = body, rev
        return len(body)

    def first_served(self, rev):
        """(request time, arrival time) of the first answer with this rev, or (None, None)."""
        with self.lock:
            times = [(began, done) for r, began, done in self.served if r == rev]
        return times[0] if times else (None, None)

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class AgentWatch:
    """Follows the agent's log lines (with the time each arrived) and its resident size (sampled
    every 10 ms)."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self.samples = []  # (time.time(), VmRSS in KiB)
        self.lock = threading.Lock()
        self.running = True
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._sample, daemon=True).start()

    def _read(self):
        for line in self.proc.stderr:
            with self.lock:
                self.lines.append((time.time(), line.rstrip("\n")))

    def _sample(self):
        while self.running and self.proc.poll() is None:
            try:
                rss = status_kib(self.proc.pid, "VmRSS")
            except OSError:
                return
            with self.lock:
                self.samples.append((time.time(), rss))
            time.sleep(0.01)

    def peak_mib(self, since, until):
        """The largest resident size sampled between two times: the policy's take-up alone, not
        the usage upload that may follow it at once."""
        with self.lock:
            window = [rss for t, rss in self.samples if since <= t <= until]
        return max(window) / 1024 if window else 0.0

    def line_time(self, prefix):
        with self.lock:
            for t, line in self.lines:
                if prefix in line:
                    return t, line
        return None, None

    def text(self):
        with self.lock:
            return "\n".join(line for _, line in self.lines)


def first_block(name, limit_seconds, interval=0.002):
    """Asks the agent's proxy for the name every interval; the time of the first reply that
    blocks it (0.0.0.0), or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setblocking(False)
        deadline = time.monotonic() + limit_seconds
        ident = 0
        while time.monotonic() < deadline:
            ident = (ident + 1) & 0xFFFF
            try:
                s.sendto(dns_query(name, ident=ident), (LISTEN, 53))
            except BlockingIOError:
                pass
            time.sleep(interval)
            while True:
                try:
                    reply = s.recv(4096)
                except BlockingIOError:
                    break
                if first_a(reply)[1] == "0.0.0.0":
                    return time.time()
    return None


def settled_rss_mib(proc, seconds):
    """The resident size once the policy is in force: the median over the second half of a spell
    in which the agent only polls (and gets the same policy again), and the largest seen in it."""
    samples = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and proc.poll() is None:
        samples.append(status_kib(proc.pid, "VmRSS"))
        time.sleep(0.05)
    if not samples:
        return 0.0, 0.0
    return statistics.median(samples[len(samples) // 2:]) / 1024, max(samples) / 1024


def agent_load(args, work, results):
    """The agent with a 1 000 000-name policy: memory, and the time to serve a new policy."""
    count = args.rules_large
    config_dir = os.path.join(work, "agent")
    os.makedirs(config_dir, exist_ok=True)
    server = PolicyServer()
    upstream = None
    agent = None
    try:
        upstream = start_upstream(53)
        results["agent_policy_mb"] = server.publish(1, 0, count) / 1e6
        config = {"serverURL": f"http://{LISTEN}:{server.port}", "deviceToken": "bench",
                  "pollIntervalSeconds": args.poll_seconds, "sampleIntervalSeconds": 1,
                  "upstreamDNS": UPSTREAM, "enableDNS": True}
        config_path = os.path.join(config_dir, "config.json")
        with open(config_path, "w") as f:
            json.dump(config, f)
        started = time.time()
        agent = start(pinned(CPU_UNDER_TEST, [os.path.join(args.bin_dir, "KinwardAgent"),
                                              "--config", config_path]),
                      stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        watch = AgentWatch(agent)

        # Take-up at start: the first poll brings the policy.
        blocked_at = first_block("www." + blocked_name(0, count - 1), 60)
        _, arrived = server.first_served(1)
        logged, _ = watch.line_time("policy rev 1:")
        if blocked_at is None or arrived is None:
            raise RuntimeError("the agent did not block the first policy's names:\n" + watch.text())
        results["agent_first_serving_s"] = blocked_at - arrived
        results["agent_first_logged_s"] = (logged - arrived) if logged else None
        results["agent_first_peak_mib"] = watch.peak_mib(started, blocked_at)
        results["agent_first_settled_mib"], results["agent_first_settle_max_mib"] = \
            settled_rss_mib(agent, args.settle_seconds)

        # A new policy of the same size replaces it.
        server.publish(2, 1, count)
        blocked_at = first_block("www." + blocked_name(1, count - 1), 60 + args.poll_seconds)
        requested, arrived = server.first_served(2)
        logged, _ = watch.line_time("policy rev 2:")
        if blocked_at is None or arrived is None:
            raise RuntimeError("the agent did not block the second policy's names:\n" +
                               watch.text())
        results["agent_second_serving_s"] = blocked_at - arrived
        results["agent_second_logged_s"] = (logged - arrived) if logged else None
        results["agent_second_peak_mib"] = watch.peak_mib(requested, blocked_at)
        results["agent_second_settled_mib"], results["agent_second_settle_max_mib"] = \
            settled_rss_mib(agent, args.settle_seconds)
        # The first policy's names are free again.
        results["agent_old_names_free"] = \
            ask(LISTEN, 53, "www." + blocked_name(0, 0))[1] != "0.0.0.0"
        watch.running = False
    finally:
        if agent is not None:
            stop(agent)
        if upstream is not None:
            stop(upstream)
        server.close()


# ----------------------------------------------------------------------------------------------
# Report


def report(results, sitematch):
    rows = []  # (measurement, value, target, ratio text, verdict)

    def check(ok):
        return "ok" if ok else "MISSED"

    def qps(key):
        r = results.get(key)
        return r["qps"] if r else None

    def line(label, key):
        r = results.get(key)
        if not r:
            return
        lost = (f", lost {int(r['lost'])} ({r.get('buffer_drops', 0)} dropped by a full socket "
                f"buffer)" if r.get("lost") else "")
        rows.append((label, f"{r['qps']:,.0f} q/s, {r['cpu_us']:.1f} us CPU/query{lost}", "",
                     "", ""))

    if sitematch:
        for name, ratio in sitematch:
            rows.append((f"winning() {name} / 100 rules", f"{ratio:.2f}x time", "<= 2.00x", "",
                         check(ratio <= 2.0)))

    small, large = results.get("rules_small"), results.get("rules_large")
    line("C responder (ceiling), blocked", "ceiling_blocked")
    line(f"proxy {small:,} rules, blocked", f"proxy_{small}_blocked")
    line(f"proxy {large:,} rules, blocked", f"proxy_{large}_blocked")
    line(f"dnsmasq {small:,} names, blocked", f"dnsmasq_{small}_blocked")
    line(f"dnsmasq {large:,} names, blocked", f"dnsmasq_{large}_blocked")
    line("upstream dnsmasq alone", "upstream_alone")
    line("C relay, forwarded", "relay_forwarded")
    line(f"proxy {small:,} rules, forwarded", f"proxy_{small}_forwarded")
    line(f"proxy {large:,} rules, forwarded", f"proxy_{large}_forwarded")
    line(f"dnsmasq {small:,} names, forwarded", f"dnsmasq_{small}_forwarded")
    line(f"dnsmasq {large:,} names, forwarded", f"dnsmasq_{large}_forwarded")
    for n in (small, large):
        line(f"alternative proxy {n:,} rules, blocked", f"alt_{n}_blocked")
        line(f"alternative proxy {n:,} rules, forwarded", f"alt_{n}_forwarded")

    def ratio(label, num, den, bound=None):
        a, b = qps(num), qps(den)
        if not (a and b):
            return
        if bound is None:
            rows.append((label, f"{a / b:.2f}x", "", "", ""))
        else:
            rows.append((label, f"{a / b:.2f}x", f">= {bound:.2f}x", "", check(a / b >= bound)))

    ratio("blocked: proxy / dnsmasq (100k)", f"proxy_{small}_blocked", f"dnsmasq_{small}_blocked",
          1.2)
    ratio("blocked: proxy / C ceiling", f"proxy_{small}_blocked", "ceiling_blocked", 0.7)
    ratio("forwarded: proxy / dnsmasq (100k)", f"proxy_{small}_forwarded",
          f"dnsmasq_{small}_forwarded", 1.5)
    ratio("blocked: proxy 1M / 100k rules", f"proxy_{large}_blocked", f"proxy_{small}_blocked",
          0.9)
    ratio("forwarded: proxy 1M / 100k rules", f"proxy_{large}_forwarded",
          f"proxy_{small}_forwarded", 0.9)
    ratio("forwarded: proxy / C relay", f"proxy_{small}_forwarded", "relay_forwarded")
    ratio("alternative / proxy, blocked", f"alt_{small}_blocked", f"proxy_{small}_blocked")
    ratio("alternative / proxy, forwarded", f"alt_{small}_forwarded", f"proxy_{small}_forwarded")
    ratio("forwarded: alternative / dnsmasq (100k)", f"alt_{small}_forwarded",
          f"dnsmasq_{small}_forwarded", 1.5)

    if "slow_proxy" in results:
        d, p = results["slow_direct"], results["slow_proxy"]
        delay = results["delay_ms"]
        rows.append(("5 ms upstream, direct: median", f"{d['median_ms']:.3f} ms "
                     f"(p90 {d['p90_ms']:.3f}), {d['qps']:,.0f} q/s", "", "", ""))
        rows.append(("5 ms upstream, via proxy: median", f"{p['median_ms']:.3f} ms "
                     f"(p90 {p['p90_ms']:.3f}), {p['qps']:,.0f} q/s", "", "", ""))
        rows.append(("  median - delay", f"{p['median_ms'] - delay:.3f} ms", "<= 0.500 ms", "",
                     check(p["median_ms"] - delay <= 0.5)))
        rows.append(("  median - direct median", f"{p['median_ms'] - d['median_ms']:.3f} ms",
                     "(proxy's own share)", "", ""))
        rows.append(("  throughput / serial (180 q/s)", f"{p['qps'] / 180:.1f}x", "", "", ""))

    for n in (small, large):
        if f"dnsmasq_{n}_rss_mib" in results:
            rows.append((f"dnsmasq {n:,} names: resident, load time",
                         f"{results[f'dnsmasq_{n}_rss_mib']:.1f} MiB, "
                         f"{results[f'dnsmasq_{n}_load_s']:.1f} s", "", "", ""))
        if f"proxy_{n}_rss_mib" in results:
            rows.append((f"proxy driver {n:,} rules: resident",
                         f"{results[f'proxy_{n}_rss_mib']:.1f} MiB", "", "", ""))

    if "agent_policy_mb" in results:
        rows.append(("agent 1M policy body", f"{results['agent_policy_mb']:.1f} MB", "", "", ""))
    for phase, what in (("first", "at start"), ("second", "replacing 1M")):
        if f"agent_{phase}_settled_mib" not in results:
            continue
        serving = results[f"agent_{phase}_serving_s"]
        logged = results[f"agent_{phase}_logged_s"]
        logged_text = f", log line at {logged:.2f} s" if logged is not None else ""
        rows.append((f"agent 1M {what}: arrival to serving", f"{serving:.2f} s{logged_text}",
                     "<= 2.00 s", "", check(serving <= 2.0)))
        rows.append((f"agent 1M {what}: peak while taking up",
                     f"{results[f'agent_{phase}_peak_mib']:.1f} MiB", "(report)", "", ""))
        settled = results[f"agent_{phase}_settled_mib"]
        rows.append((f"agent 1M {what}: settled resident",
                     f"{settled:.1f} MiB (max {results[f'agent_{phase}_settle_max_mib']:.1f} "
                     "during polls and uploads)", "< 150 MB", "", check(settled * 1.048576 < 150)))
    if "agent_old_names_free" in results:
        rows.append(("agent: old policy's names free after", str(results["agent_old_names_free"]),
                     "True", "", check(results["agent_old_names_free"])))

    width = max(len(r[0]) for r in rows) if rows else 10
    vwidth = max(len(r[1]) for r in rows) if rows else 10
    print()
    print(f"{'measurement':<{width}}  {'value':<{vwidth}}  {'target':<12}  verdict")
    print("-" * (width + vwidth + 26))
    for label, value, target, _, verdict in rows:
        print(f"{label:<{width}}  {value:<{vwidth}}  {target:<12}  {verdict}")
    print()
    print(f"load average at start {results['load_start']:.2f}, at end {load_average():.2f} "
          f"(2 cores; figures taken under load are noisy)")


def parse_sitematch(path):
    if not path or not os.path.exists(path):
        return []
    found = []
    with open(path) as f:
        for line in f:
            m = re.match(r"ratio BM_IndexWinning/(\d+) / BM_IndexWinning/100: ([\d.]+)", line)
            if m:
                found.append((f"{int(m.group(1)):,} rules", float(m.group(2))))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin-dir", required=True, help="folder with the built programs")
    parser.add_argument("--sections", default="throughput,latency,agent")
    parser.add_argument("--seconds", type=int, default=5, help="length of one dnsperf run")
    parser.add_argument("--repeats", type=int, default=3, help="dnsperf runs, best one counts")
    parser.add_argument("--outstanding", type=int, default=100, help="dnsperf -q")
    parser.add_argument("--rules-small", type=int, default=100_000)
    parser.add_argument("--rules-large", type=int, default=1_000_000)
    parser.add_argument("--delay-ms", type=int, default=5)
    parser.add_argument("--latency-seconds", type=int, default=5)
    parser.add_argument("--latency-outstanding", type=int, default=20)
    parser.add_argument("--poll-seconds", type=float, default=15,
                        help="the agent's pollIntervalSeconds (15 as the setup app writes it)")
    parser.add_argument("--settle-seconds", type=float, default=20)
    parser.add_argument("--sitematch-output", default="")
    parser.add_argument("--alt-driver", default="",
                        help="a second dns_proxy_driver (another build) measured side by side")
    parser.add_argument("--json", default="", help="also write the raw results here")
    args = parser.parse_args()

    def on_term(*_):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_term)
    results = {"rules_small": args.rules_small, "rules_large": args.rules_large,
               "delay_ms": args.delay_ms, "load_start": load_average()}
    sections = args.sections.split(",")
    errors = []
    try:
        with tempfile.TemporaryDirectory(prefix="tether-dnsbench-") as work:
            for name, run in (("throughput", throughput), ("latency", latency),
                              ("agent", agent_load)):
                if name not in sections:
                    continue
                try:
                    run(args, work, results)
                except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                    # One section failing leaves the others' figures standing.
                    errors.append(f"{name}: {e}")
                    stop_all()
    finally:
        stop_all()
        if args.json:
            with open(args.json, "w") as f:
                json.dump(results, f, indent=1)
    report(results, parse_sitematch(args.sitematch_output))
    for error in errors:
        print("FAILED " + error)
    return 1 if errors else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted; every server and load generator was stopped", file=sys.stderr)
        sys.exit(130)
