// zhost: the command-line host of the OBKzcomp depth-buffer module.
#include "zhost/commands.h"

#ifdef ZHOST_WITH_JEMALLOC
// Read by jemalloc when it starts: every mapping it makes may use
// transparent huge pages, so that decoding a large image touches far fewer
// pages. The environment's MALLOC_CONF still overrides it.
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "thp:always,metadata_thp:auto";
}
#endif

int main(int argc, char** argv) { return zhost::run(argc, argv); }
