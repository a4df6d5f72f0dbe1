"""Checks what a test program offers CI systems and test runners that split a
suite across machines, end to end.

    check_ci.py MODE PROGRAM [SCHEMA...]

shards: for every combination of filters, --ignored / --include-ignored and
    shuffling, the shards of N = 1..5 are disjoint, their union is the
    unsharded selection, their summaries add up to the whole suite, listing
    splits the same way, the variables of a test runner split like the
    options, a shard's shuffled order repeats, and the status file is touched;
    with a shard plan, planned tests run in their shard and the rest are dealt
    out in turn, the shards still disjoint and complete.
report: the --junit-report file holds the document --format junit prints,
    apart from times and the testsuite's time and timestamp, and validates
    against each SCHEMA file that exists (when xmllint is there); XML_OUTPUT_FILE is used only
    without the option; a run killed meanwhile leaves no report (nor loses
    the premature-exit file, which a normal end removes); the "no test
    matched" error is copied to the warnings file.
inputs: broken test lists, shard plans and quarantines are option errors that
    name the file, with nothing run; names matching no test are a warning.
flaky: a device test whose runner fails on its first call passes with
    --retries 1; printed and written JUnit documents carry its failed attempt
    as a flakyFailure and validate against each SCHEMA.
Exit status 0 on success, 1 with a message on the first mismatch.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from check_formats import UNSTABLE, Mismatch, expect, expect_equal


def clean_env(extra=None):
    """The environment of the program under test, free of the caller's settings."""
    protocol = ("TEST_", "TESTBRIDGE_", "XML_OUTPUT_FILE")
    env = {
        k: v
        for k, v in os.environ.items()
        if not (k.startswith(("ZUNO", "TILO_STANDIN_")) or k.startswith(protocol) or k in ("TERM", "FIXTURE_SLEEP_MS"))
    }
    env["ZUNOC_BOOTSTRAP"] = "1"
    env.update(extra or {})
    return env


