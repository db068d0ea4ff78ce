// "Did you mean ...?" for names that the user mistyped: subcommands, scene
// keys, panel labels.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zhost {

// " (did you mean 'X'?)" for the candidate nearest to `word` when it is only
// a slip away (at most two letters added, dropped, changed or swapped, and
// fewer than the word has; ties go to the first candidate), else "".
std::string did_you_mean(std::string_view word, const std::vector<std::string>& candidates);

// The names joined with ", ", for messages that list what is known.
std::string joined(const std::vector<std::string>& names);

}  // namespace zhost
