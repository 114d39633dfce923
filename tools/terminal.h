// What the progress bar needs to know of the terminal on standard output: whether there is one, how
// wide it is at this moment (it may be resized during a run), and whether it obeys the escape
// sequence that clears the rest of a line.
#ifndef DRAVIK_TOOLS_TERMINAL_H
#define DRAVIK_TOOLS_TERMINAL_H

#include <cstddef>
#include <string>

namespace dravik_update {

bool StdoutIsTerminal();

// The columns of the terminal on standard output now; 0 when it does not say.
int TerminalColumns();
#ifndef _WIN32
// The same for the terminal open on `fd`.
int TerminalColumnsOf(int fd);
#endif

// False for TERM=dumb, and for a Windows console that cannot be switched to virtual-terminal processing
// (one older than Windows 10): such a terminal gets its line redrawn with a carriage return alone.
bool TerminalTakesEscapes();

// `text` cut to at most `bytes` bytes, never inside a UTF-8 sequence. Bytes are what is counted: a
// character never takes more columns than it has bytes, so the cut text never takes more columns.
std::string CutToWidth(const std::string& text, size_t bytes);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_TERMINAL_H
