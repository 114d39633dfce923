// Every SD-card routine, on its success path and under every kind of injected failure, leaves no file or
// device handle open and no buffer allocated.
#include <functional>

#include "device_fixture.h"
#include "flashdisk.h"
#include "sdcard.h"

namespace fd = handheld::flashdisk;
using handheld::Area;
using testing_support::PatternBytes;

namespace {

struct Routine {
  const char* name;
  std::function<int()> run;
};

struct Failure {
  const char* name;
  std::function<void()> inject;
};

class SdResourcesTest : public DeviceTest {
 protected:
  void Prepare() {
    cesim::ResetSimulation();
    cesim::SetEcho(false);
    cesim::SetResetHook([] {});
    Handheld().SetCapacity(Area::EXTROM, 4 * 65536);
    PutOnSd("img.bin", PatternBytes(3 * 65536 + 100, 1));
    PutOnSd("eboot.bin", PatternBytes(kEBootImageSize, 2));
    PutOnSd("ipl.bin", PatternBytes(5000, 3));
  }
};

TEST_F(SdResourcesTest, NoHandleOrBufferOutlivesARoutine) {
  static int progress = 0;
  const std::u16string img = Sd("img.bin"), eboot = Sd("eboot.bin"), ipl = Sd("ipl.bin"), out = Sd("out.bin");
  const std::vector<Routine> routines = {
      {"FlashEBOOTFromSD", [&] { return FlashEBOOTFromSD(eboot.c_str(), &progress); }},
      {"FlashIPLFromSD", [&] { return FlashIPLFromSD(ipl.c_str(), &progress); }},
      {"FlashOSFromSD", [&] { return FlashOSFromSD(img.c_str(), &progress); }},
      {"FlashGSMFromSD", [&] { return FlashGSMFromSD(img.c_str(), &progress); }},
      {"FlashEROMFromSD", [&] { return FlashEROMFromSD(img.c_str(), &progress); }},
      {"FlashGsmFFS", [&] { return FlashGsmFFS(img.c_str()); }},
      {"GetGsmFFS", [&] { return GetGsmFFS(out.c_str()); }},
      {"DumpGSMtoSD", [&] { return DumpGSMtoSD(out.c_str(), &progress); }},
      {"DumpEROMtoSD", [&] { return DumpEROMtoSD(out.c_str(), &progress); }},
      {"BackupGsmFFS", [&] { return BackupGsmFFS(); }},
      {"CmpGSMFFS", [&] { return CmpGSMFFS(img.c_str()); }},
      {"CmpOSwithSD", [&] { return CmpOSwithSD(img.c_str(), &progress); }},
      {"CmpGSMwithSD", [&] { return CmpGSMwithSD(img.c_str(), &progress); }},
      {"CmpEROMwithSD", [&] { return CmpEROMwithSD(img.c_str(), &progress); }},
  };
  std::vector<Failure> failures = {
      {"none", [] {}},
      {"first allocation", [] { cesim::FailAllocation(0, 1); }},
      {"second allocation", [] { cesim::FailAllocation(1, 1); }},
      {"file size", [] { cesim::SetFileSizeFails(true); }},
      {"short file read", [] { cesim::LimitFileReads(70000); }},
      {"short file write", [] { cesim::LimitFileWrites(70000); }},
      {"key insertion", [] { cesim::FailControl(fd::kPartKey, 108, fd::kInsertKey); }},
      {"key removal", [] { cesim::FailControl(fd::kPartKey, 108, fd::kRemoveKey); }},
      {"mount", [] { cesim::FailControl(fd::kMountVolume, 3); }},
      {"disk information", [] { cesim::FailControl(fd::kGetInfo, 3); }},
      {"second sector read", [] { cesim::FailControl(fd::kReadSectors, 3, -1, 1); }},
      {"second sector write", [] { cesim::FailControl(fd::kWriteSectors, 3, -1, 1); }},
      {"boot-area write", [] { cesim::FailControl(fd::kBootAreaOp, 3, fd::kBdkWrite, 2); }},
      {"named area", [] { cesim::FailControl(fd::kNamedArea, 3); }},
  };
  for (int skip = 0; skip < 6; ++skip) {
    failures.push_back({"device open", [skip] {
                          cesim::FailDeviceOpen(u"DSK1:", skip, 1);
                          cesim::FailDeviceOpen(u"DSK2:", skip, 1);
                        }});
  }
  for (const auto& routine : routines) {
    for (const auto& failure : failures) {
      SCOPED_TRACE(std::string(routine.name) + " with a failing " + failure.name);
      Prepare();
      const int allocations = cesim::LiveAllocations();
      failure.inject();
      routine.run();
      EXPECT_EQ(cesim::OpenHandleCount(), 0u);
      EXPECT_EQ(cesim::LiveAllocations(), allocations);
    }
  }
}

}  // namespace
