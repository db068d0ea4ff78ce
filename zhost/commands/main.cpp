// zhost: the command-line host of the OBKzcomp depth-buffer module.
#include "zhost/commands/commands.h"

#ifdef ZHOST_WITH_JEMALLOC
// Read by jemalloc when it starts: every mapping it makes may use
// transparent huge pages, so that decoding a large image touches far fewer
// pages; and freed memory is kept for reuse instead of being handed back to
// the system within the run: the decoders free and allocate their buffers
// chunk after chunk, and each page handed back was faulted in again (up to
// 20,000 faults in one 4K comp, at about 10 us each here). A command's peak
// memory is unchanged: it reuses what it freed. The environment's
// MALLOC_CONF still overrides it.
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "thp:always,metadata_thp:auto,dirty_decay_ms:-1,muzzy_decay_ms:-1";
}
#endif

int main(int argc, char** argv) { return zhost::run(argc, argv); }
