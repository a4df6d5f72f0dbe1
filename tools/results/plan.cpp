#include "plan.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace zuno::results {

namespace {

/// How many recent runs of the program give a test its cost, by default.
constexpr std::size_t DEFAULT_COST_RUNS = 10;

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

std::string seconds_text(double seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3fs", seconds);
    return text;
}

/// The costs of the tests of `program`: the median duration over the last
/// `window` runs among `runs` (oldest first) that report each test. Ignored
/// results took no time and are left out.
Expected<std::vector<TestCost>> recorded_costs(Database& db, const std::vector<RunRow>& runs,
                                               std::size_t window) {
    auto s = db.connection().prepare(
        "SELECT n.name, r.duration_s FROM results r JOIN names n ON n.id = r.test"
        " WHERE r.run = ?1 AND r.outcome != 2");
    if (!s) {
        return Error{s.error()};
    }
    std::unordered_map<std::string, std::vector<double>> durations;
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        s->bind(1, run->key);
        while (true) {
            auto row = s->step();
            if (!row) {
                return Error{row.error()};
            }
            if (!*row) {
                break;
            }
            std::vector<double>& seen = durations[std::string(s->text(0))];
            if (seen.size() < window) {
                seen.push_back(s->real(1));
            }
        }
        s->reset();
    }
    std::vector<TestCost> costs;
    costs.reserve(durations.size());
    for (auto& [name, values] : durations) {
        costs.push_back({name, median_of(std::move(values))});
    }
    std::sort(costs.begin(), costs.end(),
              [](const TestCost& a, const TestCost& b) { return a.name < b.name; });
    return costs;
}

}  // namespace

ShardPlan plan_shards(const std::vector<TestCost>& costs, std::size_t shards) {
    ShardPlan plan;
    plan.shard_of.assign(costs.size(), 0);
    plan.totals.assign(std::max<std::size_t>(shards, 1), 0.0);
    std::vector<std::size_t> order(costs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (costs[a].seconds != costs[b].seconds) {
            return costs[a].seconds > costs[b].seconds;
        }
        return costs[a].name < costs[b].name;
    });
    for (std::size_t i : order) {
        // min_element returns the first of equal totals: the lowest index.
        const auto least = std::min_element(plan.totals.begin(), plan.totals.end());
        plan.shard_of[i] = static_cast<std::size_t>(least - plan.totals.begin());
        *least += costs[i].seconds;
    }
    return plan;
}

std::vector<double> round_robin_totals(const std::vector<TestCost>& costs, std::size_t shards) {
    std::vector<double> totals(std::max<std::size_t>(shards, 1), 0.0);
    for (std::size_t i = 0; i < costs.size(); ++i) {
        totals[i % totals.size()] += costs[i].seconds;
    }
    return totals;
}

std::string plan_document(const std::vector<TestCost>& costs, const ShardPlan& plan) {
    std::vector<std::size_t> order(costs.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return costs[a].name < costs[b].name; });
    nlohmann::ordered_json tests = nlohmann::ordered_json::object();
    for (std::size_t i : order) {
        tests[costs[i].name] = plan.shard_of[i];
    }
    const nlohmann::ordered_json document = {{"format", PLAN_FORMAT},
                                             {"version", PLAN_VERSION},
                                             {"shards", plan.totals.size()},
                                             {"tests", std::move(tests)}};
    return dump_json(document);
}

int cmd_plan(Options& o) {
    if (!o.operands.empty()) {
        return usage_error("plan takes no operands");
    }
    const std::optional<std::string> shards_text = o.value("--shards");
    const std::optional<std::size_t> shards =
        shards_text ? parse_count(*shards_text) : std::nullopt;
    if (!shards) {
        return usage_error("plan needs --shards N, a whole number of at least 1");
    }
    const std::optional<std::string> output = o.value("-o");
    if (output && output->empty()) {
        return usage_error("-o needs a file name");
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    auto runs = select_runs(*db, o.filter);
    if (!runs) {
        write_err("error: " + database_path(o) + ": " + runs.error() + "\n");
        return EXIT_ERROR;
    }
    // A plan is for one program: its tests' names mean nothing to another.
    std::vector<std::string> programs;
    for (const RunRow& run : *runs) {
        if (std::find(programs.begin(), programs.end(), run.program) == programs.end()) {
            programs.push_back(run.program);
        }
    }
    if (programs.empty()) {
        write_err("error: " + database_path(o) + ": no run recorded" +
                  (o.filter.program || !o.filter.labels.empty()
                       ? " that matches --program and --label"
                       : "") +
                  "; nothing to plan from\n");
        return EXIT_PARTIAL;
    }
    if (programs.size() > 1) {
        std::string names;
        for (const std::string& p : programs) {
            names += (names.empty() ? "" : ", ") + p;
        }
        return usage_error("the runs are of several programs (" + names +
                           "); choose one with --program");
    }
    auto costs = recorded_costs(*db, *runs, o.last.value_or(DEFAULT_COST_RUNS));
    if (!costs) {
        write_err("error: " + database_path(o) + ": " + costs.error() + "\n");
        return EXIT_ERROR;
    }
    const ShardPlan plan = plan_shards(*costs, *shards);
    const std::string document = plan_document(*costs, plan);
    if (write_document(output, document, "plan") != EXIT_OK) {
        return EXIT_ERROR;
    }
    const auto longest = std::max_element(plan.totals.begin(), plan.totals.end());
    const double total = std::accumulate(plan.totals.begin(), plan.totals.end(), 0.0);
    write_err("planned " + std::to_string(costs->size()) + " tests of " + programs.front() +
              " into " + std::to_string(*shards) + " shards\n" + "predicted longest shard: " +
              seconds_text(*longest) + " (shard " + std::to_string(longest - plan.totals.begin()) +
              ")\n" + "ideal: " + seconds_text(total / double(*shards)) + " (total " +
              seconds_text(total) + " / " + std::to_string(*shards) + ")\n");
    return EXIT_OK;
}

}  // namespace zuno::results
