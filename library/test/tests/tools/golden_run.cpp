// golden_run: runs a program and compares its standard output, standard error
// and exit status byte for byte with approved files.
//
//   golden_run --approved DIR --case NAME --status TEXT [--sort-test-lines] [--keep-locations]
//              [--stdout-devfull] [--env NAME=VALUE]... [--unset NAME]...
//              [--tic SOURCE] [--extra-file PATH] -- PROGRAM ARGS...
//
// Expected texts live in DIR/NAME.stdout.txt and DIR/NAME.stderr.txt (a
// missing file means empty). Before comparing, what truly varies from run to
// run is normalised in the actual output: thread ids and line:column of panic
// reports (kept with --keep-locations), and measured times. --sort-test-lines sorts each run of
// consecutive per-test result lines, whose order depends on thread timing.
// --tic compiles a terminfo source into a fresh directory and points
// TERMINFO_DIRS at it. --extra-file names a file the program writes (a log
// file, say); it is removed first and its content afterwards is compared with
// DIR/NAME.extra.txt. On a mismatch the actual texts are written to
// NAME.*.unapproved.txt in the current directory and a diff is printed;
// with GOLDEN_UPDATE=1 the approved files are rewritten instead.

#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "process.hpp"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// Replaces what varies between runs by fixed placeholders.
std::string normalise(const std::string& text, bool keep_locations) {
    // The thread name stops at its closing quote: a JUnit document holds
    // several reports on its one line, and each must be matched on its own.
    static const std::regex thread_report(
        R"((thread '[^'\n]*' )\(\d+\)( panicked at [^\n]*?):(\d+:\d+):)");
    static const std::regex suite_time(R"(finished in \d+\.\d\ds)");
    static const std::regex test_time(R"( <\d+\.\d\d\ds>)");
    static const std::regex json_time(R"("exec_time": [0-9.]+)");
    // A JUnit time of exactly 0 means "not measured" and stays as it is.
    static const std::regex junit_time(R"( time="(?!0")[0-9.]+")");
    std::string out = std::regex_replace(text, thread_report,
                                         keep_locations ? "$1(TID)$2:$3:" : "$1(TID)$2:LINE:COL:");
    out = std::regex_replace(out, suite_time, "finished in TIME");
    out = std::regex_replace(out, test_time, " <TIME>");
    out = std::regex_replace(out, json_time, "\"exec_time\": TIME");
    out = std::regex_replace(out, junit_time, " time=\"TIME\"");
    return out;
}

bool is_test_line(const std::string& line) {
    return line.rfind("test ", 0) == 0 || line.rfind("{ \"type\": \"test\"", 0) == 0;
}

// Sorts every maximal run of consecutive per-test lines.
std::string sort_test_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    for (std::size_t i = 0; i < lines.size();) {
        std::size_t j = i;
        while (j < lines.size() && is_test_line(lines[j]) && lines[j].back() == '\n') {
            ++j;
        }
        std::sort(lines.begin() + static_cast<long>(i), lines.begin() + static_cast<long>(j));
        i = j == i ? i + 1 : j;
    }
    std::string out;
    for (const auto& l : lines) {
        out += l;
    }
    return out;
}

