// zuno-results: keeps run records in a database and answers questions over them.

#include <string>
#include <vector>

#include "cli.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return zuno::results::run_command_line(args);
}
