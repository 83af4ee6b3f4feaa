"""kill -9 of the agent at random moments, again and again, while it takes up, writes and
rewrites its usage file. After every kill the usage file must decode, carry today's date and
hold the state of before the kill or a later one that only added minutes: the filler entries
never change, the running application's minutes never decrease, no key disappears.

Half of the kills (by default) land uniformly in the first 1.2 s after the start (take-up, poll,
upload, first cycle and its writes, the sleep); the other half are aimed at a write: 0 to 15 ms
after the write's temporary file appears. To make every write long enough to be hit, the usage
file starts with many filler entries (they are kept and written back on every write); a running
application with a rule is credited on every cycle, so every write differs from the previous one.
"""

import argparse
import glob
import json
import os
import signal
import tempfile
import time

import reliability as r

BUNDLE = "org.example.reliability.kill9"


def decode_usage(text):
    doc = json.loads(text)
    if not isinstance(doc, dict) or not isinstance(doc.get("date"), str):
        raise ValueError("not a usage state")
    minutes = doc.get("minutes", {})
    if not isinstance(minutes, dict) or not all(isinstance(v, (int, float)) for v in minutes.values()):
        raise ValueError("minutes are not numbers")
    if not isinstance(doc.get("epoch", 0), int):
        raise ValueError("epoch is not an integer")
    return doc


def temporaries(directory):
    return {name for name in os.listdir(directory) if name.startswith(".usage.json.")}


def state_temporaries(directory):
    try:
        return {name for name in os.listdir(os.path.join(directory, "state"))
                if name.startswith(".enforce.json.")}
    except FileNotFoundError:
        return set()


