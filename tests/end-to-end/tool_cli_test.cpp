// dravik-update end to end: the program run as a user runs it, against the virtual handheld behind a
// simulated XP-plus host; its exit codes, what it tells the user and what reaches the handheld.
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "handheld/virtual_handheld.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"
#include "tool_fixture.h"
#include "tool_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;
using handheld::Area;
using testing_support::PatternBytes;
using testing_support::WriteFileBytes;
using tool_test::RunTool;
using tool_test::Contains;
using tool_test::IsCommand;
using tool_test::kInterfacePath;
using tool_test::ToolRun;

class ToolEndToEnd : public tool_test::ToolTest {
 protected:
  // `file_size_limit`: the tool runs under `ulimit -f` of that many bytes.
  ToolRun Run(std::vector<std::string> args, bool with_handheld_dir = true, uint64_t file_size_limit = 0) {
    return RunTool(args, ToolEnv(with_handheld_dir), dir_.path(), 60, "", SIGINT, file_size_limit);
  }

  // Ctrl-C (or `signal`) once the tool's output shows `when`; a slower clock gives the library's retries
  // time. With `also`, the signal waits until it holds too.
  ToolRun RunInterrupted(std::vector<std::string> args, const std::string& when, int signal = SIGINT,
                         const std::function<bool()>& also = nullptr) {
    return RunTool(args, ToolEnv(true, "10"), dir_.path(), 60, when, signal, 0, also);
  }

  uint32_t HostFramesReceived() const { return handheld_->FramesReceived(); }

};

// ---- Command line: usage errors, help, and the checks made before the library is loaded ----

TEST_F(ToolEndToEnd, UsageErrorsExit64AndNameTheProblem) {
  ServeHandheld();
  const std::string os = Image("os.nb0", PatternBytes(3000));
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "nothing to flash"},
      {{"--bogus"}, "--bogus"},
      {{"--os", os, "--format", "7"}, "format type 7"},
      {{"--os", os, "--format", "3"}, "--format-backup"},
      {{"--os", os, "--format-backup", "b.bin"}, "--format 3"},
      {{"--os", os + ":-5"}, "bad header length"},
      {{"backup", "9", "x.bin"}, "backup type 9"},
      {{"backup", "2"}, "FILE"},
      {{"backup", "2", ""}, "backup: the file name is empty"},
      {{"--os", os, "--then-backup", "0", ""}, "--then-backup: the file name is empty"},
      {{"--os", os, "--format", "3", "--format-backup", ""}, "--format-backup: the file name is empty"},
      {{"--os", os, "--format-backup", ""}, "--format-backup: the file name is empty"},
      {{"info", "--os", os}, "without a command"},
      {{"--os", os, "--port", "/dev/null", "--host-class", "vista"}, "host classes"},
      // A slip of the fingers is named, with what was likely meant.
      {{"--ebot", os + ":64"}, "unknown option --ebot (did you mean --eboot?)"},
      {{"-os", os}, "unknown option -os (did you mean --os?)"},
      {{"bakup", "0", "x.bin"}, "unknown command bakup (did you mean backup?)"},
      {{"backup", "eboot", "x.bin"}, "backup type eboot does not exist: use 0 (EBOOT)"},
      {{"backup", "0", "x.bin", "extra"}, "unexpected argument: extra"},
      {{"backup", "0", "x.bin", "--format-backup", "b.bin"}, "--format-backup goes with --format 3 and images"},
  };
  for (const Case& c : cases) {
    ToolRun run = Run(c.args);
    EXPECT_EQ(64, run.exit_code) << run.All();
    EXPECT_TRUE(Contains(run.err, c.says)) << "expected \"" << c.says << "\" in: " << run.err;
  }
  EXPECT_EQ(0u, HostFramesReceived());
}

TEST_F(ToolEndToEnd, HelpShowsExamplesAndEveryExitCode) {
  ToolRun run = Run({"--help"});
  EXPECT_EQ(0, run.exit_code);
  for (const char* what : {"Examples:", "--eboot", "backup 2", "logfile.txt",
                           "130  interrupted by Ctrl-C (143 SIGTERM, 131 SIGQUIT or Ctrl-\\, 129 SIGHUP: a closed "
                           "terminal): what the"}) {
    EXPECT_TRUE(Contains(run.out, what)) << what;
  }
  // Each code at the start of its own line of the table, not merely somewhere in the text.
  for (const char* code : {"\n   0  success", "\n  64  ", "\n  65  ", "\n  66  ", "\n  69  ", "\n  70  ",
                           "\n  73  ", "\n  74  "}) {
    EXPECT_TRUE(Contains(run.out, code)) << code;
  }
}

TEST_F(ToolEndToEnd, ImageProblemsExit66BeforeAnythingIsSent) {
  ServeHandheld();
  const std::string good = Image("eboot.nb0", PatternBytes(2000));
  const std::string small = Image("os.nb0", PatternBytes(100));
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> says;
  } cases[] = {
      {{"--eboot", good, "--os", dir_.File("missing.nb0")}, {"missing.nb0", "no such file"}},
      {{"--os", small + ":128"}, {"os.nb0", "shorter than its header", "128"}},
      {{"--ipl", dir_.path()}, {"not a regular file"}},
      {{"--os", "/" + std::string(300, 'x')}, {"longer than 257"}},
      {{"--eboot", small + ":100"}, {"os.nb0", "payload is empty", "nothing to flash"}},
  };
  for (const Case& c : cases) {
    ToolRun run = Run(c.args);
    EXPECT_EQ(66, run.exit_code) << run.All();
    for (const std::string& s : c.says) EXPECT_TRUE(Contains(run.err, s)) << s << " in: " << run.err;
  }
  // Nothing reached the handheld, and the library was not even loaded.
  EXPECT_EQ(0u, HostFramesReceived());
  EXPECT_FALSE(std::filesystem::exists(dir_.File("logfile.txt")));
}

