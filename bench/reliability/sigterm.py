"""SIGTERM at random moments in three phases of the agent's life, with DNS filtering on and the
system DNS servers switched (through the fake networksetup):

  sleep  the loop sleeps between two cycles;
  poll   the policy poll waits for a service that holds its answer for 10 seconds;
  dns    the proxy waits for an upstream that has stopped answering, with queries arriving.

Every time: exit status 0 within one second of the signal, the usage file written after the
signal (a new file in place), the DNS servers of before the start back and dns-backup.json gone.
Runs inside the private namespaces set up by sigterm.sh.
"""

import argparse
import os
import select
import shutil
import signal
import socket
import struct
import tempfile
import threading
import time

import reliability as r


class Upstream:
    """A resolver on 127.0.0.2:53 that answers every A query with 10.1.2.3, or, while silent,
    reads and drops every query."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.2", 53))
        self.silent = False
        self.dropped = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop.is_set():
            ready, _, _ = select.select([self.sock], [], [], 0.1)
            if not ready:
                continue
            query, sender = self.sock.recvfrom(65535)
            if self.silent or len(query) < 12:
                self.dropped += 1
                continue
            end = 12
            while end < len(query) and query[end] != 0:
                end += query[end] + 1
            end += 5
            reply = (query[:2] + b"\x81\x80" + struct.pack(">HHHH", 1, 1, 0, 0) + query[12:end]
                     + b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04" + bytes([10, 1, 2, 3]))
            self.sock.sendto(reply, sender)

    def close(self):
        self.stop.set()
        self.thread.join()
        self.sock.close()


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.002)
    return predicate()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100)
    args = parser.parse_args()
    rng = r.random_generator()
    state = r.NetworkSetupState(os.environ["TETHER_NETWORKSETUP_STATE"])

    work = tempfile.mkdtemp(prefix="tether-sigterm.", dir=os.environ.get("WORK"))
    stub = r.StubService({"rev": 0})
    upstream = Upstream()
    phases = ["sleep", "poll", "dns"] * ((args.runs + 2) // 3)
    phases = phases[:args.runs]
    rng.shuffle(phases)
    results = {p: [] for p in ("sleep", "poll", "dns")}
    failures = []
    pending_at_signal = []
    timings = []  # (signal to exit, run, phase, moment of the signal, load average)
    r.log(f"{args.runs} SIGTERMs: {phases.count('sleep')} in the sleep, {phases.count('poll')} in a "
          f"held poll, {phases.count('dns')} in a DNS wait; load {r.load_average()}")
    agent = None
    try:
        for run, phase in enumerate(phases):
            r.reset_network_setup(state)
            directory = os.path.join(work, f"run-{run}")
            config = r.write_config(directory, stub.url, sample=2, poll=600, upstream="127.0.0.2",
                                    enable_dns=True)
            usage = os.path.join(directory, "usage.json")
            stub.hold_seconds = 10.0 if phase == "poll" else 0.0
            stub.poll_arrived.clear()
            upstream.silent = phase == "dns"
            load = None
            agent = r.Agent(config)
            if not agent.wait_for_log("set DNS to 127.0.0.1 on 2 service(s)", 10):
                failures.append(f"run {run} ({phase}): DNS never switched: {agent.log_text()[-300:]}")
                agent.close()
                agent = None
                continue
            if phase == "poll":
                if not stub.poll_arrived.wait(10):
                    failures.append(f"run {run}: the poll never arrived")
                delay = rng.uniform(0.05, 3.0)
            else:
                if phase == "dns":
                    load = r.QueryLoad(rate=20)
                    load.start()
                # The first cycle has written the usage file: the loop is in its 2-second sleep.
                if not wait_until(lambda: os.path.exists(usage), 10):
                    failures.append(f"run {run} ({phase}): no cycle ran")
                delay = rng.uniform(0.0, 1.9)
                if phase == "dns":
                    delay = max(delay, 0.3)  # queries are waiting for the silent upstream by then
            time.sleep(delay)

            switched = state.get("Wi-Fi") == ["127.0.0.1"]
            inode_before = os.stat(usage).st_ino if os.path.exists(usage) else None
            if load is not None:
                records = load.records()
                pending_at_signal.append(sum(1 for _, answered, _ in records if answered is None))
            sent = time.monotonic()
            agent.kill(signal.SIGTERM)
            status = agent.wait(5)
            elapsed = time.monotonic() - sent
            if status is None:
                failures.append(f"run {run} ({phase}): still running 5 s after SIGTERM")
            agent.close()
            if load is not None:
                load.finish(linger=0)

            problems = []
            if status != 0:
                problems.append(f"exit status {status}")
            if elapsed >= 1.0:
                problems.append(f"exit took {elapsed:.3f} s")
            if not os.path.exists(usage):
                problems.append("no usage file")
            elif os.stat(usage).st_ino == inode_before:
                problems.append("usage file not written after the signal")
            if not switched:
                problems.append("DNS was not pointed at 127.0.0.1 when the signal came")
            after = state.snapshot(r.ORIGINAL_SERVERS)
            if after != r.ORIGINAL_SERVERS:
                problems.append(f"DNS servers not restored: {after}")
            if os.path.exists(os.path.join(directory, "dns-backup.json")):
                problems.append("dns-backup.json left behind")
            text = agent.log_text()
            if "restored previous DNS servers" not in text:
                problems.append("no restore line in the log")
            if problems:
                failures.append(f"run {run} ({phase}, signal {delay:.3f} s in): " + "; ".join(problems))
            results[phase].append(elapsed)
            timings.append((elapsed, run, phase, delay, r.load_average()))
            agent = None
            shutil.rmtree(directory, ignore_errors=True)

        r.log("")
        r.log(f"SIGTERM: {args.runs} runs (load {r.load_average()})")
        for phase, times in results.items():
            r.log(f"  {phase:5}: signal to exit {r.summary(times, ' s')}")
        every = [t for times in results.values() for t in times]
        r.log(f"  all  : {r.summary(every, ' s')}; exits over 1 s: {sum(t >= 1.0 for t in every)}")
        for elapsed, run, phase, delay, load in sorted(timings, reverse=True)[:3]:
            r.log(f"  slowest: run {run} ({phase}, signal {delay:.3f} s in) exited after {elapsed:.3f} s; "
                  f"load {load}")
        if pending_at_signal:
            r.log(f"  dns phase: queries waiting for the upstream at the signal: "
                  f"min {min(pending_at_signal)} max {max(pending_at_signal)}")
        r.log(f"  polls that reached the service: {stub.policy_requests}; "
              f"queries the silent upstream dropped: {upstream.dropped}")
        return r.report_failures(failures, shown=20)
    finally:
        if agent is not None:
            agent.close()
        upstream.close()
        stub.close()


if __name__ == "__main__":
    raise SystemExit(main())
