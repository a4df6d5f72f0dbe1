#include "panic.hpp"

#include <cxxabi.h>
#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <vector>

#include "children.hpp"
#include "crash.hpp"
#include "io.hpp"
#include "text.hpp"
#include "thread.hpp"

namespace rt {

namespace detail {
// The frame that starts a panic; short backtraces begin below it. Defined with
// external linkage so the symbol is visible to the backtrace printer.
[[noreturn]] void zuno_end_short_backtrace(Payload payload, Location location, bool can_unwind);
}  // namespace detail

namespace {

std::atomic<std::uint64_t> PANIC_COUNT{0};
// Consumed by the first report printed without a backtrace.
std::atomic<bool> FIRST_PANIC{true};
// Set while the calling thread runs the panic hook; a panic inside it aborts.
thread_local bool IN_HOOK = false;

struct HookSlot {
    std::mutex mutex;
    std::shared_ptr<const PanicHook> hook;  // null: the default hook is in force
};

HookSlot& hook_slot() {
    static auto* slot = new HookSlot;  // never destroyed: panics may happen during exit
    return *slot;
}

void write_raw_stderr(std::string_view text) {
    (void)write_fd(2, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

void run_hook(const Payload& payload, Location location, bool can_unwind) {
    PANIC_COUNT.fetch_add(1, std::memory_order_relaxed);
    if (IN_HOOK) {
        write_raw_stderr("thread panicked while processing panic. aborting.\n");
        note_reported_abort();
        std::abort();
    }
    std::shared_ptr<const PanicHook> hook;
    {
        HookSlot& slot = hook_slot();
        std::lock_guard lock(slot.mutex);
        hook = slot.hook;
    }
    PanicInfo info{payload, location, can_unwind};
    IN_HOOK = true;
    try {
        if (hook) {
            (*hook)(info);
        } else {
            default_hook(info);
        }
    } catch (...) {
        write_raw_stderr("thread panicked while processing panic. aborting.\n");
        note_reported_abort();
        std::abort();
    }
    IN_HOOK = false;
}

enum class BacktraceStyle { Off, Short, Full };

BacktraceStyle backtrace_style() {
    auto value = env_var("ZUNO_BACKTRACE");
    if (!value || *value == "0") {
        return BacktraceStyle::Off;
    }
    return *value == "full" ? BacktraceStyle::Full : BacktraceStyle::Short;
}

// Returns the demangled function name of a backtrace_symbols() line
// ("binary(mangled+0x1a) [0x...]"), or the line itself when it holds none.
std::string frame_name(const char* line) {
    std::string_view text(line);
    const auto open = text.find('(');
    const auto plus = text.find_first_of("+)", open == std::string_view::npos ? 0 : open);
    if (open == std::string_view::npos || plus == std::string_view::npos || plus == open + 1) {
        return std::string(text);
    }
    return Payload::demangle(std::string(text.substr(open + 1, plus - open - 1)).c_str());
}

void append_backtrace(std::string& out, BacktraceStyle style) {
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    char** symbols = ::backtrace_symbols(frames, count);
    if (symbols == nullptr) {
        return;
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        names.push_back(frame_name(symbols[i]));
    }
    std::free(symbols);

    std::size_t first = 0;
    std::size_t last = names.size();
    if (style == BacktraceStyle::Short) {
        // From the frame below the one that started the panic, down to the
        // frame that marks where the interesting code begins.
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i].find("zuno_end_short_backtrace") != std::string::npos) {
                first = i + 1;
            }
        }
        for (std::size_t i = first; i < names.size(); ++i) {
            if (names[i].find("__zuno_begin_short_backtrace") != std::string::npos) {
                last = i;
                break;
            }
        }
    }
    out += "stack backtrace:\n";
    for (std::size_t i = first; i < last; ++i) {
        std::string index = std::to_string(i - first);
        out.append(index.size() < 4 ? 4 - index.size() : 0, ' ');
        out += index + ": " + names[i] + "\n";
    }
    if (style == BacktraceStyle::Short) {
        out +=
            "note: Some details are omitted, run with `ZUNO_BACKTRACE=full` for a verbose "
            "backtrace.\n";
    }
}

// Reports the exception being handled: a panic in a context that cannot
// unwind, or another exception that reached std::terminate.
[[noreturn]] void on_terminate();

std::terminate_handler PREVIOUS_TERMINATE = nullptr;

struct InstallTerminateHandler {
    InstallTerminateHandler() { PREVIOUS_TERMINATE = std::set_terminate(&on_terminate); }
} INSTALL_TERMINATE_HANDLER;

void on_terminate() {
    if (std::current_exception()) {
        try {
            throw;
        } catch (const Panic&) {
            detail::zuno_end_short_backtrace(
                Payload::static_str("panic in a function that cannot unwind"),
                Location{"<unknown>", 0, 0}, false);
        } catch (const std::exception& e) {
            detail::zuno_end_short_backtrace(Payload::owned(e.what()), Location{"<unknown>", 0, 0},
                                             false);
        } catch (...) {
            const std::type_info* type = abi::__cxa_current_exception_type();
            detail::zuno_end_short_backtrace(
                Payload::unknown(type ? Payload::demangle(type->name()) : "<unknown>"),
                Location{"<unknown>", 0, 0}, false);
        }
    }
    if (PREVIOUS_TERMINATE != nullptr) {
        PREVIOUS_TERMINATE();
    }
    std::abort();
}

}  // namespace

