#pragma once
// The parsed harness options, shared by selection, the engine and the console
// driver. Built once by the command-line parser, read-only afterwards; plain
// data that any thread may read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library/test/src/time.hpp"
#include "library/test/src/types.hpp"

namespace test {

enum class OutputFormat : std::uint8_t { Pretty = 0, Terse = 1, Json = 2, Junit = 3 };
enum class ColorConfig : std::uint8_t { Auto = 0, Always = 1, Never = 2 };
enum class RunIgnored : std::uint8_t { Include = 0, Exclude = 1, Only = 2 };

/// The parsed harness options; built once, read-only afterwards.
struct TestOpts {
    bool list = false;
    std::vector<std::string> filters;
    bool exact = false;
    bool force_run_in_process = false;
    bool exclude_should_panic = false;
    RunIgnored run_ignored = RunIgnored::Exclude;
    bool run_tests = true;
    bool bench = false;
    std::optional<std::string> logfile;
    bool nocapture = false;
    ColorConfig color = ColorConfig::Auto;
    OutputFormat format = OutputFormat::Pretty;
    bool shuffle = false;
    std::optional<std::uint64_t> shuffle_seed;
    std::optional<std::size_t> test_threads;
    std::vector<std::string> skip;
    std::optional<TestTimeOptions> time_options;
    RunOptions run_options;
    bool fail_fast = false;

    /// Always: true; Never: false; Auto: capture on and descriptor 1 is a terminal.
    [[nodiscard]] bool use_color() const;
    /// Field by field; every field takes part.
    bool operator==(const TestOpts&) const = default;
};

}  // namespace test
