#include "zhost/text/suggest.h"

#include <algorithm>
#include <numeric>

namespace zhost {
namespace {

constexpr std::size_t MAX_SLIPS = 2;

// Edits (insertion, deletion, substitution, swap of neighbours) between two
// names; only the last three rows are kept.
std::size_t slips_between(std::string_view a, std::string_view b) {
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    std::iota(previous.begin(), previous.end(), 0);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + changed});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                current[j] = std::min(current[j], before[j - 2] + 1);
            }
        }
        before.swap(previous);
        previous.swap(current);
    }
    return previous[b.size()];
}

std::string nearest_name(std::string_view word, const std::vector<std::string>& candidates) {
    std::string nearest;
    std::size_t fewest = MAX_SLIPS + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t slips = slips_between(word, candidate);
        if (slips < fewest && slips < word.size()) {
            fewest = slips;
            nearest = candidate;
        }
    }
    return nearest;
}

}  // namespace

std::string did_you_mean(std::string_view word, const std::vector<std::string>& candidates) {
    const std::string nearest = nearest_name(word, candidates);
    return nearest.empty() ? std::string() : " (did you mean '" + nearest + "'?)";
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace zhost
