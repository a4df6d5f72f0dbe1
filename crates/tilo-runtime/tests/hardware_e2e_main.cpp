// The hardware_e2e program: hands the suite's static descriptor list to the harness.

#include "hardware_e2e.hpp"
#include "start.hpp"
#include "entry.hpp"

int main(int argc, char** argv) {
    return rt::lang_start(argc, argv, [] { test::test_main_static(hardware_e2e::tests()); });
}
