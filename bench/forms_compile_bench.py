#!/usr/bin/env python3
"""Compile time, peak compiler memory and run time of one file of tests
written with <zuno/test.hpp>, against the same tests written for GoogleTest.

    bench/forms_compile_bench.py BUILD_DIR [--tests N] [--repeat R] [--opt FLAG]...

BUILD_DIR is a build folder of this project (its libzuno_*.a are linked).
Generates one file of N tests (default 1,000) with five assertions each
(equality, inequality, ordering, a condition and a tolerance) in both
vocabularies, compiles each with the same compiler and flags R times (default
3) per optimisation flag (default -O0 and -O2), and reports the best wall time
and the peak resident memory of the compiler. Then links both programs and
runs each R times with its output thrown away: GoogleTest's runner (one
thread), the harness with --test-threads 1 and with its default threads.
Figures are best-of-R; compare ratios, on a quiet machine.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def test_body(i, fatal):
    # Five assertions whose operands the compiler cannot fold away.
    if fatal == "zuno":
        return (f"    const int v = value({i});\n"
                f"    ZUNO_ASSERT_EQ(v, {i});\n"
                f"    ZUNO_ASSERT_NE(name(v), \"x\");\n"
                f"    ZUNO_ASSERT_LT(v, {i + 1});\n"
                f"    ZUNO_ASSERT(v >= 0);\n"
                f"    ZUNO_ASSERT_NEAR(v * 0.5, {i} * 0.5, 1e-9);\n")
    return (f"    const int v = value({i});\n"
            f"    ASSERT_EQ(v, {i});\n"
            f"    ASSERT_NE(name(v), \"x\");\n"
            f"    ASSERT_LT(v, {i + 1});\n"
            f"    ASSERT_TRUE(v >= 0);\n"
            f"    ASSERT_NEAR(v * 0.5, {i} * 0.5, 1e-9);\n")


PRELUDE = """#include <string>
{include}
// Opaque to the optimiser: the values come from a volatile.
static volatile int offset = 0;
static int value(int i) {{ return i + offset; }}
static std::string name(int v) {{ return std::to_string(v); }}
"""


def write_sources(directory, count):
    zuno = [PRELUDE.format(include="#include <zuno/test.hpp>")]
    gtest = [PRELUDE.format(include="#include <gtest/gtest.h>")]
    for i in range(count):
        zuno.append(f'ZUNO_TEST("suite::case_{i}") {{\n{test_body(i, "zuno")}}}\n')
        gtest.append(f"TEST(Suite, Case{i}) {{\n{test_body(i, 'gtest')}}}\n")
    paths = (directory / "zuno_tests.cpp", directory / "gtest_tests.cpp")
    paths[0].write_text("".join(zuno))
    paths[1].write_text("".join(gtest))
    return paths


def measure(command, stdout=None):
    """Wall seconds and peak resident KiB of one run of `command`."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    return elapsed, usage.ru_maxrss, code, errors


def best(command, repeat, expect_ok=True, stdout=None):
    runs = []
    for _ in range(repeat):
        elapsed, rss, code, errors = measure(command, stdout)
        if expect_ok and code != 0:
            sys.exit(f"failed ({code}): {' '.join(map(str, command))}\n{errors}")
        runs.append((elapsed, rss))
    return min(r[0] for r in runs), max(r[1] for r in runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_dir", type=Path)
    parser.add_argument("--tests", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--opt", action="append", help="optimisation flag (repeatable)")
    parser.add_argument("--cxx", default=os.environ.get("CXX", "g++"))
    args = parser.parse_args()
    opts = args.opt or ["-O0", "-O2"]

    libs = [args.build_dir / "library/test/libzuno_test_main.a",
            args.build_dir / "library/test/libzuno_test.a",
            args.build_dir / "library/runtime/libzuno_rt.a"]
    for lib in libs:
        if not lib.exists():
            sys.exit(f"error: {lib}: not found (build the harness in {args.build_dir} first)")
    include = REPO / "library/test/include"

    with tempfile.TemporaryDirectory(prefix="forms_bench_") as tmp:
        work = Path(tmp)
        zuno_src, gtest_src = write_sources(work, args.tests)
        print(f"{args.tests} tests x 5 assertions, {args.cxx}, best of {args.repeat}")
        print(f"{'compile':<10}{'zuno s':>10}{'gtest s':>10}{'ratio':>8}"
              f"{'zuno MiB':>10}{'gtest MiB':>11}{'ratio':>8}")
        objects = {}
        for opt in opts:
            row = {}
            for kind, src in (("zuno", zuno_src), ("gtest", gtest_src)):
                obj = work / f"{kind}{opt}.o"
                command = [args.cxx, "-std=c++20", opt, "-c", str(src), "-o", str(obj)]
                if kind == "zuno":
                    command[1:1] = ["-I", str(include)]
                row[kind] = best(command, args.repeat)
                objects[(kind, opt)] = obj
            (zt, zm), (gt, gm) = row["zuno"], row["gtest"]
            print(f"{opt:<10}{zt:>10.2f}{gt:>10.2f}{zt / gt:>8.2f}"
                  f"{zm / 1024:>10.0f}{gm / 1024:>11.0f}{zm / gm:>8.2f}")

        opt = opts[-1]
        zuno_exe, gtest_exe = work / "zuno_tests", work / "gtest_tests"
        subprocess.run([args.cxx, str(objects[("zuno", opt)]), *map(str, libs), "-pthread",
                        "-o", str(zuno_exe)], check=True)
        subprocess.run([args.cxx, str(objects[("gtest", opt)]), "-lgtest_main", "-lgtest",
                        "-pthread", "-o", str(gtest_exe)], check=True)
        with open(os.devnull, "wb") as null:
            gtest_time, _ = best([str(gtest_exe)], args.repeat, stdout=null)
            serial, _ = best([str(zuno_exe), "--test-threads", "1"], args.repeat, stdout=null)
            parallel, _ = best([str(zuno_exe)], args.repeat, stdout=null)
        print(f"run ({opt}): gtest {gtest_time * 1000:.1f} ms; zuno --test-threads 1 "
              f"{serial * 1000:.1f} ms (x{serial / gtest_time:.2f}); zuno default threads "
              f"{parallel * 1000:.1f} ms (x{parallel / gtest_time:.2f})")


if __name__ == "__main__":
    main()