// A backup or a format's read-back written over an image, over the other output or over the library's
// log destroys it: the same file under any name is refused before the library is loaded.
TEST_F(ToolEndToEnd, OutputsThatNameAnImageOrEachOtherAreUsageErrors) {
  ServeHandheld();
  const Bytes bytes = PatternBytes(3000, 21);
  const std::string os = Image("os.nb0", bytes);
  std::filesystem::create_hard_link(os, dir_.File("os-link.nb0"));
  struct Case {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"--os", os + ":1024", "--format", "3", "--format-backup", "os.nb0"},
       "--format-backup os.nb0 and --os " + os + " name the same file: writing it would destroy the image"},
      {{"--os", os, "--then-backup", "3", "./os.nb0"}, "--then-backup ./os.nb0 and --os " + os},
      {{"--os", os, "--then-backup", "2", "os-link.nb0"}, "--then-backup os-link.nb0 and --os " + os},
      {{"--os", os, "--format", "3", "--format-backup", "same.bin", "--then-backup", "0", dir_.File("same.bin")},
       "--then-backup " + dir_.File("same.bin") + " and --format-backup same.bin name the same file: one would "
       "be written over the other"},
      // The library's log: the library appends to it during the run, and the tool reads it.
      {{"backup", "2", "logfile.txt"},
       "backup 2 logfile.txt is the library's log, which it writes while it works; give backup 2 a file of its "
       "own, or run with --log-dir elsewhere"},
      {{"--os", os, "--log-dir", "logs", "--then-backup", "2", "logs/logfile.txt"},
       "--then-backup " + dir_.File("logs/logfile.txt") + " is the library's log"},
      {{"--log-dir", "logs", "--os", "logs/logfile.txt"},
       "--os " + dir_.File("logs/logfile.txt") + " is the library's log, which it writes while it works; copy "
       "the image to another name"},
  };
  std::filesystem::create_directory(dir_.File("logs"));
  testing_support::WriteFileBytes(dir_.File("logs/logfile.txt"), bytes);
  for (const Case& c : cases) {
    ToolRun run = Run(c.args);
    EXPECT_EQ(64, run.exit_code) << run.All();
    EXPECT_TRUE(Contains(run.err, c.says)) << "expected \"" << c.says << "\" in: " << run.err;
    EXPECT_EQ(bytes, testing_support::ReadFileBytes(os));
    EXPECT_EQ(bytes, testing_support::ReadFileBytes(dir_.File("logs/logfile.txt")));
  }
  EXPECT_EQ(0u, HostFramesReceived());
  EXPECT_FALSE(std::filesystem::exists(dir_.File("logfile.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("same.bin")));
}

TEST_F(ToolEndToEnd, UnreadableImageExits66) {
  if (!testing_support::FileModesBindPrograms()) GTEST_SKIP() << "file modes cannot be made to bind the tool";
  ServeHandheld();
  const std::string locked = Image("locked.nb0", PatternBytes(100));
  chmod(locked.c_str(), 0);
  ToolRun run = Run({"--os", locked});
  EXPECT_EQ(66, run.exit_code);
  EXPECT_TRUE(Contains(run.err, "cannot be read")) << run.err;
}

// ---- Flashing runs against the virtual handheld ----

// Two images of one area share the feature id the progress reports: the display still names the file
// being flashed (the handheld acknowledges slowly here, so that the progress is seen during each).
TEST_F(ToolEndToEnd, TheProgressNamesEachImageOfOneArea) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.ack_delay_ms = 8;
  handheld_->SetFaults(plan);
  const std::string first = Image("first.nb0", PatternBytes(60000, 38));
  const std::string second = Image("second.nb0", PatternBytes(60000, 39));
  ToolRun run = Run({"--eboot", first, "--eboot", second});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "EBOOT first.nb0")) << run.out;
  EXPECT_TRUE(Contains(run.out, "EBOOT second.nb0")) << run.out;
  EXPECT_LT(run.out.find("EBOOT first.nb0"), run.out.find("EBOOT second.nb0")) << run.out;
}

TEST_F(ToolEndToEnd, FlashesInQueueOrderSkipsHeadersAndVerifiesStorage) {
  ServeHandheld();
  const Bytes eboot_file = PatternBytes(393216 + 64, 1);
  const Bytes ext = PatternBytes(7000, 2);
  const Bytes gsm_file = PatternBytes(12345, 3);
  const std::string eboot = Image("eboot.nb0", eboot_file);
  const std::string extrom = Image("extrom.bin", ext);
  const std::string os = Image("gsm.nb0", gsm_file);
  ToolRun run = Run({"--extrom", extrom, "--eboot", eboot + ":64", "--os", os + ":0x10"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_EQ(Bytes(eboot_file.begin() + 64, eboot_file.end()), handheld_->GetStorage().Read(Area::EBOOT));
  EXPECT_EQ(ext, handheld_->GetStorage().Read(Area::EXTROM));
  EXPECT_EQ(Bytes(gsm_file.begin() + 16, gsm_file.end()), handheld_->GetStorage().Read(Area::GSM));
  // Plain progress lines (stdout is a pipe), the summary, and the areas verified.
  EXPECT_TRUE(Contains(run.out, "progress 100%")) << run.out;
  EXPECT_TRUE(Contains(run.out, "EBOOT (" + eboot + "): verified")) << run.out;
  EXPECT_TRUE(Contains(run.out, "GSM (" + os + "): verified")) << run.out;
  EXPECT_TRUE(Contains(run.out, "sent back to IPL mode")) << run.out;
  // Queue order on the wire: the EXTROM command before the EBOOT one before the OS one, reboot last.
  std::vector<std::string> codes;
  for (const auto& e : handheld_->Record()) {
    if (e.kind != handheld::WireEvent::Kind::Frame ||
        e.direction != handheld::WireEvent::Direction::HostToDevice || e.bytes.size() < 8)
      continue;
    std::string code(e.bytes.begin(), e.bytes.begin() + 8);
    if (code.compare(0, 4, "FF11") == 0) codes.push_back(code);
  }
  EXPECT_EQ((std::vector<std::string>{"FF112263", "FF112244", "FF112246", "FF112249"}), codes);
}

TEST_F(ToolEndToEnd, QuietRunPrintsOnlyTheSummary) {
  ServeHandheld();
  const std::string ipl = Image("ipl.nb0", PatternBytes(5000, 4));
  ToolRun run = Run({"--quiet", "--ipl", ipl});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_FALSE(Contains(run.out, "progress")) << run.out;
  EXPECT_FALSE(Contains(run.out, "queued")) << run.out;
  EXPECT_TRUE(Contains(run.out, "summary")) << run.out;
}

TEST_F(ToolEndToEnd, FormatType3SavesItsBackupBeforeFlashing) {
  ServeHandheld();
  const std::string os = Image("os.nb0", PatternBytes(6291456 + 1520, 5));
  ToolRun run = Run({"--os", os, "--format", "3", "--format-backup", "format.bin"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_EQ(65536u, std::filesystem::file_size(dir_.File("format.bin")));
  EXPECT_TRUE(Contains(run.out, "format type 3 done")) << run.out;
  EXPECT_TRUE(Contains(run.out, "OS (" + os + "): verified")) << run.out;
}

// Once the handheld has confirmed a format of type 3, what its read-back brought is all there is of what
// it erased: a read-back cut off or out of step is not saved as FILE, but kept under a name of its own,
// and nothing is flashed.
TEST_F(ToolEndToEnd, FormatReadBackCutOffIsKeptApartAndNothingIsFlashed) {
  ServeHandheld();
  const Bytes gsmffs = PatternBytes(65536, 25);
  handheld_->GetStorage().Write(Area::GSM, gsmffs.data(), gsmffs.size());
  handheld::FaultPlan plan;
  plan.vanish_after_sent_frames = 10;
  handheld_->SetFaults(plan);
  const std::string os = Image("os.nb0", PatternBytes(6291456 + 1520, 5));
  ToolRun run = Run({"--os", os, "--format", "3", "--format-backup", "format.bin"});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the handheld's disk was formatted (type 3), but its read-back came to ")) << run.err;
  EXPECT_TRUE(Contains(run.err, "format.bin was not written; what was received (")) << run.err;
  EXPECT_TRUE(Contains(run.err, " of 65,536 bytes) is kept in format.bin.incomplete.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "run the command again without --format and --format-backup")) << run.err;
  EXPECT_FALSE(Contains(run.err, "run the same command again")) << run.err;
  EXPECT_EQ(std::vector<std::string>{"format.bin.incomplete"}, FilesStartingWith("format.bin"));
  const Bytes kept = testing_support::ReadFileBytes(dir_.File("format.bin.incomplete"));
  ASSERT_FALSE(kept.empty());
  ASSERT_LT(kept.size(), gsmffs.size());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), gsmffs.begin()));
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::OS).empty());

  // A read-back that went out of step (a packet came short and was sent again) is no backup either: the
  // library ends it at that packet, here the first, so that nothing is kept, and the first one kept stays.
  ServeHandheld();
  plan = handheld::FaultPlan{};
  plan.short_frames_sent = 1;
  plan.short_frame_resend_ms = 100;
  handheld_->SetFaults(plan);
  run = Run({"--os", os, "--format", "3", "--format-backup", "format.bin"});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the format's read-back went out of step with the handheld")) << run.err;
  EXPECT_TRUE(Contains(run.err, "format.bin was not written; nothing of the read-back was received")) << run.err;
  EXPECT_EQ(std::vector<std::string>{"format.bin.incomplete"}, FilesStartingWith("format.bin"));
  EXPECT_EQ(kept, testing_support::ReadFileBytes(dir_.File("format.bin.incomplete")));
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::OS).empty());
}