int usage_error(const char* what) {
    std::cerr << "golden_run: " << what << "\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, name, status;
    bool sort = false, devfull = false, keep_locations = false;
    std::vector<std::pair<std::string, std::string>> env;
    std::vector<std::string> unset, command;
    std::string tic_source, extra_file;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--approved") {
            dir = next();
        } else if (a == "--case") {
            name = next();
        } else if (a == "--status") {
            status = next();
        } else if (a == "--sort-test-lines") {
            sort = true;
        } else if (a == "--keep-locations") {
            keep_locations = true;
        } else if (a == "--stdout-devfull") {
            devfull = true;
        } else if (a == "--env") {
            std::string kv = next();
            auto eq = kv.find('=');
            if (eq == std::string::npos) {
                return usage_error("--env needs NAME=VALUE");
            }
            env.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        } else if (a == "--unset") {
            unset.push_back(next());
        } else if (a == "--extra-file") {
            extra_file = next();
        } else if (a == "--tic") {
            tic_source = next();
        } else {
            return usage_error(("unknown argument " + a).c_str());
        }
    }
    for (; i < argc; ++i) {
        command.emplace_back(argv[i]);
    }
    if (dir.empty() || name.empty() || command.empty()) {
        return usage_error("--approved, --case and a command are required");
    }

    // No core files from programs that abort on purpose.
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    // The programs under test read these; a developer's or CI's own settings
    // must not leak into the comparison.
    for (const char* var : {"ZUNO_TEST_THREADS",
                            "ZUNO_TEST_NOCAPTURE",
                            "ZUNO_TEST_REUSE_THREADS",
                            "ZUNO_TEST_SHUFFLE",
                            "ZUNO_TEST_SHUFFLE_SEED",
                            "ZUNO_TEST_TIME_UNIT",
                            "ZUNO_TEST_TIME_INTEGRATION",
                            "ZUNO_TEST_TIME_DOCTEST",
                            "ZUNO_BACKTRACE",
                            "ZUNO_MIN_STACK",
                            "ZUNOC_BOOTSTRAP",
                            "TERM",
                            "TERMINFO",
                            "TERMINFO_DIRS",
                            "MSYSCON",
                            "TILO_STANDIN_SLEEP_MS",
                            "TILO_STANDIN_EXIT",
                            "TILO_STANDIN_SIGNAL",
                            "TILO_STANDIN_MATCH",
                            "TILO_STANDIN_LOG",
                            "FIXTURE_SLEEP_MS"}) {
        unsetenv(var);
    }
    for (const auto& u : unset) {
        unsetenv(u.c_str());
    }
    if (!tic_source.empty()) {
        char tmpl[] = "/tmp/golden-terminfo-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return usage_error("cannot create a terminfo directory");
        }
        rt::Command tic("/usr/bin/tic");
        tic.arg("-x").arg("-o").arg(tmpl).arg(tic_source);
        auto compiled = tic.output();
        if (!compiled.ok() || !compiled->status.success()) {
            return usage_error("tic failed");
        }
        env.emplace_back("TERMINFO_DIRS", tmpl);
    }
    if (devfull) {
        int fd = open("/dev/full", O_WRONLY);
        if (fd < 0 || dup2(fd, 1) < 0) {
            return usage_error("cannot open /dev/full");
        }
        close(fd);
    }

    if (!extra_file.empty()) {
        std::remove(extra_file.c_str());
    }
    rt::Command cmd(command[0]);
    for (std::size_t k = 1; k < command.size(); ++k) {
        cmd.arg(command[k]);
    }
    for (const auto& [k, v] : env) {
        cmd.env(k, v);
    }
    cmd.stdout_(devfull ? rt::Stdio::Inherit : rt::Stdio::Piped).stderr_(rt::Stdio::Piped);
    auto result = cmd.output();
    if (!result.ok()) {
        std::cerr << "golden_run: cannot start " << command[0] << ": " << result.error().debug()
                  << "\n";
        return 1;
    }
    std::string out(result->stdout_bytes.begin(), result->stdout_bytes.end());
    std::string err(result->stderr_bytes.begin(), result->stderr_bytes.end());
    out = normalise(out, keep_locations);
    err = normalise(err, keep_locations);
    if (sort) {
        out = sort_test_lines(out);
    }
    std::string actual_status = result->status.to_string();

    const std::string out_path = dir + "/" + name + ".stdout.txt";
    const std::string err_path = dir + "/" + name + ".stderr.txt";
    const std::string extra_path = dir + "/" + name + ".extra.txt";
    const std::string extra =
        extra_file.empty() ? "" : normalise(read_file(extra_file), keep_locations);
    if (const char* update = std::getenv("GOLDEN_UPDATE"); update && std::string(update) == "1") {
        write_file(out_path, out);
        if (!err.empty()) {
            write_file(err_path, err);
        } else {
            std::remove(err_path.c_str());
        }
        if (!extra_file.empty()) {
            write_file(extra_path, extra);
        }
        std::cerr << "golden_run: updated " << name << " (status " << actual_status << ")\n";
        return 0;
    }

    bool ok = true;
    auto check = [&](const std::string& label, const std::string& path, const std::string& got) {
        std::string want = read_file(path);
        if (want == got) {
            return;
        }
        ok = false;
        std::string unapproved = name + "." + label + ".unapproved.txt";
        write_file(unapproved, got);
        std::cerr << "golden_run: " << label << " of " << name << " differs from " << path << "\n";
        std::string diff = "diff -u '" + path + "' '" + unapproved + "' >&2";
        if (std::system(diff.c_str()) < 0) {
            std::cerr << "golden_run: could not run diff\n";
        }
    };
    check("stdout", out_path, out);
    check("stderr", err_path, err);
    if (!extra_file.empty()) {
        check("extra", extra_path, extra);
    }
    if (actual_status != status) {
        ok = false;
        std::cerr << "golden_run: status of " << name << " is '" << actual_status << "', expected '"
                  << status << "'\n";
    }
    return ok ? 0 : 1;
}