namespace detail {

void zuno_end_short_backtrace(Payload payload, Location location, bool can_unwind) {
    // Raised while another exception unwinds: throwing now would end in std::terminate.
    if (can_unwind && std::uncaught_exceptions() > 0) {
        can_unwind = false;
    }
    run_hook(payload, location, can_unwind);
    if (!can_unwind) {
        end_child_groups();  // no child group outlives the abort
        note_reported_abort();
        std::abort();
    }
    throw Panic(std::move(payload), location);
}

}  // namespace detail

Payload Payload::owned(std::string text) {
    Payload p;
    p.kind_ = Kind::Owned;
    p.owned_ = std::move(text);
    p.type_name_ = "std::string";
    return p;
}

Payload Payload::static_str(const char* text) {
    Payload p;
    p.kind_ = Kind::Static;
    p.static_ = text != nullptr ? text : "";
    p.type_name_ = "const char*";
    return p;
}

Payload Payload::unknown(std::string type_name) {
    Payload p;
    p.kind_ = Kind::Other;
    p.type_name_ = std::move(type_name);
    return p;
}

const std::string* Payload::as_owned() const {
    return kind_ == Kind::Owned ? &owned_ : nullptr;
}

const char* Payload::as_static() const {
    return kind_ == Kind::Static ? static_ : nullptr;
}

std::optional<std::string_view> Payload::text() const {
    switch (kind_) {
        case Kind::Owned:
            return std::string_view(owned_);
        case Kind::Static:
            return std::string_view(static_);
        case Kind::Other:
            break;
    }
    return std::nullopt;
}

std::string_view Payload::message() const {
    auto t = text();
    return t ? *t : std::string_view("Box<dyn Any>");
}

std::string Payload::demangle(const char* mangled) {
    int status = 0;
    char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || plain == nullptr) {
        return mangled;
    }
    std::string out(plain);
    std::free(plain);
    return out;
}

void panic(std::string message, std::source_location loc) {
    detail::zuno_end_short_backtrace(Payload::owned(std::move(message)), Location::from(loc), true);
}

void panic_static(const char* message, std::source_location loc) {
    detail::zuno_end_short_backtrace(Payload::static_str(message), Location::from(loc), true);
}

void panic_any(Payload payload, std::source_location loc) {
    detail::zuno_end_short_backtrace(std::move(payload), Location::from(loc), true);
}

void panic_nounwind(std::string message, std::source_location loc) {
    detail::zuno_end_short_backtrace(Payload::owned(std::move(message)), Location::from(loc),
                                     false);
}

PanicHook take_hook() {
    std::shared_ptr<const PanicHook> previous;
    {
        HookSlot& slot = hook_slot();
        std::lock_guard lock(slot.mutex);
        previous = std::move(slot.hook);
        slot.hook = nullptr;
    }
    if (!previous) {
        return &default_hook;
    }
    return *previous;
}

void set_hook(PanicHook hook) {
    auto next = hook ? std::make_shared<const PanicHook>(std::move(hook)) : nullptr;
    std::shared_ptr<const PanicHook> previous;
    HookSlot& slot = hook_slot();
    std::lock_guard lock(slot.mutex);
    previous = std::exchange(slot.hook, std::move(next));
    // `previous` is destroyed after the lock is released (declared first).
}

void default_hook(const PanicInfo& info) {
    std::string report = "\nthread '" + current_thread_name() + "' (" +
                         std::to_string(current_thread_id()) + ") panicked at " +
                         info.location.file + ":" + std::to_string(info.location.line) + ":" +
                         std::to_string(info.location.column) + ":\n";
    report += info.payload.message();
    report += "\n";
    const BacktraceStyle style = backtrace_style();
    if (style == BacktraceStyle::Off) {
        if (FIRST_PANIC.exchange(false, std::memory_order_relaxed)) {
            report +=
                "note: run with `ZUNO_BACKTRACE=1` environment variable to display a "
                "backtrace\n";
        }
    } else {
        append_backtrace(report, style);
    }
    eprint(report);
}

std::uint64_t panic_count() {
    return PANIC_COUNT.load(std::memory_order_relaxed);
}

Payload payload_of_current_exception(std::source_location loc) {
    try {
        throw;
    } catch (Panic& p) {
        return p.take_payload();
    } catch (const std::exception& e) {
        Payload payload = Payload::owned(e.what());
        run_hook(payload, Location::from(loc), true);
        return payload;
    } catch (...) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        Payload payload = Payload::unknown(type ? Payload::demangle(type->name()) : "<unknown>");
        run_hook(payload, Location::from(loc), true);
        return payload;
    }
}

RT_PASSES_FORCED_UNWIND
std::optional<Payload> catch_unwind(const std::function<void()>& f, std::source_location loc) {
    try {
        f();
        return std::nullopt;
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must run to its end
    } catch (...) {
        return payload_of_current_exception(loc);
    }
}

}  // namespace rt