// A format's read-back is never written over an existing file (it may hold what an earlier format
// erased); after a failure that followed a confirmed format, the tool says to run without the format,
// and the same command is refused before anything is sent.
TEST_F(ToolEndToEnd, FormatBackupIsNeverReplacedAndAFailureAfterTheFormatSaysSo) {
  ServeHandheld();
  const Bytes gsmffs = PatternBytes(65536, 26);
  handheld_->GetStorage().Write(Area::GSM, gsmffs.data(), gsmffs.size());
  handheld::FaultPlan plan;
  plan.vanish_after_frames = 40;  // in the flash that follows the format
  handheld_->SetFaults(plan);
  const std::string gsm = Image("gsm.nb0", PatternBytes(1520 * 200, 27));
  const std::vector<std::string> command = {"--os", gsm, "--format", "3", "--format-backup", "ffs.bin"};
  ToolRun run = Run(command);
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "format type 3 done, its 65,536-byte backup saved to ffs.bin")) << run.out;
  EXPECT_TRUE(Contains(run.err, "then run the command again without --format and --format-backup (the handheld's "
                                "disk was formatted and its read-back saved as ffs.bin)."))
      << run.err;
  EXPECT_FALSE(Contains(run.err, "run the same command again")) << run.err;
  EXPECT_EQ(gsmffs, testing_support::ReadFileBytes(dir_.File("ffs.bin")));

  ServeHandheld();
  handheld_->SetFaults(handheld::FaultPlan{});
  const uint32_t frames = HostFramesReceived();
  run = Run(command);
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "--format-backup ffs.bin exists, and the format's read-back never replaces a file: "
                                "it may be the only copy of what an earlier format erased"))
      << run.err;
  EXPECT_EQ(frames, HostFramesReceived());
  EXPECT_EQ(gsmffs, testing_support::ReadFileBytes(dir_.File("ffs.bin")));
  EXPECT_EQ(std::vector<std::string>{"ffs.bin"}, FilesStartingWith("ffs.bin"));

  // As advised, without the format: the image goes in, the saved read-back stays.
  run = Run({"--os", gsm});
  EXPECT_EQ(0, run.exit_code) << run.All();
  EXPECT_EQ(gsmffs, testing_support::ReadFileBytes(dir_.File("ffs.bin")));
}

// A format of type 3 whose read-back would not fit on its disk is refused before anything is erased.
TEST_F(ToolEndToEnd, FormatBackupOnANearlyFullDiskIsRefusedBeforeAnythingIsSent) {
  ServeHandheld();
  const std::string small = dir_.File("small");
  std::filesystem::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=32k") != 0) GTEST_SKIP() << "no tmpfs can be mounted here";
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  ToolRun run = Run({"--os", Image("gsm.nb0", PatternBytes(3000, 30)), "--format", "3", "--format-backup",
                     small + "/ffs.bin"});
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, small + " has 32,768 bytes free, less than the 65,536 bytes of the format's "
                                "read-back"))
      << run.err;
  EXPECT_EQ(0u, HostFramesReceived());
  EXPECT_TRUE(std::filesystem::is_empty(small));
}

// Under `ulimit -f` the format's read-back cannot be written whole: the disk was formatted all the same,
// what was written is kept, and the tool exits 73 (not the handheld's 74).
TEST_F(ToolEndToEnd, FormatReadBackBeyondTheFileSizeLimitIsKeptAndSaysTheDiskWasFormatted) {
  ServeHandheld();
  const Bytes gsmffs = PatternBytes(65536, 28);
  handheld_->GetStorage().Write(Area::GSM, gsmffs.data(), gsmffs.size());
  const std::string gsm = Image("gsm.nb0", PatternBytes(3000, 29));
  ToolRun run = Run({"--os", gsm, "--format", "3", "--format-backup", "ffs.bin"}, true, 32768);
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the handheld's disk was formatted (type 3), but its read-back could not be written "
                                "into ffs.bin.partial-"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the log says: ReadBackup(): writing the file failed after")) << run.err;
  EXPECT_TRUE(Contains(run.err, "Make room for it. The disk is formatted already (its GSMFFS area erased); what was "
                                "read back of it is in ffs.bin.incomplete, the only copy there is: keep it. The same "
                                "command, run again, would format again and save erased data as the backup: to flash, "
                                "run the command again without --format and --format-backup."))
      << run.err;
  EXPECT_EQ(std::vector<std::string>{"ffs.bin.incomplete"}, FilesStartingWith("ffs.bin"));
  const Bytes kept = testing_support::ReadFileBytes(dir_.File("ffs.bin.incomplete"));
  ASSERT_FALSE(kept.empty());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), gsmffs.begin()));
  EXPECT_EQ(1u, handheld_->FormatCount());
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::GSM).empty());  // formatted, and not flashed
}

TEST_F(ToolEndToEnd, ReadBackVerificationWithoutTheStorageDirectory) {
  ServeHandheld();
  const Bytes eboot_bytes = PatternBytes(393216, 6);
  const std::string eboot = Image("eboot.nb0", eboot_bytes);
  const std::string asset = Image("asset.bin", PatternBytes(225, 7));
  ToolRun run = Run({"--eboot", eboot, "--asset", asset}, /*with_handheld_dir=*/false);
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "EBOOT (" + eboot + "): verified, 393,216 bytes match")) << run.out;
  EXPECT_TRUE(Contains(run.out, "no backup type reads ASSET back")) << run.out;
  size_t backups = 0;
  for (const auto& e : handheld_->Record()) {
    if (e.direction == handheld::WireEvent::Direction::HostToDevice && e.bytes.size() >= 8 &&
        std::string(e.bytes.begin(), e.bytes.begin() + 8) == "FF112261")
      ++backups;
  }
  EXPECT_EQ(1u, backups);
}

TEST_F(ToolEndToEnd, DifferingAreaFailsVerificationWithAreaAndOffset) {
  ServeHandheld();
  // The storage compared is a copy of the handheld, written during the run, whose EXTROM differs at
  // byte 5000 from the image.
  testing_support::TempDir stale;
  handheld::Storage{stale.path()};  // a handheld's directory from the start, as the tool asks
  Bytes differing = PatternBytes(10000, 8);
  differing[5000] ^= 0xFF;
  const std::string ext = Image("extrom.bin", PatternBytes(10000, 8));
  std::atomic<int> reboots{0};
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (IsCommand(e, "FF112263")) {
      handheld::Storage(stale.path()).Write(Area::EXTROM, differing.data(), differing.size());
    }
    if (IsCommand(e, "FF112249")) ++reboots;
  });
  // The backup that follows fails too (the handheld's OS area is empty): the verification's result is
  // still what the tool reports and ends with.
  WriteFileBytes(dir_.File("os-backup.bin"), PatternBytes(4000, 12));
  ToolRun run = Run({"--extrom", ext, "--handheld-dir", stale.path(), "--then-backup", "2", "os-backup.bin"});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(65, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "verification failed: EXTROM differs from " + ext + " at offset 0x1388 (5,000)"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the handheld reports OS as empty (a size of 0)")) << run.err;
  EXPECT_TRUE(Contains(run.out, "backup type 2 (OS): failed (above)")) << run.out;
  EXPECT_EQ(PatternBytes(4000, 12), testing_support::ReadFileBytes(dir_.File("os-backup.bin")));
  EXPECT_TRUE(Contains(run.err, "logfile.txt")) << run.err;
  // A handheld that does not hold its image is not sent out of its bootloader.
  EXPECT_EQ(0, reboots.load());
  EXPECT_TRUE(Contains(run.out, "left in bootloader mode")) << run.out;
  // The handheld itself got the image.
  EXPECT_EQ(PatternBytes(10000, 8), handheld_->GetStorage().Read(Area::EXTROM));
}

