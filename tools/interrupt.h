// Ctrl-C (SIGINT), SIGTERM, SIGQUIT (Ctrl-\) and SIGHUP while the tool works with the handheld; on Windows
// Ctrl-C, Ctrl-Break and the console's end (its window closed, the user logging off, the system shutting
// down). The library offers no way to stop a run, so an interrupt ends the tool at once; before it does,
// the handler removes the partial file of a backup in progress (FILE itself is never touched), tells the
// user what state the interrupted step may have left the handheld in and names the library's log. Exit
// status 128 + the signal's number: 130 for Ctrl-C, 143 SIGTERM, 131 SIGQUIT, 129 SIGHUP (on Windows 149
// for Ctrl-Break, 129 for the console window closed, 143 for logging off or shutting down).
//
// One step is let finish: the read-back that follows a format of type 3 once the handheld has confirmed
// the format. The area is erased by then, and the copy being read back is the only one of what it held;
// the first interrupt is held until the step ends (EndHeldInterrupts), a second one ends the tool at once.
//
// The handler is async-signal-safe: it reads only what was prepared before (texts that live as long as
// the program, paths copied into buffers of its own) and calls only write, open/read/close (the library's
// log), stat, unlink, rmdir and _exit, and atomics.
#ifndef DRAVIK_TOOLS_INTERRUPT_H
#define DRAVIK_TOOLS_INTERRUPT_H

#include <cstdint>
#include <initializer_list>
#include <string>

namespace dravik_update {

// `bar_on_stdout`: the progress bar is drawn on standard output, whose line an interrupt must end there.
void InstallInterruptHandler(bool bar_on_stdout);

// The library's log: named after an interrupt, and read by the handler to tell how far the step it cut
// off had come (see InterruptStage). Set once the library is loaded.
void SetInterruptLog(const std::string& path);

// What an interrupt says of the step it cut off, by how far the step had come. Every text lives as long
// as the program (a literal, or a buffer of static storage that is not written again while in use).
struct InterruptStage {
  // The stage holds from the moment the library's log (past the offset given with the stages) holds this
  // text; null for the first stage, which holds from the start.
  const char* logged = nullptr;
  // Said after "interrupted; "; null for nothing more.
  const char* note = nullptr;
  // A line said after the file a format's read-back goes into is named; null for none.
  const char* advice = nullptr;
  // Non-null: the step is let finish. The first interrupt in this stage does not end the tool: this text
  // is said, and EndHeldInterrupts hands the interrupt over once the step has ended.
  const char* held = nullptr;
};

// One stage: `note` from now on (null: nothing more than "interrupted").
void SetInterruptNote(const char* note);
// Up to four stages, in the order they come; the handler takes the last one whose text the log holds.
void SetInterruptStages(uint64_t log_offset, std::initializer_list<InterruptStage> stages);
// Called now and then (every 100 ms) while a step that may be let finish runs, with the platform's clock
// in milliseconds: a held interrupt whose step shows no progress (neither the library's log nor the file
// the cleanup names grew) for 10 s ends the tool, as a second interrupt would.
void WatchHeldInterrupt(uint32_t now_ms);
// Ends the holding of interrupts: returns the signal of an interrupt held meanwhile (0 for none); the
// caller then ends the tool with ExitCodeOfSignal. From here on every interrupt ends the tool at once.
int EndHeldInterrupts();
int ExitCodeOfSignal(int sig);
// "Ctrl-C", "SIGTERM", ...: what the user did, for a message.
const char* SignalName(int sig);

// A file the library is writing for the tool, removed by the handler (with `dir`, when given, which then
// holds nothing else); empty strings for none. With `keep_received` the file is removed only while it
// is empty: what it received is kept (the format's read-back, the only copy of what the format erased),
// and the handler names it.
void SetInterruptCleanup(const std::string& file, const std::string& dir = "", bool keep_received = false);
// Removes them now, for a way out that skips the destructors (the tool giving up its wait); a file that
// cannot go is named on standard error.
void CleanUpBeforeExit();
#ifdef _WIN32
// The handler InstallInterruptHandler gives SetConsoleCtrlHandler (BOOL WINAPI (DWORD)): the console window
// closed (129), the user logging off or the system shutting down (143) end the tool as an interrupt does,
// before Windows ends the process; Ctrl-C and Ctrl-Break are passed on to the C runtime (FALSE). Declared
// here for the check that calls it as Windows does.
int __stdcall OnConsoleEvent(unsigned long event);
#endif
// On Windows, tells how to start the sync services again after an end that skipped the link's closing
// (they stay stopped and disabled otherwise); nothing elsewhere.
void SayServicesHint();

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_INTERRUPT_H
