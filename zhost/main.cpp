// zhost: the command-line host of the OBKzcomp depth-buffer module.
#include "zhost/commands.h"

int main(int argc, char** argv) { return zhost::run(argc, argv); }
