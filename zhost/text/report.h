// What a command tells the user on stdout about its work: the "wrote ..."
// lines (none with -q) and, with -v, one line for each frame done (see
// Progress::frame_done). With --progress json stdout holds only one JSON
// line per frame, for a farm manager to read.
#pragma once

#include <string>

namespace zhost {

enum class Verbosity { QUIET, NORMAL, VERBOSE };

// Stdout as the command line asks for it.
struct Reporter {
    Verbosity verbosity = Verbosity::NORMAL;
    bool json = false;  // per-frame JSON lines instead of text on stdout

    // printf to stdout, unless quiet or printing JSON lines.
    [[gnu::format(printf, 2, 3)]] void report(const char* format, ...) const;
    // "wrote NAME", the name shown on one line (one_line.h), and a note
    // after two blanks when there is one.
    void wrote(const std::string& name, const std::string& note = {}) const;
    // "wrote FIRST .. LAST" for a sequence (one name when they are equal).
    void wrote_range(const std::string& first, const std::string& last, const std::string& note = {}) const;
};

}  // namespace zhost
