"""End-to-end checks of zuno-results and of the run records test programs write.

    check_results.py bad-input ZUNO_RESULTS
    check_results.py records SCHEMA FIXTURE ISOLATION DEVICE_SUITE
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


def main(argv):
    mode = argv[1]
    try:
        if mode == "bad-input":
            bad_input(argv[2])
        else:
            print(f"check_results: unknown mode {mode}")
            return 2
    except Mismatch as e:
        print(f"check_results {mode}: {e}")
        return 1
    print(f"check_results {mode}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
