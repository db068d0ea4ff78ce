#include "zhost/text/report.h"

#include <cstdarg>
#include <cstdio>

namespace zhost {
namespace {

Verbosity current_verbosity = Verbosity::NORMAL;
bool json_lines = false;

}  // namespace

void set_verbosity(Verbosity verbosity) { current_verbosity = verbosity; }

Verbosity verbosity() { return current_verbosity; }

void set_json_progress(bool json) { json_lines = json; }

bool json_progress() { return json_lines; }

void report(const char* format, ...) {
    if (current_verbosity == Verbosity::QUIET || json_lines) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

}  // namespace zhost
