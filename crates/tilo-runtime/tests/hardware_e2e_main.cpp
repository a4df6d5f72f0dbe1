// The hardware_e2e program: hands the suite's static descriptor list to the harness.

#include "crates/tilo-runtime/tests/hardware_e2e.hpp"
#include "library/runtime/start.hpp"
#include "library/test/src/entry.hpp"

int main(int argc, char** argv) {
    return rt::lang_start(argc, argv, [] { test::test_main_static(hardware_e2e::tests()); });
}
