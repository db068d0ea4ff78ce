// Text shown to the user as one line. Messages carry names that the user
// gave (paths, scene keys, image names); a newline or a byte that is not
// UTF-8 in such a name must neither split the message nor garble the
// terminal, so both are shown escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zhost {

// `text` with control characters as \n, \r, \t or \xNN, and each byte that
// is not part of a well-formed UTF-8 sequence as \xNN. Everything else,
// other scripts included, passes unchanged.
std::string one_line(std::string_view text);

// The first line of `text`: libraries' messages that run on over several
// lines are cut to their first.
std::string first_line(std::string text);
// Prints "wrote NAME" on stdout, the name escaped as above, and a note after
// two blanks when there is one.
void print_wrote(const std::string& name, const std::string& note = {});
// "(WxH)", the note for an image's size.
std::string size_note(int32_t width, int32_t height);
// Prints "wrote FIRST .. LAST" for a sequence (one name when they are equal).
void print_wrote_range(const std::string& first, const std::string& last, const std::string& note = {});

}  // namespace zhost