def run(program, args, env, statuses=(0, 101)):
    proc = subprocess.run([program, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    expect(
        proc.returncode in statuses,
        f"{' '.join(args)} ended with {proc.returncode}; stderr: {proc.stderr.decode(errors='replace')}",
    )
    return proc.stdout


def json_run(program, args, env):
    """(started names in order, {name: event}, suite line) of a run in the JSON form."""
    raw = run(program, ["--test-threads", "4", *UNSTABLE, "--format", "json", *args], env)
    lines = [json.loads(line) for line in raw.decode("utf-8").splitlines()]
    started = [o["name"] for o in lines if o["type"] == "test" and o["event"] == "started"]
    results = {o["name"]: o["event"] for o in lines if o["type"] == "test" and o["event"] != "started"}
    expect_equal(len(results), len(started), "result lines per started test")
    return started, results, lines[-1]


def listed(program, args, env):
    raw = run(program, ["--list", *UNSTABLE, "--format", "json", *args], env, (0,))
    return [o["name"] for o in map(json.loads, raw.decode("utf-8").splitlines()) if o.get("event") == "discovered"]


def suite_size(suite):
    return sum(suite[k] for k in ("passed", "failed", "ignored", "measured", "filtered_out"))


def check_shards(program, _schemas):
    env = clean_env()
    whole = suite_size(json_run(program, ["--exact", "no such test"], env)[2])
    # The fixture's aborting test must not run; skipping it is one more filter.
    skip = ["--skip", "abort"]
    for filters in ([], ["pass", "fail", "e2e", "tile"]):
        for ignore in ([], ["--ignored"], ["--include-ignored"]):
            for shuffle in ([], ["--shuffle-seed", "7"]):
                args = [*filters, *skip, *ignore, *shuffle]
                what = " ".join(args)
                _, full, full_suite = json_run(program, args, env)
                full_list = listed(program, [*filters, *skip, *ignore], env)
                expect_equal(sorted(full_list), sorted(full), f"{what}: listing and run")
                for count in range(1, 6):
                    seen, seen_listed = {}, []
                    totals = {k: 0 for k in ("passed", "failed", "ignored")}
                    for index in range(count):
                        shard = ["--shard-count", str(count), "--shard-index", str(index)]
                        started, results, suite = json_run(program, [*args, *shard], env)
                        where = f"{what} shard {index}/{count}"
                        expect(not set(results) & set(seen), f"{where}: runs tests of another shard")
                        seen.update(results)
                        expect_equal(suite_size(suite), whole, f"{where}: summary does not add up to the suite")
                        for k in totals:
                            totals[k] += suite[k]
                        shard_listed = listed(program, [*filters, *skip, *ignore, *shard], env)
                        # Shards are cut before shuffling, so the order cannot move a test to another.
                        expect_equal(sorted(shard_listed), sorted(results), f"{where}: listing and run")
                        seen_listed += shard_listed
                        if shuffle:
                            again, _, _ = json_run(program, [*args, *shard], env)
                            expect_equal(again, started, f"{where}: shuffled order changed between runs")
                    expect_equal(seen, full, f"{what} in {count} shards: results")
                    expect_equal(sorted(seen_listed), sorted(full_list), f"{what} in {count} shards: listing")
                    expect_equal(totals, {k: full_suite[k] for k in totals}, f"{what} in {count} shards: counts")

    # With a plan: a planned test runs in its planned shard, the others are
    # dealt out in turn, counted among themselves; the shards stay disjoint
    # and together run the whole selection. The plan names a test the program
    # does not have, too.
    with tempfile.TemporaryDirectory() as tmp:
        for ignore in ([], ["--include-ignored"]):
            order = listed(program, [*skip, *ignore], env)
            for count in range(1, 6):
                planned = {name: (i * 7) % count for i, name in enumerate(order[::3])}
                plan = os.path.join(tmp, f"plan{count}.json")
                with open(plan, "w") as f:
                    json.dump({"format": "zuno-shard-plan", "version": 1, "shards": count,
                               "tests": {**planned, "no such test": 0}}, f)
                unplanned = [name for name in order if name not in planned]
                home = {**planned, **{name: i % count for i, name in enumerate(unplanned)}}
                for shuffle in ([], ["--shuffle-seed", "7"]):
                    seen = set()
                    for index in range(count):
                        shard = ["--shard-count", str(count), "--shard-index", str(index),
                                 "--shard-plan", plan]
                        _, results, _ = json_run(program, [*skip, *ignore, *shuffle, *shard], env)
                        where = f"plan {count} {ignore} {shuffle} shard {index}"
                        expect_equal(sorted(results), sorted(n for n in order if home[n] == index),
                                     f"{where}: tests of the shard")
                        expect_equal(sorted(listed(program, [*skip, *ignore, *shard], env)),
                                     sorted(results), f"{where}: listing and run")
                        seen |= set(results)
                    expect_equal(sorted(seen), sorted(order), f"plan {count} {ignore}: all shards")

    # A test runner's variables split like the options, which win over them.
    by_options = json_run(program, ["--shard-count", "3", "--shard-index", "1"], env)[1]
    by_env = json_run(program, [], clean_env({"TEST_TOTAL_SHARDS": "3", "TEST_SHARD_INDEX": "1"}))[1]
    expect_equal(by_env, by_options, "shard from the environment")
    overridden = json_run(program, ["--shard-count", "3", "--shard-index", "1"],
                          clean_env({"TEST_TOTAL_SHARDS": "2", "TEST_SHARD_INDEX": "0"}))[1]
    expect_equal(overridden, by_options, "the options win over the environment")

    # The status file is touched by listings and runs, sharded or not.
    with tempfile.TemporaryDirectory() as tmp:
        status = os.path.join(tmp, "status")
        for args in (["--list"], ["--exact", "no such test"], ["--shard-count", "2", "--shard-index", "0", "--list"]):
            if os.path.exists(status):
                os.remove(status)
            run(program, args, clean_env({"TEST_SHARD_STATUS_FILE": status}))
            expect(os.path.exists(status), f"{' '.join(args)}: status file not created")
        os.utime(status, (0, 0))
        run(program, ["--list"], clean_env({"TEST_SHARD_STATUS_FILE": status}))
        expect(os.stat(status).st_mtime > 0, "existing status file not touched")


TIMES = re.compile(r' time="[0-9.]+"')
SUITE_EXTRA = re.compile(r'( skipped="\d+") time="[0-9.]+" timestamp="\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d" >')


def check_report(program, schemas):
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.xml")
        args = ["--test-threads", "1", "--skip", "abort", "--show-output"]
        printed = run(program, [*args, *UNSTABLE, "--format", "junit", "--junit-report", report], clean_env())
        written = open(report, "rb").read().decode("utf-8")
        expect(SUITE_EXTRA.search(written), f"testsuite time and timestamp missing: {written[:300]}")
        plain = SUITE_EXTRA.sub(r"\1 >", written)
        expect_equal(TIMES.sub("", plain), TIMES.sub("", printed.decode("utf-8")), "report file and --format junit")
        measured = [float(t) for t in re.findall(r'<testcase [^>]*time="([0-9.]+)"', written)]
        expect(measured and all(t > 0 for t in measured), "a test case of the report has no measured time")
        expect_equal(sorted(os.listdir(tmp)), ["report.xml"], "files left beside the report")
        # Tests run in child processes are timed too.
        run(program, ["--isolate", "--exact", "pass::quiet", "fail::panics", "--junit-report", report], clean_env())
        isolated = re.findall(r'<testcase [^>]*time="([0-9.]+)"', open(report).read())
        expect(len(isolated) == 2 and all(float(t) > 0 for t in isolated), f"isolated times {isolated}")
        validate(report, schemas)

        # A test runner's report path counts only without the option.
        bazel = os.path.join(tmp, "bazel.xml")
        os.remove(report)
        run(program, ["--list"], clean_env({"XML_OUTPUT_FILE": bazel}))
        expect(not os.path.exists(bazel), "a listing wrote a report")
        run(program, ["--exact", "pass::quiet"], clean_env({"XML_OUTPUT_FILE": bazel}))
        expect(os.path.exists(bazel), "XML_OUTPUT_FILE not written")
        os.remove(bazel)
        run(program, ["--exact", "pass::quiet", "--junit-report", report], clean_env({"XML_OUTPUT_FILE": bazel}))
        expect(os.path.exists(report) and not os.path.exists(bazel), "the option does not win")

        # A run killed before its end leaves the earlier report as it was, and
        # the premature-exit file tells the test runner that it did not end.
        old = open(report, "rb").read()
        premature = os.path.join(tmp, "premature")
        proc = subprocess.Popen([program, "--exact", "slow::sleeps", "--junit-report", report],
                                env=clean_env({"FIXTURE_SLEEP_MS": "20000", "TEST_PREMATURE_EXIT_FILE": premature}),
                                stdout=subprocess.DEVNULL)
        time.sleep(0.5)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        expect_equal(open(report, "rb").read(), old, "report after a killed run")
        expect_equal(sorted(os.listdir(tmp)), ["premature", "report.xml"], "files left by a killed run")
        for args in (["--exact", "fail::panics"], ["--list"]):
            run(program, args, clean_env({"TEST_PREMATURE_EXIT_FILE": premature}))
            expect(not os.path.exists(premature), f"{' '.join(args)}: premature-exit file left at a normal end")
            open(premature, "w").close()

        warnings = os.path.join(tmp, "warnings")
        run(program, ["--fail-if-no-tests", "no such test"], clean_env({"TEST_WARNINGS_OUTPUT_FILE": warnings}), (101,))
        expect_equal(open(warnings).read(), "error: no test matched the filters\n", "warnings file")


def validate(path, schemas):
    for schema in schemas:
        if os.path.isfile(schema) and shutil.which("xmllint"):
            proc = subprocess.run(["xmllint", "--noout", "--schema", schema, path], capture_output=True)
            expect(proc.returncode == 0, f"{path} not valid against {schema}: {proc.stderr.decode(errors='replace')}")


def check_flaky(program, schemas):
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "report.xml")
        env = clean_env({"TILO_STANDIN_FAIL_TIMES": "1", "TILO_STANDIN_MATCH": "fanout",
                         "TILO_STANDIN_STATE": os.path.join(tmp, "state")})
        printed = run(program, ["--retries", "1", *UNSTABLE, "--format", "junit", "--junit-report", report], env, (0,))
        with open(os.path.join(tmp, "printed.xml"), "wb") as out:
            out.write(printed)
        for path in (report, os.path.join(tmp, "printed.xml")):
            text = open(path, "rb").read().decode("utf-8")
            expect_equal(text.count("<flakyFailure "), 1, f"{os.path.basename(path)}: flakyFailure elements")
            expect("single-source multicast graph" in text, f"{os.path.basename(path)}: attempt output missing")
            validate(path, schemas)


def check_inputs(program, _schemas):
    """The files a run is steered by: every broken one is an option error that
    names the file (status 101, nothing run); names that match no test are a
    warning."""
    plan = {"format": "zuno-shard-plan", "version": 1, "shards": 3, "tests": {"pass::quiet": 2}}
    entry = {"name": "pass::quiet", "reason": "r", "until": None}
    files = {
        "list.txt": b"pass::quiet\n\npass::prints\n",
        "bad.txt": b"pass::quiet\nfail::\xff\n",
        "long.txt": b"x" * 10000 + b"\npass::quiet",
        "plan3.json": json.dumps(plan).encode(),
        "cut.json": json.dumps(plan).encode()[:30],
        "text.json": b"pass::quiet\n",
        "v2.json": json.dumps({**plan, "version": 2}).encode(),
        "other.json": json.dumps({**plan, "tests": {"no::such": 0, "pass::quiet": 1}}).encode(),
        "q.json": json.dumps({"format": "zuno-quarantine", "version": 1, "tests": [entry]}).encode(),
        "qtwice.json": json.dumps({"format": "zuno-quarantine", "version": 1,
                                   "tests": [entry, entry]}).encode(),
        "qdate.json": json.dumps({"format": "zuno-quarantine", "version": 1,
                                  "tests": [{**entry, "until": "2026-13-01"}]}).encode(),
    }
    shards3 = ["--shard-count", "3", "--shard-index", "1"]
    refused = [
        (["--tests-from", "list.txt", "pass"], "error: --tests-from cannot be combined with name filters\n"),
        (["--tests-from", "none.txt"], "error: cannot read the test list none.txt: No such file or directory\n"),
        (["--tests-from", "bad.txt"], "error: the test list bad.txt is not valid UTF-8 (line 2)\n"),
        (["--shard-plan", "plan3.json"], "error: --shard-plan needs --shard-count and --shard-index "
                                          "(or TEST_TOTAL_SHARDS and TEST_SHARD_INDEX)\n"),
        (["--shard-plan", "plan3.json", "--shard-count", "2", "--shard-index", "0"],
         "error: the shard plan plan3.json is for 3 shards, not 2\n"),
        (["--shard-plan", "cut.json", *shards3],
         "error: the shard plan cut.json is not valid JSON: the document ends early at line 1, column 31\n"),
        (["--shard-plan", "text.json", *shards3],
         "error: the shard plan text.json is not valid JSON: expected a value at line 1, column 1\n"),
        (["--shard-plan", "q.json", *shards3],
         "error: the shard plan q.json is not a shard plan (its \"format\" is not \"zuno-shard-plan\")\n"),
        (["--shard-plan", "v2.json", *shards3],
         "error: the shard plan v2.json has version 2; this program reads version 1\n"),
        (["--quarantine", "qtwice.json"], "error: the quarantine qtwice.json names the test \"pass::quiet\" twice\n"),
        (["--quarantine", "qdate.json"], "error: the quarantine qdate.json is malformed: entry 0 needs "
                                         "\"until\": a date YYYY-MM-DD or null\n"),
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for name, content in files.items():
            with open(os.path.join(tmp, name), "wb") as f:
                f.write(content)
        env = clean_env()
        for args in refused:
            for listing in ([], ["--list"]):
                proc = subprocess.run([program, *args[0], *listing], cwd=tmp, env=env, capture_output=True, timeout=60)
                what = " ".join(args[0] + listing)
                expect_equal((proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")),
                             (101, b"", args[1]), what)
        # A quarantined failure does not stop a --fail-fast run either.
        with open(os.path.join(tmp, "qpanics.json"), "w") as f:
            json.dump({"format": "zuno-quarantine", "version": 1,
                       "tests": [{**entry, "name": "fail::panics"}]}, f)
        proc = subprocess.run([program, "--test-threads", "1", *UNSTABLE, "--fail-fast", "--quarantine",
                               "qpanics.json", "--exact", "fail::panics", "pass::quiet"], cwd=tmp, env=env,
                              capture_output=True, timeout=60)
        expect_equal((proc.returncode, proc.stdout.decode().count(" ... ")), (0, 2), "fail-fast past a quarantined failure")
        # Names that match no test: one warning naming the file; the rest runs.
        for args, warning, ran in (
            (["--tests-from", "long.txt"], "warning: 1 names in long.txt match no test\n", ["pass::quiet"]),
            (["--tests-from", "list.txt", "--skip", "prints"], "", ["pass::quiet"]),
            (["--shard-plan", "other.json", *shards3, "--exact", "pass::quiet", "pass::prints"],
             "warning: 1 names in other.json match no test\n", ["pass::quiet"]),
        ):
            proc = subprocess.run([program, "--test-threads", "1", *UNSTABLE, "--format", "json", *args], cwd=tmp,
                                  env=env, capture_output=True, timeout=60)
            events = [json.loads(line) for line in proc.stdout.decode().splitlines()]
            names = [e["name"] for e in events if e["type"] == "test" and e["event"] == "ok"]
            expect_equal((proc.returncode, proc.stderr.decode(), names), (0, warning, ran), " ".join(args))


MODES = {"shards": check_shards, "report": check_report, "flaky": check_flaky, "inputs": check_inputs}


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in MODES:
        print(f"usage: check_ci.py {{{','.join(MODES)}}} PROGRAM [SCHEMA...]", file=sys.stderr)
        return 2
    try:
        MODES[sys.argv[1]](sys.argv[2], sys.argv[3:])
    except Mismatch as err:
        print(f"check_ci: {sys.argv[1]}: {err}", file=sys.stderr)
        return 1
    print(f"check_ci: {sys.argv[1]}: as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
