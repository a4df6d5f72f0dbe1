#pragma once
// The name of the test running on a thread, which zuno::current_test_name()
// returns. Whoever runs a test body names it on the body's thread for the
// length of the call; the name is borrowed and must outlive the scope.

#include <string_view>

namespace test {

/// Names the calling thread's test for the scope's lifetime (and restores
/// the previous name at its end).
class CurrentTest {
public:
    explicit CurrentTest(std::string_view name);
    CurrentTest(const CurrentTest&) = delete;
    CurrentTest& operator=(const CurrentTest&) = delete;
    ~CurrentTest();

private:
    std::string_view previous_;
};

}  // namespace test
