"""Shared parts of the reliability drivers: the agent process, a stand-in and the reference
service, application bundles, the fake networksetup state, DNS queries and process figures.

Everything here talks only to 127.0.0.0/8 and to processes the drivers start themselves.
"""

import contextlib
import datetime
import http.server
import json
import os
import random
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))


def build_dir():
    return os.environ.get("TETHER_BUILD_DIR", os.path.join(REPO, "build", "reliability"))


def agent_binary():
    return os.path.join(build_dir(), "agent", "KinwardAgent")


def service_binary():
    return os.path.join(build_dir(), "service", "tether-service")


def today():
    return datetime.date.today().strftime("%Y-%m-%d")


def log(message):
    print(message, flush=True)


# --- process figures -------------------------------------------------------------------------

def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def report_failures(failures, shown=None):
    """Logs the count of failures and the first `shown` of them (all by default); the exit status."""
    log(f"  failures: {len(failures)}")
    for line in failures[:shown]:
        log("    " + line)
    return 1 if failures else 0


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def summary(values, unit=""):
    if not values:
        return "none"
    ordered = sorted(values)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
    return (f"n={len(values)} min={ordered[0]:.3f}{unit} median={statistics.median(ordered):.3f}{unit} "
            f"p99={p99:.3f}{unit} max={ordered[-1]:.3f}{unit}")


# --- configuration and the agent ---------------------------------------------------------------

def write_config(directory, server_url, sample=1.0, poll=15.0, upstream="127.0.0.2", enable_dns=False,
                 token="reliability-device"):
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "config.json")
    with open(path, "w") as f:
        json.dump({"serverURL": server_url, "deviceToken": token,
                   "pollIntervalSeconds": poll, "sampleIntervalSeconds": sample,
                   "upstreamDNS": upstream, "enableDNS": enable_dns}, f)
    return path


class Agent:
    """The real KinwardAgent binary with its log captured in a file."""

    def __init__(self, config_path, log_path=None):
        self.config_path = config_path
        self.log_path = log_path or os.path.join(os.path.dirname(config_path), "agent.log")
        self._log = open(self.log_path, "ab")
        self.proc = subprocess.Popen([agent_binary(), "--config", config_path],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self._log)
        self.pid = self.proc.pid

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for_log(self, needle, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if needle in self.log_text():
                return True
            if self.proc.poll() is not None:
                return needle in self.log_text()
            time.sleep(0.005)
        return False

    def kill(self, signum=signal.SIGKILL):
        with contextlib.suppress(ProcessLookupError):
            os.kill(self.pid, signum)

    def wait(self, timeout=None):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self):
        if self.proc.poll() is None:
            self.kill()
            self.proc.wait()
        self._log.close()


# --- application bundles ------------------------------------------------------------------------

