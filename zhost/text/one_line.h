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
// "(WxH)", the note for an image's size.
std::string size_note(int32_t width, int32_t height);

}  // namespace zhost
