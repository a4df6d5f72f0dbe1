#include "filter.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace test {

namespace {

// True when `name` matches any of `patterns`: equality with `exact`, otherwise
// containment as a contiguous byte sequence (an empty pattern matches all).
bool matches_any(std::string_view name, const std::vector<std::string>& patterns, bool exact) {
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) {
        return exact ? name == p : name.find(p) != std::string_view::npos;
    });
}

}  // namespace

std::vector<TestDescAndFn> filter_tests(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
    // Each step erases in place: survivors are moved down, removed ones destroyed.
    if (opts.tests_from) {
        const std::unordered_set<std::string_view> names(opts.tests_from->names.begin(),
                                                         opts.tests_from->names.end());
        std::erase_if(tests, [&](const TestDescAndFn& t) {
            return !names.contains(t.descriptor.name.as_slice());
        });
    } else if (!opts.filters.empty()) {
        std::erase_if(tests, [&](const TestDescAndFn& t) {
            return !matches_any(t.descriptor.name.as_slice(), opts.filters, opts.exact);
        });
    }
    if (!opts.skip.empty()) {
        std::erase_if(tests, [&](const TestDescAndFn& t) {
            return matches_any(t.descriptor.name.as_slice(), opts.skip, opts.exact);
        });
    }
    if (opts.exclude_should_panic) {
        std::erase_if(tests, [](const TestDescAndFn& t) {
            return t.descriptor.should_panic.kind != ShouldPanic::Kind::NotExpected;
        });
    }
    switch (opts.run_ignored) {
        case RunIgnored::Include:
            for (auto& t : tests) {
                t.descriptor.ignore = false;
            }
            break;
        case RunIgnored::Exclude:
            break;
        case RunIgnored::Only:
            std::erase_if(tests, [](const TestDescAndFn& t) { return !t.descriptor.ignore; });
            for (auto& t : tests) {
                t.descriptor.ignore = false;
            }
            break;
    }
    return tests;
}

std::vector<TestDescAndFn> shard_tests(const Shard& shard, std::vector<TestDescAndFn> tests,
                                       const ShardPlanFile* plan) {
    if (plan != nullptr && !plan->shard_of.empty()) {
        // Planned tests go to their shard; the others are dealt out in turn,
        // counted among themselves.
        std::size_t unplanned = 0;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < tests.size(); ++i) {
            const auto it = plan->shard_of.find(std::string(tests[i].descriptor.name.as_slice()));
            const std::size_t home = it != plan->shard_of.end()
                                         ? it->second
                                         : unplanned++ % std::max<std::size_t>(shard.count, 1);
            if (home == shard.index) {
                if (kept != i) {
                    tests[kept] = std::move(tests[i]);
                }
                ++kept;
            }
        }
        tests.erase(tests.begin() + static_cast<std::ptrdiff_t>(kept), tests.end());
        return tests;
    }
    if (shard.count <= 1) {
        return tests;
    }
    // Test i of the shard's own list is test index + i * count of the whole one.
    std::size_t kept = 0;
    for (std::size_t i = shard.index; i < tests.size(); i += shard.count) {
        if (kept != i) {
            tests[kept] = std::move(tests[i]);
        }
        ++kept;
    }
    tests.erase(tests.begin() + static_cast<std::ptrdiff_t>(kept), tests.end());
    return tests;
}

std::vector<TestDescAndFn> convert_benchmarks_to_tests(std::vector<TestDescAndFn> tests) {
    for (auto& t : tests) {
        auto& body = t.body.body();
        if (auto* b = std::get_if<StaticBenchBody>(&body)) {
            body = StaticBenchOnce{b->f};
        } else if (auto* b = std::get_if<BoxedBenchBody>(&body)) {
            auto f = std::move(b->f);
            body = BoxedBenchOnce{std::move(f)};
        }
    }
    return tests;
}

}  // namespace test
