// The job list, the payload sizes and the payload loading: header skipped, scrambled names, the size
// slots of the format command, and the jobs that have no payload to give.
#include <algorithm>

#include "driver/jobs.h"
#include "driver_test_fixture.h"

namespace {

using driver_test::DriverTest;
using testing_support::PatternBytes;

using JobsTest = DriverTest;

std::vector<std::string> Names(const FlashJob* head) {
  std::vector<std::string> names;
  for (; head != nullptr; head = head->pNext) names.push_back(head->szFileName);
  return names;
}

TEST_F(JobsTest, AppendKeepsQueueOrderAndRefusesWhatDoesNotFit) {
  FlashJob* head = nullptr;
  EXPECT_EQ(AppendJob(&head, 1, "a", 0), 0);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->pNext, nullptr);
  EXPECT_EQ(AppendJob(&head, 2, "b", 5), 0);
  EXPECT_EQ(AppendJob(&head, 3, "c", 0), 0);
  EXPECT_EQ(AppendJob(&head, 17, "d", -1), 0);
  EXPECT_EQ(Names(head), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(head->pNext->pNext->pNext->wFeatureId, 17);

  const std::string longest(257, 'p');
  EXPECT_EQ(AppendJob(&head, 1, longest.c_str(), 0), 0);
  EXPECT_EQ(Names(head).back(), longest);
  const std::string tooLong(258, 'q');
  EXPECT_EQ(AppendJob(&head, 1, tooLong.c_str(), 0), -1);
  EXPECT_EQ(AppendJob(&head, 1, nullptr, 0), -1);
  EXPECT_EQ(Names(head).size(), 5u);
  EXPECT_EQ(CountLogLines("AppendJob(): the file name has 258 characters, more than 257, the job is refused"), 1u);
  EXPECT_EQ(CountLogLines("AppendJob(): no file name, the job is refused"), 1u);
  FreeJobList(head);
  FreeJobList(nullptr);
}

TEST_F(JobsTest, PayloadIsTheFileWithoutItsHeader) {
  const std::vector<uint8_t> bytes = PatternBytes(3000);
  const std::string path = MakeFile("image.nbf", bytes);
  FlashJob* head = nullptr;
  AppendJob(&head, 3, path.c_str(), 64);
  AppendJob(&head, 1, path.c_str(), 0);
  EXPECT_EQ(SumJobSizes(head), 2936 + 3000);

  ASSERT_EQ(LoadJobData(head), 2936);
  ASSERT_NE(FlashState.pJobData, nullptr);
  EXPECT_TRUE(std::equal(bytes.begin() + 64, bytes.end(), FlashState.pJobData));
  ASSERT_EQ(LoadJobData(head->pNext), 3000);  // the earlier payload is let go first
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), FlashState.pJobData));
  FreeJobList(head);
}

TEST_F(JobsTest, OnlyTheExactNamesTemp0ToTemp4AreUnscrambled) {
  const std::vector<uint8_t> bytes = PatternBytes(300);
  MakeFile("temp2", bytes);
  MakeFile("temp5", bytes);
  MakeFile("Temp2", bytes);
  MakeFile("temp2.nb0", bytes);
  MakeFile("temp21", bytes);
  FlashJob* head = nullptr;
  AppendJob(&head, 7, "temp2", 0);
  AppendJob(&head, 7, dir_.File("temp2").c_str(), 0);  // a path ending in the name: sent as read
  AppendJob(&head, 7, "temp5", 0);
  AppendJob(&head, 7, "Temp2", 0);
  AppendJob(&head, 7, "temp2.nb0", 0);  // names that begin with one: sent as read
  AppendJob(&head, 7, "temp21", 0);
  ASSERT_EQ(LoadJobData(head), 300);
  for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(FlashState.pJobData[i], bytes[i] ^ 0x5B) << i;
  for (FlashJob* job = head->pNext; job != nullptr; job = job->pNext) {
    ASSERT_EQ(LoadJobData(job), 300);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), FlashState.pJobData)) << job->szFileName;
  }
  FreeJobList(head);
}

