"""Drives hostile_fixture (and hardware_e2e) where a golden text cannot:

    check_hostile.py json HOSTILE E2E
    check_hostile.py flood HOSTILE [--sanitized]

json: runs tests that write straight to descriptor 1 (printf, a plain thread,
a child process; for hardware_e2e the stand-in runners' log sent to
/dev/stdout) with --format json; every line of standard output must parse as
a JSON object and the stray lines must arrive on standard error instead.

flood: a test prints 200 MiB under capture; in the pretty, JSON and JUnit
forms the output must show the omission line, and the harness's peak
resident memory (getrusage of the child) must stay within 64 MiB of a run
of one quiet test. With --sanitized (a sanitizer build, whose shadow memory
and quarantine dwarf the harness's own) it is skipped with status 77.
"""

import json
import os
import re
import subprocess
import sys

UNSTABLE = ["-Z", "unstable-options"]


def clean_env(extra=None):
    env = {k: v for k, v in os.environ.items() if not (k.startswith("ZUNO") or k.startswith("TILO_STANDIN_") or k == "TERM")}
    env["ZUNOC_BOOTSTRAP"] = "1"
    env.update(extra or {})
    return env


def run(args, env):
    """Runs a program; returns (status, stdout, stderr)."""
    proc = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return proc.returncode, proc.stdout, proc.stderr


def run_measured(args, env):
    """Like run(), with the child's peak resident set size (KiB) from wait4."""
    with open(os.devnull, "wb") as devnull:
        proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=devnull)
        out = proc.stdout.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, out, usage.ru_maxrss


def fail(message):
    print(f"check_hostile: {message}")
    sys.exit(1)


def check_json_lines(name, out):
    lines = out.decode("utf-8", errors="strict").splitlines()
    if not lines:
        fail(f"{name}: no output")
    for number, line in enumerate(lines, 1):
        try:
            value = json.loads(line)
        except ValueError as error:
            fail(f"{name}: line {number} is not JSON ({error}): {line!r}")
        if not isinstance(value, dict):
            fail(f"{name}: line {number} is not an object: {line!r}")
    return lines


def check_json(hostile, e2e):
    status, out, err = run([hostile, "--test-threads", "2", *UNSTABLE, "--format", "json", "--exact", "stray::output", "pass::quiet"], clean_env())
    if status != 0:
        fail(f"stray output run ended with {status}: {err!r}")
    check_json_lines("hostile", out)
    for stray in (b"stray printf from the test", b"stray printf from a plain thread", b"stray line from a child"):
        if stray not in err:
            fail(f"{stray!r} did not reach standard error")

    status, out, err = run([e2e, "--test-threads", "2", *UNSTABLE, "--format", "json"], clean_env({"TILO_STANDIN_LOG": "/dev/stdout"}))
    if status != 0:
        fail(f"hardware_e2e ended with {status}: {err!r}")
    lines = check_json_lines("hardware_e2e", out)
    runner_lines = err.count(b"\n")
    if runner_lines < 17:
        fail(f"hardware_e2e: only {runner_lines} runner log lines on standard error")
    print(f"check_hostile: json: {len(lines)} lines parse; stray output went to standard error")


def check_flood(hostile):
    omitted = re.compile(rb"\[\.\.\. (\d+) bytes of output omitted \.\.\.\]")
    for form in ("pretty", "json", "junit"):
        args = [hostile, "--test-threads", "1", *UNSTABLE, "--format", form, "--exact"]
        _, _, baseline = run_measured(args + ["pass::quiet"], clean_env())
        status, out, peak = run_measured(args + ["flood::output"], clean_env())
        if status != 101:
            fail(f"{form}: the flooding test's run ended with {status}")
        found = omitted.search(out)
        if not found or int(found.group(1)) < 150 * 1024 * 1024:
            fail(f"{form}: no omission line for the 200 MiB printed")
        growth = (peak - baseline) // 1024
        if growth > 64:
            fail(f"{form}: peak memory grew by {growth} MiB (limit 64)")
        print(f"check_hostile: flood: {form}: {int(found.group(1))} bytes omitted, peak +{growth} MiB")


def main():
    mode = sys.argv[1]
    if mode == "json":
        check_json(sys.argv[2], sys.argv[3])
    elif mode == "flood":
        if "--sanitized" in sys.argv[3:]:
            print("check_hostile: skipped: peak memory means nothing under a sanitizer")
            sys.exit(77)
        check_flood(sys.argv[2])
    else:
        fail(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
