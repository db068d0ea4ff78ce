// `zhost info`: what the depth reader makes of each file, and why it
// refuses one.
#include <cstdio>

#include "zhost/commands.h"
#include "zhost/error.h"
#include "zhost/one_line.h"
#include "zhost/zbuf_info.h"

namespace zhost {

int run_info(const InfoOptions& options, const GlobalOptions&) {
    int status = 0;
    for (const std::string& path : options.files) {
        try {
            const ZbufInfo info = inspect_zbuf(path);
            std::fputs(format_zbuf_info(one_line(path), info).c_str(), stdout);
            if (!info.body_complete()) status = 1;
        } catch (const Error& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "zhost: %s\n", one_line(error.what()).c_str());
            status = 1;
        }
    }
    return status;
}

}  // namespace zhost
