// Why the depth file reader refuses a file, in words: one line naming the
// rule and the values that break it, as `zhost info` and the OpenImageIO
// plug-in report it.
#pragma once

#include <cstdint>
#include <string>

#include "zbuf/zbuf.h"

namespace zhost {

// The reason for the reading's verdict; empty when the file is accepted.
// `header` is what the reader left, `file_size` the file's length.
std::string zbuf_refusal(const ZbufReading& reading, const ZBufHeader& header, uint64_t file_size);

// A header float as text, with every digit it needs (%.9g).
std::string zbuf_float_text(float value);

}  // namespace zhost