// A handheld that announces less than was flashed into an area fails the read-back check: the part it
// does send matching is no proof that the rest is there.
TEST_F(ToolEndToEnd, ReadBackShorterThanTheImageFailsVerification) {
  ServeHandheld();
  const std::string ipl = Image("ipl.nb0", PatternBytes(5000, 15));
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (!IsCommand(e, "FF112260")) return;
    const Bytes kept = handheld_->GetStorage().Read(Area::IPL);
    handheld_->GetStorage().Write(Area::IPL, kept.data(), 1000);
  });
  ToolRun run = Run({"--ipl", ipl}, /*with_handheld_dir=*/false);
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(65, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "verification failed: IPL differs from " + ipl + " at offset 0x3e8 (1,000): the "
                                "handheld holds only 1,000 of its 5,000 bytes"))
      << run.err;
  EXPECT_FALSE(Contains(run.out, "done: every area checked holds its image")) << run.out;
}

// An area that held the image before the run and was not written by it proves nothing about the run:
// the handheld puts a new file in an area's place on every flash, and the old one is a failed check.
TEST_F(ToolEndToEnd, AnAreaNotWrittenInTheRunFailsVerificationEvenWhenItHoldsTheImage) {
  ServeHandheld();
  const Bytes ext = PatternBytes(10000, 36);
  const std::string image = Image("extrom.bin", ext);
  testing_support::TempDir already;  // the directory compared: it holds the image, and the run leaves it
  handheld::Storage(already.path()).Write(Area::EXTROM, ext.data(), ext.size());
  ToolRun run = Run({"--extrom", image, "--handheld-dir", already.path()});
  EXPECT_EQ(65, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "verification failed: EXTROM (" + image + "): not written in this run (the "
                                "handheld's EXTROM.bin is the file it had before)"))
      << run.err;
  EXPECT_FALSE(Contains(run.out, "sent back to IPL mode")) << run.out;

  // The handheld's own directory, flashed with the same image it holds: written anew, verified.
  handheld_->GetStorage().Write(Area::EXTROM, ext.data(), ext.size());
  run = Run({"--extrom", image, "--extrom", image});
  EXPECT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "EXTROM (" + image + "): verified, 10,000 bytes match")) << run.out;
}

// A directory that is no virtual handheld's is refused before anything is sent, and left as it was: it
// would be compared as an erased handheld.
TEST_F(ToolEndToEnd, AHandheldDirectoryWithoutAHandheldIsRefused) {
  ServeHandheld();
  testing_support::TempDir empty;
  ToolRun run = Run({"--extrom", Image("extrom.bin", PatternBytes(1000, 37)), "--handheld-dir", empty.path()});
  EXPECT_EQ(66, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, empty.path() + " is not a virtual handheld's directory")) << run.err;
  EXPECT_EQ(0u, HostFramesReceived());
  EXPECT_TRUE(std::filesystem::is_empty(empty.path()));
}

// An area that holds more than its image (a length announced wrong) does not hold the image: the bytes
// beyond it fail the check, in the virtual handheld's directory and in a read-back whose length the
// handheld announces.
TEST_F(ToolEndToEnd, AnAreaLongerThanItsImageFailsVerification) {
  ServeHandheld();
  const Bytes ext = PatternBytes(10000, 34);
  const std::string image = Image("extrom.bin", ext);
  // The directory compared is one the run writes (while the handheld takes the image) with the image
  // and 64 bytes more.
  testing_support::TempDir other;
  handheld::Storage{other.path()};
  Bytes longer = ext;
  longer.resize(ext.size() + 64, 0x5A);
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (IsCommand(e, "FF112263")) handheld::Storage(other.path()).Write(Area::EXTROM, longer.data(), longer.size());
  });
  ToolRun run = Run({"--extrom", image, "--handheld-dir", other.path()});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(65, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "verification failed: EXTROM (" + image + "): the handheld holds 10,064 bytes, the "
                                "image 10,000"))
      << run.err;

  const std::string ipl = Image("ipl.nb0", PatternBytes(5000, 35));
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (!IsCommand(e, "FF112260")) return;
    Bytes kept = handheld_->GetStorage().Read(Area::IPL);
    kept.resize(kept.size() + 64, 0x5A);
    handheld_->GetStorage().Write(Area::IPL, kept.data(), kept.size());
  });
  run = Run({"--ipl", ipl}, /*with_handheld_dir=*/false);
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(65, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "verification failed: IPL (" + ipl + "): the handheld holds 5,064 bytes, the image "
                                "5,000"))
      << run.err;
}

// An image that goes away after the tool checked it: the library skips its job and still completes the
// run, so the tool must say the area was not flashed and not end in success.
TEST_F(ToolEndToEnd, ImageGoneBeforeTheRunIsReportedAsNotFlashed) {
  ServeHandheld();
  const std::string eboot = Image("eboot.nb0", PatternBytes(393216, 16));
  const std::string ext = Image("ext.bin", PatternBytes(4000, 17));
  std::atomic<int> reboots{0};
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (IsCommand(e, "FF112253")) std::filesystem::remove(ext);
    if (IsCommand(e, "FF112249")) ++reboots;
  });
  ToolRun run = Run({"--eboot", eboot, "--extrom", ext, "--format", "0"});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(66, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "error: EXTROM was not flashed: the library skipped " + ext)) << run.err;
  EXPECT_TRUE(Contains(run.out, "EBOOT (" + eboot + "): verified")) << run.out;
  EXPECT_TRUE(Contains(run.err, "EXTROM (" + ext + "): not verified")) << run.err;
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::EXTROM).empty());
  // An area not flashed: the handheld stays in bootloader mode, where it can be flashed again.
  EXPECT_EQ(0, reboots.load());
  EXPECT_TRUE(Contains(run.out, "the handheld was left in bootloader mode, as an area was not flashed or not "
                                "checked"))
      << run.out;
  EXPECT_FALSE(Contains(run.out, "sent back to IPL mode")) << run.out;
}

// An image that cannot be read again after its flash may have gone out short, and was not checked: the
// handheld is not sent out of its bootloader either.
TEST_F(ToolEndToEnd, ImageGoneBeforeItsCheckLeavesTheHandheldInBootloaderMode) {
  ServeHandheld();
  const std::string ipl = Image("ipl.nb0", PatternBytes(5000, 33));
  std::atomic<int> reboots{0};
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (e.direction == handheld::WireEvent::Direction::DeviceToHost && e.bytes.size() >= 8 &&
        std::string(e.bytes.begin(), e.bytes.begin() + 8) == "FF112248") {
      std::filesystem::remove(ipl);
    }
    if (IsCommand(e, "FF112249")) ++reboots;
  });
  ToolRun run = Run({"--ipl", ipl});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(66, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "error: IPL (" + ipl + "): not verified")) << run.err;
  EXPECT_EQ(0, reboots.load());
  EXPECT_TRUE(Contains(run.out, "left in bootloader mode")) << run.out;
}

// The format export reports nothing; a format the handheld never confirmed is not "done", and nothing
// is flashed after it.
TEST_F(ToolEndToEnd, FormatThatIsNeverConfirmedExits74AndFlashesNothing) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.vanish_after_frames = 1;
  handheld_->SetFaults(plan);
  ToolRun run = Run({"--eboot", Image("eboot.nb0", PatternBytes(393216, 18)), "--format", "0"});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the handheld did not report the format (type 0) done; nothing was flashed"))
      << run.err;
  EXPECT_FALSE(Contains(run.out + run.err, "format type 0 done")) << run.All();
  EXPECT_TRUE(Contains(run.err, "the library's log: ")) << run.err;
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::EBOOT).empty());
}

