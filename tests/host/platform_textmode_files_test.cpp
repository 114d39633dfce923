// Text-mode files as the Windows C runtime keeps them, and the case-insensitive comparisons.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"
#include "test_support.h"

namespace {

using testing_support::ReadFileText;
using testing_support::TempDir;

// The log's own shape: a message ending "\r\n" followed by the entry's line feed is stored
// CR CR LF CR LF; an empty message is one CR LF.
TEST(TextModeFiles, AppendStoresEachLineFeedAsCrLf) {
  TempDir dir;
  std::string path = dir.File("logfile.txt");
  for (const char* mode : {"a", "at", "a+"}) {
    FILE* f = _fsopen(path.c_str(), mode, _SH_DENYNO);
    ASSERT_NE(f, nullptr) << mode;
    std::fprintf(f, "Dravik.dll Attach\r\n");
    std::fputc('\n', f);
    std::fclose(f);
  }
  FILE* f = _fsopen(path.c_str(), "a", _SH_DENYNO);
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "%s", "");
  std::fputc('\n', f);
  std::fclose(f);
  std::string entry = "Dravik.dll Attach\r\r\n\r\n";
  EXPECT_EQ(ReadFileText(path), entry + entry + entry + "\r\n");
}

TEST(TextModeFiles, BinaryModeStoresBytesAsWrittenAndWriteModeTruncates) {
  TempDir dir;
  std::string path = dir.File("b.txt");
  FILE* f = _fsopen(path.c_str(), "wb", _SH_DENYNO);
  ASSERT_NE(f, nullptr);
  std::fputs("a\nb\r\n", f);
  std::fclose(f);
  EXPECT_EQ(ReadFileText(path), "a\nb\r\n");
  f = _fsopen(path.c_str(), "w", _SH_DENYNO);
  ASSERT_NE(f, nullptr);
  std::fputs("x\n", f);
  std::fclose(f);
  EXPECT_EQ(ReadFileText(path), "x\r\n");
}

// Reading in text mode turns CR LF back into LF and leaves a lone CR alone, also across stdio's
// buffer boundaries.
TEST(TextModeFiles, TextReadsTurnCrLfIntoLineFeeds) {
  TempDir dir;
  std::string path = dir.File("r.txt");
  std::string big(10000, 'q');
  std::string raw = "one\r\ntwo\rthree\n" + big + "\r\nend\r";
  testing_support::WriteFileBytes(path, std::vector<uint8_t>(raw.begin(), raw.end()));
  FILE* f = _fsopen(path.c_str(), "r", _SH_DENYNO);
  ASSERT_NE(f, nullptr);
  std::string got;
  int c;
  while ((c = std::fgetc(f)) != EOF) got.push_back(static_cast<char>(c));
  std::fclose(f);
  EXPECT_EQ(got, "one\ntwo\rthree\n" + big + "\nend\r");
  EXPECT_EQ(_fsopen(dir.File("missing.txt").c_str(), "r", _SH_DENYNO), nullptr);
  EXPECT_EQ(_fsopen(path.c_str(), "q", _SH_DENYNO), nullptr);
}

// Entries appended by several threads, each opening and closing the file, never interleave.
TEST(TextModeFiles, ConcurrentAppendersKeepEntriesWhole) {
  TempDir dir;
  std::string path = dir.File("log.txt");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        FILE* f = _fsopen(path.c_str(), "a", _SH_DENYNO);
        if (!f) continue;
        std::fprintf(f, "thread %d entry %02d %s", t, i, std::string(100, static_cast<char>('a' + t)).c_str());
        std::fputc('\n', f);
        std::fclose(f);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::string text = ReadFileText(path);
  size_t lines = 0, pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(pos, end - pos);
    ASSERT_EQ(line.size(), 18u + 100u) << line;
    char who = line[7];
    EXPECT_EQ(line.substr(18), std::string(100, static_cast<char>('a' + (who - '0'))));
    ++lines;
    pos = end + 2;
  }
  EXPECT_EQ(lines, 200u);
}

TEST(CaseInsensitiveCompare, OrdersAsLowerCaseAndStopsAtTheLength) {
  EXPECT_EQ(_stricmp("COM7", "com7"), 0);
  EXPECT_LT(_stricmp("abc", "ABD"), 0);
  EXPECT_GT(_stricmp("abcd", "ABC"), 0);
  EXPECT_LT(_stricmp("[", "a"), 0) << "compared as lower case, '[' sorts before letters";
  EXPECT_EQ(_strnicmp("COM1000", "com1", 4), 0);
  EXPECT_NE(_strnicmp("LPT1", "com1", 3), 0);
  EXPECT_EQ(_strnicmp("x", "y", 0), 0);
  EXPECT_EQ(_wcsicmp(L"RapiMgr.EXE", L"rapimgr.exe"), 0);
  EXPECT_LT(_wcsicmp(L"a", L"B"), 0);
}

}  // namespace
