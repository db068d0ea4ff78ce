// A diagnostic reading of a depth file for `zhost info`: the header fields,
// the sizes, and, for a file that the module's reader refuses, the rule that
// refuses it, as that reader names it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "zbuf/zbuf.h"

namespace zhost {

struct ZbufInfo {
    uint64_t file_size = 0;
    ZbufReading reading{};
    ZBufHeader header{};       // the last "ZBUF" chunk read
    std::string reason;        // why the file is refused; empty when accepted
    // For an accepted file: how many whole rows the file holds (the loader
    // stops at the first incomplete row).
    uint64_t rows_present = 0;

    bool accepted() const { return reading.accepted(); }
    bool body_complete() const { return accepted() && rows_present >= header.height; }
};

// Reads the file at `path`. Throws zhost::Error when it cannot be opened.
ZbufInfo inspect_zbuf(const std::string& path);

// The report that `zhost info` prints for one file, lines ending in '\n';
// each header code is followed by its meaning in words.
std::string format_zbuf_info(const std::string& path, const ZbufInfo& info);

// The same report as one JSON object: "file", "verdict" ("accepted" or
// "refused"), "reason" for a refused file, the sizes, and "header" with
// each code as {"code", "meaning"}.
nlohmann::json zbuf_info_json(const std::string& path, const ZbufInfo& info);

}  // namespace zhost