// A type 3 format whose command the handheld took, and which it then never confirmed, may have erased the
// area: the advice is to save it with a backup first, not to run the same command again.
TEST_F(ToolEndToEnd, TakenButUnconfirmedFormat3SaysToSaveTheAreaFirst) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.completion_delay_ms = 3000;
  handheld_->SetFaults(plan);
  std::atomic<bool> command_taken{false};
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (IsCommand(e, "FF112257")) command_taken = true;
    if (command_taken && e.direction == handheld::WireEvent::Direction::DeviceToHost &&
        e.kind == handheld::WireEvent::Kind::Ack) {
      command_taken = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the host has its acknowledgement
      handheld_->Vanish();
    }
  });
  const std::string backup = dir_.File("ffs.bin");
  ToolRun run = Run({"--os", Image("os.nb0", PatternBytes(4000, 3)), "--format", "3", "--format-backup", backup});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the handheld did not report the format (type 3) done")) << run.err;
  EXPECT_TRUE(Contains(run.err, "Careful: the handheld took the format command (type 3)")) << run.err;
  EXPECT_TRUE(Contains(run.err, "dravik-update backup 3 FILE")) << run.err;
  EXPECT_FALSE(std::filesystem::exists(backup));
}

// On a host older than XP the library logs its priming packet after the open: that is no search for
// the handheld, and --wait must not end a format that is running.
TEST_F(ToolEndToEnd, WaitDoesNotCutAFormatShortOnAnOlderHost) {
  WriteHost(handheld_->StartPty(), 5, 0);
  handheld::FaultPlan plan;
  plan.completion_delay_ms = 2500;
  handheld_->SetFaults(plan);
  ToolRun run = Run({"--ipl", Image("ipl.nb0", PatternBytes(3000, 19)), "--format", "0", "--wait", "1"});
  EXPECT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "format type 0 done")) << run.out;
}

// A handheld that falls silent mid-image with the library's default RTimeout of 0: the library's read
// never returns, so the tool gives up after 20 minutes (on the platform clock, 1,000 times faster here)
// and leaves the link and the library to the process's end, since the library's thread still waits in
// them.
TEST_F(ToolEndToEnd, AHandheldSilentMidImageIsGivenUpOnAfterTwentyMinutes) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.silent_after_frames = 20;
  handheld_->SetFaults(plan);
  const std::string os = Image("os.nb0", PatternBytes(1520 * 100, 9));
  ToolRun run = RunTool({"--os", os}, ToolEnv(true, "1000"), dir_.path(), 60);
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the progress has not moved for 20 minutes")) << run.err;
  EXPECT_TRUE(Contains(run.err, "made no progress; the handheld does not answer")) << run.err;
  const std::string log = testing_support::ReadFileText(dir_.File("logfile.txt"));
  EXPECT_EQ(log.find("CloseComPort(): sucessful"), std::string::npos) << log;
}

TEST_F(ToolEndToEnd, VanishingHandheldExits74AndSaysWhatHappened) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.vanish_after_frames = 40;
  handheld_->SetFaults(plan);
  const std::string os = Image("os.nb0", PatternBytes(1520 * 200, 9));
  ToolRun run = Run({"--os", os});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "stopped answering")) << run.err;
  EXPECT_TRUE(Contains(run.err, "status 102")) << run.err;
  EXPECT_TRUE(Contains(run.err, "the library's log: " + dir_.File("logfile.txt"))) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir_.File("logfile.txt")));

  // Gone in the last tenth of the image (the percent already at its cap of 90): still a handheld that
  // stopped answering, not one that took the whole image and refused it.
  ServeHandheld();
  plan.vanish_after_frames = 195;
  handheld_->SetFaults(plan);
  run = Run({"--os", os});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "stopped answering during the flashing run")) << run.err;
  EXPECT_FALSE(Contains(run.err, "took the whole image")) << run.err;
}

// An image larger than its area: the handheld stores nothing and drops the link rather than leave the
// library waiting for a completion (its read has no time-out of its own); the run ends with status 102.
// A handheld booted into its OS does not speak the protocol: the library waits for it without a limit,
// and after half a minute at 0 % the tool asks whether it is in bootloader mode.
TEST_F(ToolEndToEnd, AHandheldThatNeverAnswersIsAskedAbout) {
  ServeHandheld();
  ASSERT_TRUE(handheld_->GetStorage().SetMode(handheld::Mode::OS));
  ToolRun run = RunInterrupted({"--eboot", Image("eboot.nb0", PatternBytes(5000, 41))}, "no answer from the handheld");
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "no answer from the handheld for 30 s: is it in bootloader mode?")) << run.out;
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::EBOOT).empty());
}

TEST_F(ToolEndToEnd, ImageLargerThanItsAreaEndsTheRunAsAStoppedHandheld) {
  ServeHandheld();
  ASSERT_TRUE(handheld_->GetStorage().SetCapacity(Area::EXTROM, 3000));
  ToolRun run = Run({"--extrom", Image("extrom.bin", PatternBytes(5000, 20))});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "status 102")) << run.err;
  EXPECT_TRUE(Contains(run.err, "the log says: ")) << run.err;
  // Said as what it most likely is, not as a cable to check and the same command to run again.
  EXPECT_TRUE(Contains(run.err, "the handheld took the whole image but did not confirm it")) << run.err;
  EXPECT_TRUE(Contains(run.err, "A handheld refuses an image larger than its area this way")) << run.err;
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::EXTROM).empty());
  const auto log = handheld_->Log();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "EXTROM image of 5000 bytes exceeds the capacity of 3000: not stored; the link is dropped"),
            log.end());
}

TEST_F(ToolEndToEnd, EveryHostClassFlashesAndVerifies) {
  const Bytes ipl = PatternBytes(5000, 11);
  const std::string image = Image("ipl.nb0", ipl);
  // Windows 2000 (pty, priming packet) and Vista (WinUSB over the handheld's socket, sync services).
  WriteHost(handheld_->StartPty(), 5, 0);
  ToolRun old_host = Run({"--ipl", image});
  EXPECT_EQ(0, old_host.exit_code) << old_host.All();
  EXPECT_EQ(ipl, handheld_->GetStorage().Read(Area::IPL));

  w32sim::HostProfile vista;
  vista.major_version = 6;
  vista.minor_version = 0;
  vista.windows_directory = dir_.File("windows");
  w32sim::DeviceInterface itf;
  itf.path = kInterfacePath;
  itf.opens = "socket:" + handheld_->StartSocket(dir_.File("handheld.sock"));
  vista.interfaces = {itf};
  for (const char* name : {"WcesComm", "RapiMgr"}) {
    w32sim::Service service;
    service.name = name;
    vista.services.push_back(service);
  }
  std::string error;
  ASSERT_TRUE(w32sim::SaveHostProfileFile(dir_.File("host.profile"), vista, &error)) << error;
  const Bytes ext = PatternBytes(4000, 12);
  ToolRun vista_run = Run({"--extrom", Image("ext.bin", ext)});
  EXPECT_EQ(0, vista_run.exit_code) << vista_run.All();
  EXPECT_EQ(ext, handheld_->GetStorage().Read(Area::EXTROM));
  ToolRun list = Run({"list"});
  EXPECT_TRUE(Contains(list.out, "Vista or later")) << list.out;
  EXPECT_TRUE(Contains(list.out, "WinUSB")) << list.out;
}

