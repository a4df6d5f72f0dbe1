#include "plan.hpp"

#include <utility>

#include "filter.hpp"
#include "helpers/shuffle.hpp"

namespace test {

namespace {

// Puts `queue` in the order `seed` gives the names of its tests.
void shuffle_queue(std::uint64_t seed, const std::vector<TestDescAndFn>& tests,
                   std::vector<std::size_t>& queue) {
    std::vector<const TestName*> names;
    names.reserve(queue.size());
    for (const std::size_t i : queue) {
        names.push_back(&tests[i].descriptor.name);
    }
    const std::vector<std::size_t> order = helpers::shuffled_order(seed, names);
    std::vector<std::size_t> shuffled(queue.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        shuffled[k] = queue[order[k]];
    }
    queue = std::move(shuffled);
}

}  // namespace

Plan make_plan(const TestOpts& opts, std::vector<TestDescAndFn> tests, PlanFor use) {
    Plan plan;
    const std::size_t registered = tests.size();
    tests = filter_tests(opts, std::move(tests));
    if (use == PlanFor::Run && !opts.bench) {
        tests = convert_benchmarks_to_tests(std::move(tests));
    }
    const std::size_t selected = tests.size();
    if (opts.shard) {
        tests = shard_tests(*opts.shard, std::move(tests),
                            opts.shard_plan ? &*opts.shard_plan : nullptr);
    }
    plan.filtered_out = registered - tests.size();
    plan.other_shards = selected - tests.size();
    plan.tests = std::move(tests);
    if (use == PlanFor::Listing) {
        return plan;
    }

    plan.queue.reserve(plan.tests.size());
    for (std::size_t i = 0; i < plan.tests.size(); ++i) {
        TestDescAndFn& test = plan.tests[i];
        test.descriptor.name = std::move(test.descriptor.name).with_padding(test.body.padding());
        (opts.bench && test.body.is_bench() ? plan.benchmarks : plan.queue).push_back(i);
    }
    // Benchmarks keep their order.
    plan.shuffle_seed = helpers::get_shuffle_seed(opts);
    if (plan.shuffle_seed) {
        shuffle_queue(*plan.shuffle_seed, plan.tests, plan.queue);
    }
    return plan;
}

}  // namespace test
