#include "start.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cxxabi.h>
#include <string>

#include "children.hpp"
#include "crash.hpp"
#include "io.hpp"
#include "panic.hpp"
#include "text.hpp"
#include "thread.hpp"

namespace rt {

namespace {

// Opens /dev/null (read-only) on any of descriptors 0, 1 and 2 that is closed,
// so that files opened later never take their place: a write to a closed
// standard output then fails as it should instead of landing in such a file.
void ensure_std_fds_open() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != fd) {
            // A lower descriptor was closed too and has been filled first.
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

}  // namespace

RT_PASSES_FORCED_UNWIND int lang_start(int argc, char** argv, void (*main_fn)()) {
    ensure_std_fds_open();
    detail::store_args(argc, argv);
    // A closed pipe shows up as an EPIPE write error instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    // An interrupt ends the child groups this process started before it ends.
    install_interrupt_cleanup();
    static const std::string main_name = "main";
    detail::set_current_thread_name(&main_name);
    install_std_streams();
    // Crashes name the work that crashed; stack overflows are told apart.
    (void)install_signal_stack(0);
    install_crash_handlers();
    try {
        main_fn();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const Panic&) {
        return 101;  // the hook has reported it
    } catch (...) {
        (void)payload_of_current_exception();  // reports it through the hook
        return 101;
    }
    return 0;
}

}  // namespace rt
