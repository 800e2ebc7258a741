#pragma once

#include <string>

#include "check/check_options.h"
#include "check/check_verdict.h"

// The verdict as the plugin prints it: the classic line, monitoring-plugins' multi-line
// form, or OpenMetrics text for Prometheus' textfile collector.
namespace pelldor::check {

// "NTP OK - text|perfdata", ended by a newline: nothing between the text and the bar, which
// an engine would keep as part of the text.
[[nodiscard]] std::string StatusLine(State state, const std::string& text, const std::string& perfdata = {});

[[nodiscard]] std::string Format(const Verdict& verdict, const CheckOptions& options);

}  // namespace pelldor::check
