// dravik-update interrupted: Ctrl-C, SIGTERM, SIGQUIT and SIGHUP at each step of a run against the virtual
// handheld (behind a simulated XP-plus host). What the tool says of the step it cut off, what becomes of
// the files it was receiving, and the one step it lets finish: the read-back of a format of type 3 once
// the handheld has confirmed the format, when the copy being read back is all there is of what it erased.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
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
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using tool_test::RunTool;
using tool_test::RunToolSteps;
using tool_test::Contains;
using tool_test::IsCommand;
using tool_test::ToolRun;
using tool_test::ToolStep;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The advice after a confirmed format of type 3, in every way the tool can stop.
constexpr const char kRunWithoutTheFormat[] = "run the command again without --format and --format-backup";

class ToolInterrupt : public tool_test::ToolTest {
 protected:
  // The platform clock ten times faster: the library's retries get time, its bounds cost little.
  std::map<std::string, std::string> Env() const { return ToolEnv(true, "10"); }

  // `signal` once the tool's standard output shows `when` (and `also` holds, when given).
  ToolRun RunInterrupted(std::vector<std::string> args, const std::string& when, int signal = SIGINT,
                         const std::function<bool()>& also = nullptr) {
    return RunTool(args, Env(), dir_.path(), 60, when, signal, 0, also);
  }
  ToolRun RunSteps(std::vector<std::string> args, const std::vector<ToolStep>& steps, bool stdout_on_terminal = false) {
    return RunToolSteps(args, Env(), dir_.path(), 60, steps, stdout_on_terminal);
  }

  // The handheld holds `gsmffs` at the start of GSM, which a format of type 3 reads back.
  void ServeGsmFfs(const Bytes& gsmffs) {
    ServeHandheld();
    handheld_->GetStorage().Write(Area::GSM, gsmffs.data(), gsmffs.size());
  }

  // The library's log in the test directory holds `text`.
  bool Logged(const std::string& text) const {
    std::error_code ec;
    if (!std::filesystem::exists(dir_.File("logfile.txt"), ec)) return false;
    return Contains(testing_support::ReadFileText(dir_.File("logfile.txt")), text);
  }

  // The size of the one file whose name begins with `prefix`; -1 while there is not exactly one.
  int64_t SizeOfTheOne(const std::string& prefix) const {
    const std::vector<std::string> files = FilesStartingWith(prefix);
    std::error_code ec;
    if (files.size() != 1) return -1;
    const auto size = std::filesystem::file_size(dir_.File(files[0]), ec);
    return ec ? -1 : static_cast<int64_t>(size);
  }

  // Every data frame the handheld sends after a completion is held back `ms` (real) first: the format's
  // read-back takes 44 of them.
  void SlowDownTheReadBack(int ms) {
    auto completed = std::make_shared<std::atomic<bool>>(false);
    handheld_->SetEventHook([completed, ms](const handheld::WireEvent& e) {
      if (e.kind != handheld::WireEvent::Kind::Frame || e.direction != handheld::WireEvent::Direction::DeviceToHost) {
        return;
      }
      if (e.bytes.size() >= 8 && std::string(e.bytes.begin(), e.bytes.begin() + 8) == "FF112254") {
        completed->store(true);
      } else if (completed->load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      }
    });
  }

  static ToolStep Signal(std::function<bool(const ToolRun&)> when, int sig = SIGINT) {
    return {std::move(when), [sig](pid_t pid) { kill(pid, sig); }};
  }

};

// ---- Before anything reaches the handheld ----

