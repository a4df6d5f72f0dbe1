#include "term/terminal.hpp"

#include "term/terminfo/terminfo.hpp"

#include <utility>

namespace test::term {

std::unique_ptr<Terminal> stdout_terminal(std::unique_ptr<rt::Write> out) {
    auto info = terminfo::TermInfo::from_env();
    if (!info) {
        // No usable entry: the caller writes plain text; the reason is dropped.
        return nullptr;
    }
    if (!out) {
        out = std::make_unique<rt::FdWriter>(1);
    }
    return terminfo::TerminfoTerminal::new_with_terminfo(std::move(out), std::move(info.value()));
}

}  // namespace test::term
