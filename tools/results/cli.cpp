#include "cli.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "command.hpp"
#include "database.hpp"
#include "gate.hpp"
#include "plan.hpp"
#include "quarantine.hpp"
#include "queries.hpp"
#include "record.hpp"
#include "report.hpp"
#include "table.hpp"

namespace zuno::results {

namespace {

/// One row of the dispatch table.
struct Command {
    std::string_view name;
    unsigned accepts;
    std::function<int(Options&)> run;
    /// Options of the command's own.
    std::vector<OwnOption> own = {};
};

/// Parses the options `command` accepts; the rest are operands. "--" ends the options.
std::optional<std::string> parse_options(const std::vector<std::string>& args,
                                         const Command& command, Options& o) {
    const unsigned accepts = command.accepts;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            o.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (auto eq = arg.find('='); eq != std::string::npos && arg.starts_with("--")) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inline_value) {
                return inline_value;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            return std::nullopt;
        };
        const OwnOption* own = nullptr;
        for (const OwnOption& candidate : command.own) {
            own = candidate.name == name ? &candidate : own;
        }
        if (own != nullptr) {
            if (!own->repeatable && o.has(name)) {
                return name + " is given more than once";
            }
            if (!own->takes_value) {
                if (inline_value) {
                    return name + " takes no value";
                }
                o.own[name].emplace_back();
                continue;
            }
            std::optional<std::string> text = value();
            if (!text) {
                return name + " needs a value";
            }
            o.own[name].push_back(std::move(*text));
        } else if (name == "--json" && !inline_value && (accepts & JSON)) {
            o.json = true;
        } else if (name == "--db") {
            o.db = value();
            if (!o.db || o.db->empty()) {
                return "--db needs a path";
            }
        } else if (name == "--program" && (accepts & FILTER)) {
            o.filter.program = value();
            if (!o.filter.program) {
                return "--program needs a program name";
            }
        } else if (name == "--label" && (accepts & FILTER)) {
            const std::optional<std::string> pair = value();
            const std::size_t eq = pair ? pair->find('=') : std::string::npos;
            if (eq == std::string::npos || !is_label_key(pair->substr(0, eq))) {
                return "--label needs KEY=VALUE (a key is letters, digits, '_', '.' and '-')";
            }
            o.filter.labels.emplace_back(pair->substr(0, eq), pair->substr(eq + 1));
        } else if ((name == "--last" && (accepts & LAST)) || (name == "--top" && (accepts & TOP))) {
            const std::optional<std::string> text = value();
            const std::optional<std::size_t> n = text ? parse_count(*text) : std::nullopt;
            if (!n) {
                return name + " needs a whole number of at least 1";
            }
            (name == "--last" ? o.last : o.top) = n;
        } else {
            return "unknown option " + escape_control(arg) + " for this command";
        }
    }
    return std::nullopt;
}

int cmd_ingest(Options& o) {
    if (o.operands.empty()) {
        return usage_error("ingest needs at least one run record file");
    }
    auto db = open_db(o, Access::Write);
    if (!db) {
        return EXIT_ERROR;
    }
    int status = EXIT_OK;
    for (const std::string& file : o.operands) {
        auto record = read_record(file);
        if (!record) {
            write_err("error: " + file + ": " + record.error() + "\n");
            status = EXIT_PARTIAL;
            continue;
        }
        auto stored = db->ingest(*record, file);
        if (!stored) {
            write_err("error: " + file + ": not stored in " + database_path(o) + ": " +
                      stored.error() + "\n");
            status = EXIT_PARTIAL;
        } else if (*stored == IngestOutcome::AlreadyRecorded) {
            write_out("already recorded: " + record->run_id + " (" + file + ")\n");
        } else {
            write_out("recorded: " + record->run_id + " (" + file + ", " +
                      std::to_string(record->tests.size()) + " tests)\n");
        }
    }
    return status;
}

int cmd_runs(Options& o) {
    if (!o.operands.empty()) {
        return usage_error("runs takes no operands");
    }
    auto db = open_db(o, Access::Read);
    return db ? print_table(query_runs(*db, o.filter, o.last), o) : EXIT_ERROR;
}

