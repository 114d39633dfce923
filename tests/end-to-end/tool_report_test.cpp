// dravik-update end to end, what a run tells the user: how much of each area the verification saw and
// whether the handheld is sent back, the progress through a suspended tool, the bar on a terminal of a
// given width, the rate of a short run, and the warnings --quiet still shows.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handheld/virtual_handheld.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"
#include "tool_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;
using handheld::Area;
using testing_support::PatternBytes;
using testing_support::WriteFileBytes;
using tool_test::RunTool;
using tool_test::ToolRun;

constexpr const char* kInterfacePath =
    "\\\\?\\usb#vid_0e1f&pid_4505#7&2a&0&1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

bool Contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

bool IsCommand(const handheld::WireEvent& e, const char* code) {
  return e.kind == handheld::WireEvent::Kind::Frame && e.direction == handheld::WireEvent::Direction::HostToDevice &&
         e.bytes.size() >= 8 && std::string(e.bytes.begin(), e.bytes.begin() + 8) == code;
}

// The dravik-update process this test started (its child), or 0.
pid_t ToolChild() {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, comm, state;
    pid_t parent = 0;
    if (!(stat >> pid >> comm >> state >> parent)) continue;
    if (parent == getpid() && comm == "(dravik-update)") return static_cast<pid_t>(std::stoi(pid));
  }
  return 0;
}

class ToolReport : public ::testing::Test {
 protected:
  void SetUp() override { handheld_ = std::make_unique<handheld::VirtualHandheld>(device_dir_.path()); }
  void TearDown() override { handheld_->Stop(); }

  // An XP-plus host whose sync-driver interface opens `opens`; none at all when it is empty.
  void WriteHost(const std::string& opens) {
    w32sim::HostProfile profile;
    profile.major_version = 5;
    profile.minor_version = 1;
    profile.windows_directory = dir_.File("windows");
    if (!opens.empty()) {
      w32sim::DeviceInterface itf;
      itf.path = kInterfacePath;
      itf.opens = opens;
      itf.winusb = false;
      profile.interfaces = {itf};
    }
    std::string error;
    ASSERT_TRUE(w32sim::SaveHostProfileFile(dir_.File("host.profile"), profile, &error)) << error;
  }
  void ServeHandheld() { WriteHost(handheld_->StartPty()); }

  std::string Image(const std::string& name, const Bytes& bytes) {
    std::string path = dir_.File(name);
    WriteFileBytes(path, bytes);
    return path;
  }

  std::map<std::string, std::string> ToolEnv(bool with_handheld_dir = true, const std::string& clock_scale = "100") {
    return {
        {"DRAVIK_HOST_PROFILE", dir_.File("host.profile")},
        {"DRAVIK_CLOCK_SCALE", clock_scale},
        {"DRAVIK_WINDOWS_DIR", dir_.File("windows")},
        {"DRAVIK_HANDHELD_DIR", with_handheld_dir ? device_dir_.path() : ""},
        {"DRAVIK_LIBRARY", ""},
    };
  }

  ToolRun Run(std::vector<std::string> args, bool with_handheld_dir = true) {
    return RunTool(args, ToolEnv(with_handheld_dir), dir_.path());
  }

  // How often the handheld was told to reboot to IPL mode.
  size_t Reboots() const {
    size_t n = 0;
    for (const auto& e : handheld_->Record()) n += IsCommand(e, "FF112249") ? 1 : 0;
    return n;
  }

  testing_support::TempDir dir_;
  testing_support::TempDir device_dir_;
  std::unique_ptr<handheld::VirtualHandheld> handheld_;
};

// ---- What the verification saw ----

// A GSM image longer than the backup of GSM is read back only as far as that backup goes: a byte
// changed beyond it is seen by nobody. No mismatch, so exit 0; but the summary says how much was
// checked, the last line claims nothing more, and the handheld is not sent back to IPL mode.
TEST_F(ToolReport, AnAreaReadBackOnlyInPartIsSaidSoAndKeepsTheHandheldInBootloaderMode) {
  ServeHandheld();
  const std::string gsm = Image("gsm.nb0", PatternBytes(5767168, 21));
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (!IsCommand(e, "FF112261")) return;  // the read-back begins: the handheld's copy changes past its end
    Bytes held = handheld_->GetStorage().Read(Area::GSM);
    if (held.size() > 0x550000) {
      held[0x550000] ^= 0xFF;
      handheld_->GetStorage().Write(Area::GSM, held.data(), held.size());
    }
  });
  ToolRun run = Run({"--os", gsm, "--verify", "readback"}, /*with_handheld_dir=*/false);
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "GSM (" + gsm + "): checked only in part: the read-back covers the first 5,242,880 "
                                "of 5,767,168 bytes, which match; the last 524,288 bytes were not checked"))
      << run.out;
  EXPECT_FALSE(Contains(run.out, "every area checked holds its image")) << run.out;
  EXPECT_TRUE(Contains(run.out, "done: nothing that was read back differs from its image, but GSM was checked only "
                                "in part (5,242,880 of 5,767,168 bytes)"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "left in bootloader mode, as GSM was checked only in part")) << run.out;
  EXPECT_EQ(0u, Reboots());
}

