"""The upstream resolver stops answering for a while (dnsmasq held with SIGSTOP, so queries reach
it and are never answered) while queries keep arriving at the agent's proxy at a steady rate.

Measured per query: answer time and RCODE; for the agent process: descriptors over time.
Expected: during the outage every query answered SERVFAIL after about 2 seconds; descriptors
bounded by the queries waiting at once (rate x 2 s) and back to where they were before the
outage afterwards (sockets of answered queries are kept for later ones); after
SIGCONT, answers are normal again from the first query on.
Runs inside the private namespaces set up by upstream-outage.sh.
"""

import argparse
import os
import signal
import statistics
import subprocess
import tempfile
import time

import reliability as r


def start_dnsmasq(work):
    proc = subprocess.Popen(
        ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
         "--bind-interfaces", "--listen-address=127.0.0.2", "--port=53", "--user=root",
         "--address=/reliability.test/10.1.2.3", "--cache-size=0",
         "--pid-file=" + os.path.join(work, "dnsmasq.pid"),
         "--log-facility=" + os.path.join(work, "dnsmasq.log")],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rate", type=float, default=50, help="queries per second")
    parser.add_argument("--before", type=float, default=10)
    parser.add_argument("--outage", type=float, default=60)
    parser.add_argument("--after", type=float, default=15)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="tether-outage.", dir=os.environ.get("WORK"))
    dnsmasq = start_dnsmasq(work)
    agent = None
    try:
        time.sleep(0.3)
        if dnsmasq.poll() is not None:
            raise SystemExit("dnsmasq did not start")
        # The service refuses connections: polls fail and are logged, which does not concern DNS.
        config = r.write_config(os.path.join(work, "agent"), "http://127.0.0.1:9", sample=1,
                                poll=15, upstream="127.0.0.2", enable_dns=True)
        agent = r.Agent(config)
        if not agent.wait_for_log("dns proxy listening on 0.0.0.0:53 via 127.0.0.2", 10):
            raise SystemExit("the proxy did not start: " + agent.log_text())
        time.sleep(0.5)
        baseline_fds = r.fd_count(agent.pid)
        r.log(f"upstream outage of {args.outage:.0f} s at {args.rate:.0f} queries/s; "
              f"agent descriptors at rest {baseline_fds}; load {r.load_average()}")

        sampler = r.Sampler(agent.pid, 0.25)
        sampler.start()
        load = r.QueryLoad(args.rate)
        load.start()
        time.sleep(args.before)
        os.kill(dnsmasq.pid, signal.SIGSTOP)
        stopped = time.monotonic()
        time.sleep(args.outage)
        os.kill(dnsmasq.pid, signal.SIGCONT)
        resumed = time.monotonic()
        time.sleep(args.after)
        load.finish(linger=3)
        time.sleep(0.5)
        sampler.finish()
        final_fds = r.fd_count(agent.pid)
        records = load.records()

        def window(start, end):
            return [rec for rec in records if start <= rec[0] < end]

        before = window(0, stopped - 0.1)
        # Sent while the upstream was held and answered (or due) before it came back.
        during = window(stopped + 0.05, resumed - 2.1)
        after = window(resumed, float("inf"))
        # Sent in the last 2 seconds of the outage: SERVFAIL, or a late answer from the
        # upstream's backlog once it came back.
        edge = window(resumed - 2.1, resumed)
        unanswered = [rec for rec in records if rec[1] is None]

        def latencies(recs):
            return [answer - sent for sent, answer, _ in recs if answer is not None]

        def rcodes(recs):
            counts = {}
            for _, _, rcode in recs:
                counts[rcode] = counts.get(rcode, 0) + 1
            return counts

        fds_before = [s[2] for s in sampler.samples if s[0] < stopped]
        fds_during = [s[2] for s in sampler.samples if stopped <= s[0] < resumed]
        fds_after = [s[2] for s in sampler.samples if s[0] >= resumed + 2.5]
        failures = []
        servfail_late = [lat for lat in latencies(during) if lat > 2.5]
        if any(rcode != 2 for _, _, rcode in during):
            failures.append(f"outage answers other than SERVFAIL: {rcodes(during)}")
        if servfail_late:
            failures.append(f"{len(servfail_late)} outage answers later than 2.5 s")
        if unanswered:
            failures.append(f"{len(unanswered)} queries never answered")
        # Above the in-flight cap's rate (512 queries per 2 s) the cap is still full of queries
        # the upstream dropped when it comes back, so new queries fail at once until those
        # expire; 2.1 s after the upstream came back every answer must be normal.
        settled = [rec for rec in after if rec[0] >= resumed + 2.1]
        if any(rcode != 0 for _, _, rcode in settled):
            failures.append(f"answers 2.1 s after the outage other than NOERROR: {rcodes(settled)}")
        if args.rate <= 200 and any(rcode != 0 for _, _, rcode in after):
            failures.append(f"answers after the outage other than NOERROR: {rcodes(after)}")
        # A sample may catch a query or two on their way to the upstream.
        if fds_after and max(fds_after) > max(fds_before) + 2:
            failures.append(f"descriptors after the outage {max(fds_after)} above before {max(fds_before)}")
        # The proxy keeps the sockets of answered queries for later ones, so the steady state is
        # the one seen while the upstream answered, not the one before the first query.
        if fds_before and final_fds > max(fds_before):
            failures.append(f"descriptors at the end {final_fds}, before the outage {max(fds_before)}")

        first_after = after[0] if after else None
        first_normal = next((rec for rec in after if rec[2] == 0), None)
        r.log("")
        r.log(f"upstream outage: {len(records)} queries (load {r.load_average()})")
        r.log(f"  before ({len(before)} queries): RCODEs {rcodes(before)}; latency {r.summary(latencies(before), ' s')}")
        r.log(f"  during ({len(during)} queries): RCODEs {rcodes(during)} (2 = SERVFAIL); "
              f"latency {r.summary(latencies(during), ' s')}")
        r.log(f"  after  ({len(after)} queries): RCODEs {rcodes(after)}; latency {r.summary(latencies(after), ' s')}")
        r.log(f"  last 2.1 s of the outage ({len(edge)} queries): RCODEs {rcodes(edge)}; "
              f"latency {r.summary(latencies(edge), ' s')}")
        if first_after:
            r.log(f"  first query after the upstream came back: RCODE {first_after[2]} in "
                  f"{(first_after[1] - first_after[0]) * 1000:.1f} ms, sent "
                  f"{(first_after[0] - resumed) * 1000:.0f} ms after SIGCONT")
        if first_normal:
            r.log(f"  first normal answer {(first_normal[1] - resumed) * 1000:.0f} ms after SIGCONT; "
                  f"SERVFAIL after SIGCONT: {sum(1 for rec in after if rec[2] != 0)}")
        r.log(f"  unanswered: {len(unanswered)}; stray answers: {load.stray}")
        r.log(f"  agent descriptors: at rest {baseline_fds}; before max {max(fds_before)}; during "
              f"min {min(fds_during)} median {statistics.median(fds_during):.0f} max {max(fds_during)}; "
              f"after max {max(fds_after) if fds_after else 'n/a'}; at the end {final_fds}")
        rss = [s[1] for s in sampler.samples]
        r.log(f"  agent resident memory: first {rss[0]} KiB, max {max(rss)} KiB, last {rss[-1]} KiB")
        return r.report_failures(failures)
    finally:
        if agent is not None:
            agent.kill(signal.SIGTERM)
            agent.wait(5)
            agent.close()
        if dnsmasq.poll() is None:
            os.kill(dnsmasq.pid, signal.SIGCONT)
            dnsmasq.terminate()
            dnsmasq.wait()


if __name__ == "__main__":
    raise SystemExit(main())
