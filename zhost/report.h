// What a command tells the user on stdout about its work: the "wrote ..."
// lines (none with -q) and, with -v, one line for each frame done (see
// Progress::frame_done).
#pragma once

namespace zhost {

enum class Verbosity { QUIET, NORMAL, VERBOSE };

// Set once per command, before it runs.
void set_verbosity(Verbosity verbosity);
Verbosity verbosity();

// printf to stdout, unless quiet.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...);

}  // namespace zhost