def wait_for_temporary(directory, agent, timeout, stale):
    """Waits until the agent has begun a write of usage.json: a temporary file that is not one
    left by the previous run."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and agent.proc.poll() is None:
        if temporaries(directory) - stale:
            return True
        time.sleep(0.0002)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kills", type=int, default=1000)
    parser.add_argument("--max-delay", type=float, default=1.2,
                        help="each kill lands uniformly in [0, max-delay] seconds after the start")
    parser.add_argument("--filler", type=int, default=20000, help="filler entries in the usage file")
    parser.add_argument("--aimed", type=float, default=0.5,
                        help="share of the kills aimed at a write: 0 to 15 ms after the write's "
                             "temporary file appears")
    args = parser.parse_args()
    rng = r.random_generator()

    work = tempfile.mkdtemp(prefix="tether-kill9.", dir=os.environ.get("WORK"))
    service = r.ReferenceService(os.path.join(work, "service"))
    app = r.App(r.make_bundle(os.path.join(work, "apps"), "Kill Nine", BUNDLE))
    app.start()
    agent = None
    try:
        service.put_policy({"apps": {BUNDLE: {"dailyLimitMinutes": 1440}}})
        directory = os.path.join(work, "agent")
        config = r.write_config(directory, service.url, sample=0.1, poll=15, token=service.device_token)
        usage_path = os.path.join(directory, "usage.json")
        filler = {f"org.example.filler.{i}": i * 0.25 for i in range(args.filler)}
        with open(usage_path, "w") as f:
            json.dump({"date": r.today(), "minutes": filler, "epoch": 0}, f)
        size = os.path.getsize(usage_path)
        r.log(f"usage file of {size} bytes with {args.filler} filler entries; {args.kills} kills, "
              f"{args.aimed:.0%} aimed at writes; load {r.load_average()}")

        previous = decode_usage(open(usage_path).read())
        failures = []
        replaced_runs = 0      # runs in which the agent replaced the file at least once
        mid_write = 0          # kills that left the temporary file of an unfinished write
        state_mid_write = 0    # the same for state/enforce.json
        enforce_checked = 0
        started = time.monotonic()
        aimed_kills = 0
        for k in range(args.kills):
            aimed = rng.random() < args.aimed
            delay = rng.uniform(0, args.max_delay)
            inode_before = os.stat(usage_path).st_ino
            stale = temporaries(directory)
            state_before = state_temporaries(directory)
            agent = r.Agent(config)
            if aimed and wait_for_temporary(directory, agent, 3.0, stale):
                aimed_kills += 1
                delay = rng.uniform(0, 0.015)
            time.sleep(delay)
            agent.kill(signal.SIGKILL)
            status = agent.wait()
            agent.close()
            agent = None
            if status != -signal.SIGKILL:
                failures.append(f"kill {k}: agent ended by itself with {status}")

            # A temporary file that was not there before this run: the kill cut that write short.
            mid_write += bool(temporaries(directory) - stale)
            state_now = state_temporaries(directory)
            state_mid_write += bool(state_now - state_before)
            try:
                with open(usage_path) as f:
                    text = f.read()
                current = decode_usage(text)
            except (OSError, ValueError) as e:
                failures.append(f"kill {k} after {delay:.3f} s: usage file unreadable: {e}")
                continue
            if os.stat(usage_path).st_ino != inode_before:
                replaced_runs += 1

            # Old or new: only the running application's minutes may have grown.
            problems = []
            if current["date"] != previous["date"] and current["date"] != r.today():
                problems.append(f"date {current['date']}")
            if current.get("epoch", 0) != previous.get("epoch", 0):
                problems.append(f"epoch {previous.get('epoch')} -> {current.get('epoch')}")
            if current["date"] == previous["date"]:
                before, after = previous["minutes"], current["minutes"]
                missing = set(before) - set(after)
                added = set(after) - set(before) - {BUNDLE}
                changed = [key for key in before if key != BUNDLE and after.get(key) != before[key]]
                if missing or added or changed:
                    problems.append(f"{len(missing)} keys lost, {len(added)} foreign keys, "
                                    f"{len(changed)} filler values changed")
                if after.get(BUNDLE, 0) < before.get(BUNDLE, 0):
                    problems.append(f"{BUNDLE} fell from {before[BUNDLE]} to {after[BUNDLE]}")
            if problems:
                failures.append(f"kill {k} after {delay:.3f} s: " + "; ".join(problems))

            enforce = os.path.join(directory, "state", "enforce.json")
            if os.path.exists(enforce):
                try:
                    doc = json.load(open(enforce))
                    if not (isinstance(doc.get("ts"), (int, float)) and isinstance(doc.get("evict"), bool)
                            and isinstance(doc.get("closePrivate"), bool)):
                        raise ValueError("wrong shape")
                    enforce_checked += 1
                except (OSError, ValueError) as e:
                    failures.append(f"kill {k}: enforce.json unreadable: {e}")
            previous = current
            if (k + 1) % 100 == 0:
                r.log(f"  {k + 1} kills, {time.monotonic() - started:.0f} s, "
                      f"{len(failures)} failures, {mid_write} mid-write")

        elapsed = time.monotonic() - started
        if previous["minutes"].get(BUNDLE, 0) <= 0:
            failures.append(f"{BUNDLE} was never credited: the writes did not change the state")
        stray = glob.glob(os.path.join(directory, ".usage.json.*"))
        r.log("")
        r.log(f"kill -9: {args.kills} kills in {elapsed:.0f} s (load {r.load_average()}); "
              f"{aimed_kills} aimed at a write, the others uniform in [0, {args.max_delay}] s")
        r.log(f"  runs that replaced usage.json at least once before the kill: {replaced_runs}")
        r.log(f"  kills that landed inside a usage.json write (its temporary file was left): {mid_write}")
        r.log(f"  kills that landed inside an enforce.json write: {state_mid_write}")
        r.log(f"  usage.json decoded after every kill: {args.kills - sum('usage file unreadable' in f for f in failures)}"
              f"/{args.kills}; enforce.json decoded {enforce_checked} times")
        r.log(f"  {BUNDLE} minutes at the end: {previous['minutes'].get(BUNDLE, 0):.4f} "
              f"(never decreased: {not any('fell' in f for f in failures)})")
        r.log(f"  temporary files left now: usage.json {len(stray)} (each start removes the previous "
              f"run's), state/enforce.json {len(state_temporaries(directory))}")
        return r.report_failures(failures, shown=20)
    finally:
        if agent is not None:
            agent.close()
        app.stop()
        service.close()


if __name__ == "__main__":
    raise SystemExit(main())
