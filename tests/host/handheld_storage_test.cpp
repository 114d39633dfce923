// Storing an area's content: the staged writer that flashing streams into, and the spare it writes over.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "storage.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using handheld::Area;
using handheld::StagedArea;
using handheld::Storage;
using testing_support::PatternBytes;

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename().string());
  return names;
}

class HandheldStorage : public testing::Test {
 protected:
  testing_support::TempDir dir_;
  Storage storage_{dir_.path()};
};

TEST_F(HandheldStorage, StagedContentTakesTheAreaOnlyOnCommit) {
  const auto old_content = PatternBytes(5000, 1);
  const auto new_content = PatternBytes(7000, 2);
  ASSERT_TRUE(storage_.Write(Area::EXTROM, old_content.data(), old_content.size()));
  StagedArea staged(storage_, Area::EXTROM);
  ASSERT_TRUE(staged.Ok());
  ASSERT_TRUE(staged.Append(new_content.data(), 3000));
  ASSERT_TRUE(staged.Append(new_content.data() + 3000, 4000));
  EXPECT_EQ(storage_.Read(Area::EXTROM), old_content);  // nothing visible before the commit
  ASSERT_TRUE(staged.Commit());
  EXPECT_EQ(storage_.Read(Area::EXTROM), new_content);
  EXPECT_FALSE(staged.Commit());  // once only
}

TEST_F(HandheldStorage, AnErasedAreaKeepsNothingOfItsOldContent) {
  const auto old_content = PatternBytes(9000, 4);
  ASSERT_TRUE(storage_.Write(Area::GSM, old_content.data(), old_content.size()));
  ASSERT_TRUE(storage_.Write(Area::GSM, old_content.data(), old_content.size()));  // a spare now exists
  ASSERT_TRUE(storage_.Erase(Area::GSM));
  EXPECT_EQ(storage_.StoredLength(Area::GSM), 0u);
  for (const auto& name : Names(fs::path(dir_.path()) / ".staging")) {
    EXPECT_EQ(fs::file_size(fs::path(dir_.path()) / ".staging" / name), 0u) << name;
  }
  const auto next = PatternBytes(3000, 5);  // the next write starts a file of its own
  ASSERT_TRUE(storage_.Write(Area::GSM, next.data(), next.size()));
  EXPECT_EQ(storage_.Read(Area::GSM), next);
}

TEST_F(HandheldStorage, AnAbandonedWriterLeavesTheAreaAndNoStagingFile) {
  const auto old_content = PatternBytes(5000, 1);
  ASSERT_TRUE(storage_.Write(Area::OS, old_content.data(), old_content.size()));
  const auto top_level = Names(dir_.path());
  {
    StagedArea staged(storage_, Area::OS);
    const auto partial = PatternBytes(2000, 3);
    ASSERT_TRUE(staged.Append(partial.data(), partial.size()));
  }  // the host went away mid-image
  EXPECT_EQ(storage_.Read(Area::OS), old_content);
  EXPECT_EQ(Names(dir_.path()), top_level);
  for (const auto& name : Names(fs::path(dir_.path()) / ".staging")) EXPECT_EQ(name, "OS.bin");  // the spare only
}

TEST_F(HandheldStorage, ShorterContentWrittenOverALongerSpareHasNoStaleTail) {
  // The second write leaves the first content as the spare; the third writes over it in place.
  const auto first = PatternBytes(10000, 1);
  const auto second = PatternBytes(9000, 2);
  const auto third = PatternBytes(3000, 3);
  ASSERT_TRUE(storage_.Write(Area::EBOOT, first.data(), first.size()));
  ASSERT_TRUE(storage_.Write(Area::EBOOT, second.data(), second.size()));
  ASSERT_TRUE(storage_.Write(Area::EBOOT, third.data(), third.size()));
  EXPECT_EQ(storage_.StoredLength(Area::EBOOT), third.size());
  EXPECT_EQ(storage_.Read(Area::EBOOT), third);
  ASSERT_TRUE(storage_.Erase(Area::EBOOT));
  EXPECT_EQ(storage_.StoredLength(Area::EBOOT), 0u);
  ASSERT_TRUE(storage_.Write(Area::EBOOT, second.data(), second.size()));
  EXPECT_EQ(storage_.Read(Area::EBOOT), second);
}

TEST_F(HandheldStorage, TwoWritersOfOneAreaKeepTheirContentApart) {
  const auto a = PatternBytes(6000, 4);
  const auto b = PatternBytes(4000, 5);
  ASSERT_TRUE(storage_.Write(Area::GSM, PatternBytes(8000, 6).data(), 8000));  // a spare for one of them
  ASSERT_TRUE(storage_.Write(Area::GSM, PatternBytes(8000, 7).data(), 8000));
  StagedArea first(storage_, Area::GSM);
  StagedArea second(storage_, Area::GSM);
  ASSERT_TRUE(first.Append(a.data(), a.size()));
  ASSERT_TRUE(second.Append(b.data(), b.size()));
  ASSERT_TRUE(first.Commit());
  EXPECT_EQ(storage_.Read(Area::GSM), a);
  ASSERT_TRUE(second.Commit());
  EXPECT_EQ(storage_.Read(Area::GSM), b);
  // Whatever the order of the commits, one spare per area remains and nothing else.
  EXPECT_EQ(Names(fs::path(dir_.path()) / ".staging"), std::set<std::string>{"GSM.bin"});
}

TEST_F(HandheldStorage, AStagingFileThatCannotBeCreatedFailsTheWriteAndKeepsTheArea) {
  const auto old_content = PatternBytes(5000, 1);
  ASSERT_TRUE(storage_.Write(Area::ASSET, old_content.data(), old_content.size()));
  // A file where the staging directory should be: nothing can be staged.
  fs::remove_all(fs::path(dir_.path()) / ".staging");
  { std::ofstream(fs::path(dir_.path()) / ".staging") << "x"; }
  StagedArea staged(storage_, Area::ASSET);
  EXPECT_FALSE(staged.Ok());
  EXPECT_FALSE(staged.Append(old_content.data(), 10));
  EXPECT_FALSE(staged.Commit());
  EXPECT_FALSE(storage_.Write(Area::ASSET, PatternBytes(10, 2).data(), 10));
  EXPECT_EQ(storage_.Read(Area::ASSET), old_content);
}

// The mode is replaced whole: a reader (the serving thread, the device programs, another process) never
// finds the file empty, which would read as the boot loader's mode.
TEST_F(HandheldStorage, AReaderOfTheModeNeverSeesItHalfWritten) {
  ASSERT_TRUE(storage_.SetMode(handheld::Mode::OS));
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::thread reader([&] {
    Storage other(dir_.path());
    while (!done.load()) {
      if (other.GetMode() != handheld::Mode::OS) ++wrong;
    }
  });
  int failed_writes = 0;  // counted, not asserted, while the reader runs: it is joined first
  for (int i = 0; i < 2000; ++i)
    if (!storage_.SetMode(handheld::Mode::OS)) ++failed_writes;
  done = true;
  reader.join();
  EXPECT_EQ(failed_writes, 0);
  EXPECT_EQ(wrong.load(), 0);
  const std::set<std::string> names = Names(dir_.path());
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("mode", 0) == 0; }),
            1);
}

}  // namespace