// A --port tty that is not there is a handheld not connected yet: `list` says so, a flash waits for it
// (within --wait), and goes on once it appears.
TEST_F(ToolEndToEnd, APortNotThereYetIsWaitedFor) {
  WriteHost("");
  const std::string link = dir_.File("ttyACM-late");
  ToolRun list = Run({"--port", link, "list"});
  EXPECT_EQ(69, list.exit_code) << list.All();
  EXPECT_TRUE(Contains(list.out, "no handheld: " + link + " does not exist")) << list.out;
  const std::string image = Image("eboot.nb0", PatternBytes(5000, 40));
  ToolRun gone = Run({"--port", link, "--wait", "1", "--eboot", image});
  EXPECT_EQ(69, gone.exit_code) << gone.All();
  EXPECT_TRUE(Contains(gone.err, link + " does not exist: the handheld is not connected")) << gone.err;

  const std::string pty = handheld_->StartPty();
  std::thread plug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::filesystem::create_symlink(pty, link);
  });
  ToolRun run = Run({"--port", link, "--wait", "30", "--eboot", image});
  plug.join();
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "waiting for " + link + " to appear")) << run.out;
  EXPECT_EQ(PatternBytes(5000, 40), handheld_->GetStorage().Read(Area::EBOOT));
}

TEST_F(ToolEndToEnd, PortNamesARealTtyAndVerificationReadsBack) {
  // No host profile: --port alone presents the tty, and the storage directory in the environment is
  // not used for a real device.
  WriteHost("");
  const std::string pty = handheld_->StartPty();
  const Bytes eboot = PatternBytes(393216, 13);
  const std::string image = Image("eboot.nb0", eboot);
  ToolRun run = Run({"--port", pty, "--eboot", image, "--then-backup", "0", "eboot-backup.bin"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "EBOOT (" + image + "): verified, 393,216 bytes match")) << run.out;
  EXPECT_TRUE(Contains(run.out, "reading back EBOOT")) << run.out;
  EXPECT_EQ(eboot, testing_support::ReadFileBytes(dir_.File("eboot-backup.bin")));
  EXPECT_EQ(eboot, handheld_->GetStorage().Read(Area::EBOOT));

  // Nor is a virtual handheld's directory that no longer exists (left in the environment by a demo).
  run = Run({"--port", pty, "--handheld-dir", dir_.File("no-such-dir"), "--eboot", image});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "reading back EBOOT")) << run.out;
}

TEST_F(ToolEndToEnd, LogDirHoldsTheLogAndRelativePathsStillWork) {
  ServeHandheld();
  Image("gsm.nb0", PatternBytes(3000, 14));
  ToolRun run = Run({"--log-dir", "logs", "--os", "gsm.nb0", "--format", "3", "--format-backup", "ffs.bin"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_TRUE(std::filesystem::exists(dir_.File("logs/logfile.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("logfile.txt")));
  EXPECT_EQ(65536u, std::filesystem::file_size(dir_.File("ffs.bin")));
  EXPECT_EQ(PatternBytes(3000, 14), handheld_->GetStorage().Read(Area::GSM));
  // The simulated host's files named relative to the starting directory in the environment too.
  run = RunTool({"--log-dir", "logs", "--wait", "10", "--os", "gsm.nb0"},
                {{"DRAVIK_HOST_PROFILE", "host.profile"}, {"DRAVIK_CLOCK_SCALE", "100"},
                 {"DRAVIK_WINDOWS_DIR", "windows"}, {"DRAVIK_HANDHELD_DIR", device_dir_.path()},
                 {"DRAVIK_LIBRARY", ""}},
                dir_.path(), 60);
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("logs/windows")));
}

// A scrambled image is taken by its bare name from the library's working directory, which --log-dir
// moves: refused before anything is sent, rather than sent as it is.
TEST_F(ToolEndToEnd, ScrambledImageNameWithLogDirIsAUsageError) {
  ServeHandheld();
  Image("temp2", PatternBytes(3000, 20));
  ToolRun run = Run({"--log-dir", "logs", "--extrom", "temp2"});
  EXPECT_EQ(64, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "temp2 is an image the library unscrambles only under that bare name")) << run.err;
  EXPECT_EQ(0u, HostFramesReceived());

  // A --log-dir that is the working directory, by any name, changes nothing: the image keeps its bare
  // name and arrives unscrambled, as without --log-dir (and the check expects it so).
  Bytes unscrambled = PatternBytes(3000, 20);
  for (uint8_t& b : unscrambled) b ^= 0x5B;
  for (const std::vector<std::string>& log_dir : {std::vector<std::string>{}, std::vector<std::string>{"--log-dir", "."},
                                                   std::vector<std::string>{"--log-dir", dir_.path()}}) {
    std::vector<std::string> args = log_dir;
    args.insert(args.end(), {"--extrom", "temp2"});
    run = Run(args);
    ASSERT_EQ(0, run.exit_code) << run.All();
    EXPECT_EQ(unscrambled, handheld_->GetStorage().Read(Area::EXTROM)) << (log_dir.empty() ? "" : log_dir[1]);
    handheld_->GetStorage().Erase(Area::EXTROM);
  }
}

// A pipe where a backup or the library's log would go is refused at once: opening it to check it would
// wait for a reader, and the run with it.
TEST_F(ToolEndToEnd, APipeForAnOutputOrTheLogIsRefused) {
  ServeHandheld();
  const std::string fifo = dir_.File("backup.fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"backup", "0", fifo},
        std::vector<std::string>{"--eboot", Image("eboot.nb0", PatternBytes(3000)), "--then-backup", "0", fifo}}) {
    ToolRun run = Run(args);
    EXPECT_EQ(73, run.exit_code) << run.All();
    EXPECT_TRUE(Contains(run.err, "cannot create " + fifo + ": it is not a regular file")) << run.err;
  }
  ASSERT_EQ(0, ::mkfifo(dir_.File("logfile.txt").c_str(), 0644));
  ToolRun run = Run({"backup", "0", "eboot-backup.bin"});
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "logfile.txt in the directory the library works in is not a regular file")) << run.err;
  EXPECT_EQ(0u, HostFramesReceived());
}

TEST_F(ToolEndToEnd, FormatBackupThatCannotBeCreatedExits73BeforeAnythingIsSent) {
  ServeHandheld();
  ToolRun run = Run({"--os", Image("os.nb0", PatternBytes(3000)), "--format", "3", "--format-backup",
                     dir_.File("missing/dir/ffs.bin")});
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "cannot create")) << run.err;
  EXPECT_EQ(0u, HostFramesReceived());
}

// ---- The device: not there, not openable ----

TEST_F(ToolEndToEnd, UnopenableDeviceExits69WithTheReason) {
  WriteHost(dir_.File("no-such-tty"));
  const std::string ipl = Image("ipl.nb0", PatternBytes(3000));
  ToolRun run = Run({"--ipl", ipl});
  EXPECT_EQ(69, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "could not be opened (status 101)")) << run.err;
  EXPECT_TRUE(Contains(run.err, "does not exist")) << run.err;
  EXPECT_TRUE(Contains(run.err, "logfile.txt")) << run.err;
}

TEST_F(ToolEndToEnd, NoHandheldWithinTheWaitExits69) {
  WriteHost("");
  const std::string ipl = Image("ipl.nb0", PatternBytes(3000));
  ToolRun run = Run({"--ipl", ipl, "--wait", "1"});
  EXPECT_EQ(69, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.out, "waiting for the handheld in bootloader mode")) << run.out;
  EXPECT_TRUE(Contains(run.err, "no handheld was found")) << run.err;
}

TEST_F(ToolEndToEnd, PermissionDeniedOnTheTtyIsSaidWithTheFix) {
  if (!testing_support::FileModesBindPrograms()) GTEST_SKIP() << "file modes cannot be made to bind the tool";
  const std::string tty = dir_.File("tty-locked");
  WriteFileBytes(tty, {});
  chmod(tty.c_str(), 0);
  WriteHost(tty);
  ToolRun run = Run({"--ipl", Image("ipl.nb0", PatternBytes(3000))});
  EXPECT_EQ(69, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "permission denied on " + tty)) << run.err;
  EXPECT_TRUE(Contains(run.err, "60-dravik.rules")) << run.err;
}

