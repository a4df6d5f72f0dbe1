"""End-to-end checks of zuno-results and of the run records test programs write.

    check_results.py bad-input ZUNO_RESULTS
    check_results.py records SCHEMA FIXTURE ISOLATION DEVICE_SUITE API_FIXTURE
    check_results.py shards ZUNO_RESULTS DEVICE_SUITE

bad-input: records that are truncated, not JSON, of another format or
    version, or that break the schema are refused with "error: FILE: ..." and
    store nothing; hostile names are stored exactly; a 200 MiB output is
    stored bounded; a file given twice and two ingests at once store each run
    once; a killed ingest leaves the database as it was; a database that is a
    directory, not SQLite, another SQLite database or of a newer version is
    refused and left unchanged.
records: run records of failing, retried, ignored, isolated and benchmark
    runs validate against SCHEMA and agree with the run.
shards: four shard records of the device suite, retries included, ingested
    together, give the right answers to runs, failed --label, flaky, slow,
    history and by-label.
Exit status 0 on success, 1 with a message on the first mismatch, 77 when a
needed Python module is missing.
"""

import copy
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time


class Mismatch(Exception):
    pass


def expect(cond, message):
    if not cond:
        raise Mismatch(message)


def expect_equal(actual, expected, what):
    expect(actual == expected, f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def results(zr, args, cwd, env=None, statuses=(0,)):
    """Runs zuno-results; returns (status, stdout, stderr) as text."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("ZUNO")}
    full_env.update(env or {})
    proc = subprocess.run([zr, *args], cwd=cwd, env=full_env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)
    out = proc.stdout.decode("utf-8", errors="replace")
    err = proc.stderr.decode("utf-8", errors="replace")
    expect(proc.returncode in statuses,
           f"zuno-results {' '.join(args)} ended with {proc.returncode}, not {statuses}; stderr: {err}")
    return proc.returncode, out, err


def stored_runs(zr, cwd, db="zuno-results.db"):
    _, out, _ = results(zr, ["runs", "--json", "--db", db], cwd)
    return [r["run_id"] for r in json.loads(out)]


def base_record(run_id="0" * 31 + "1", tests=None, labels=None, started="2026-01-01T00:00:00.000Z"):
    return {
        "format": "zuno-run-record", "version": 1, "run_id": run_id, "program": "prog",
        "args": ["--test-threads", "1"], "host": "host-a", "labels": labels or {},
        "started": started, "wall_s": 0.5, "shard": None, "seed": None, "threads": 1,
        "isolate": False, "exit_status": 0,
        "summary": {"passed": 2, "failed": 0, "ignored": 0, "measured": 0, "filtered_out": 0, "flaky": 0},
        "tests": tests if tests is not None else [
            {"name": "a", "kind": "test", "outcome": "ok", "duration_s": 0.1},
            {"name": "b", "kind": "test", "outcome": "ok", "duration_s": 0.2},
        ],
    }


def sql(path, statement):
    """Runs one statement on a database with Python's own SQLite; returns its first row."""
    db = sqlite3.connect(path)
    try:
        row = db.execute(statement).fetchone()
        db.commit()
        return row
    finally:
        db.close()


def write(path, doc):
    with open(path, "wb") as f:
        f.write(doc if isinstance(doc, bytes) else json.dumps(doc).encode())


def bad_input(zr):
    work = tempfile.mkdtemp(prefix="zr-bad-")
    try:
        good = json.dumps(base_record()).encode()

        def changed(change):
            doc = base_record()
            change(doc)
            return doc

        def set_outcome(doc):
            doc["tests"][1]["outcome"] = "passed"

        # file, content, the whole error line or (with "...") its start
        table = [
            ("truncated.json", good[: len(good) // 2], "error: truncated.json: not a JSON document: ..."),
            ("text.json", b"all tests passed\n", "error: text.json: not a JSON document: ..."),
            ("empty.json", b"", "error: empty.json: not a JSON document: the file is empty"),
            ("array.json", b"[1, 2]", "error: array.json: not a run record (expected a JSON object)"),
            ("junit.json", changed(lambda d: d.update(format="junit")),
             'error: junit.json: not a run record ("format" is not "zuno-run-record")'),
            ("v2.json", changed(lambda d: d.update(version=2)),
             "error: v2.json: run record version 2 is not supported (this program reads version 1)"),
            ("outcome.json", changed(set_outcome),
             'error: outcome.json: tests[1].outcome: expected one of "ok", "failed", "ignored", "bench"'),
            ("nosummary.json", changed(lambda d: d.pop("summary")),
             'error: nosummary.json: missing field "summary"'),
            ("runid.json", changed(lambda d: d.update(run_id="ABC")),
             "error: runid.json: run_id: expected 32 lowercase hexadecimal digits"),
            ("shard.json", changed(lambda d: d.update(shard={"index": 4, "count": 4})),
             "error: shard.json: shard: index must be less than count"),
            ("negative.json", changed(lambda d: d["tests"][0].update(duration_s=-1)),
             "error: negative.json: tests[0].duration_s: expected a duration of at least 0"),
            ("extra.json", changed(lambda d: d["tests"][0].update(colour="red")),
             "error: extra.json: tests[0].colour: unknown field"),
            ("label.json", changed(lambda d: d.update(labels={"card": "a,b"})),
             "error: label.json: labels.card: a label value holds no comma and no control character"),
            ("rawutf8.json", good.replace(b'"a"', b'"\xff"'), "error: rawutf8.json: not a JSON document: ..."),
            ("missing.json", None, "error: missing.json: cannot read: No such file or directory"),
        ]
        for name, content, line in table:
            if content is not None:
                write(os.path.join(work, name), content)
            status, out, err = results(zr, ["ingest", name], work, statuses=(1,))
            if line.endswith("..."):
                expect(err.startswith(line[:-3]) and err.count("\n") == 1, f"{name}: stderr {err!r}")
            else:
                expect_equal(err, line + "\n", f"{name}: stderr")
            expect_equal(out, "", f"{name}: stdout")
        expect_equal(stored_runs(zr, work), [], "runs after refused records")

        # Good files go on around a bad one; the same file twice is stored once.
        write(os.path.join(work, "good.json"), good)
        status, out, err = results(zr, ["ingest", "good.json", "text.json", "good.json"], work, statuses=(1,))
        expect_equal(out, f"recorded: {'0' * 31}1 (good.json, 2 tests)\n"
                          f"already recorded: {'0' * 31}1 (good.json)\n", "ingest twice: stdout")
        expect(err.startswith("error: text.json: "), f"ingest twice: stderr {err!r}")

        # Hostile names, held exactly; a 200 MiB output, stored bounded.
        hostile = ['quote " and \\ backslash', "line\nfeed", "x" * 10000, "emoji \U0001F600 \u00e9", "tab\there"]
        tests = [{"name": n, "kind": "test", "outcome": "failed", "duration_s": 0.01, "message": n}
                 for n in hostile]
        tests.append({"name": "flood", "kind": "test", "outcome": "failed", "duration_s": 1.0,
                      "output": "y" * (200 << 20)})
        write(os.path.join(work, "hostile.json"), base_record("0" * 31 + "2", tests))
        results(zr, ["ingest", "hostile.json"], work)
        _, out, _ = results(zr, ["show", "0000000000000000000000000000000"[:20] + "0" * 11 + "2", "--json"], work)
        expect_equal([t["name"] for t in json.loads(out)], hostile + ["flood"], "hostile names")
        _, out, err = results(zr, ["failed", "last"], work)
        expect_equal(out.split("\n")[:-1], sorted(n for n in hostile + ["flood"] if "\n" not in n),
                     "failed names")
        expect_equal(err, 'warning: left out a failed test whose name holds a line feed: "line\\nfeed"\n',
                     "failed: warning")
        (length,) = sql(os.path.join(work, "zuno-results.db"), "SELECT max(length(output)) FROM details")
        expect(16 << 20 <= length < (16 << 20) + 100, f"stored output of {length} bytes")

        # Two ingests at once, sharing one file: both succeed, every run once.
        files = []
        for i in range(8):
            name = f"c{i}.json"
            write(os.path.join(work, name), base_record(f"{i + 16:032x}", started=f"2026-01-02T00:00:0{i}.000Z"))
            files.append(name)
        procs = [subprocess.Popen([zr, "ingest", "--db", "c.db", *files[k::2], files[0]], cwd=work,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE) for k in (0, 1)]
        for p in procs:
            out, err = p.communicate(timeout=120)
            expect(p.returncode == 0, f"concurrent ingest ended with {p.returncode}: {err.decode()}")
        expect_equal(sorted(stored_runs(zr, work, "c.db")), sorted(f"{i + 16:032x}" for i in range(8)),
                     "runs after two concurrent ingests")

        # A killed ingest leaves the database as it was.
        many = [{"name": f"t{i:06d}", "kind": "test", "outcome": "ok", "duration_s": 0.001} for i in range(400000)]
        write(os.path.join(work, "big.json"), base_record("f" * 32, many))
        proc = subprocess.Popen([zr, "ingest", "--db", "c.db", "big.json"], cwd=work,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.8)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        expect_equal(sql(os.path.join(work, "c.db"), "PRAGMA integrity_check"), ("ok",), "integrity after kill")
        runs = stored_runs(zr, work, "c.db")
        expect(len(runs) == 8 or (len(runs) == 9 and "f" * 32 in runs), f"runs after a killed ingest: {runs}")

        # Databases that are not results databases: refused, unchanged.
        os.mkdir(os.path.join(work, "dir.db"))
        sql(os.path.join(work, "other.db"), "CREATE TABLE t (x)")
        shutil.copy(os.path.join(work, "c.db"), os.path.join(work, "newer.db"))
        sql(os.path.join(work, "newer.db"), "PRAGMA user_version = 99")
        write(os.path.join(work, "text.db"), b"not a database at all, just text\n" * 100)
        cases = [
            ("dir.db", "error: dir.db: is a directory, not a results database"),
            ("text.db", "error: text.db: not a results database: file is not a database"),
            ("other.db", "error: other.db: not a results database (an SQLite database of another kind)"),
            ("newer.db", "error: newer.db: written by a newer version of zuno-results (schema version 99;"
                         " this program knows up to 3); not changed"),
        ]
        for db, line in cases:
            path = os.path.join(work, db)
            before = None if os.path.isdir(path) else open(path, "rb").read()
            for args in (["ingest", "good.json"], ["runs"]):
                _, out, err = results(zr, args, work, env={"ZUNO_RESULTS_DB": db}, statuses=(2,))
                expect_equal(err, line + "\n", f"{db}: {args[0]}: stderr")
            if before is not None:
                expect(open(path, "rb").read() == before, f"{db} was changed")
                expect(db == "newer.db" or not os.path.exists(path + "-wal"), f"{db} got a WAL file")
        if os.geteuid() != 0:
            shutil.copy(os.path.join(work, "c.db"), os.path.join(work, "ro.db"))
            os.chmod(os.path.join(work, "ro.db"), 0o444)
            results(zr, ["runs", "--db", "ro.db"], work)
            _, _, err = results(zr, ["ingest", "--db", "ro.db", "hostile.json"], work, statuses=(1, 2))
            expect(err.startswith("error: "), f"read-only database: {err!r}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


class Skip(Exception):
    pass


def clean_env(extra=None):
    """The environment of a test program under test, free of the caller's settings."""
    drop = ("ZUNO", "TILO_STANDIN_", "TEST_", "TESTBRIDGE_", "XML_OUTPUT_FILE")
    env = {k: v for k, v in os.environ.items() if not k.startswith(drop)}
    env.update(extra or {})
    return env


class Recorder:
    """Runs test programs with a run record in a scratch folder and validates each record."""

    def __init__(self, schema_path):
        try:
            import jsonschema
        except ImportError:
            raise Skip("python3-jsonschema is not installed")
        with open(schema_path) as f:
            schema = json.load(f)
        jsonschema.Draft7Validator.check_schema(schema)
        self.validator = jsonschema.Draft7Validator(schema)
        self.work = tempfile.mkdtemp(prefix="zr-records-")
        self.lock = os.path.join(self.work, "card.lock")
        self.count = 0

    def run(self, program, args, env=None, statuses=(0, 101), via_env=False):
        """Runs `program args` with a run record; returns (status, record)."""
        self.count += 1
        path = os.path.join(self.work, f"run{self.count}.json")
        extra = {"TILO_DEVICE_LOCK": self.lock, **(env or {})}
        if via_env:
            extra["ZUNO_RUN_RECORD"] = path
        else:
            args = [*args, "--run-record", path]
        proc = subprocess.run([program, *args], env=clean_env(extra), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)
        expect(proc.returncode in statuses, f"{' '.join(args)} ended with {proc.returncode}: "
                                            f"{proc.stderr.decode(errors='replace')}")
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
        errors = sorted(self.validator.iter_errors(record), key=lambda e: list(e.path))
        expect(not errors, f"{' '.join(args)}: record does not validate: "
                           + "; ".join(f"{list(e.path)}: {e.message}" for e in errors[:3]))
        summary = record["summary"]
        outcomes = [t["outcome"] for t in record["tests"]]
        expect_equal([outcomes.count(o) for o in ("ok", "failed", "ignored", "bench")],
                     [summary["passed"], summary["failed"] + summary.get("quarantined", 0),
                      summary["ignored"], summary["measured"]],
                     f"{' '.join(args)}: outcomes against the summary")
        expect_equal(record["exit_status"], proc.returncode, f"{' '.join(args)}: exit_status")
        expect_equal(record["args"], args if not via_env else list(args), f"{' '.join(args)}: args")
        expect_equal(record["program"], os.path.basename(program), "program")
        return proc.returncode, record


def by_name(record):
    return {t["name"]: t for t in record["tests"]}


def records(schema, fixture, isolation, device, api):
    rec = Recorder(schema)
    try:
        # A failing run: failures with their output, ignored tests with their
        # reason, benchmarks run once as tests still of kind "bench".
        _, r = rec.run(fixture, ["--test-threads", "1"])
        t = by_name(r)
        expect_equal([x["name"] for x in r["tests"]], sorted(t), "report order")
        expect("boom" in t["fail::panics"]["output"] and t["fail::panics"]["outcome"] == "failed",
               f"fail::panics: {t['fail::panics']}")
        expect_equal(t["ignore::with_message"].get("message"), "needs a card", "ignore message")
        expect_equal((t["bench::static_silent"]["kind"], t["bench::static_silent"]["outcome"]),
                     ("bench", "ok"), "a benchmark run as a test")
        expect("output" not in t["pass::prints"], "a passing test's output without --show-output")
        expect_equal((r["shard"], r["seed"], r["isolate"], r["threads"]), (None, None, False, 1),
                     "shard, seed, isolate, threads")

        _, r = rec.run(fixture, ["--test-threads", "1", "--show-output", "pass"], statuses=(0,))
        expect("output" in by_name(r)["pass::prints"], "a passing test's output with --show-output")

        # Benchmarks: every sample, the median among them (a benchmark that
        # sets its figures itself has none).
        _, r = rec.run(fixture, ["--bench", "--test-threads", "1", "bench"], statuses=(0,))
        for t in r["tests"]:
            b = t["bench"]
            samples = b["samples_ns"] or [b["median_ns"]]
            expect(t["outcome"] == "bench" and t["kind"] == "bench"
                   and min(samples) <= b["median_ns"] <= max(samples), f"benchmark entry {t}")
        _, r = rec.run(api, ["--bench", "--test-threads", "1", "--exact", "bench::add"], statuses=(0,))
        b = r["tests"][0]["bench"]
        expect(len(b["samples_ns"]) > 1 and min(b["samples_ns"]) <= b["median_ns"] <= max(b["samples_ns"])
               and b["deviation_ns"] == max(b["samples_ns"]) - min(b["samples_ns"]), f"benchmark entry {b}")

        # Isolated tests, crashing and hanging ones among them.
        _, r = rec.run(isolation, ["--isolate", "--test-timeout", "1", "--test-threads", "2"],
                       env={"ASAN_OPTIONS": "handle_segv=0", "TSAN_OPTIONS": "handle_segv=0"})
        t = by_name(r)
        expect(r["isolate"] and 1 <= r["threads"] <= 2, f"isolate {r['isolate']}, threads {r['threads']}")
        expect(t["hang::forever"]["outcome"] == "failed" and "time limit" in t["hang::forever"].get("message", ""),
               f"hang::forever: {t['hang::forever']}")

        # A device test whose runner fails once passes on its retry: both
        # attempts recorded; the path and labels come from the environment.
        labels = {"ZUNO_RUN_LABELS": "card=vela-07,pool=lab2,job=8812",
                  "TILO_STANDIN_FAIL_TIMES": "1", "TILO_STANDIN_MATCH": "fanout",
                  "TILO_STANDIN_STATE": os.path.join(rec.work, "standin.state")}
        _, r = rec.run(device, ["--test-threads", "1", "--retries", "1", "--shard-count", "2",
                                "--shard-index", "0"], env=labels, statuses=(0,), via_env=True)
        expect_equal(r["labels"], {"card": "vela-07", "pool": "lab2", "job": "8812"}, "labels")
        expect_equal(r["shard"], {"index": 0, "count": 2}, "shard")
        retried = [t for t in r["tests"] if "attempts" in t]
        expect(len(retried) == 1 and [a["outcome"] for a in retried[0]["attempts"]] == ["failed", "ok"]
               and retried[0]["outcome"] == "ok" and r["summary"]["flaky"] == 1,
               f"retried tests: {retried}, summary {r['summary']}")

        # A run killed before its end leaves no record and no temporary file.
        path = os.path.join(rec.work, "killed.json")
        proc = subprocess.Popen([isolation, "--test-threads", "1", "hang", "--run-record", path],
                                env=clean_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        left = [f for f in os.listdir(rec.work) if "killed" in f]
        expect_equal(left, [], "files a killed run left")
    finally:
        shutil.rmtree(rec.work, ignore_errors=True)


def shards(zr, device):
    """Four shards of the device suite on two cards: one test fails on card
    vela-02 (also on its retry), one passes on card vela-01 only after a retry."""
    work = tempfile.mkdtemp(prefix="zr-shards-")
    try:
        lock = os.path.join(work, "card.lock")
        trouble = {
            1: {"TILO_STANDIN_EXIT": "3", "TILO_STANDIN_MATCH": "reduction"},
            2: {"TILO_STANDIN_FAIL_TIMES": "1", "TILO_STANDIN_MATCH": "fanout",
                "TILO_STANDIN_STATE": os.path.join(work, "standin.state")},
        }
        files = []
        for k in range(4):
            name = f"shard-{k}.json"
            env = clean_env({"TILO_DEVICE_LOCK": lock, "ZUNO_RUN_LABELS": f"card=vela-0{1 + k % 2},pool=lab2",
                             "TEST_TOTAL_SHARDS": "4", "TEST_SHARD_INDEX": str(k), **trouble.get(k, {})})
            proc = subprocess.run([device, "--retries", "1", "--run-record", name], cwd=work, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
            expect_equal(proc.returncode, 101 if k == 1 else 0, f"shard {k}: exit status")
            files.append(name)

        _, out, err = results(zr, ["ingest", *files], work)
        ids = {}
        for line in out.splitlines():
            expect(line.startswith("recorded: ") and line.endswith(" tests)"), f"ingest line {line!r}")
            ids[line.split("(")[1].split(",")[0]] = line.split()[1]
        expect_equal(sorted(ids), files, "ingested files")
        _, again, _ = results(zr, ["ingest", files[0]], work)
        expect_equal(again, f"already recorded: {ids[files[0]]} ({files[0]})\n", "ingest again")

        def answer(*args):
            return json.loads(results(zr, [*args, "--json"], work)[1])

        runs = answer("runs")
        expect_equal(sorted((r["shard"]["index"], r["shard"]["count"], r["labels"]["card"]) for r in runs),
                     [(0, 4, "vela-01"), (1, 4, "vela-02"), (2, 4, "vela-01"), (3, 4, "vela-02")], "runs: shards")
        expect_equal([sum(r[k] for r in runs) for k in ("passed", "failed", "ignored", "flaky")], [16, 1, 0, 1],
                     "runs: passed, failed, ignored, flaky over the shards")
        expect_equal(answer("runs", "--last", "1")[0]["run_id"], runs[-1]["run_id"], "runs --last 1")

        _, out, _ = results(zr, ["failed", "--label", "card=vela-02"], work)
        expect_equal(out, "all_tile_reduction_works\n", "failed --label card=vela-02")
        _, out, _ = results(zr, ["failed", "--label", "card=vela-01", "--label", "pool=lab2"], work)
        expect_equal(out, "", "failed --label card=vela-01 --label pool=lab2")
        _, out, _ = results(zr, ["failed", ids["shard-1.json"][:8]], work)
        expect_equal(out, "all_tile_reduction_works\n", "failed RUN (a prefix of the id)")

        shard2 = next(r for r in runs if r["shard"]["index"] == 2)
        expect_equal(answer("flaky"),
                     [{"name": "direct_multicast_works", "program": os.path.basename(device), "runs": 1,
                       "failures": 0, "flaky_passes": 1, "last_failure": shard2["started"]}], "flaky")

        slow = answer("slow", "--top", "3")
        medians = [r["median_s"] for r in slow]
        expect(len(slow) == 3 and medians == sorted(medians, reverse=True) and all(r["runs"] == 1 for r in slow),
               f"slow --top 3: {slow}")

        history = answer("history", "all_tile_reduction_works")
        expect_equal([(h["outcome"], h["attempts"], h["labels"]) for h in history],
                     [("failed", 2, {"card": "vela-02", "pool": "lab2"})], "history")
        shown = {t["name"]: t for t in answer("show", ids["shard-2.json"])}
        expect_equal([a["outcome"] for a in shown["direct_multicast_works"]["attempts"]], ["failed", "ok"],
                     "show: the attempts of the retried test")

        expect_equal(answer("by-label", "card"), [
            {"value": "vela-01", "runs": 2, "results": 9, "failures": 0, "failure_rate": 0.0,
             "failed_only_here": []},
            {"value": "vela-02", "runs": 2, "results": 8, "failures": 1, "failure_rate": 0.125,
             "failed_only_here": ["all_tile_reduction_works"]},
        ], "by-label card")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    mode = argv[1]
    try:
        if mode == "bad-input":
            bad_input(argv[2])
        elif mode == "records":
            records(*argv[2:7])
        elif mode == "shards":
            shards(*argv[2:4])
        else:
            print(f"check_results: unknown mode {mode}")
            return 2
    except Skip as e:
        print(f"check_results {mode}: skipped: {e}")
        return 77
    except Mismatch as e:
        print(f"check_results {mode}: {e}")
        return 1
    print(f"check_results {mode}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
