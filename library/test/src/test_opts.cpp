#include "test_opts.hpp"

#include <unistd.h>

namespace test {

bool TestOpts::use_color() const {
    switch (color) {
        case ColorConfig::Always:
            return true;
        case ColorConfig::Never:
            return false;
        case ColorConfig::Auto:
            break;
    }
    return !nocapture && ::isatty(1) == 1;
}

}  // namespace test
