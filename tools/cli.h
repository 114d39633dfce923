// The command line of dravik-update: what the user asked for, parsed and checked, before the library is
// loaded. Kept apart from main() so that the parsing and the file checks can be tested without a device.
#ifndef DRAVIK_TOOLS_CLI_H
#define DRAVIK_TOOLS_CLI_H

#include <string>
#include <vector>

#include "options.h"
#include "session.h"

namespace dravik_update {

enum class Command { Flash, Backup, Info, List };

struct CommandLine {
  Command command = Command::Flash;
  std::vector<ImageArgument> images;  // in the order given
  bool format = false;
  int format_type = 0;
  std::string format_backup;
  int backup_type = 0;
  std::string backup_file;
  bool then_backup = false;  // --then-backup TYPE FILE in a flashing run
  VerifyMode verify = VerifyMode::Auto;
  std::string handheld_dir;
  std::string port;
  std::string host_class;
  std::string library;
  std::string log_dir;
  std::string model;
  int32_t language = 1;
  double wait_timeout_s = 0;
  bool quiet = false;
  bool plain = false;
};

// Parses argv. Returns -1 when the program should go on with *out, otherwise the exit code (0 after
// --help, 64 for a usage error, with the message already printed).
int ParseCommandLine(int argc, const char* const* argv, CommandLine* out);

// The examples and the exit codes shown at the end of --help.
std::string HelpFooter();

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_CLI_H
