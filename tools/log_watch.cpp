#include "log_watch.h"

#include <cstdio>

namespace dravik_update {

namespace {

uint64_t FileLength(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fclose(f);
  return n < 0 ? 0 : static_cast<uint64_t>(n);
}

std::string ReadFrom(const std::string& path, uint64_t offset) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return text;
  if (std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  }
  std::fclose(f);
  return text;
}

}  // namespace

std::vector<std::string> SplitLogLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

LogWatch::LogWatch(std::string path) : path_(std::move(path)) {}

void LogWatch::Mark() { mark_ = FileLength(path_); }

std::vector<std::string> LogWatch::LinesSinceMark() const {
  // A log that was emptied or replaced since the mark is read from its start.
  uint64_t from = FileLength(path_) >= mark_ ? mark_ : 0;
  return SplitLogLines(ReadFrom(path_, from));
}

bool LogWatch::SinceMarkContains(const std::string& text) const {
  for (const std::string& line : LinesSinceMark()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

bool LogWatch::GrewSinceMark() const { return FileLength(path_) != mark_; }

std::string LogWatch::LastLineStartingWith(const std::string& prefix) const {
  std::string found;
  for (const std::string& line : LinesSinceMark()) {
    if (line.compare(0, prefix.size(), prefix) == 0) found = line;
  }
  return found;
}

}  // namespace dravik_update
