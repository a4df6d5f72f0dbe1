// Fuzz target: the parameter-string interpreter. The first byte gives the
// number of parameters (0-9), the next four bytes per parameter their values
// (little-endian), and the rest is the capability string.

#include "term/terminfo/parm.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

using test::term::terminfo::expand;
using test::term::terminfo::Param;
using test::term::terminfo::Variables;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::size_t count = data[0] % 10;
    std::size_t pos = 1;
    std::vector<Param> params;
    while (count-- > 0 && size - pos >= 4) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            v |= std::uint32_t{data[pos + i]} << (8 * i);
        }
        params.push_back(Param{static_cast<std::int32_t>(v)});
        pos += 4;
    }
    Variables vars;
    const std::span<const std::uint8_t> cap(data + pos, size - pos);
    // The same variables twice: the second run starts from what the first left.
    (void)expand(cap, params, vars);
    (void)expand(cap, params, vars);
    return 0;
}
