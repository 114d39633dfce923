// Small helpers shared by the host and end-to-end tests.
#ifndef DRAVIK_TESTS_SUPPORT_H
#define DRAVIK_TESTS_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under $TMPDIR (or /tmp, also when $TMPDIR is too long for a Unix socket's path in
// it), removed with its content when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Changes the current directory for the object's lifetime (the library's log lies in it).
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir);
  ~ScopedChdir();

 private:
  std::string previous_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The lines of a text file (the library's log), without their line ends and the CRs before them.
std::vector<std::string> ReadTextLines(const std::string& path);
// Bytes 0, 1, 2, ... (mod 251) of the given length: a pattern that shows shifted or lost bytes.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed = 0);

}  // namespace testing_support

#endif  // DRAVIK_TESTS_SUPPORT_H
