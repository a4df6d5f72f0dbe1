"""Reads the machine-readable output of a test program back with real parsers.

    check_formats.py MODE PROGRAM

MODE is json-fixture, json-e2e, junit-fixture or junit-e2e. The script runs
PROGRAM itself (harness_fixture or hardware_e2e), parses every JSON line with
the json module or the JUnit document with xml.etree, and checks that test
names, captured output and failure messages come back exactly as the tests
produced them. Exit status 0 on success, 1 with a message on the first
mismatch.
"""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

UNSTABLE = ["-Z", "unstable-options"]


class Mismatch(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Mismatch(what)


def expect_equal(got, want, what):
    if got != want:
        raise Mismatch(f"{what}: got {got!r}, want {want!r}")


def clean_env(extra):
    """The environment of the program under test, free of the caller's settings."""
    env = {
        k: v
        for k, v in os.environ.items()
        if not (k.startswith("ZUNO") or k.startswith("TILO_STANDIN_") or k in ("TERM", "FIXTURE_SLEEP_MS"))
    }
    env["ZUNOC_BOOTSTRAP"] = "1"
    env.update(extra)
    return env


def run(program, args, env, statuses=(0,)):
    proc = subprocess.run([program, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    expect(
        proc.returncode in statuses,
        f"{' '.join(args)} ended with {proc.returncode}; stderr: {proc.stderr.decode(errors='replace')}",
    )
    return proc.stdout


def listed_names(program, env):
    """Names from the pretty listing: the "NAME: KIND" lines before the totals."""
    text = run(program, ["--list"], env).decode("utf-8")
    names = []
    for line in text.split("\n"):
        if not line:
            break
        name, _, kind = line.rpartition(": ")
        expect(kind in ("test", "benchmark"), f"unexpected listing line {line!r}")
        names.append(name)
    return names


def json_lines(raw):
    """Parses a JSON event stream: one object per line, every line ended."""
    expect(raw.endswith(b"\n"), "the stream does not end with a line feed")
    objects = []
    for line in raw.decode("utf-8").split("\n")[:-1]:
        try:
            value = json.loads(line)
        except json.JSONDecodeError as err:
            raise Mismatch(f"line does not parse ({err}): {line!r}")
        expect(isinstance(value, dict), f"line is not an object: {line!r}")
        objects.append(value)
    return objects


def check_json(program, env, names, expected_suite):
    listing = json_lines(run(program, ["--list", *UNSTABLE, "--format", "json"], env))
    expect_equal(listing[0], {"type": "suite", "event": "discovery"}, "discovery start")
    expect_equal([o["name"] for o in listing[1:-1]], names, "discovered names")
    expect_equal(listing[-1]["event"], "completed", "discovery end")

    status = 0 if expected_suite["event"] == "ok" else 101
    args = ["--test-threads", "1", *UNSTABLE, "--format", "json", "--show-output"]
    events = json_lines(run(program, args, env, (status,)))
    expect_equal(events[0], {"type": "suite", "event": "started", "test_count": len(names)}, "run start")
    started = [o["name"] for o in events if o.get("event") == "started" and o["type"] == "test"]
    expect_equal(started, names, "started names")
    results = {o["name"]: o for o in events[1:-1] if o.get("event") != "started"}
    expect_equal(list(results), names, "result names")
    suite = events[-1]
    for key, value in expected_suite.items():
        expect_equal(suite.get(key), value, f"suite {key}")
    return results


def check_json_fixture(program, env):
    names = listed_names(program, env)
    for name in ('special::quote"back\\slash', "special::unicode_\u540d\u524d", "doc/example - add (line 7)"):
        expect(name in names, f"{name!r} missing from the listing")
    results = check_json(program, env, names, {"type": "suite", "event": "failed", "passed": 13, "failed": 7,
                                               "ignored": 3, "measured": 0, "filtered_out": 0})
    expect_equal(results["pass::prints"].get("stdout"), "hello from pass::prints\n", "pass::prints output")
    expect_equal(results["pass::thread_output"].get("stdout"), "from a child thread\n", "child thread output")
    expect("stdout" not in results["pass::quiet"], "empty output written as a stdout member")
    escapes = results["special::escapes"]["stdout"]
    want = "tab\tesc\x1b del\x7f quote\" back\\ \u00e9\n\nthread 'special::escapes' ("
    expect(escapes.startswith(want), f"special::escapes output {escapes!r}")
    expect(results["fail::invalid_utf8"]["stdout"].startswith("a\ufffdb\n"), "invalid UTF-8 not replaced")
    expect(results["fail::panics"]["stdout"].startswith("out line\nerr line\n"), "fail::panics output")
    expect_equal(
        results["should_panic::message_mismatch"].get("message"),
        'panic did not contain expected string\n      panic message: "fizzle <&> \\"q\\""\n'
        ' expected substring: "boom"',
        "mismatch message",
    )
    expect_equal(results["ignore::with_message"].get("message"), "needs a card", "ignore message")
    expect_equal(results["ignore::without_message"].get("event"), "ignored", "ignored event")

    benches = json_lines(run(program, ["--test-threads", "1", *UNSTABLE, "--format", "json", "--bench", "bench"],
                             env))
    lines = [o for o in benches if o["type"] == "bench"]
    expect_equal(lines, [
        {"type": "bench", "name": "bench::boxed_records", "median": 1234.5, "deviation": 100,
         "mib_per_second": 1659},
        {"type": "bench", "name": "bench::static_silent", "median": 0, "deviation": 0},
    ], "bench lines")


def check_json_e2e(program, env):
    env = dict(env, TILO_STANDIN_EXIT="1", TILO_STANDIN_MATCH="fanout")
    names = listed_names(program, env)
    expect_equal(len(names), 17, "number of listed tests")
    results = check_json(program, env, names, {"type": "suite", "event": "failed", "passed": 16, "failed": 1})
    failed = [name for name, o in results.items() if o["event"] != "ok"]
    expect_equal(failed, ["direct_multicast_works"], "failed tests")
    expect(
        'hardware capability "single-source multicast graph" failed with exit status: 1\n'
        in results["direct_multicast_works"]["stdout"],
        "capability message missing from the output",
    )


def junit_document(program, env, args, status):
    raw = run(program, ["--test-threads", "1", *UNSTABLE, "--format", "junit", *args], env, (status,))
    expect(raw.endswith(b"\n") and raw.count(b"\n") == 1, "the document is not one line")
    declaration = b'<?xml version="1.0" encoding="UTF-8"?>'
    expect(raw.startswith(declaration), "XML declaration missing")
    try:
        return ElementTree.fromstring(raw)
    except ElementTree.ParseError as err:
        raise Mismatch(f"the document does not parse: {err}")


def test_cases(root):
    expect_equal(root.tag, "testsuites", "root element")
    cases = {}
    for case in root.iter("testcase"):
        cases[(case.get("classname"), case.get("name"))] = case
    return cases


def system_out(case):
    element = case.find("system-out")
    return None if element is None else (element.text or "")


def check_junit_fixture(program, env):
    root = junit_document(program, env, ["--show-output"], 101)
    suite = root.find("testsuite")
    expect_equal((suite.get("failures"), suite.get("tests"), suite.get("skipped")), ("7", "23", "3"), "suite counts")
    cases = test_cases(root)
    expect(("integration", "abort::in_noexcept") not in cases, "an ignored test became a test case")
    for key in [("integration", 'special::quote"back\\slash'), ("integration", "special::unicode_\u540d\u524d"),
                ("doc/example", "add (line 7)"), ("unit::module", "case"), ("unknown", "unclassified_case")]:
        expect(key in cases, f"test case {key!r} missing")
    mismatch = cases[("integration", "should_panic::message_mismatch")].find("failure")
    expect_equal(
        mismatch.get("message"),
        'panic did not contain expected string\n      panic message: "fizzle <&> \\"q\\""\n'
        ' expected substring: "boom"',
        "failure message",
    )
    expect_equal(system_out(cases[("integration", "pass::prints")]), "hello from pass::prints\n", "passing output")
    expect(system_out(cases[("integration", "pass::quiet")]) is None, "empty output written")
    escapes = system_out(cases[("integration", "special::escapes")])
    # ESC cannot appear in an XML 1.0 document; it arrives as U+FFFD.
    want = "tab\tesc\ufffd del\x7f quote\" back\\ \u00e9\n\nthread 'special::escapes' ("
    expect(escapes.startswith(want), f"special::escapes output {escapes!r}")
    expect(system_out(cases[("integration", "fail::invalid_utf8")]).startswith("a\ufffdb\n"), "invalid UTF-8")

    root = junit_document(program, env, ["--bench", "bench"], 0)
    cases = test_cases(root)
    # A benchmark's time is the sum of its samples in nanoseconds.
    expect_equal(cases[("benchmark::integration", "bench::boxed_records")].get("time"), "3734.5", "bench time")


def check_junit_e2e(program, env):
    env = dict(env, TILO_STANDIN_EXIT="1", TILO_STANDIN_MATCH="fanout")
    root = junit_document(program, env, [], 101)
    cases = test_cases(root)
    expect_equal(len(cases), 17, "number of test cases")
    failing = [name for (_, name), case in cases.items() if case.find("failure") is not None]
    expect_equal(failing, ["direct_multicast_works"], "failing test cases")
    output = system_out(cases[("integration", "direct_multicast_works")])
    expect('hardware capability "single-source multicast graph" failed with exit status: 1\n' in output,
           "capability message missing from the output")


MODES = {
    "json-fixture": check_json_fixture,
    "json-e2e": check_json_e2e,
    "junit-fixture": check_junit_fixture,
    "junit-e2e": check_junit_e2e,
}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in MODES:
        print(f"usage: check_formats.py {{{','.join(MODES)}}} PROGRAM", file=sys.stderr)
        return 2
    try:
        MODES[sys.argv[1]](sys.argv[2], clean_env({}))
    except Mismatch as err:
        print(f"check_formats: {sys.argv[1]}: {err}", file=sys.stderr)
        return 1
    print(f"check_formats: {sys.argv[1]}: all lines read back intact")
    return 0


if __name__ == "__main__":
    sys.exit(main())
