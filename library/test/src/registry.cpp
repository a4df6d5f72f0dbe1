#include "registry.hpp"

#include <algorithm>
#include <deque>
#include <functional>
#include <source_location>
#include <string>
#include <utility>

#include "panic.hpp"
#include "text.hpp"
#include <zuno/test.hpp>

namespace test {

namespace {

/// One registration. Entries never move once added (a deque keeps them in
/// place), so the descriptors built from them may borrow their strings.
struct Entry {
    std::string name;
    std::source_location loc;
    zuno::detail::TestSpec traits;
    std::variant<zuno::detail::TestBody, zuno::detail::BenchBody, std::function<void()>> body;
};

/// Constructed on first use, so registrations in any translation unit may run
/// in any order during static initialisation.
std::deque<Entry>& registry() {
    static std::deque<Entry> entries;
    return entries;
}

TestDesc descriptor_of(const Entry& e) {
    TestDesc d;
    d.name = TestName::owned_name(e.name);
    d.ignore = e.traits.ignore;
    if (e.traits.ignore_reason) {
        d.ignore_message = std::string_view(*e.traits.ignore_reason);
    }
    d.source_path = e.loc.file_name();
    d.start_line = e.loc.line();
    d.start_col = e.loc.column();
    d.end_line = e.loc.line();
    d.end_col = d.start_col + e.name.size();
    switch (e.traits.should_panic) {
        case zuno::detail::TestSpec::Panics::No:
            d.should_panic = ShouldPanic::not_expected();
            break;
        case zuno::detail::TestSpec::Panics::Any:
            d.should_panic = ShouldPanic::expected();
            break;
        case zuno::detail::TestSpec::Panics::WithText:
            d.should_panic = ShouldPanic::expected_with_message(e.traits.panic_text);
            break;
    }
    d.test_type = e.traits.unit ? TestType::Unit : TestType::Integration;
    return d;
}

TestFn body_of(const Entry& e) {
    if (const auto* f = std::get_if<zuno::detail::TestBody>(&e.body)) {
        return StaticTestBody{*f};
    }
    if (const auto* f = std::get_if<zuno::detail::BenchBody>(&e.body)) {
        return StaticBenchBody{*f};
    }
    // A dynamic body may run once per run; the harness consumes its copy.
    std::function<void()> f = std::get<std::function<void()>>(e.body);
    return BoxedTestBody{[f = std::move(f)]() -> BodyResult {
        f();
        return BodyResult::ok();
    }};
}

}  // namespace

std::vector<TestDescAndFn> registered_tests() {
    std::vector<const Entry*> order;
    for (const Entry& e : registry()) {
        order.push_back(&e);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const Entry* a, const Entry* b) { return a->name < b->name; });
    for (std::size_t i = 1; i < order.size(); ++i) {
        if (order[i - 1]->name == order[i]->name) {
            rt::panic("duplicate test name: " + order[i]->name);
        }
    }
    std::vector<TestDescAndFn> tests;
    tests.reserve(order.size());
    for (const Entry* e : order) {
        tests.push_back(TestDescAndFn{descriptor_of(*e), body_of(*e)});
    }
    return tests;
}

}  // namespace test

namespace zuno {

namespace detail {

void add_test(std::string name, const std::source_location& loc, TestSpec traits, TestBody body) {
    test::registry().push_back({std::move(name), loc, std::move(traits), body});
}

void add_bench(std::string name, const std::source_location& loc, BenchBody body) {
    test::registry().push_back({std::move(name), loc, TestSpec{}, body});
}

void add_dynamic_test(std::string name, const std::source_location& loc, TestSpec traits,
                      std::function<void()> body) {
    test::registry().push_back({std::move(name), loc, std::move(traits), std::move(body)});
}

}  // namespace detail

}  // namespace zuno