TEST_F(ToolInterrupt, BeforeAHandheldIsFoundNothingWasSent) {
  WriteHost("");  // no handheld: the library searches for one without end
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--plain", "--eboot", Image("eboot.nb0", PatternBytes(5000, 1))},
        std::vector<std::string>{"--plain", "--os", Image("gsm.nb0", PatternBytes(3000, 2)), "--format", "3",
                                 "--format-backup", "ffs.bin"}}) {
    ToolRun run = RunInterrupted(args, "waiting for the handheld in bootloader mode");
    EXPECT_EQ(130, run.exit_code) << run.All();
    EXPECT_TRUE(Contains(run.err, "dravik-update: interrupted; no handheld had been found yet: nothing was sent to "
                                  "it.\n"))
        << run.err;
    EXPECT_FALSE(Contains(run.err, "incomplete image")) << run.err;
    EXPECT_FALSE(Contains(run.err, "half formatted")) << run.err;
    EXPECT_TRUE(Contains(run.err, "dravik-update: the library's log: ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "logfile.txt\n")) << run.err;
    EXPECT_TRUE(FilesStartingWith("ffs.bin").empty());  // the read-back's file, empty, is gone
  }
  EXPECT_EQ(0u, handheld_->FramesReceived());
}

// A log that takes nothing more (here it has reached the file-size limit, as on a full disk) tells
// nothing of how far the step came: the interrupt does not claim that nothing was sent.
TEST_F(ToolInterrupt, ALogThatTookNothingOfTheStepClaimsNothingWasSent) {
  WriteHost("");
  WriteFileBytes(dir_.File("logfile.txt"), PatternBytes(4096, 3));
  // (Nor does the tool see the search in the log: it says "starting" instead of waiting for the handheld.)
  ToolRun run = RunTool({"--plain", "--eboot", Image("eboot.nb0", PatternBytes(5000, 1))}, Env(), dir_.path(), 60,
                        "starting", SIGINT, /*file_size_limit=*/4096);
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_FALSE(Contains(run.err, "nothing was sent")) << run.err;
  EXPECT_TRUE(Contains(run.err, "incomplete image")) << run.err;
}

// ---- The format of type 3: its read-back is let finish ----

// The handheld took the format command but has not confirmed it yet: it may have erased the area already,
// so the same command could save erased data; the tool says to save GSM first.
TEST_F(ToolInterrupt, AFormatTakenButNotConfirmedSaysToSaveTheAreaFirst) {
  ServeGsmFfs(PatternBytes(65536, 46));
  handheld::FaultPlan plan;
  plan.completion_delay_ms = 1500;  // the area is erased, the confirmation still to come
  handheld_->SetFaults(plan);
  ToolRun run = RunSteps({"--plain", "--os", Image("gsm.nb0", PatternBytes(3000, 47)), "--format", "3",
                          "--format-backup", "ffs.bin"},
                         {Signal([&](const ToolRun&) { return Logged("SendFormatDisk(): USBReadPacket"); })});
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "interrupted; the handheld took the format command (type 3), so its disk may be "
                                "formatted already"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the same command, run again, would then save erased data as the backup. First save "
                                "what GSM holds with dravik-update backup 3 FILE"))
      << run.err;
  EXPECT_FALSE(Contains(run.err, "run the same command again")) << run.err;
  EXPECT_TRUE(FilesStartingWith("ffs.bin").empty());  // nothing of a read-back had come
}

// Ctrl-C once the handheld has confirmed the format: the area is erased, and the copy coming in is all
// there is of what it held. The tool says it finishes reading it, saves it as the normal path does,
// flashes nothing and exits with the interrupt's code.
TEST_F(ToolInterrupt, CtrlCDuringTheFormatsReadBackLetsItFinishAndSavesIt) {
  const Bytes gsmffs = PatternBytes(65536, 37);
  ServeGsmFfs(gsmffs);
  SlowDownTheReadBack(40);  // about 1.8 s for the whole read-back
  ToolRun run = RunSteps({"--plain", "--os", Image("gsm.nb0", PatternBytes(3000, 38)), "--format", "3",
                          "--format-backup", "ffs.bin"},
                         {Signal([&](const ToolRun&) { return Logged("ReadBackup(): Get a packet Remain="); })});
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "dravik-update: interrupted: the handheld's disk is formatted already and the copy "
                                "of what it erased is being read back"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the tool finishes reading it first (64 KiB, seconds at most), then stops. Ctrl-C "
                                "again stops at once"))
      << run.err;
  EXPECT_TRUE(Contains(run.out, "format type 3 done, its 65,536-byte backup saved to ffs.bin")) << run.out;
  EXPECT_TRUE(Contains(run.err, "interrupted (Ctrl-C): the format's read-back was let finish first; nothing was "
                                "flashed."))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the whole copy of what the area held is saved to ffs.bin: keep it")) << run.err;
  EXPECT_TRUE(Contains(run.err, kRunWithoutTheFormat)) << run.err;
  EXPECT_FALSE(Contains(run.err, "run the same command again")) << run.err;
  EXPECT_TRUE(Contains(run.err, "the library's log: ")) << run.err;
  EXPECT_EQ(gsmffs, ReadFileBytes(dir_.File("ffs.bin")));
  EXPECT_EQ(std::vector<std::string>{"ffs.bin"}, FilesStartingWith("ffs.bin"));
  EXPECT_EQ(1u, handheld_->FormatCount());
  EXPECT_TRUE(handheld_->GetStorage().Read(Area::GSM).empty());  // formatted, and not flashed
}

