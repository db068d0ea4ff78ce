// A diagnostic reading of a depth file for `zhost info`: the header fields,
// the sizes, and, for a file that the module's reader refuses, the rule that
// refuses it. It walks the file by the same rules, in the same order, as the
// module's read_zbuf_headers, so that the rule it names is the one that bites.
#pragma once

#include <cstdint>
#include <string>

#include "zbuf/zbuf.h"

namespace zhost {

enum class ZbufRule {
    ACCEPTED,
    SHORT_FORM_HEADER,     // fewer than 12 bytes
    NOT_FORM,              // does not begin with "FORM"
    NOT_ILBM,              // FORM type other than "ILBM"
    ENDS_BEFORE_BODY,      // a chunk header cut short: no "ZBOD" reached
    ZBUF_CHUNK_SIZE,       // "ZBUF" chunk whose rounded size is not 36
    SHORT_ZBUF_CHUNK,      // file ends inside a "ZBUF" payload
    CHUNK_TOO_LARGE,       // a skipped chunk reaching beyond 2^31 bytes
    PAST_FORM_SIZE,        // position after a chunk beyond the FORM size
    BODY_BEFORE_HEADER,    // "ZBOD" before any "ZBUF"
    WIDTH_ZERO,
    COMPRESSION,
    ORDERING,
    SCALE,
    VALUE_TYPE,
    SIZES_BEYOND_FORMAT,   // width, height or body size beyond 32-bit sizes
    BODY_SIZE,             // rounded "ZBOD" size not width x height x sample size
    BODY_LARGER_THAN_FORM, // rounded "ZBOD" size above the FORM size
};

struct ZbufInfo {
    uint64_t file_size = 0;
    uint32_t form_size = 0;
    int zbuf_chunks = 0;       // "ZBUF" chunks read; `header` holds the last
    ZBufHeader header{};
    ZbufRule rule = ZbufRule::ACCEPTED;
    std::string reason;        // why the file is refused; empty when accepted
    // For an accepted file: where the body starts and how many whole rows the
    // file holds (the loader stops at the first incomplete row).
    uint64_t body_offset = 0;
    uint64_t rows_present = 0;

    bool accepted() const { return rule == ZbufRule::ACCEPTED; }
    bool body_complete() const { return accepted() && rows_present >= header.height; }
};

// Reads the file at `path`. Throws zhost::Error when it cannot be opened.
ZbufInfo inspect_zbuf(const std::string& path);

// The report that `zhost info` prints for one file, lines ending in '\n'.
std::string format_zbuf_info(const std::string& path, const ZbufInfo& info);

}  // namespace zhost