int cmd_show(Options& o) {
    if (o.operands.size() != 1) {
        return usage_error("show needs one run: a run id (or a unique prefix of one) or \"last\"");
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    auto run = resolve_run(*db, o.operands[0], o.filter);
    if (!run) {
        write_err("error: " + run.error() + "\n");
        return EXIT_ERROR;
    }
    return print_table(query_show(*db, *run), o);
}

int cmd_failed(Options& o) {
    if (o.operands.size() > 1) {
        return usage_error("failed takes at most one run");
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    std::vector<RunRow> runs;
    if (o.operands.empty() && !o.filter.labels.empty()) {
        auto selected = select_runs(*db, o.filter);
        if (!selected) {
            write_err("error: " + database_path(o) + ": " + selected.error() + "\n");
            return EXIT_ERROR;
        }
        runs = std::move(*selected);
        if (o.last && *o.last < runs.size()) {
            runs.erase(runs.begin(), runs.end() - std::ptrdiff_t(*o.last));
        }
    } else {
        auto run = resolve_run(*db, o.operands.empty() ? "last" : o.operands[0], o.filter);
        if (!run) {
            write_err("error: " + run.error() + "\n");
            return EXIT_ERROR;
        }
        runs.push_back(std::move(*run));
    }
    auto names = query_failed(*db, runs);
    if (!names) {
        write_err("error: " + database_path(o) + ": " + names.error() + "\n");
        return EXIT_ERROR;
    }
    if (o.json) {
        write_out(dump_json(nlohmann::ordered_json(*names)));
        return EXIT_OK;
    }
    std::string text;
    for (const std::string& name : *names) {
        if (name.find('\n') != std::string::npos) {
            write_err("warning: left out a failed test whose name holds a line feed: \"" +
                      escape_control(name) + "\"\n");
            continue;
        }
        text += name;
        text += '\n';
    }
    write_out(text);
    return EXIT_OK;
}

int cmd_flaky(Options& o) {
    if (!o.operands.empty()) {
        return usage_error("flaky takes no operands");
    }
    const std::optional<std::string> days = o.value("--quarantine-days");
    if (days && (!parse_count(*days) || *parse_count(*days) > 36500)) {
        return usage_error("--quarantine-days needs a whole number of days from 1 to 36500");
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    const Expected<Table> table = query_flaky(*db, o.filter, o.last.value_or(30));
    const int status = print_table(table, o);
    return status == EXIT_OK && days ? quarantine_flaky(*db, *table, o) : status;
}

int cmd_slow(Options& o) {
    if (!o.operands.empty()) {
        return usage_error("slow takes no operands");
    }
    auto db = open_db(o, Access::Read);
    return db ? print_table(query_slow(*db, o.filter, o.last.value_or(30), o.top.value_or(20)), o)
              : EXIT_ERROR;
}

int cmd_history(Options& o) {
    if (o.operands.size() != 1) {
        return usage_error("history needs one test name");
    }
    auto db = open_db(o, Access::Read);
    if (!db) {
        return EXIT_ERROR;
    }
    auto table = query_history(*db, o.filter, o.operands[0], o.last.value_or(30));
    if (!table) {
        write_err("error: " + table.error() + "\n");
        return EXIT_PARTIAL;
    }
    return print_table(table, o);
}

int cmd_by_label(Options& o) {
    if (o.operands.size() != 1 || !is_label_key(o.operands[0])) {
        return usage_error("by-label needs one label key (letters, digits, '_', '.' and '-')");
    }
    auto db = open_db(o, Access::Read);
    return db ? print_table(query_by_label(*db, o.filter, o.operands[0]), o) : EXIT_ERROR;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"ingest", 0, cmd_ingest},
        {"runs", JSON | FILTER | LAST, cmd_runs},
        {"show", JSON | FILTER, cmd_show},
        {"failed", JSON | FILTER | LAST, cmd_failed},
        {"flaky", JSON | FILTER | LAST, cmd_flaky, {{"--quarantine-days"}}},
        {"slow", JSON | FILTER | LAST | TOP, cmd_slow},
        {"history", JSON | FILTER | LAST, cmd_history},
        {"by-label", JSON | FILTER, cmd_by_label},
        {"plan", FILTER | LAST, cmd_plan, {{"--shards"}, {"-o"}}},
        {"quarantine", JSON, cmd_quarantine, {{"--reason"}, {"--days"}, {"-o"}}},
        {"baseline", FILTER, cmd_baseline},
        {"bench-compare", JSON | FILTER, cmd_bench_compare, {{"--threshold"}, {"--alpha"}}},
    };
    return table;
}

constexpr std::string_view HELP = R"(Usage: zuno-results COMMAND [OPTIONS] [ARGS...]

Keeps the run records of test programs (written with --run-record PATH) in an
SQLite database and answers questions over them.

Commands:
    ingest FILE...          store run records; a run stored before is skipped
    runs [--last N]         the stored runs, oldest first
    show RUN                every test of a run: outcome, duration, attempts
    failed [RUN]            names of the tests that failed in a run (default:
                            last), or with --label in every run carrying the
                            labels; one name per line, for --tests-from
    flaky [--last N]        tests that both passed and failed, or passed only
                            after a retry, over the last N runs per program
                            (default 30); most failures first
    slow [--top N] [--last N]
                            median and maximum duration per test over the last
                            N runs per program (default 30); the N slowest
                            (default 20)
    history TEST [--last N] one test over the last N runs (default 30)
    by-label KEY            per value of a label: runs, results, failures,
                            failure rate, and the tests that failed only there
    plan --shards N [--last K] [-o FILE]
                            a shard plan for --shard-plan: each test's cost is
                            its median duration over the program's last K runs
                            (default 10); longest first onto the least loaded
                            shard; predicted longest shard and ideal on stderr
    quarantine add NAME... --reason TEXT [--days D]
                            failures of these tests no longer fail a run given
                            the exported file, for D days (default 14)
    quarantine remove NAME...
    quarantine list         quarantined tests: reason, until, failures since
    quarantine export [-o FILE]
                            the quarantine as a file for --quarantine
    flaky --quarantine-days D
                            also quarantine every test listed, for D days
    baseline save NAME RUN  name the benchmark results of a run
    bench-compare BASE NEW [--threshold PCT] [--alpha A]
                            compare the benchmarks of two runs or baselines:
                            medians, change, p of a two-sided Mann-Whitney U
                            test; slower/faster when the change is beyond PCT
                            (default 5) and p < A (default 0.05); new, gone
    report ... -o FILE      one self-contained HTML page over runs or record
                            files (zuno-results report --help)

A RUN is a run id, a unique prefix of one, or "last".

Options:
    --db PATH               the database (default: ZUNO_RESULTS_DB, else
                            zuno-results.db in the current directory)
    --json                  answer in JSON instead of a text table
    --label KEY=VALUE       only runs carrying this label (repeatable)
    --program NAME          only runs of this program
    -h, --help              show this text

Exit status: 0 success; 1 some file was not stored (ingest) or the test has no
results (history), or a benchmark is slower (bench-compare); 2 usage error, or
the database cannot be used.
)";

}  // namespace

int run_command_line(const std::vector<std::string>& args) {
    if (args.empty()) {
        write_err(HELP);
        return EXIT_ERROR;
    }
    if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        write_out(HELP);
        return EXIT_OK;
    }
    if (args[0] == "report") {
        return run_report(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    for (const Command& command : commands()) {
        if (args[0] != command.name) {
            continue;
        }
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        for (const std::string& arg : rest) {
            if (arg == "--") {
                break;
            }
            if (arg == "-h" || arg == "--help") {
                write_out(HELP);
                return EXIT_OK;
            }
        }
        Options options;
        if (auto problem = parse_options(rest, command, options)) {
            return usage_error(*problem);
        }
        const int status = command.run(options);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            write_err(std::string("error: cannot write the answer: ") + std::strerror(errno) +
                      "\n");
            return EXIT_ERROR;
        }
        return status;
    }
    return usage_error("unknown command " + escape_control(args[0]));
}

}  // namespace zuno::results