// SIGTERM is held the same way; a read-back that then fails is kept under a name that says so.
TEST_F(ToolInterrupt, SigtermDuringTheFormatsReadBackKeepsAFailedCopyClearlyNamed) {
  const Bytes gsmffs = PatternBytes(65536, 39);
  ServeGsmFfs(gsmffs);
  SlowDownTheReadBack(50);  // the SIGTERM has 19 x 50 ms to land, on a loaded machine too
  handheld::FaultPlan plan;
  plan.vanish_after_sent_frames = 20;  // the completion and 19 data frames, then the handheld is gone
  handheld_->SetFaults(plan);
  ToolRun run = RunSteps({"--plain", "--os", Image("gsm.nb0", PatternBytes(3000, 40)), "--format", "3",
                          "--format-backup", "ffs.bin"},
                         {Signal([&](const ToolRun&) { return Logged("ReadBackup(): Get a packet Remain="); },
                                 SIGTERM)});
  EXPECT_EQ(143, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the tool finishes reading it first")) << run.err;
  EXPECT_TRUE(Contains(run.err, "the handheld's disk was formatted (type 3), but its read-back came to ")) << run.err;
  EXPECT_TRUE(Contains(run.err, " of 65,536 bytes) is kept in ffs.bin.incomplete.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "what was read back of it is in ffs.bin.incomplete, the only copy there is")) << run.err;
  EXPECT_TRUE(Contains(run.err, "The same command, run again, would format again and save erased data as the "
                                "backup"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "interrupted (SIGTERM): the format's read-back was let finish first")) << run.err;
  EXPECT_FALSE(Contains(run.err, "run the same command again")) << run.err;
  EXPECT_EQ(std::vector<std::string>{"ffs.bin.incomplete"}, FilesStartingWith("ffs.bin"));
  const Bytes kept = ReadFileBytes(dir_.File("ffs.bin.incomplete"));
  ASSERT_FALSE(kept.empty());
  ASSERT_LT(kept.size(), gsmffs.size());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), gsmffs.begin()));
}

// A second Ctrl-C stops at once: what came of the copy is left in FILE.partial-PID, named, and the advice
// says the area is erased and that the same command would save erased data.
TEST_F(ToolInterrupt, ASecondCtrlCDuringTheFormatsReadBackStopsAtOnce) {
  const Bytes gsmffs = PatternBytes(65536, 41);
  ServeGsmFfs(gsmffs);
  handheld::FaultPlan plan;
  plan.silent_after_sent_frames = 10;  // the completion and 9 data frames, then nothing
  handheld_->SetFaults(plan);
  ToolRun run = RunSteps(
      {"--plain", "--os", Image("gsm.nb0", PatternBytes(3000, 42)), "--format", "3", "--format-backup", "ffs.bin"},
      {Signal([&](const ToolRun&) { return SizeOfTheOne("ffs.bin.partial-") == 3 * 4096; }),
       Signal([](const ToolRun& r) { return Contains(r.err, "Ctrl-C again stops at once"); })});
  EXPECT_EQ(130, run.exit_code) << run.All();
  const std::vector<std::string> files = FilesStartingWith("ffs.bin");
  ASSERT_EQ(1u, files.size());
  EXPECT_TRUE(Contains(files[0], "ffs.bin.partial-")) << files[0];
  EXPECT_TRUE(Contains(run.err, "dravik-update: interrupted; the handheld's disk is formatted already (type 3: its "
                                "GSMFFS area is erased), and the copy of what the area held was still being read "
                                "back.\n"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "dravik-update: what the format read back so far is in " + files[0] +
                                    ": it is the only copy of what the format erased; keep it.\n"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "dravik-update: the same command, run again, would format again and save erased data "
                                "as the backup: to flash, " +
                                    std::string(kRunWithoutTheFormat) + ".\n"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the library's log: ")) << run.err;
  EXPECT_EQ(1u, Count(run.err, "dravik-update: interrupted;")) << run.err;
  const Bytes kept = ReadFileBytes(dir_.File(files[0]));
  ASSERT_EQ(3u * 4096u, kept.size());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), gsmffs.begin()));
}

