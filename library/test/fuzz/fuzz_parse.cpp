// Fuzz target: the compiled terminfo parser, with both name tables, followed by
// the expansions a terminal performs on whatever entry parses.

#include "term/terminfo/parm.hpp"
#include "term/terminfo/parser/compiled.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

using test::term::terminfo::expand;
using test::term::terminfo::Param;
using test::term::terminfo::Variables;
using test::term::terminfo::parser::parse;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    (void)parse(bytes, true);
    auto parsed = parse(bytes, false);
    if (!parsed) {
        return 0;
    }
    // What fg and reset do with the entry.
    for (const char* name : {"setaf", "sgr0", "sgr", "op"}) {
        const auto it = parsed.value().str_caps.find(name);
        if (it != parsed.value().str_caps.end()) {
            const Param colour{9};
            Variables vars;
            (void)expand(it->second, std::span(&colour, 1), vars);
        }
    }
    return 0;
}
