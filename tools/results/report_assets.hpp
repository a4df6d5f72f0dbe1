#pragma once
// The report page's style sheet and script, embedded into the program when it
// is built (from report/report.css and report/report.js).

#include <string_view>

namespace zuno::results {

/// The page's style sheet.
std::string_view report_css();
/// The page's script.
std::string_view report_js();

}  // namespace zuno::results
