"""End-to-end checks of acting on results with zuno-results.

    check_acting.py results ZUNO_RESULTS

results: from hand-made run records: shard plans (cost by median over the
    last runs, longest first, one program per plan), the quarantine (add,
    list with failures since, export, remove, flaky --quarantine-days), a
    schema of the previous version brought up to date, baselines and
    bench-compare verdicts and status.
Exit status 0 on success, 1 with a message on the first mismatch.
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
    expect_equal(con.execute("PRAGMA user_version").fetchone()[0], 2, "migrated version")
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


def main():
    if len(sys.argv) != 3 or sys.argv[1] != "results":
        print(__doc__, file=sys.stderr)
        return 2
    zr = os.path.abspath(sys.argv[2])
    try:
        with tempfile.TemporaryDirectory() as cwd:
            check_plans(zr, cwd)
            check_quarantine(zr, cwd)
            check_migration(zr, cwd)
            check_gate(zr, cwd)
    except Mismatch as e:
        print(f"mismatch: {e}", file=sys.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