// A held interrupt whose read-back does not move (a handheld gone silent: the library's read waits for
// good) ends the tool after 10 s of the platform's clock, as a second Ctrl-C would.
TEST_F(ToolInterrupt, AHeldInterruptWhoseReadBackStandsStillEndsTheTool) {
  const Bytes gsmffs = PatternBytes(65536, 43);
  ServeGsmFfs(gsmffs);
  handheld::FaultPlan plan;
  plan.silent_after_sent_frames = 10;
  handheld_->SetFaults(plan);
  ToolRun run = RunSteps(
      {"--plain", "--os", Image("gsm.nb0", PatternBytes(3000, 44)), "--format", "3", "--format-backup", "ffs.bin"},
      {Signal([&](const ToolRun&) { return SizeOfTheOne("ffs.bin.partial-") == 3 * 4096; }, SIGQUIT)});
  EXPECT_EQ(131, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "the tool finishes reading it first")) << run.err;
  EXPECT_TRUE(Contains(run.err, "the read-back has not moved for 10 s: the tool stops now.")) << run.err;
  EXPECT_TRUE(Contains(run.err, "what the format read back so far is in ffs.bin.partial-")) << run.err;
  EXPECT_TRUE(Contains(run.err, kRunWithoutTheFormat)) << run.err;
  EXPECT_EQ(1u, FilesStartingWith("ffs.bin.partial-").size());
}

// ---- Flashing, the check, the backup after it ----

TEST_F(ToolInterrupt, InterruptedFlashSaysTheImageIsIncomplete) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.silent_after_frames = 300;
  handheld_->SetFaults(plan);
  ToolRun run = RunInterrupted({"--plain", "--os", Image("os.nb0", PatternBytes(1520 * 2000, 9))}, "%  GSM ");
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "interrupted; if the flashing had begun, the handheld holds an incomplete image"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the library's log: ")) << run.err;
}

// Cut off, a backup after the flash says what the verification had found, and that the handheld was left
// in bootloader mode.
TEST_F(ToolInterrupt, InterruptedThenBackupSaysWhatWasVerifiedAndThatTheHandheldStaysInBootloaderMode) {
  const Bytes earlier = ServeOsAndAnEarlierBackup();
  handheld::FaultPlan plan;
  plan.silent_after_sent_frames = 500;  // in the backup of OS, part way
  handheld_->SetFaults(plan);
  const std::string eboot = Image("eboot.nb0", PatternBytes(5000, 45));
  ToolRun run = RunInterrupted({"--plain", "--eboot", eboot, "--then-backup", "2", "os-backup.bin"},
                               "%  backup of OS  ");
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "dravik-update: interrupted; the backup type 2 (OS) was not written (a file of that "
                                "name from before is left as it was); every image had been sent; what the check found:\n"
                                "dravik-update:   EBOOT (" + eboot + "): verified, 5,000 bytes match"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "dravik-update: the handheld was left in bootloader mode, not sent back to IPL mode: "
                                "take the backup again with dravik-update backup 2 os-backup.bin.\n"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "the library's log: ")) << run.err;
  EXPECT_EQ(earlier, ReadFileBytes(dir_.File("os-backup.bin")));
  EXPECT_EQ(std::vector<std::string>{"os-backup.bin"}, FilesStartingWith("os-backup.bin"));
  // No Client_Shutdown: the reboot to IPL mode was never sent.
  for (const handheld::WireEvent& e : handheld_->Record()) {
    EXPECT_FALSE(e.kind == handheld::WireEvent::Kind::Frame &&
                 e.direction == handheld::WireEvent::Direction::HostToDevice && e.bytes.size() >= 8 &&
                 std::string(e.bytes.begin(), e.bytes.begin() + 8) == "FF112249");
  }
}

// ---- The backup; the signals; the lines ----