INFO_PLIST = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>{bundle_id}</string>
<key>CFBundleName</key><string>{name}</string>
<key>CFBundleExecutable</key><string>{executable}</string>
</dict></plist>
"""


def make_bundle(root, name, bundle_id):
    """Name.app with Info.plist, whose executable is a copy of sleep; returns the executable."""
    bundle = os.path.join(root, name + ".app")
    macos = os.path.join(bundle, "Contents", "MacOS")
    os.makedirs(macos, exist_ok=True)
    executable = name.lower().replace(" ", "-")
    with open(os.path.join(bundle, "Contents", "Info.plist"), "w") as f:
        f.write(INFO_PLIST.format(bundle_id=bundle_id, name=name, executable=executable))
    exe = os.path.join(macos, executable)
    shutil.copy2("/bin/sleep", exe)
    return exe


class App:
    """A running process of a bundle's executable; start() again after the agent ended it."""

    def __init__(self, exe):
        self.exe = exe
        self.proc = None
        self.starts = 0

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self):
        if self.running():
            return
        self.proc = subprocess.Popen([self.exe, "100000"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.starts += 1

    def stop(self):
        if self.running():
            self.proc.kill()
            self.proc.wait()


# --- services -----------------------------------------------------------------------------------

def http_json(method, url, body=None, token=None, timeout=10):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    if token:
        request.add_header("Authorization", "Bearer " + token)
    with urllib.request.urlopen(request, timeout=timeout) as response:
        return json.loads(response.read() or b"null")


class ReferenceService:
    """tether-service on a free loopback port, with one account and one device."""

    def __init__(self, directory):
        os.makedirs(directory, exist_ok=True)
        self._log = open(os.path.join(directory, "service.log"), "ab")
        self.proc = subprocess.Popen([service_binary(), "--db", os.path.join(directory, "service.db"),
                                      "--listen", "127.0.0.1:0"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._log)
        line = self.proc.stdout.readline().decode().strip()
        if not line.startswith("listening on "):
            raise RuntimeError("tether-service did not start: " + repr(line))
        self.url = "http://" + line[len("listening on "):]
        login = http_json("POST", self.url + "/v1/register",
                          {"email": "parent@example.test", "password": "reliability-password"})
        self.account_token = login["apiToken"]
        device = http_json("POST", self.url + "/v1/devices", {"name": "Reliability Mac"},
                           token=self.account_token)
        self.device_id = device["id"]
        self.device_token = device["token"]

    def put_policy(self, policy):
        return http_json("PUT", f"{self.url}/v1/devices/{self.device_id}/policy", policy,
                         token=self.account_token)

    def reset_usage(self):
        return http_json("POST", f"{self.url}/v1/devices/{self.device_id}/usage/reset", {},
                         token=self.account_token)

    def usage_reports(self):
        return http_json("GET", f"{self.url}/v1/devices/{self.device_id}/usage",
                         token=self.account_token)

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


class StubService:
    """A small HTTP service on 127.0.0.1: answers the policy (optionally holding it for a while)
    and accepts every upload. policy_requests counts the polls that arrived."""

    def __init__(self, policy=None):
        self.policy = json.dumps(policy or {"rev": 0}).encode()
        self.hold_seconds = 0.0
        self.policy_requests = 0
        self.uploads = 0
        self.lock = threading.Lock()
        self.poll_arrived = threading.Event()
        stub = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _answer(self, body):
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                with stub.lock:
                    stub.policy_requests += 1
                    hold = stub.hold_seconds
                stub.poll_arrived.set()
                if hold > 0:
                    time.sleep(hold)
                with contextlib.suppress(OSError):
                    self._answer(stub.policy)

            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                self.rfile.read(length)
                with stub.lock:
                    stub.uploads += 1
                with contextlib.suppress(OSError):
                    self._answer(b"{}")

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a client that went away mid-answer (the agent was stopped)

        self.server = Server(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


# --- the fake networksetup inside the mount namespace -------------------------------------------

class NetworkSetupState:
    """The state files of the fake /usr/sbin/networksetup (one file per service, one server per
    line; an absent file is a service without servers of its own)."""

    def __init__(self, directory):
        self.directory = directory

    def _file(self, service):
        return os.path.join(self.directory, service.replace("/", "_") + ".servers")

    def set(self, service, servers):
        path = self._file(service)
        if servers:
            with open(path, "w") as f:
                f.write("".join(s + "\n" for s in servers))
        elif os.path.exists(path):
            os.remove(path)

    def get(self, service):
        try:
            with open(self._file(service)) as f:
                return [line for line in f.read().splitlines() if line]
        except FileNotFoundError:
            return []

    def snapshot(self, services):
        return {s: self.get(s) for s in services}


# The services the fake tool lists, and their servers before the agent starts. The disabled one
# must never be touched.
ENABLED_SERVICES = ["Wi-Fi", "USB 10/100/1000 LAN"]
DISABLED_SERVICE = "Bluetooth PAN"
ORIGINAL_SERVERS = {"Wi-Fi": ["192.168.1.1", "9.9.9.9"], "USB 10/100/1000 LAN": [],
                    "Bluetooth PAN": ["10.0.0.1"]}


def reset_network_setup(state):
    for service, servers in ORIGINAL_SERVERS.items():
        state.set(service, servers)


# --- DNS ----------------------------------------------------------------------------------------

def dns_query(query_id, name, qtype=1):
    header = struct.pack(">HHHHHH", query_id, 0x0100, 1, 0, 0, 0)
    question = b"".join(bytes([len(label)]) + label.encode() for label in name.split(".") if label)
    return header + question + b"\x00" + struct.pack(">HH", qtype, 1)


def dns_rcode(reply):
    return reply[3] & 0x0F if len(reply) >= 4 else None


class QueryLoad:
    """Sends A queries to the proxy at a steady rate from one socket and records, per query,
    when it was sent, when (and with which RCODE) it was answered."""

    def __init__(self, rate, server=("127.0.0.1", 53), names=None):
        self.interval = 1.0 / rate
        self.server = server
        self.names = names or (lambda i: f"q{i}.reliability.test")
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.sent = {}      # id -> monotonic send time
        self.answers = {}   # id -> (monotonic answer time, rcode)
        self.stray = 0
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.receiver = threading.Thread(target=self._receive, daemon=True)
        self.sender = threading.Thread(target=self._send, daemon=True)

    def start(self):
        self.receiver.start()
        self.sender.start()

    def _send(self):
        next_at = time.monotonic()
        i = 0
        while not self.stop.is_set():
            # IDs repeat after 65 536 queries; the runs send fewer.
            query_id = i % 65536
            with self.lock:
                self.sent[query_id] = time.monotonic()
                self.answers.pop(query_id, None)
            with contextlib.suppress(OSError):
                self.sock.sendto(dns_query(query_id, self.names(i)), self.server)
            i += 1
            next_at += self.interval
            delay = next_at - time.monotonic()
            if delay > 0:
                self.stop.wait(delay)

    def _receive(self):
        while not (self.stop.is_set() and self._all_answered()):
            try:
                reply = self.sock.recv(65535)
            except socket.timeout:
                if self.stop.is_set():
                    return
                continue
            except OSError:
                return
            now = time.monotonic()
            if len(reply) < 4:
                self.stray += 1
                continue
            query_id = struct.unpack(">H", reply[:2])[0]
            with self.lock:
                if query_id in self.sent and query_id not in self.answers:
                    self.answers[query_id] = (now, dns_rcode(reply))
                else:
                    self.stray += 1

    def _all_answered(self):
        with self.lock:
            return len(self.answers) >= len(self.sent)

    def finish(self, linger=3.0):
        """Stops sending, waits up to linger seconds for the last answers."""
        self.stop.set()
        self.sender.join()
        deadline = time.monotonic() + linger
        while time.monotonic() < deadline and not self._all_answered():
            time.sleep(0.05)
        self.sock.close()
        self.receiver.join(1)

    def records(self):
        """(send time, answer time or None, rcode or None) per query, in sending order."""
        with self.lock:
            out = []
            for query_id, sent in self.sent.items():
                answer = self.answers.get(query_id)
                out.append((sent, answer[0] if answer else None, answer[1] if answer else None))
        out.sort()
        return out


class Sampler:
    """Samples a process's resident memory, descriptors and threads every period seconds."""

    def __init__(self, pid, period):
        self.pid = pid
        self.period = period
        self.samples = []  # (monotonic time, rss KiB, fds, threads)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.thread.start()

    def _run(self):
        while True:
            with contextlib.suppress(OSError):
                self.samples.append((time.monotonic(), rss_kib(self.pid), fd_count(self.pid),
                                     thread_count(self.pid)))
            if self.stop.wait(self.period):
                return

    def finish(self):
        self.stop.set()
        self.thread.join()


def random_generator():
    seed = int(os.environ.get("TETHER_RELIABILITY_SEED", "0") or 0) or int(time.time())
    log(f"random seed {seed} (set TETHER_RELIABILITY_SEED to repeat)")
    return random.Random(seed)
