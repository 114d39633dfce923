#include "test_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
  // The tests put the virtual handheld's Unix sockets in here, whose paths have room for 107 bytes: a
  // longer $TMPDIR (a CI workspace, say) gives way to /tmp.
  const char* base = getenv("TMPDIR");
  const bool usable = base != nullptr && *base != '\0' && std::strlen(base) <= 64;
  std::string templ = std::string(usable ? base : "/tmp") + "/dravik-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedChdir::ScopedChdir(const std::string& dir) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd)) previous_ = cwd;
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir failed: " + dir);
}

ScopedChdir::~ScopedChdir() {
  if (!previous_.empty() && chdir(previous_.c_str()) != 0) perror("chdir");
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> ReadTextLines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = ReadFileText(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i + seed) % 251);
  return bytes;
}

}  // namespace testing_support
