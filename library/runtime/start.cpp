#include "library/runtime/start.hpp"

#include <csignal>
#include <cxxabi.h>
#include <string>

#include "library/runtime/children.hpp"
#include "library/runtime/io.hpp"
#include "library/runtime/panic.hpp"
#include "library/runtime/text.hpp"
#include "library/runtime/thread.hpp"

namespace rt {

int lang_start(int argc, char** argv, void (*main_fn)()) {
    detail::store_args(argc, argv);
    // A closed pipe shows up as an EPIPE write error instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    // An interrupt ends the child groups this process started before it ends.
    install_interrupt_cleanup();
    static const std::string main_name = "main";
    detail::set_current_thread_name(&main_name);
    install_std_streams();
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
