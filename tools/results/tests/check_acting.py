"""End-to-end checks of acting on results with zuno-results.

    check_acting.py results ZUNO_RESULTS
    check_acting.py loops ZUNO_RESULTS DEVICE_SUITE API_FIXTURE

results: from hand-made run records: shard plans (cost by median over the
    last runs, longest first, one program per plan), the quarantine (add,
    list with failures since, export, remove, flaky --quarantine-days), a
    schema of the previous version brought up to date, baselines and
    bench-compare verdicts and status.
loops: the four loops, from real runs of the device suite with stand-in
    runners (failures, slow tests and flakes injected) and of a fixture's
    benchmark: rerun what failed; plan shards from recorded durations (the
    planned shards disjoint, complete, and the slow tests apart); quarantine
    what flaked so that its next failure passes the run; save a baseline and
    gate on it (the new run's samples made 20% slower in a copy of its record,
    so the verdict does not depend on this machine's load).
Exit status 0 on success, 1 with a message on the first mismatch, 77 when the
test program cannot write run records.
"""

import json
import os
import random
import sqlite3
import subprocess
import sys
import tempfile


class Mismatch(Exception):
    pass


def expect(cond, message):
    if not cond:
        raise Mismatch(message)


def expect_equal(actual, expected, what):
    expect(actual == expected, f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def run(zr, args, cwd, status=0):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZUNO")}
    proc = subprocess.run([zr, *args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    out = proc.stdout.decode("utf-8", errors="replace")
    err = proc.stderr.decode("utf-8", errors="replace")
    expect(proc.returncode == status,
           f"zuno-results {' '.join(args)} ended with {proc.returncode}, not {status}; "
           f"stderr: {err}")
    return out, err


def record(number, program, tests, started):
    return {
        "format": "zuno-run-record", "version": 1, "run_id": f"{number:032x}",
        "program": program, "args": [], "host": "h", "labels": {}, "started": started,
        "wall_s": 1.0, "shard": None, "seed": None, "threads": 1, "isolate": False,
        "exit_status": 0,
        "summary": {"passed": 0, "failed": 0, "ignored": 0, "measured": 0, "filtered_out": 0,
                    "flaky": 0},
        "tests": tests,
    }


def test(name, seconds, outcome="ok"):
    return {"name": name, "kind": "test", "outcome": outcome, "duration_s": seconds}


def bench(name, samples):
    ordered = sorted(samples)
    return {"name": name, "kind": "bench", "outcome": "bench", "duration_s": 1.0,
            "bench": {"median_ns": ordered[len(ordered) // 2], "deviation_ns": 1.0,
                      "mb_s": None, "samples_ns": samples}}


def ingest(zr, cwd, records):
    files = []
    for r in records:
        path = os.path.join(cwd, r["run_id"] + ".json")
        with open(path, "w") as f:
            json.dump(r, f)
        files.append(path)
    run(zr, ["ingest", *files], cwd)


def check_plans(zr, cwd):
    # Five runs of prog: "slow" took 9 s except once (a median ignores the
    # outlier), the others 1 to 4 s; a second program shares the database.
    runs = []
    for k in range(5):
        runs.append(record(k + 1, "prog", [
            test("slow", 40.0 if k == 2 else 9.0), test("a", 4.0), test("b", 3.0),
            test("c", 2.0), test("d", 1.0 if k < 4 else 7.0),
            {"name": "skipped", "kind": "test", "outcome": "ignored", "duration_s": 0.0},
        ], f"2026-01-0{k + 1}T00:00:00.000Z"))
    runs.append(record(9, "other", [test("x", 1.0)], "2026-01-09T00:00:00.000Z"))
    ingest(zr, cwd, runs)
    _, err = run(zr, ["plan", "--shards", "2"], cwd, status=2)
    expect("several programs (prog, other)" in err, f"plan over two programs: {err}")
    out, err = run(zr, ["plan", "--shards", "2", "--program", "prog", "-o", "plan.json"], cwd)
    expect_equal(out, "", "plan -o writes nothing on stdout")
    with open(os.path.join(cwd, "plan.json")) as f:
        plan = json.load(f)
    # Medians slow 9, a 4, b 3, c 2, d 1: slow -> 0; a, b, c -> 1 (totals 9 and 9);
    # d -> 0, the lower index of two equal totals: 10 and 9.
    expect_equal(plan, {"format": "zuno-shard-plan", "version": 1, "shards": 2,
                        "tests": {"a": 1, "b": 1, "c": 1, "d": 0, "slow": 0}}, "plan")
    expect("predicted longest shard: 10.000s (shard 0)" in err and "ideal: 9.500s" in err,
           f"plan's prediction: {err}")
    # The last run alone, where d took 7 s: slow -> 0, d -> 1, a -> 1, b -> 0, c -> 1.
    out, err = run(zr, ["plan", "--shards", "2", "--program", "prog", "--last", "1"], cwd)
    expect_equal(json.loads(out)["tests"], {"a": 1, "b": 0, "c": 1, "d": 1, "slow": 0},
                 "plan over the last run")
    run(zr, ["plan", "--program", "prog"], cwd, status=2)
    run(zr, ["plan", "--shards", "0", "--program", "prog"], cwd, status=2)
    _, err = run(zr, ["plan", "--shards", "2", "--program", "prog", "-o", "no/such/dir/p.json"],
                 cwd, status=2)
    expect("cannot write the plan to no/such/dir/p.json" in err, f"unwritable plan: {err}")


def check_quarantine(zr, cwd):
    # A flaky test (passes and fails) in runs after the quarantine begins.
    run(zr, ["quarantine", "add", "a", "b", "--reason", "card 7 drops links", "--days", "3"], cwd)
    run(zr, ["quarantine", "add", "a"], cwd, status=2)
    ingest(zr, cwd, [record(20 + k, "prog", [test("a", 1.0, "failed" if k else "ok")],
                            f"2999-01-0{k + 1}T00:00:00.000Z") for k in range(3)])
    out, _ = run(zr, ["quarantine", "list", "--json"], cwd)
    rows = {r["name"]: r for r in json.loads(out)}
    expect_equal(sorted(rows), ["a", "b"], "quarantined tests")
    expect_equal((rows["a"]["reason"], rows["a"]["failures"], rows["a"]["state"]),
                 ("card 7 drops links", 2, "active"), "quarantine list of a")
    out, _ = run(zr, ["quarantine", "export"], cwd)
    exported = json.loads(out)
    expect_equal((exported["format"], exported["version"], [t["name"] for t in exported["tests"]]),
                 ("zuno-quarantine", 1, ["a", "b"]), "export")
    expect(all(set(t) == {"name", "reason", "until"} for t in exported["tests"]), "export keys")
    _, err = run(zr, ["quarantine", "remove", "b", "nope"], cwd, status=1)
    expect("not in the quarantine: nope" in err, f"remove of an unknown name: {err}")
    # flaky --quarantine-days: a is listed (1 pass, 2 failures in 3 runs).
    run(zr, ["quarantine", "remove", "a"], cwd)
    _, err = run(zr, ["flaky", "--program", "prog", "--quarantine-days", "2"], cwd)
    expect("quarantined until " in err, f"flaky --quarantine-days: {err}")
    out, _ = run(zr, ["quarantine", "export", "-o", "q.json"], cwd)
    with open(os.path.join(cwd, "q.json")) as f:
        tests = json.load(f)["tests"]
    expect_equal([(t["name"], t["reason"]) for t in tests],
                 [("a", "flaky: 2 failures in 8 runs")], "quarantine from flaky")


def check_migration(zr, cwd):
    # A database of the previous schema version gains the new tables.
    db = os.path.join(cwd, "old.db")
    ingest_db = ["--db", db]
    path = os.path.join(cwd, "old.json")
    with open(path, "w") as f:
        json.dump(record(77, "prog", [test("a", 1.0)], "2026-01-01T00:00:00.000Z"), f)
    run(zr, ["ingest", *ingest_db, path], cwd)
    con = sqlite3.connect(db)
    con.executescript("DROP TABLE quarantine; DROP TABLE baselines; PRAGMA user_version = 1;")
    con.close()
    run(zr, ["quarantine", "add", "a", "--reason", "r", *ingest_db], cwd)
    con = sqlite3.connect(db)
    expect_equal(con.execute("PRAGMA user_version").fetchone()[0], 3, "migrated version")
    expect_equal(con.execute("SELECT count(*) FROM runs").fetchone()[0], 1, "runs kept")
    con.close()


def check_gate(zr, cwd):
    rng = random.Random(7)

    def samples(centre):
        return [rng.gauss(centre, centre * 0.01) for _ in range(60)]

    ingest(zr, cwd, [
        record(40, "gate", [bench("steady", samples(1000)), bench("hot", samples(500)),
                            bench("old", samples(10)), test("plain", 1.0)],
               "2026-02-01T00:00:00.000Z"),
        record(41, "gate", [bench("steady", samples(1000)), bench("hot", samples(600)),
                            bench("fresh", samples(10))], "2026-02-02T00:00:00.000Z"),
        record(42, "gate", [test("plain", 1.0)], "2026-02-03T00:00:00.000Z"),
    ])
    base = f"{40:032x}"
    run(zr, ["baseline", "save", "nightly", base], cwd)
    _, err = run(zr, ["baseline", "save", "cafe", base], cwd, status=2)
    expect("would read as a run id" in err, f"hex baseline name: {err}")
    _, err = run(zr, ["baseline", "save", "empty", f"{42:032x}"], cwd, status=1)
    expect("has no benchmark results" in err, f"baseline without benchmarks: {err}")
    out, _ = run(zr, ["bench-compare", "nightly", f"{41:032x}", "--json"], cwd, status=1)
    verdicts = {r["name"]: r["verdict"] for r in json.loads(out)}
    expect_equal(verdicts, {"fresh": "new", "hot": "slower", "old": "gone", "steady": "same"},
                 "verdicts")
    hot = [r for r in json.loads(out) if r["name"] == "hot"][0]
    expect(19 < hot["change_pct"] < 21 and hot["p_value"] < 1e-6, f"hot: {hot}")
    # The other way round it is faster, and nothing is slower: status 0.
    out, _ = run(zr, ["bench-compare", f"{41:032x}", "nightly"], cwd)
    expect("faster" in out and "slower" not in out, f"reverse comparison: {out}")
    # A 20% change under a 25% threshold is the same.
    out, _ = run(zr, ["bench-compare", "nightly", "last", "--program", "gate", "--threshold",
                      "25", "--json"], cwd)
    run(zr, ["bench-compare", "nightly", "nosuch"], cwd, status=2)
    run(zr, ["bench-compare", "nightly", base, "--alpha", "1"], cwd, status=2)


def program_env(extra=None):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("ZUNO", "TILO_STANDIN_", "TEST_", "TESTBRIDGE_", "XML_OUTPUT_FILE"))}
    env.update(extra or {})
    return env


def suite(program, args, cwd, extra=None, status=(0,)):
    """Runs the test program; returns (status, stdout, stderr)."""
    proc = subprocess.run([program, *args], cwd=cwd, env=program_env(extra), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)
    out = proc.stdout.decode("utf-8", errors="replace")
    err = proc.stderr.decode("utf-8", errors="replace")
    expect(proc.returncode in status,
           f"{os.path.basename(program)} {' '.join(args)} ended with {proc.returncode}; stderr: {err}")
    return proc.returncode, out, err


def ran(out):
    """{name: result word} of a pretty run's per-test lines."""
    results = {}
    for line in out.splitlines():
        if line.startswith("test ") and " ... " in line:
            name, word = line[5:].split(" ... ", 1)
            results[name.rstrip()] = word
    return results


def loop_rerun_failed(zr, e2e, cwd):
    # Last night: the multicast scenarios fail on the card.
    suite(e2e, ["--test-threads", "1", "--run-record", "night.json"], cwd,
          {"TILO_STANDIN_EXIT": "1", "TILO_STANDIN_MATCH": "multicast", "ZUNO_RUN_LABELS": "job=night-1"},
          status=(101,))
    run(zr, ["ingest", "night.json"], cwd)
    failed, _ = run(zr, ["failed", "--label", "job=night-1"], cwd)
    names = failed.split()
    expect(names and all("multicast" in n for n in names), f"failed last night: {names}")
    with open(os.path.join(cwd, "failed.txt"), "w") as f:
        f.write(failed)
    # This morning, fixed: exactly those run, and pass.
    _, out, _ = suite(e2e, ["--test-threads", "1", "--tests-from", "failed.txt"], cwd)
    expect_equal(ran(out), {n: "ok" for n in names}, "the rerun of what failed")


def loop_plan_shards(zr, e2e, cwd):
    # Three recorded runs in which the five tests on the hardware runner are slow.
    slow = {"TILO_STANDIN_SLEEP_MS": "400", "TILO_STANDIN_MATCH": "hardware"}
    for k in range(3):
        suite(e2e, ["--test-threads", "1", "--run-record", f"plan{k}.json"], cwd,
              {**slow, "ZUNO_RUN_LABELS": "job=plan"})
        run(zr, ["ingest", f"plan{k}.json"], cwd)
    _, err = run(zr, ["plan", "--shards", "4", "--label", "job=plan", "-o", "plan.json"], cwd)
    expect("predicted longest shard: " in err and "ideal: " in err, f"plan's prediction: {err}")
    with open(os.path.join(cwd, "plan.json")) as f:
        plan = json.load(f)["tests"]
    _, listing, _ = suite(e2e, ["--list"], cwd)
    everything = [line.split(": ")[0] for line in listing.splitlines() if line.endswith(": test")]
    seen = {}
    for index in range(4):
        _, out, _ = suite(e2e, ["--test-threads", "1", "--shard-count", "4", "--shard-index", str(index),
                                "--shard-plan", "plan.json"], cwd, slow)
        for name in ran(out):
            expect(name not in seen, f"{name} ran in shards {seen.get(name)} and {index}")
            seen[name] = index
            expect_equal(index, plan.get(name, index), f"shard of {name}")
    expect_equal(sorted(seen), sorted(everything), "the four planned shards together")
    with open(os.path.join(cwd, "plan0.json")) as f:
        slow_tests = [t["name"] for t in json.load(f)["tests"] if t["duration_s"] >= 0.4]
    expect_equal(len(slow_tests), 5, f"slow tests recorded: {slow_tests}")
    expect_equal(sorted({seen[n] for n in slow_tests}), [0, 1, 2, 3], f"slow tests spread: {seen}")


def loop_quarantine(zr, e2e, cwd):
    flake = {"TILO_STANDIN_FAIL_TIMES": "1", "TILO_STANDIN_MATCH": "fanout"}
    # The fanout test fails once and passes next time: flaky.
    for k in range(2):
        state = {**flake, "TILO_STANDIN_STATE": os.path.join(cwd, "flake.state"), "ZUNO_RUN_LABELS": "job=q"}
        suite(e2e, ["--test-threads", "1", "--run-record", f"q{k}.json"], cwd, state, status=(0, 101))
        run(zr, ["ingest", f"q{k}.json"], cwd)
    out, err = run(zr, ["flaky", "--label", "job=q", "--quarantine-days", "14"], cwd)
    flaky = [line.split()[0] for line in out.splitlines()[1:]]
    expect(len(flaky) == 1, f"flaky: {out}")
    run(zr, ["quarantine", "export", "-o", "quarantine.json"], cwd)
    # It fails again: reported, yet the run passes.
    state = {**flake, "TILO_STANDIN_STATE": os.path.join(cwd, "flake2.state")}
    _, out, _ = suite(e2e, ["--test-threads", "1", "--quarantine", "quarantine.json"], cwd, state)
    words = ran(out)
    expect(all(words[n] == "FAILED (quarantined)" for n in flaky), f"quarantined run: {out}")
    expect(f"; {len(flaky)} quarantined" in out and "test result: ok." in out, f"summary: {out}")
    listed, _ = run(zr, ["quarantine", "list", "--json"], cwd)
    expect_equal(sorted(r["name"] for r in json.loads(listed)), sorted(flaky), "quarantine list")


def loop_gate(zr, fixture, cwd):
    suite(fixture, ["--bench", "bench", "--run-record", "base.json"], cwd)
    suite(fixture, ["--bench", "bench", "--run-record", "same.json"], cwd)
    with open(os.path.join(cwd, "same.json")) as f:
        record = json.load(f)
    # The same run's samples made 20% slower, under a run id of its own.
    record["run_id"] = "f" * 32
    for t in record["tests"]:
        if "bench" in t:
            t["bench"]["samples_ns"] = [v * 1.2 for v in t["bench"]["samples_ns"]]
            t["bench"]["median_ns"] *= 1.2
    with open(os.path.join(cwd, "slower.json"), "w") as f:
        json.dump(record, f)
    run(zr, ["ingest", "base.json"], cwd)
    run(zr, ["baseline", "save", "main", "last"], cwd)
    run(zr, ["ingest", "same.json"], cwd)
    same_id = json.load(open(os.path.join(cwd, "same.json")))["run_id"]
    run(zr, ["ingest", "slower.json"], cwd)
    out, _ = run(zr, ["bench-compare", same_id, "f" * 32, "--json"], cwd, status=1)
    verdicts = {r["name"]: r["verdict"] for r in json.loads(out)}
    expect(verdicts and set(verdicts.values()) == {"slower"}, f"20% slower: {out}")
    out, _ = run(zr, ["bench-compare", same_id, same_id], cwd)
    expect(out.splitlines()[1].split()[-1] == "same", f"a run against itself: {out}")
    # The baseline and the new run: a verdict per benchmark, whatever this machine's load.
    status = subprocess.run([zr, "bench-compare", "main", same_id], cwd=cwd, capture_output=True).returncode
    expect(status in (0, 1), f"bench-compare main: status {status}")


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("results", "loops"):
        print(__doc__, file=sys.stderr)
        return 2
    zr = os.path.abspath(sys.argv[2])
    try:
        with tempfile.TemporaryDirectory() as cwd:
            if sys.argv[1] == "results":
                check_plans(zr, cwd)
                check_quarantine(zr, cwd)
                check_migration(zr, cwd)
                check_gate(zr, cwd)
            else:
                e2e, fixture = (os.path.abspath(p) for p in sys.argv[3:5])
                _, out, _ = suite(e2e, ["--help"], cwd)
                if "--run-record" not in out:
                    print("skipped: the test program cannot write run records")
                    return 77
                loop_rerun_failed(zr, e2e, cwd)
                loop_plan_shards(zr, e2e, cwd)
                loop_quarantine(zr, e2e, cwd)
                loop_gate(zr, fixture, cwd)
    except Mismatch as e:
        print(f"mismatch: {e}", file=sys.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
