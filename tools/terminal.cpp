#include "terminal.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace dravik_update {

bool StdoutIsTerminal() {
#ifdef _WIN32
  return _isatty(1) != 0;
#else
  return isatty(1) != 0;
#endif
}

#ifndef _WIN32
int TerminalColumnsOf(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
#endif

int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  return TerminalColumnsOf(1);
#endif
}

bool TerminalTakesEscapes() {
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
#ifdef _WIN32
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
  const DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & kVirtualTerminal) != 0 || SetConsoleMode(out, mode | kVirtualTerminal) != 0;
#else
  return true;
#endif
}

std::string CutToWidth(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  // A byte 10xxxxxx continues a sequence: step back to where that sequence begins.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace dravik_update
