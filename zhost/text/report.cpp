#include "zhost/text/report.h"

#include <cstdarg>
#include <cstdio>

#include "zhost/text/one_line.h"

namespace zhost {

void Reporter::report(const char* format, ...) const {
    if (verbosity == Verbosity::QUIET || json) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void Reporter::wrote(const std::string& name, const std::string& note) const {
    report("wrote %s%s%s\n", one_line(name).c_str(), note.empty() ? "" : "  ", one_line(note).c_str());
}

void Reporter::wrote_range(const std::string& first, const std::string& last, const std::string& note) const {
    wrote(first == last ? first : first + " .. " + last, note);
}

}  // namespace zhost
