// Ctrl-C (SIGINT) and SIGTERM while the tool works with the handheld. The library offers no way to stop a
// run, so an interrupt ends the tool at once; before it does, the handler removes the partial file of a
// backup in progress (FILE itself is never touched) and tells the user what state the interrupted step
// may have left the handheld in. Exit status 128 + the signal's number (130 for Ctrl-C).
#ifndef DRAVIK_TOOLS_INTERRUPT_H
#define DRAVIK_TOOLS_INTERRUPT_H

#include <string>

namespace dravik_update {

void InstallInterruptHandler();

// What the user is told after "interrupted": a text that lives as long as the program (a literal), or
// null for nothing more.
void SetInterruptNote(const char* note);

// A file the library is writing for the tool, removed by the handler (with `dir`, when given, which then
// holds nothing else); empty strings for none. With `keep_received` the file is removed only while it
// is empty: what it received is kept (the format's read-back, the only copy of what the format erased).
void SetInterruptCleanup(const std::string& file, const std::string& dir = "", bool keep_received = false);
// Removes them now, for a way out that skips the destructors (the tool giving up its wait); a file that
// cannot go is named on standard error.
void CleanUpBeforeExit();
// On Windows, tells how to start the sync services again after an end that skipped the link's closing
// (they stay stopped and disabled otherwise); nothing elsewhere.
void SayServicesHint();

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_INTERRUPT_H