// ---- backup, info, list ----

TEST_F(ToolEndToEnd, BackupSavesTheAreaTheTypeNames) {
  ServeHandheld();
  const Bytes os = PatternBytes(7000000, 10);
  handheld_->GetStorage().Write(Area::OS, os.data(), os.size());
  WriteFileBytes(dir_.File("os-backup.bin"), PatternBytes(9000000, 3));  // an earlier, longer backup
  ToolRun run = Run({"backup", "2", "os-backup.bin"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_EQ(std::vector<std::string>{"os-backup.bin"}, FilesStartingWith("os-backup.bin"));
  Bytes saved = testing_support::ReadFileBytes(dir_.File("os-backup.bin"));
  ASSERT_GE(saved.size(), os.size());
  EXPECT_TRUE(std::equal(os.begin(), os.end(), saved.begin()));
  EXPECT_TRUE(Contains(run.out, "backup type 2 (OS)")) << run.out;
}

// Another run's file in progress beside FILE (whatever its name) is neither removed nor written into.
TEST_F(ToolEndToEnd, BackupLeavesAnotherRunsPartialFileAlone) {
  ServeHandheld();
  const Bytes other = PatternBytes(5000, 23);
  for (const char* name : {"eboot.bin.partial", "eboot.bin.partial-1", "eboot.bin.partial-999999"}) {
    WriteFileBytes(dir_.File(name), other);
  }
  const Bytes eboot = PatternBytes(393216, 24);
  handheld_->GetStorage().Write(Area::EBOOT, eboot.data(), eboot.size());
  ToolRun run = Run({"backup", "0", "eboot.bin"});
  ASSERT_EQ(0, run.exit_code) << run.All();
  EXPECT_EQ(eboot, testing_support::ReadFileBytes(dir_.File("eboot.bin")));
  EXPECT_EQ((std::vector<std::string>{"eboot.bin", "eboot.bin.partial", "eboot.bin.partial-1",
                                      "eboot.bin.partial-999999"}),
            FilesStartingWith("eboot.bin"));
  for (const char* name : {"eboot.bin.partial", "eboot.bin.partial-1", "eboot.bin.partial-999999"}) {
    EXPECT_EQ(other, testing_support::ReadFileBytes(dir_.File(name))) << name;
  }
}

TEST_F(ToolEndToEnd, BackupCutOffLeavesTheEarlierBackupAsItWas) {
  const Bytes earlier = ServeOsAndAnEarlierBackup();
  handheld::FaultPlan plan;
  plan.vanish_after_sent_frames = 300;
  handheld_->SetFaults(plan);
  ToolRun run = Run({"backup", "2", "os-backup.bin"});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "os-backup.bin is left as it was; what was received is discarded")) << run.err;
  EXPECT_EQ(earlier, testing_support::ReadFileBytes(dir_.File("os-backup.bin")));
  EXPECT_EQ(std::vector<std::string>{"os-backup.bin"}, FilesStartingWith("os-backup.bin"));

  // A data packet that arrives short and is sent again puts the read-back out of step: the library ends
  // it as incomplete, and the tool fails with the library's own line.
  ServeHandheld();
  plan = handheld::FaultPlan{};
  plan.short_frames_sent = 1;
  plan.short_frame_resend_ms = 100;
  handheld_->SetFaults(plan);
  run = Run({"backup", "2", "os-backup.bin"});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the backup of OS went out of step with the handheld (a packet arrived short)"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the log says: ReadBackupEx(): 1000 bytes ")) << run.err;
  EXPECT_TRUE(Contains(run.err, ": a packet arrived short and the data is out of step")) << run.err;
  EXPECT_EQ(earlier, testing_support::ReadFileBytes(dir_.File("os-backup.bin")));
}

// A --then-backup that fails after a good flash: the run fails with the backup's exit code, no "done",
// and the handheld stays in bootloader mode, where the backup can be taken again (the tool says how).
TEST_F(ToolEndToEnd, FailedThenBackupKeepsTheHandheldInBootloaderModeAndSaysToTakeItAgain) {
  const std::string ipl = Image("ipl.nb0", PatternBytes(5000, 4));
  const std::string again = "take the backup again with dravik-update backup 2 os-backup.bin";
  // A handheld that reports its OS area as empty: the backup fails with the link still open, where a
  // reboot would reach the handheld; none is sent (the virtual handheld's mode stays the same for it,
  // so the wire says whether one was sent).
  ServeHandheld();
  std::atomic<int> reboots{0};
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (IsCommand(e, "FF112249")) ++reboots;
  });
  ToolRun run = Run({"--ipl", ipl, "--then-backup", "2", "os-backup.bin"});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_EQ(PatternBytes(5000, 4), handheld_->GetStorage().Read(Area::IPL));
  EXPECT_TRUE(Contains(run.err, "the handheld reports OS as empty (a size of 0)")) << run.err;
  EXPECT_TRUE(Contains(run.out, "backup type 2 (OS): failed (above)")) << run.out;
  EXPECT_TRUE(Contains(run.out, again)) << run.out;
  EXPECT_FALSE(Contains(run.out, "done")) << run.out;
  EXPECT_EQ(0, reboots.load());
  EXPECT_EQ(handheld::Mode::BootLoader, handheld_->GetStorage().GetMode());
  EXPECT_EQ(std::vector<std::string>{}, FilesStartingWith("os-backup.bin"));

  // The handheld vanishes a few packets into the backup.
  ServeHandheld();
  const Bytes os = PatternBytes(1520 * 40, 10);
  handheld_->GetStorage().Write(Area::OS, os.data(), os.size());
  handheld_->SetEventHook([&](const handheld::WireEvent& e) {
    if (IsCommand(e, "FF112259")) {
      handheld::FaultPlan plan;
      plan.vanish_after_sent_frames = 4;
      handheld_->SetFaults(plan);
    }
  });
  run = Run({"--ipl", ipl, "--then-backup", "2", "os-backup.bin"});
  handheld_->SetEventHook(nullptr);
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the handheld stopped answering during the backup of OS")) << run.err;
  EXPECT_TRUE(Contains(run.out, again)) << run.out;
  EXPECT_FALSE(Contains(run.out, "done")) << run.out;
  // The images are in: the error's advice is the backup too, not the whole command (which would flash
  // again), and the log's path is named once.
  EXPECT_TRUE(Contains(run.err, "then " + again + ".")) << run.err;
  EXPECT_FALSE(Contains(run.err, "run the same command again")) << run.err;
  size_t hints = 0;
  for (size_t at = run.err.find("the library's log: "); at != std::string::npos;
       at = run.err.find("the library's log: ", at + 1))
    ++hints;
  EXPECT_EQ(1u, hints) << run.err;
  EXPECT_EQ(handheld::Mode::BootLoader, handheld_->GetStorage().GetMode());
  EXPECT_EQ(std::vector<std::string>{}, FilesStartingWith("os-backup.bin"));
}

