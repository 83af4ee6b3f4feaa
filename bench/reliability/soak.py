"""A soak of the whole agent: the reference service with a demonstration-like policy that the
parent changes every minute (and resets once), applications that the agent must end again and
again, a stand-in tab helper that switches between an application, a time-limited site and an
unlisted site, dnsperf load on the proxy, and dnsmasq as the upstream.

Sampled every 10 seconds: the agent's resident memory, descriptors and threads. The cycle
period comes from the time stamps of state/enforce.json, which the agent rewrites at the end of
every cycle. Expected: memory and descriptors flat, the period steady (1 s sleep + one 200 ms
termination pause per blocked application + the cycle's own work, longer only when a poll or
upload is due).
Runs inside the private namespaces set up by soak.sh.
"""

import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import tempfile
import threading
import time

import reliability as r

GAME = "org.example.soak.game"
HOMEWORK = "org.example.soak.homework"
READER = "org.example.soak.reader"


def policy(generation):
    """The parent's policy; each generation adds one more blocked name, so the rev rises."""
    return {
        "apps": {
            GAME: {"dailyLimitMinutes": 1,
                   "windows": [{"days": [1, 2, 3, 4, 5], "start": "21:00", "end": "07:00"}]},
            # Equal start and end: blocked the whole day.
            HOMEWORK: {"windows": [{"days": [1, 2, 3, 4, 5, 6, 7], "start": "00:00", "end": "00:00"}]},
            READER: {"dailyLimitMinutes": 600},
        },
        "domains": ["blocked.test", "exact.test"] + [f"extra{i}.test" for i in range(generation)],
        "domainLimits": {"video.test": 1, "zero.test": 0},
        "domainAllow": ["ok.blocked.test"],
        "domainExact": ["exact.test"],
    }


QUERIES = ["www.reliability.test A", "mail.reliability.test MX", "www.video.test A",
           "cdn.video.test AAAA", "blocked.test A", "ads.blocked.test AAAA", "ok.blocked.test A",
           "cdn.zero.test A", "exact.test A", "sub.exact.test A", "news.test TXT",
           "extra1.test A", "www.extra5.test A"]


class TabHelper:
    """Writes state/tab.json every 2 seconds like the tab helper, cycling every 120 seconds
    through: the game in front; Safari on a time-limited site; Safari on an unlisted site."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "state", "tab.json")
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.stop = threading.Event()
        self.started = time.monotonic()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop.is_set():
            phase = int((time.monotonic() - self.started) // 40) % 3
            snapshot = {"ts": time.time(), "privateBrowsing": False, "idleSeconds": 3.0, "locked": False}
            if phase == 0:
                snapshot["bundleId"] = GAME
            else:
                snapshot["bundleId"] = "com.apple.Safari"
                snapshot["host"] = "www.video.test" if phase == 1 else "www.news.test"
            temporary = self.path + ".writing"
            with open(temporary, "w") as f:
                json.dump(snapshot, f)
            os.replace(temporary, self.path)
            self.stop.wait(2)

    def close(self):
        self.stop.set()
        self.thread.join()


class CycleWatch:
    """Collects the distinct time stamps of state/enforce.json."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "state", "enforce.json")
        self.stamps = []
        self.evictions = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stop.is_set():
            try:
                with open(self.path) as f:
                    doc = json.load(f)
                if not self.stamps or doc["ts"] != self.stamps[-1]:
                    self.stamps.append(doc["ts"])
                    self.evictions += bool(doc["evict"])
            except (OSError, ValueError, KeyError):
                pass
            self.stop.wait(0.05)

    def close(self):
        self.stop.set()
        self.thread.join()