// The asset data has no backup type: it is not checked at all, and the last line says so.
TEST_F(ToolReport, AnAreaNoReadBackReachesIsNamedInTheLastLine) {
  ServeHandheld();
  const std::string eboot = Image("eboot.nb0", PatternBytes(393216, 6));
  const std::string asset = Image("asset.bin", PatternBytes(225, 7));
  ToolRun run = Run({"--eboot", eboot, "--asset", asset}, /*with_handheld_dir=*/false);
  EXPECT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "EBOOT (" + eboot + "): verified, 393,216 bytes match")) << run.out;
  EXPECT_TRUE(Contains(run.out, "but ASSET was not checked at all")) << run.out;
  EXPECT_FALSE(Contains(run.out, "every area checked holds its image")) << run.out;
  EXPECT_EQ(0u, Reboots());

  // Checked whole against the handheld's directory, the same images send it back.
  ToolRun whole = Run({"--eboot", eboot, "--asset", asset});
  EXPECT_EQ(0, whole.exit_code) << whole.All();
  EXPECT_TRUE(Contains(whole.out, "done: every area checked holds its image")) << whole.out;
  EXPECT_TRUE(Contains(whole.out, "the handheld was sent back to IPL mode")) << whole.out;
  EXPECT_EQ(1u, Reboots());
}

// ---- The progress ----

// A tool stopped for 3 s (Ctrl-Z, then fg) with the platform clock 1,000 times faster: 50 minutes on
// that clock passed between two polls, in which neither the tool nor the library ran. The run goes on
// and completes; it is not given up on as a standstill of 20 minutes.
TEST_F(ToolReport, AToolStoppedAndResumedFinishesItsRun) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.ack_delay_ms = 2;  // a run of a few seconds, to be stopped in its middle
  handheld_->SetFaults(plan);
  const Bytes gsm_bytes = PatternBytes(1520 * 2000, 31);
  const std::string gsm = Image("gsm.nb0", gsm_bytes);
  bool asked = false, stopped = false;
  auto stop_and_resume = [&]() {
    if (asked) return false;
    asked = true;
    const pid_t tool = ToolChild();
    stopped = tool != 0 && kill(tool, SIGSTOP) == 0;
    if (!stopped) return false;
    std::this_thread::sleep_for(std::chrono::seconds(3));
    kill(tool, SIGCONT);
    return false;  // no signal from the runner
  };
  ToolRun run = RunTool({"--os", gsm}, ToolEnv(true, "1000"), dir_.path(), 60, "GSM gsm.nb0", SIGINT, 0,
                        stop_and_resume);
  ASSERT_TRUE(stopped) << run.All();
  EXPECT_EQ(0, run.exit_code) << run.All();
  EXPECT_FALSE(Contains(run.err, "has not moved")) << run.err;
  EXPECT_EQ(gsm_bytes, handheld_->GetStorage().Read(Area::GSM));
}

// A run of an EBOOT image is over in a fraction of a second here: no rate is made up from that.
// Whatever the tool shows must be a rate it could have measured, over at least a second.
TEST_F(ToolReport, AShortRunShowsNoRateItCannotHaveMeasured) {
  ServeHandheld();
  const std::string eboot = Image("eboot.nb0", PatternBytes(393216, 32));
  ToolRun run = Run({"--eboot", eboot, "--plain"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  const size_t at = run.out.find("flashed 384.0 KiB in ");
  ASSERT_NE(std::string::npos, at) << run.out;
  const std::string line = run.out.substr(at, run.out.find('\n', at) - at);
  const size_t open = line.find(" (");
  if (open == std::string::npos) {
    EXPECT_EQ("flashed 384.0 KiB in less than a second", line);
  } else {
    // "(N KiB/s)": at most the whole image in one second.
    EXPECT_NE(std::string::npos, line.find(" KiB/s)")) << line;
    EXPECT_LE(std::stod(line.substr(open + 2)), 384.0) << line;
  }
}

// ---- What --quiet still shows ----

// With no handheld the library looks for one for ever: --quiet hides the waiting line, but not the
// warning after half a minute (of the platform clock), which goes to standard error.
TEST_F(ToolReport, QuietStillWarnsWhenNoHandheldIsFound) {
  WriteHost("");
  ToolRun run = RunTool({"--quiet", "--wait", "3", "--eboot", Image("eboot.nb0", PatternBytes(5000, 33))},
                        ToolEnv(), dir_.path());
  EXPECT_EQ(69, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "no handheld found for 30 s: is it connected, in bootloader mode?")) << run.err;
  EXPECT_FALSE(Contains(run.out, "waiting for the handheld")) << run.out;
}

// A handheld booted into its OS does not answer and the run stays at 0 % for ever: the question about it
// is asked with --quiet too. (The run is ended by the test's time limit.)
TEST_F(ToolReport, QuietStillAsksAboutAHandheldThatNeverAnswers) {
  ServeHandheld();
  ASSERT_TRUE(handheld_->GetStorage().SetMode(handheld::Mode::OS));
  ToolRun run = RunTool({"--quiet", "--eboot", Image("eboot.nb0", PatternBytes(5000, 34))}, ToolEnv(), dir_.path(),
                        /*time_limit_s=*/4);
  EXPECT_TRUE(Contains(run.err, "no answer from the handheld for 30 s: is it in bootloader mode?")) << run.All();
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::EBOOT).empty());
}

}  // namespace
