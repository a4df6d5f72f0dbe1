// The main of zuno::test_main: runs every test the program registered.

#include <zuno/test.hpp>

int main(int argc, char** argv) {
    return zuno::run(argc, argv);
}
