#include "zhost/report.h"

#include <cstdarg>
#include <cstdio>

namespace zhost {
namespace {

Verbosity current_verbosity = Verbosity::NORMAL;

}  // namespace

void set_verbosity(Verbosity verbosity) { current_verbosity = verbosity; }

Verbosity verbosity() { return current_verbosity; }

void report(const char* format, ...) {
    if (current_verbosity == Verbosity::QUIET) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

}  // namespace zhost