TEST_F(JobsTest, JobsWithoutPayloadCountAsZero) {
  const std::string small = MakeFile("small.bin", PatternBytes(100));
  FlashJob* head = nullptr;
  AppendJob(&head, 3, "no-such-file", 0);
  AppendJob(&head, 3, small.c_str(), 101);   // header longer than the file
  AppendJob(&head, 4, small.c_str(), 0);     // no flash command for feature id 4
  AppendJob(&head, 1, small.c_str(), -5);    // a negative header
  AppendJob(&head, 2, small.c_str(), 100);   // an empty payload is still a payload
  EXPECT_EQ(SumJobSizes(head), 0);

  EXPECT_EQ(LoadJobData(head), 401);
  EXPECT_EQ(FlashState.pJobData, nullptr);
  LoadJobData(head->pNext);
  EXPECT_EQ(FlashState.pJobData, nullptr);
  LoadJobData(head->pNext->pNext->pNext);
  EXPECT_EQ(FlashState.pJobData, nullptr);
  EXPECT_EQ(LoadJobData(head->pNext->pNext->pNext->pNext), 0);
  EXPECT_NE(FlashState.pJobData, nullptr);
  FreeJobList(head);
}

TEST_F(JobsTest, SizeSlotsOfTheFormatCommand) {
  // Sizes are taken from the files; sparse files keep the large ones cheap.
  auto sized = [&](const std::string& name, long size) {
    const std::string path = dir_.File(name);
    FILE* f = fopen(path.c_str(), "wb");
    if (size > 0) {
      fseek(f, size - 1, SEEK_SET);
      fputc(0, f);
    }
    fclose(f);
    return path;
  };
  FlashJob* head = nullptr;
  AppendJob(&head, 3, sized("gsm", 0x600000 + 10).c_str(), 10);     // exactly 6,291,456: GSM
  AppendJob(&head, 3, sized("os", 0x600001 + 10).c_str(), 10);      // one more: OS
  AppendJob(&head, 1, sized("eboot1", 1000).c_str(), 0);
  AppendJob(&head, 1, sized("eboot2", 2000).c_str(), 0);            // the later job wins the slot
  AppendJob(&head, 2, sized("ipl", 4096).c_str(), 96);
  AppendJob(&head, 7, sized("asset", 50).c_str(), 0);               // flashed, but no slot
  AppendJob(&head, 17, "missing-extrom", 0);                        // fills no slot
  AppendJob(&head, 1, "missing-eboot", 0);                          // skipped: eboot2 keeps the slot
  Each_ROMSize* block = nullptr;
  GetEachROMSize(head, &block);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->dwGSMSize, 0x600000u);
  EXPECT_EQ(block->dwOSSize, 0x600001u);
  EXPECT_EQ(block->dwEBOOTSize, 2000u);
  EXPECT_EQ(block->dwIPLSize, 4000u);
  EXPECT_EQ(block->dwEXTROMSize, 0u);
  for (uint8_t b : block->byaReserved) EXPECT_EQ(b, 0);
  free(block);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "GetEachROMSize(): GSM size=6291456",
                            "GetEachROMSize(): OS size=6291457",
                            "GetEachROMSize(): EBOOT size=1000",
                            "GetEachROMSize(): EBOOT size=2000",
                            "GetEachROMSize(): IPL size=4000",
                            "GetEachROMSize() Error! No setting size",
                            "GetEachROMSize(): FeatureID=17 FileName=missing-extrom fills no size slot: the "
                            "file cannot be opened",
                            "GetEachROMSize(): FeatureID=1 FileName=missing-eboot fills no size slot: the "
                            "file cannot be opened",
                        }));
  FreeJobList(head);

  GetEachROMSize(nullptr, &block);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->dwGSMSize + block->dwOSSize + block->dwEBOOTSize + block->dwIPLSize + block->dwEXTROMSize, 0u);
  free(block);
}

}  // namespace