TEST_F(ToolInterrupt, InterruptedBackupRemovesItsPartialFileAndSaysSo) {
  const Bytes earlier = ServeOsAndAnEarlierBackup();
  handheld::FaultPlan plan;
  plan.silent_after_sent_frames = 500;  // the backup stalls part way, with its partial file there
  handheld_->SetFaults(plan);
  ToolRun run = RunInterrupted({"--plain", "backup", "2", "os-backup.bin"}, "%  backup of OS  ");
  EXPECT_EQ(130, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, "interrupted; the backup was not written")) << run.err;
  EXPECT_EQ(earlier, ReadFileBytes(dir_.File("os-backup.bin")));
  EXPECT_EQ(std::vector<std::string>{"os-backup.bin"}, FilesStartingWith("os-backup.bin"));
}

// A closed terminal and Ctrl-\ end the tool as Ctrl-C does (129, 131), with the partial file removed;
// output into a reader that went away does not end it.
TEST_F(ToolInterrupt, HangUpQuitAndABrokenPipe) {
  const Bytes earlier = ServeOsAndAnEarlierBackup();
  for (const int sig : {SIGHUP, SIGQUIT}) {
    handheld::FaultPlan plan;
    plan.silent_after_sent_frames = 500;
    handheld_->SetFaults(plan);
    ToolRun run = RunInterrupted({"--plain", "backup", "2", "os-backup.bin"}, "%  backup of OS  ", sig);
    EXPECT_EQ(128 + sig, run.exit_code) << run.All();
    EXPECT_TRUE(Contains(run.err, "interrupted; the backup was not written")) << run.err;
    EXPECT_TRUE(Contains(run.err, "the library's log: ")) << run.err;
    EXPECT_EQ(earlier, ReadFileBytes(dir_.File("os-backup.bin")));
    EXPECT_EQ(std::vector<std::string>{"os-backup.bin"}, FilesStartingWith("os-backup.bin"));
    ServeHandheld();  // a fresh link for the next run
  }

  handheld_->SetFaults(handheld::FaultPlan{});
  const Bytes os = PatternBytes(1520 * 600, 14);
  ToolRun piped = RunInterrupted({"--plain", "--os", Image("os.nb0", os)}, "%  GSM ", 0);
  EXPECT_EQ(0, piped.exit_code) << piped.All();  // flashed and verified
  EXPECT_EQ(os, handheld_->GetStorage().Read(Area::GSM));
}

// SIGTERM and SIGINT at once (a process manager, a user): the tool ends once, saying it once.
TEST_F(ToolInterrupt, TwoSignalsAtOnceAreToldOnce) {
  const Bytes earlier = ServeOsAndAnEarlierBackup();
  handheld::FaultPlan plan;
  plan.silent_after_sent_frames = 500;
  handheld_->SetFaults(plan);
  ToolRun run = RunSteps({"--plain", "backup", "2", "os-backup.bin"},
                         {{[](const ToolRun& r) { return Contains(r.out, "%  backup of OS  "); },
                           [](pid_t pid) {
                             kill(pid, SIGINT);
                             kill(pid, SIGTERM);
                           }}});
  EXPECT_TRUE(run.exit_code == 130 || run.exit_code == 143) << run.All();
  EXPECT_EQ(1u, Count(run.err, "dravik-update: interrupted")) << run.err;
  EXPECT_EQ(1u, Count(run.err, "the library's log: ")) << run.err;
  EXPECT_EQ(std::vector<std::string>{"os-backup.bin"}, FilesStartingWith("os-backup.bin"));
}

// The progress bar on a terminal, standard error redirected: the bar's line is ended on the terminal,
// and standard error gets no empty line.
TEST_F(ToolInterrupt, TheBarsLineIsEndedWhereTheBarIsDrawn) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.silent_after_frames = 300;
  handheld_->SetFaults(plan);
  ToolRun run = RunSteps({"--os", Image("os.nb0", PatternBytes(1520 * 2000, 15))},
                         {Signal([](const ToolRun& r) { return Contains(r.out, "%  GSM "); })},
                         /*stdout_on_terminal=*/true);
  EXPECT_EQ(130, run.exit_code) << run.All();
  const size_t bar = run.out.find("%  GSM ");
  ASSERT_NE(std::string::npos, bar) << run.out;
  EXPECT_NE(std::string::npos, run.out.find('\n', bar)) << run.out;  // the bar's line is closed on stdout
  EXPECT_EQ(0u, run.err.find("dravik-update: interrupted; if the flashing had begun")) << run.err;
}

}  // namespace
