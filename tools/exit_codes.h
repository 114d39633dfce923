// Exit codes of dravik-update, in the manner of sysexits.h, so that scripts can tell the failures apart.
#ifndef DRAVIK_TOOLS_EXIT_CODES_H
#define DRAVIK_TOOLS_EXIT_CODES_H

namespace dravik_update {

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 64,           // bad command line (an output file that would replace an image or the other
                             // output included), or nothing to flash (the library's status 901)
  kExitVerifyFailed = 65,    // what the handheld holds differs from the image, or is shorter or longer
  kExitInputFile = 66,       // an image file is missing, unreadable or no longer than its header (also when
                             // that happens after the check, and its area was skipped or not verified)
  kExitDeviceUnavailable = 69,  // no handheld found in time, or it could not be opened (status 101)
  kExitSoftware = 70,        // the library could not be loaded, or answered something impossible
  kExitCantCreate = 73,      // an output file (backup) cannot be created or written (a format's read-back
                             // file that exists or would not fit included), or the library's log
  kExitDeviceStopped = 74,   // the handheld stopped answering during a run (status 102), or a format (or its
                             // read-back)
};
// An interrupt (SIGINT, SIGTERM, SIGQUIT, SIGHUP) ends the tool with 128 + the signal's number: 130, 143,
// 131, 129; on Windows Ctrl-Break 149, the console window closed 129, logging off or shutting down 143.

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_EXIT_CODES_H
