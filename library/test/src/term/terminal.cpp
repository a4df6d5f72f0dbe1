#include "library/test/src/term/terminal.hpp"

#include "library/test/src/term/terminfo/terminfo.hpp"

#include <utility>

namespace test::term {

std::unique_ptr<Terminal> stdout_terminal() {
    auto info = terminfo::TermInfo::from_env();
    if (!info) {
        // No usable entry: the caller writes plain text; the reason is dropped.
        return nullptr;
    }
    return terminfo::TerminfoTerminal::new_with_terminfo(std::make_unique<rt::FdWriter>(1),
                                                         std::move(info.value()));
}

}  // namespace test::term
