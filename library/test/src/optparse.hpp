#pragma once
// Placeholder: the option parser is declared here.
namespace test::optparse {
class Options;
}
