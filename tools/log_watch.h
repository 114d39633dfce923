// Reads the library's own diagnostic log ("logfile.txt" in the working directory) from a remembered point
// on, so that the tool can tell the user why an operation that reports success in its status word did not
// reach the handheld, and what the library said when a run ended incomplete.
#ifndef DRAVIK_TOOLS_LOG_WATCH_H
#define DRAVIK_TOOLS_LOG_WATCH_H

#include <cstdint>
#include <string>
#include <vector>

namespace dravik_update {

class LogWatch {
 public:
  explicit LogWatch(std::string path);
  const std::string& Path() const { return path_; }
  // Remembers the current end of the log; the reads below start there.
  void Mark();
  uint64_t MarkedLength() const { return mark_; }
  // Lines written since the mark, without their line ends.
  std::vector<std::string> LinesSinceMark() const;
  bool SinceMarkContains(const std::string& text) const;
  // Whether anything was written to the log since the mark (a full disk lets nothing in).
  bool GrewSinceMark() const;
  // The last line since the mark that begins with the prefix; empty when none.
  std::string LastLineStartingWith(const std::string& prefix) const;

 private:
  std::string path_;
  uint64_t mark_ = 0;
};

// Splits log text into lines, dropping the CR bytes of the library's text-mode line ends.
std::vector<std::string> SplitLogLines(const std::string& text);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_LOG_WATCH_H
