// Hostile depth files for the conformance run: every cut of two valid files,
// misshapen and oversized headers, chunk sizes at the limits of 32-bit file
// positions, and bodies of NaNs and out-of-range doubles.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace conformance {

using NamedFile = std::pair<std::string, std::vector<unsigned char>>;

std::vector<NamedFile> hostile_corpus();

}  // namespace conformance
