// What a command tells the user on stdout about its work: the "wrote ..."
// lines (none with -q) and, with -v, one line for each frame done (see
// Progress::frame_done). With --progress json stdout holds only one JSON
// line per frame, for a farm manager to read.
#pragma once

namespace zhost {

enum class Verbosity { QUIET, NORMAL, VERBOSE };

// Set once per command, before it runs.
void set_verbosity(Verbosity verbosity);
Verbosity verbosity();

// Set once per command: per-frame JSON lines instead of text on stdout.
void set_json_progress(bool json);
bool json_progress();

// printf to stdout, unless quiet or printing JSON lines.
[[gnu::format(printf, 1, 2)]] void report(const char* format, ...);

}  // namespace zhost