// Under `ulimit -f` a backup larger than the limit fails to be written: the tool is not killed by
// SIGXFSZ with its partial file left, it says so, keeps the earlier file and exits 73.
TEST_F(ToolEndToEnd, BackupBeyondTheFileSizeLimitIsReportedAsNotWritten) {
  ServeHandheld();
  const Bytes earlier = PatternBytes(4000, 22);
  WriteFileBytes(dir_.File("eboot-backup.bin"), earlier);
  ToolRun run = Run({"backup", "0", "eboot-backup.bin"}, true, 100000);
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the backup of EBOOT into eboot-backup.bin.partial-")) << run.err;
  EXPECT_TRUE(Contains(run.err, "could not be written: the disk is full, or the file is larger than this process "
                                "may write (ulimit -f); eboot-backup.bin is left as it was"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the log says: ReadBackupEx(): writing the file failed after")) << run.err;
  EXPECT_EQ(earlier, testing_support::ReadFileBytes(dir_.File("eboot-backup.bin")));
  EXPECT_EQ(std::vector<std::string>{"eboot-backup.bin"}, FilesStartingWith("eboot-backup.bin"));
}

// Interrupts (Ctrl-C, SIGTERM, SIGQUIT, SIGHUP) at each step: tool_interrupt_test.cpp.

// The library writes its packets into whatever --port opens: a file is refused before anything is sent.
TEST_F(ToolEndToEnd, PortThatIsNoTtyIsRefused) {
  WriteHost("");
  const Bytes bytes = PatternBytes(5000, 16);
  const std::string image = Image("eboot.nb0", bytes);
  for (const std::string& port : {image, std::string("/dev/null"), dir_.path()}) {
    ToolRun run = Run({"--port", port, "--extrom", image});
    EXPECT_EQ(64, run.exit_code) << port << ": " << run.All();
    EXPECT_TRUE(Contains(run.err, port + " is not a tty")) << run.err;
  }
  EXPECT_EQ(bytes, testing_support::ReadFileBytes(image));
}

// The tool reads how a format or a search went from the library's log: where that cannot be written, it
// stops before anything is sent.
TEST_F(ToolEndToEnd, UnwritableLogStopsBeforeAnythingIsSent) {
  ServeHandheld();
  std::filesystem::create_directory(dir_.File("logfile.txt"));
  ToolRun run = Run({"--format", "4", "--extrom", Image("extrom.bin", PatternBytes(3000, 17))});
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "logfile.txt, in " + dir_.path() + ", and it cannot be written there")) << run.err;
  EXPECT_EQ(0u, HostFramesReceived());
}

// A log that takes no more lines (its disk full; here a file size limit it has reached) leaves the tool
// without the lines it waits for: it says the outcome is not known, rather than blame the handheld.
TEST_F(ToolEndToEnd, ALogThatCannotGrowMakesTheOutcomeUnknownNotAFailingHandheld) {
  ServeHandheld();
  constexpr uint64_t kLogSize = 200000;
  WriteFileBytes(dir_.File("logfile.txt"), Bytes(kLogSize, 'x'));
  ToolRun run = Run({"--eboot", Image("eboot.nb0", PatternBytes(393216, 31)), "--format", "0"}, true, kLogSize);
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the library's log, " + dir_.File("logfile.txt") + ", could not be written")) << run.err;
  EXPECT_TRUE(Contains(run.err, "so whether the handheld did the format (type 0) is not known; nothing was flashed"))
      << run.err;
  EXPECT_FALSE(Contains(run.err, "the handheld did not report")) << run.err;
  EXPECT_EQ(1u, handheld_->FormatCount());  // it did
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::EBOOT).empty());
  EXPECT_EQ(kLogSize, std::filesystem::file_size(dir_.File("logfile.txt")));

  const Bytes os = PatternBytes(5000, 32);
  handheld_->GetStorage().Write(Area::OS, os.data(), os.size());
  run = Run({"backup", "2", "os-backup.bin"}, true, kLogSize);
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "could not be written (nothing was added to it during the backup: is its disk "
                                "full?), so the size of the backup of OS is not known; os-backup.bin was not written"))
      << run.err;
  EXPECT_EQ(std::vector<std::string>{}, FilesStartingWith("os-backup.bin"));
}

// An area the handheld reports as empty gives no backup: the earlier file is not replaced by an empty one.
TEST_F(ToolEndToEnd, BackupOfAnEmptyAreaLeavesTheEarlierFile) {
  ServeHandheld();
  WriteFileBytes(dir_.File("ext.bin"), PatternBytes(3000, 18));
  ToolRun run = Run({"backup", "4", "ext.bin"});
  EXPECT_EQ(74, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the handheld reports EXTROM as empty (a size of 0)")) << run.err;
  EXPECT_EQ(PatternBytes(3000, 18), testing_support::ReadFileBytes(dir_.File("ext.bin")));
  EXPECT_EQ(std::vector<std::string>{"ext.bin"}, FilesStartingWith("ext.bin"));
  // The link is closed on this way out too: on Vista and later that starts the sync services again.
  const std::string log = testing_support::ReadFileText(dir_.File("logfile.txt"));
  const size_t done = log.find("ReadBackupEx(): Get Backup Done!");
  ASSERT_NE(done, std::string::npos) << log;
  EXPECT_NE(log.find("CloseComPort(): sucessful", done), std::string::npos) << log;
}

TEST_F(ToolEndToEnd, BackupThatFindsNoHandheldCreatesNoFile) {
  WriteHost("");
  ToolRun run = Run({"backup", "0", "eboot-backup.bin", "--wait", "1"});
  EXPECT_EQ(69, run.exit_code) << run.All();
  EXPECT_EQ(std::vector<std::string>{}, FilesStartingWith("eboot-backup.bin"));
}

TEST_F(ToolEndToEnd, BackupIntoAnUncreatableFileExits73) {
  ServeHandheld();
  ToolRun run = Run({"backup", "0", dir_.File("no/such/dir/eboot.bin")});
  EXPECT_EQ(73, run.exit_code) << run.All();
  EXPECT_EQ(0u, HostFramesReceived());
}

TEST_F(ToolEndToEnd, InfoAndListShowTheLibraryAndTheHandheld) {
  ServeHandheld();
  ToolRun info = Run({"info"});
  EXPECT_EQ(0, info.exit_code) << info.All();
  EXPECT_TRUE(Contains(info.out, "library version  0.00.01")) << info.out;
  EXPECT_TRUE(Contains(info.out, "model id         qd Orlo tm4821")) << info.out;
  EXPECT_TRUE(Contains(info.out, "component 2      present, version 0.00.02 (the library expects another"))
      << info.out;
  // --library with a bare name means the file in the working directory, not one the loader's search
  // would find elsewhere.
  const size_t at = info.out.find("library          ");
  ASSERT_NE(std::string::npos, at) << info.out;
  const std::string built = info.out.substr(at + 17, info.out.find('\n', at) - at - 17);
  const std::string copy = dir_.File(std::filesystem::path(built).filename().string());
  std::filesystem::copy_file(built, copy);
  ToolRun bare = Run({"--library", std::filesystem::path(built).filename().string(), "info"});
  EXPECT_EQ(0, bare.exit_code) << bare.All();
  EXPECT_TRUE(Contains(bare.out, "library          " + copy + "\n")) << bare.out;
  ToolRun list = Run({"list"});
  EXPECT_EQ(0, list.exit_code) << list.All();
  EXPECT_TRUE(Contains(list.out, "XP plus")) << list.out;
  EXPECT_TRUE(Contains(list.out, kInterfacePath)) << list.out;
  EXPECT_TRUE(Contains(list.out, "the library would open")) << list.out;

  WriteHost("");
  ToolRun none = Run({"list"});
  EXPECT_EQ(69, none.exit_code) << none.All();
  EXPECT_TRUE(Contains(none.out, "no handheld")) << none.out;

  // A handheld in the class that the library's driver setting does not search: the setting is named.
  ServeHandheld();
  std::filesystem::create_directories(dir_.File("windows"));
  const std::string ini = "[Config]\r\nDriver=1\r\n";
  WriteFileBytes(dir_.File("windows/Tavrine_usb_flash.ini"), Bytes(ini.begin(), ini.end()));
  ToolRun elsewhere = Run({"list"});
  EXPECT_EQ(69, elsewhere.exit_code) << elsewhere.All();
  EXPECT_TRUE(Contains(elsewhere.out, "is the handheld's sync-driver interface, which the library opens only with "
                                      "Driver=0 in section [Config] of Tavrine_usb_flash.ini"))
      << elsewhere.out;
}

}  // namespace
