// Mirrow's program entry: whatever the command line, the bootloader-mode sequence.
#include "mirrow.h"

int main(int argc, char* argv[]) { return OrloRAPIEBootMode(); }
