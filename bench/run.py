"""The benchmark suite: tarnwick beside torch.save / torch.load and this
machine's limits, in one run. Prints a table of ratios, writes
bench/results/latest.json and bench/results/latest.png, and removes every
file it wrote elsewhere.

Usage (from the repository root, after the build):
    PYTHONPATH=build python3 bench/run.py [--build build] [--scratch DIR]
`make bench` does exactly that.
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # leave nothing behind in bench/

from common import drop_page_cache, median, write_big_state  # noqa: E402
import report  # noqa: E402

ZSTD_LEVEL = 3  # the manager's default compression_level
LIMIT_RUNS = 3
LOAD_RUNS = 5  # each load in a fresh process, as a resumed run loads


def worker(scenario, environment=None, capture_stderr=False, **arguments):
    """Runs a scenario in a fresh interpreter and returns (result, stderr)."""
    env = dict(os.environ, **(environment or {}))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, env.get("PYTHONPATH")]))
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.pop("TARNWICK_FSYNC", None)  # measure with fsync on, as users run it
    completed = subprocess.run(
        [sys.executable, os.path.join(HERE, "worker.py"), scenario, json.dumps(arguments)],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE if capture_stderr else None,
        text=True, check=True)
    lines = [line for line in completed.stdout.splitlines() if line.startswith("RESULT ")]
    return json.loads(lines[-1][len("RESULT "):]), completed.stderr


def machine_limits(build, state_path, scratch):
    helper = os.path.join(build, "tarnwick_machine_limits")
    output = subprocess.run([helper, state_path, str(ZSTD_LEVEL), str(LIMIT_RUNS), scratch],
                            stdout=subprocess.PIPE, text=True, check=True).stdout
    return json.loads(output)


def cpu_stall_micros():
    """Microseconds some task waited for a CPU since boot (None without PSI):
    other work on the machine shows up here and in every figure."""
    try:
        with open("/proc/pressure/cpu") as f:
            return int(f.readline().split("total=")[1])
    except (OSError, IndexError, ValueError):
        return None


def run_suite(build, scratch, log):
    state_path = os.path.join(scratch, "state-1g.bin")
    results = {}

    def step(name, fn):
        log(f"[bench] {name} ...")
        start = time.perf_counter()
        results[name] = fn()
        results[name]["bench_seconds"] = round(time.perf_counter() - start, 1)

    log("[bench] writing the 1 GiB state ...")
    write_big_state(state_path)
    step("limits", lambda: machine_limits(build, state_path, scratch))
    step("stall", lambda: worker("stall", state_path=state_path, scratch=scratch)[0])
    step("throughput", lambda: worker("throughput", state_path=state_path, scratch=scratch)[0])
    step("profile", lambda: {"report": report.last_profile_report(worker(
        "throughput", environment={"TARNWICK_PROFILE": "1"}, capture_stderr=True,
        state_path=state_path, scratch=scratch, profile_only=True)[1])})
    step("size_all", lambda: worker("size", scratch=scratch, changing=1.0)[0])
    step("size_tenth", lambda: worker("size", scratch=scratch, changing=0.1)[0])

    cold = drop_page_cache()
    store = os.path.join(scratch, "load")
    for kind, delta in (("load_full", False), ("load_delta", True)):
        torch_path = os.path.join(scratch, f"{kind}.pt")

        def load_step(delta=delta, torch_path=torch_path):
            result, _ = worker("load", step="setup", state_path=state_path, store=store,
                               torch_path=torch_path, delta=delta)
            result.update(worker("load", step="verify", store=store, torch_path=torch_path)[0])
            seconds, all_cold = {"tarnwick": [], "torch": [], "read": []}, True
            for _ in range(LOAD_RUNS):
                for what in seconds:
                    measured, _ = worker("load", step="measure", store=store,
                                         torch_path=torch_path, cold=cold, what=what)
                    seconds[what].append(measured["seconds"])
                    all_cold = all_cold and measured["cold"]
            os.remove(torch_path)
            result.update({
                "cold": all_cold,
                "load_s": seconds["tarnwick"], "load_median_s": median(seconds["tarnwick"]),
                "torch_load_s": seconds["torch"],
                "torch_load_median_s": median(seconds["torch"]),
                "read_packs_s": seconds["read"], "read_packs_median_s": median(seconds["read"]),
            })
            return result

        step(kind, load_step)

    for keep in (True, False):
        step(f"memory_keep_{'on' if keep else 'off'}", lambda keep=keep: worker(
            "memory", state_path=state_path, scratch=scratch, keep_base_in_memory=keep)[0])
    step("small_tensors", lambda: worker("small_tensors", scratch=scratch)[0])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="build directory with the helper")
    parser.add_argument("--scratch", default=None,
                        help="where the stores and torch files go (removed afterwards)")
    parser.add_argument("--out", default=os.path.join(HERE, "results"))
    args = parser.parse_args()

    def log(line):
        print(line, file=sys.stderr, flush=True)

    started = time.time()
    stalled_before = cpu_stall_micros()
    scratch = tempfile.mkdtemp(prefix="tarnwick-bench-", dir=args.scratch)
    try:
        results = run_suite(args.build, scratch, log)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    duration = time.time() - started
    stalled = cpu_stall_micros()
    contention = None
    if stalled is not None and stalled_before is not None:
        contention = round((stalled - stalled_before) / 1e6 / duration, 3)
    document = {
        "when": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(started)),
        "machine": {"cpus": os.cpu_count(), "kernel": platform.release(),
                    "load_average_at_end": os.getloadavg(),
                    "cpu_contention": contention},
        "duration_s": round(duration, 1),
        "results": results,
        "figures": report.figures(results),
    }
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "latest.json"), "w") as f:
        json.dump(document, f, indent=2)
        f.write("\n")
    machine = document["machine"]
    print(f"tarnwick bench, {document['when']}: {machine['cpus']} CPUs, "
          f"{document['duration_s']} s, CPU contention {machine['cpu_contention']}\n")
    print(report.table(document))
    print("\nTARNWICK_PROFILE of one full save of the 1 GiB state (b):")
    print(results["profile"]["report"])
    report.chart(document, os.path.join(args.out, "latest.png"))
    log(f"[bench] wrote {args.out}/latest.json and latest.png in {document['duration_s']} s")


if __name__ == "__main__":
    main()