def start_dnsmasq(work):
    return subprocess.Popen(
        ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
         "--bind-interfaces", "--listen-address=127.0.0.2", "--port=53", "--user=root",
         "--address=/#/10.9.9.9", "--pid-file=" + os.path.join(work, "dnsmasq.pid"),
         "--log-facility=" + os.path.join(work, "dnsmasq.log")],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--qps", type=int, default=200, help="dnsperf query rate")
    args = parser.parse_args()
    state = r.NetworkSetupState(os.environ["TETHER_NETWORKSETUP_STATE"])
    r.reset_network_setup(state)

    work = tempfile.mkdtemp(prefix="tether-soak.", dir=os.environ.get("WORK"))
    dnsmasq = start_dnsmasq(work)
    service = r.ReferenceService(os.path.join(work, "service"))
    apps_root = os.path.join(work, "apps")
    apps = {GAME: r.App(r.make_bundle(apps_root, "Soak Game", GAME)),
            HOMEWORK: r.App(r.make_bundle(apps_root, "Homework", HOMEWORK)),
            READER: r.App(r.make_bundle(apps_root, "Reader", READER))}
    agent = tab = watch = dnsperf = None
    load_start = r.load_average()
    try:
        generation = 0
        service.put_policy(policy(generation))
        directory = os.path.join(work, "agent")
        config = r.write_config(directory, service.url, sample=1, poll=5, upstream="127.0.0.2",
                                enable_dns=True, token=service.device_token)
        for app in apps.values():
            app.start()
        tab = TabHelper(directory)
        agent = r.Agent(config)
        if not agent.wait_for_log("set DNS to 127.0.0.1 on 2 service(s)", 10):
            raise SystemExit("the agent did not switch DNS: " + agent.log_text())
        watch = CycleWatch(directory)
        queries = os.path.join(work, "queries.txt")
        with open(queries, "w") as f:
            f.write("\n".join(QUERIES) + "\n")
        dnsperf_out = open(os.path.join(work, "dnsperf.txt"), "w")
        dnsperf = subprocess.Popen(["dnsperf", "-s", "127.0.0.1", "-p", "53", "-d", queries,
                                    "-l", str(args.seconds), "-Q", str(args.qps), "-c", "4", "-t", "5"],
                                   stdin=subprocess.DEVNULL, stdout=dnsperf_out, stderr=subprocess.STDOUT)
        r.log(f"soak of {args.seconds} s with dnsperf at {args.qps} queries/s; load {load_start}")

        samples = []
        started = time.monotonic()
        next_sample = started
        next_policy = started + 60
        reset_done = False
        restarts = 0
        while time.monotonic() - started < args.seconds:
            now = time.monotonic()
            if now >= next_sample:
                samples.append((now - started, r.rss_kib(agent.pid), r.fd_count(agent.pid),
                                r.thread_count(agent.pid)))
                elapsed = now - started
                if int(elapsed) % 60 < 10:
                    s = samples[-1]
                    r.log(f"  {elapsed:5.0f} s: rss {s[1]} KiB, {s[2]} descriptors, {s[3]} threads, "
                          f"{len(watch.stamps)} cycles, {restarts} app restarts")
                next_sample += 10
            if now >= next_policy:
                generation += 1
                service.put_policy(policy(generation))
                next_policy += 60
            if not reset_done and now - started >= args.seconds / 2:
                service.reset_usage()
                reset_done = True
            # The agent ends the game once its limit is used up and Homework at once; start them
            # again, as a child would.
            for app in apps.values():
                if not app.running():
                    app.start()
                    restarts += 1
            if agent.proc.poll() is not None:
                raise SystemExit("the agent ended during the soak: " + agent.log_text()[-500:])
            time.sleep(0.5)

        dnsperf.wait(30)
        dnsperf_out.close()
        watch.close()
        sent = time.monotonic()
        agent.kill(signal.SIGTERM)
        status = agent.wait(5)
        stop_time = time.monotonic() - sent
        restored = state.snapshot(r.ORIGINAL_SERVERS) == r.ORIGINAL_SERVERS

        stamps = watch.stamps
        periods = [b - a for a, b in zip(stamps, stamps[1:])]
        rss = [s[1] for s in samples]
        fds = [s[2] for s in samples]
        threads = [s[3] for s in samples]
        warm = [s for s in samples if s[0] >= 60]
        text = agent.log_text()
        service_log = open(os.path.join(work, "service", "service.log")).read()
        dnsperf_text = open(os.path.join(work, "dnsperf.txt")).read()

        def dnsperf_value(label):
            m = re.search(label + r":\s+([0-9.]+)", dnsperf_text)
            return m.group(1) if m else "?"

        r.log("")
        r.log(f"soak: {args.seconds} s, load average at start {load_start}, at end {r.load_average()}")
        r.log(f"  resident memory KiB: first {rss[0]}, at 60 s {warm[0][1] if warm else 'n/a'}, "
              f"last {rss[-1]}, min {min(rss)}, max {max(rss)}")
        r.log(f"  descriptors: first {fds[0]}, last {fds[-1]}, min {min(fds)}, max {max(fds)}")
        r.log(f"  threads: first {threads[0]}, last {threads[-1]}, max {max(threads)}")
        r.log(f"  cycles: {len(stamps)}; period {r.summary(periods, ' s')}; mean {statistics.mean(periods):.3f} s; "
              f"over 2 s: {sum(p > 2 for p in periods)}")
        r.log(f"  requests with evict: {watch.evictions}; applications started again after the agent "
              f"ended them: {restarts}")
        r.log(f"  policy revisions applied: {text.count('] policy rev ')}; usage resets: "
              f"{text.count('usage reset by parent')}; polls {service_log.count('GET /v1/policy 200')}, "
              f"uploads {service_log.count('POST /v1/usage 200')}")
        r.log(f"  failure lines in the agent log: {len(re.findall(r'failed: ', text))}")
        latency = dnsperf_value(r"Average Latency \(s\)")
        r.log(f"  dnsperf: sent {dnsperf_value('Queries sent')}, completed {dnsperf_value('Queries completed')}, "
              f"lost {dnsperf_value('Queries lost')}, {dnsperf_value('Queries per second')} q/s, "
              f"average latency {latency} s")
        r.log(f"  SIGTERM at the end: status {status} after {stop_time:.3f} s; DNS servers restored: {restored}")
        failures = []
        if status != 0 or stop_time >= 1:
            failures.append("the agent did not stop cleanly")
        if not restored:
            failures.append("DNS servers not restored")
        if warm and max(s[2] for s in warm) > warm[0][2] + 2:
            failures.append("descriptors grew")
        return r.report_failures(failures)
    finally:
        if dnsperf is not None and dnsperf.poll() is None:
            dnsperf.kill()
            dnsperf.wait()
        if watch is not None:
            watch.close()
        if agent is not None:
            agent.close()
        if tab is not None:
            tab.close()
        for app in apps.values():
            app.stop()
        service.close()
        dnsmasq.terminate()
        dnsmasq.wait()


if __name__ == "__main__":
    raise SystemExit(main())
