#pragma once
// Helpers shared by the unit tests of the runtime and the harness: a guard that
// sets or clears environment variables and restores them, output capture on the
// calling thread, and running code under a silent panic hook. Header-only; each
// helper acts on process-wide state (environment, panic hook) or on the calling
// thread's capture, so tests using them must not race one another on it.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io.hpp"
#include "panic.hpp"

namespace test::support {

/// Saves the named environment variables when built and puts each back (its
/// value, or its absence) when destroyed.
class EnvGuard {
public:
    /// Saves every name in `names` (a range of C strings, e.g. an array).
    template <typename Names>
    explicit EnvGuard(const Names& names) {
        for (const char* name : names) {
            save(name);
        }
    }
    /// Saves `name`, then sets it to `value` (null: unsets it).
    EnvGuard(const char* name, const char* value) {
        save(name);
        set(name, value);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            set(it->first.c_str(), it->second);
        }
    }

    /// Sets `name` to `value`; nothing unsets it.
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    /// Sets `name` to `value`; null unsets it.
    static void set(const char* name, const char* value) {
        set(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    /// Unsets `name`.
    static void unset(const char* name) { ::unsetenv(name); }
    /// Unsets every saved variable.
    void clear() const {
        for (const auto& saved : saved_) {
            ::unsetenv(saved.first.c_str());
        }
    }

private:
    void save(const std::string& name) {
        const char* value = std::getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

/// Returns the bytes in `buffer` as text.
inline std::string contents(const rt::CaptureBuffer& buffer) {
    auto locked = buffer->lock();
    std::string text;
    locked.guard->for_each_piece([&](const std::uint8_t* data, std::size_t size) {
        text.append(reinterpret_cast<const char*>(data), size);
    });
    return text;
}

/// Installs a fresh capture buffer on the calling thread for its lifetime, then
/// puts the previous one back.
class Capture {
public:
    Capture() : buffer_(rt::make_capture_buffer()), previous_(rt::set_output_capture(buffer_)) {}
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture() { rt::set_output_capture(previous_); }
    /// Everything captured so far.
    [[nodiscard]] std::string text() const { return contents(buffer_); }

private:
    rt::CaptureBuffer buffer_;
    rt::CaptureBuffer previous_;
};

/// Runs `f` under a fresh capture and returns what it wrote.
template <typename F>
std::string captured(F&& f) {
    Capture capture;
    std::forward<F>(f)();
    return capture.text();
}

/// Runs `f` with a silent panic hook; returns the panic message, if it panicked.
/// Other exceptions pass through.
inline std::optional<std::string> panic_message(const std::function<void()>& f) {
    struct Restore {
        rt::PanicHook previous = rt::take_hook();
        ~Restore() { rt::set_hook(std::move(previous)); }
    } restore;
    rt::set_hook([](const rt::PanicInfo&) {});
    try {
        f();
    } catch (const rt::Panic& panic) {
        return std::string(panic.payload().message());
    }
    return std::nullopt;
}

/// True once process `pid` has ended (gone, or a zombie nobody reaps), looking
/// every few milliseconds for up to `within`.
inline bool process_ended(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (true) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) {
            return true;
        }
        // "/proc/PID/stat": "PID (NAME) STATE ..."; the name may hold spaces.
        std::string stat;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
        const auto close = stat.rfind(')');
        if (close != std::string::npos && stat.compare(close, 3, ") Z") == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::usleep(5000);
    }
}

}  // namespace test::support
