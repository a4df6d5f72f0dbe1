#pragma once
// Panics: failures raised by code, carried by a C++ exception (rt::Panic) that
// unwinds to a boundary where catch_unwind() turns it back into a payload.
// When a panic starts, before anything unwinds, the process-wide panic hook runs
// on the panicking thread; the default hook prints the panic report through
// the thread's print facility (so a test's capture receives it). A panic that
// cannot unwind calls the hook and then aborts the process.
//
// The hook is process-wide and may be replaced at any time (take_hook/set_hook);
// calls are serialised only by the hook's own code.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <typeinfo>

namespace rt {

/// Source location of a panic: file (relative to the repository root), line, column.
struct Location {
    const char* file = "";
    std::uint32_t line = 0;
    std::uint32_t column = 0;

    static Location from(const std::source_location& loc) {
        return {loc.file_name(), static_cast<std::uint32_t>(loc.line()),
                static_cast<std::uint32_t>(loc.column())};
    }
};

/// What a panic carries: an owned string, a static string, or any other value
/// with a printable type identity.
class Payload {
public:
    static Payload owned(std::string text);
    static Payload static_str(const char* text);
    /// Any other value; `type_name` is its type identity for diagnostics.
    template <typename T>
    static Payload any(T value) {
        Payload p;
        p.kind_ = Kind::Other;
        p.other_ = std::make_shared<std::any>(std::move(value));
        p.type_name_ = demangle(typeid(T).name());
        return p;
    }
    /// A payload of unknown content whose only information is its type name.
    static Payload unknown(std::string type_name);

    /// The owned string, if this payload is one.
    [[nodiscard]] const std::string* as_owned() const;
    /// The static string, if this payload is one.
    [[nodiscard]] const char* as_static() const;
    /// The payload text: the owned or static string; nothing for other values.
    [[nodiscard]] std::optional<std::string_view> text() const;
    /// The message a report shows: the text, or "Box<dyn Any>" for other values.
    [[nodiscard]] std::string_view message() const;
    /// The run-time type identity, e.g. "int" or "std::string".
    [[nodiscard]] const std::string& type_name() const { return type_name_; }
    /// The stored value of an Other payload (nullptr otherwise).
    [[nodiscard]] const std::any* value() const { return other_.get(); }

    static std::string demangle(const char* mangled);

private:
    enum class Kind : std::uint8_t { Owned, Static, Other };
    Kind kind_ = Kind::Owned;
    std::string owned_;
    const char* static_ = nullptr;
    std::shared_ptr<std::any> other_;
    std::string type_name_;
};

/// Handed to the panic hook.
struct PanicInfo {
    const Payload& payload;
    Location location;
    bool can_unwind;
};

/// The exception type that carries a panic while it unwinds.
class Panic {
public:
    Panic(Payload payload, Location location) : payload_(std::move(payload)), location_(location) {}
    [[nodiscard]] const Payload& payload() const { return payload_; }
    [[nodiscard]] Payload take_payload() { return std::move(payload_); }
    [[nodiscard]] Location location() const { return location_; }

private:
    Payload payload_;
    Location location_;
};

using PanicHook = std::function<void(const PanicInfo&)>;

/// Raises a panic with an owned message at the caller's location.
[[noreturn]] void panic(std::string message,
                        std::source_location loc = std::source_location::current());
/// Raises a panic with a static message.
[[noreturn]] void panic_static(const char* message,
                               std::source_location loc = std::source_location::current());
/// Raises a panic with any payload.
[[noreturn]] void panic_any(Payload payload,
                            std::source_location loc = std::source_location::current());
/// Raises a panic that cannot unwind: runs the hook with can_unwind false, then aborts.
[[noreturn]] void panic_nounwind(std::string message,
                                 std::source_location loc = std::source_location::current());

/// Replaces the hook in force by the default hook and returns the previous one.
PanicHook take_hook();
/// Installs `hook` as the hook in force.
void set_hook(PanicHook hook);
/// The default hook: prints the panic report (see panic.cpp) through eprint.
void default_hook(const PanicInfo& info);

/// Number of panics the process has started so far.
std::uint64_t panic_count();

/// Marks a function that lets the unwind of pthread_exit or cancellation pass
/// (catch (abi::__forced_unwind&) { throw; }): that unwind has no exception
/// object, and the sanitizer's null-reference check would stop it there.
#define RT_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))

/// Runs `f`, catching a panic or any other escaping C++ exception. Returns the
/// payload of the failure, or nothing when `f` returned normally. A non-panic
/// exception becomes a payload (the what() text as an owned string for a
/// std::exception, an unknown payload with its type name otherwise); the hook
/// is run for it at the catch, since it did not run when it was thrown.
/// `loc` (the caller's) is the location reported for a non-panic exception.
std::optional<Payload> catch_unwind(const std::function<void()>& f,
                                    std::source_location loc = std::source_location::current());

/// Turns the exception currently being handled (inside a catch block) into a
/// payload, running the hook for non-panic exceptions as catch_unwind does.
Payload payload_of_current_exception(std::source_location loc = std::source_location::current());

}  // namespace rt
