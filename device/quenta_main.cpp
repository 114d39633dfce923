// Quenta's program entry: whatever the command line, the version-data sequence, exit code 0.
#include "quenta.h"

int main(int argc, char* argv[]) { return QuentaMain(); }
