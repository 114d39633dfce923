// The end of the console under wine: dravik-update's handler (tools/interrupt.cpp) called as Windows calls
// it when the console window closes, the user logs off or the system shuts down, with a backup's partial
// file to remove and a note to say. Run by scripts/check-windows-tool.sh, which reads the exit code, the
// output and what is left in DIR.
//   interrupt_check close DIR     the partial file removed, the note said, exit 129
//   interrupt_check shutdown DIR  the same, exit 143
//   interrupt_check ctrl-c DIR    Ctrl-C is passed on to the C runtime: the handler returns FALSE, exit 0
//   interrupt_check held DIR      during a confirmed format's read-back: the interrupt is held, the main
//                                 thread ends the tool once the step is over (exit 129), the copy is kept
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "interrupt.h"

using namespace dravik_update;

namespace {

void Write(const std::string& path, const char* text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fputs(text, f);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: interrupt_check close|shutdown|ctrl-c|held DIR\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::string dir = argv[2];
  const std::string partial = dir + "\\backup.bin.partial-1";
  const std::string log = dir + "\\logfile.txt";
  InstallInterruptHandler(false);
  SetInterruptLog(log);
  if (mode == "close" || mode == "shutdown" || mode == "ctrl-c") {
    Write(partial, "part of a backup");
    SetInterruptCleanup(partial);
    SetInterruptNote("the backup was not written");
    const DWORD event = mode == "close" ? CTRL_CLOSE_EVENT : mode == "shutdown" ? CTRL_SHUTDOWN_EVENT : CTRL_C_EVENT;
    const int handled = OnConsoleEvent(event);
    std::printf("passed on: %s\n", handled ? "no" : "yes");
    return 0;
  }
  if (mode == "held") {
    Write(log, "SendFormatDisk(): receive format ok\r\nReadBackup(): Get a packet Remain=65536\r\n");
    Write(partial, "the start of the copy");
    SetInterruptCleanup(partial, "", /*keep_received=*/true);
    InterruptStage before;
    before.note = "before the format";
    InterruptStage confirmed;
    confirmed.logged = "SendFormatDisk(): receive format ok";
    confirmed.note = "the disk is formatted";
    confirmed.held = "the tool finishes reading the copy first";
    SetInterruptStages(0, {before, confirmed});
    std::thread windows([] { OnConsoleEvent(CTRL_CLOSE_EVENT); });
    windows.detach();
    Sleep(1000);  // the read-back ends
    const int sig = EndHeldInterrupts();
    std::printf("the main thread ends the held interrupt: %d\n", sig);
    std::fflush(stdout);
    ExitProcess(static_cast<UINT>(ExitCodeOfSignal(sig)));
  }
  std::fprintf(stderr, "interrupt_check: unknown mode %s\n", mode.c_str());
  return 2;
}
