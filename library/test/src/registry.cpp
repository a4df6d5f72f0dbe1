#include "registry.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <source_location>
#include <string>
#include <unordered_map>
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
    /// A table row's value, which its shared body reads through current_row().
    const void* context = nullptr;
};

/// Constructed on first use, so registrations in any translation unit may run
/// in any order during static initialisation.
std::deque<Entry>& registry() {
    // Never destroyed: the engine reads it while a test may be calling exit().
    static auto* entries = new std::deque<Entry>;
    return *entries;
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
    return BoxedTestBody{[f = std::move(f)]() -> BodyResult { return zuno::detail::run_body(f); }};
}

/// The entries that carry more than a descriptor holds (a row's value, a time
/// limit, tags), by name. Built by registered_tests() before any test runs and
/// only read afterwards, from any thread.
std::unordered_map<std::string_view, const Entry*>& extras_index() {
    // Never destroyed: the engine reads it while a test may be calling exit().
    static auto* index = new std::unordered_map<std::string_view, const Entry*>;
    return *index;
}

bool has_extras(const Entry& e) {
    return e.context != nullptr || e.traits.timeout || !e.traits.tags.empty();
}

}  // namespace

std::optional<double> registered_timeout(std::string_view name) {
    const auto& index = extras_index();
    const auto it = index.find(name);
    return it == index.end() ? std::nullopt : it->second->traits.timeout;
}

const std::vector<std::string>& registered_tags(std::string_view name) {
    static const std::vector<std::string> none;
    const auto& index = extras_index();
    const auto it = index.find(name);
    return it == index.end() ? none : it->second->traits.tags;
}

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
    auto& index = extras_index();
    for (const Entry* e : order) {
        if (e->traits.timeout && !(*e->traits.timeout > 0 && std::isfinite(*e->traits.timeout))) {
            rt::panic(
                "the time limit of test " + e->name +
                " is not a positive number of seconds: " + std::to_string(*e->traits.timeout));
        }
        if (has_extras(*e)) {
            index.emplace(e->name, e);
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

void add_row(std::string name, const std::source_location& loc, TestSpec traits, TestBody body,
             const void* context) {
    test::registry().push_back({std::move(name), loc, std::move(traits), body, context});
}

const void* current_row() {
    const auto& index = test::extras_index();
    const auto it = index.find(current_test_name());
    if (it == index.end() || it->second->context == nullptr) {
        rt::panic("no table row is running on this thread (test `" +
                  std::string(current_test_name()) + "`)");
    }
    return it->second->context;
}

void add_dynamic_test(std::string name, const std::source_location& loc, TestSpec traits,
                      std::function<void()> body) {
    test::registry().push_back({std::move(name), loc, std::move(traits), std::move(body)});
}

}  // namespace detail

}  // namespace zuno
