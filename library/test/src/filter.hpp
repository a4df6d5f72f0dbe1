#pragma once
// Test selection: narrows the list handed to the harness by name filters, skip
// filters, expected-panic exclusion and the ignored-test treatment, and turns
// benchmarks into run-once tests. Both take the list by value and hand it back;
// kept entries are moved, never copied, and keep their relative order.

#include <vector>

#include "test_opts.hpp"
#include "types.hpp"

namespace test {

/// Keeps the tests `opts` selects, in order: the names of `tests_from` (equal
/// names keep) or else the name filters (any match keeps),
/// skip filters (any match removes), should-panic exclusion, then run_ignored
/// (Include clears every ignore flag; Only keeps just ignored tests and clears
/// their flag). With `exact` a filter matches equal names, otherwise substrings.
[[nodiscard]] std::vector<TestDescAndFn> filter_tests(const TestOpts& opts,
                                                      std::vector<TestDescAndFn> tests);

/// Keeps the tests of `shard`: numbering `tests` 0, 1, 2, ... in order, test
/// i belongs to shard i mod count. With a `plan`, a test it names belongs to
/// its planned shard, and only the others are numbered (among themselves).
/// Kept tests stay in order.
[[nodiscard]] std::vector<TestDescAndFn> shard_tests(const Shard& shard,
                                                     std::vector<TestDescAndFn> tests,
                                                     const ShardPlanFile* plan = nullptr);

/// Turns StaticBenchBody into StaticBenchOnce and BoxedBenchBody into
/// BoxedBenchOnce; other bodies, descriptors and order are unchanged.
[[nodiscard]] std::vector<TestDescAndFn> convert_benchmarks_to_tests(
    std::vector<TestDescAndFn> tests);

}  // namespace test
