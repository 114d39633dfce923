// dravik-update end to end, what a run tells the user: how much of each area the verification saw and
// whether the handheld is sent back, the progress through a suspended tool, the bar on a terminal of a
// given width, the rate of a short run, and the warnings --quiet still shows.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <string>
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

// The tool run with its standard output and error on a terminal `columns` wide, as a person runs it; what
// reached the terminal, byte for byte.
struct TerminalRun {
  int exit_code = -1;
  std::string screen;
};

TerminalRun RunOnTerminal(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                          const std::string& cwd, int columns) {
  TerminalRun run;
  // Everything the child needs is built before the fork: the test process has threads.
  std::vector<std::string> env_strings;
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v.empty()) vars.erase(k);
    else vars[k] = v;
  }
  for (const auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::string tool = tool_test::ToolPath();
  std::vector<std::string> arg_strings = args;
  std::vector<char*> argv = {&tool[0]};
  for (std::string& a : arg_strings) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return run;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  ioctl(master, TIOCSWINSZ, &size);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (terminal < 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(terminal, 1);
    dup2(terminal, 2);
    close(terminal);
    close(master);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    testing_support::GiveUpFileModeOverrideForExec();
    execve(tool.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(terminal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    pollfd fd = {master, POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    if (poll(&fd, 1, 200) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the tool has closed the terminal's last descriptor
    run.screen.append(buf, static_cast<size_t>(n));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The lines the bar and the spinner drew over one another: what follows each carriage return that
// does not end a line, up to the next one, without the escape that clears the line's rest.
std::vector<std::string> Redraws(const std::string& screen) {
  std::vector<std::string> out;
  for (size_t at = screen.find('\r'); at != std::string::npos; at = screen.find('\r', at + 1)) {
    if (at + 1 < screen.size() && screen[at + 1] == '\n') continue;
    const size_t end = screen.find_first_of("\r\n", at + 1);
    std::string drawn = screen.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    for (size_t esc; (esc = drawn.find("\x1b[K")) != std::string::npos;) drawn.erase(esc, 3);
    // Spaces that only blank what an earlier drawing left take no new column.
    drawn.erase(drawn.find_last_not_of(' ') + 1);
    if (!drawn.empty()) out.push_back(drawn);
  }
  return out;
}

class ToolReport : public tool_test::ToolTest {
 protected:
  ToolRun Run(std::vector<std::string> args, bool with_handheld_dir = true) {
    return RunTool(args, ToolEnv(with_handheld_dir), dir_.path());
  }

  // How often the handheld was told to reboot to IPL mode.
  size_t Reboots() const {
    size_t n = 0;
    for (const auto& e : handheld_->Record()) n += IsCommand(e, "FF112249") ? 1 : 0;
    return n;
  }

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

// ---- The bar on a terminal ----

// On a terminal 60 columns wide every drawing of the bar stays within 59 of them (a line that reached
// the last one would wrap, and each redraw leave a line behind); with TERM=dumb it is drawn with carriage
// returns alone, no escape sequence.
TEST_F(ToolReport, TheBarFitsTheTerminalsWidthAndADumbTerminalGetsNoEscapes) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.ack_delay_ms = 2;  // a run of over a second, for the rate and the time left to be drawn too
  handheld_->SetFaults(plan);
  const std::string gsm = Image("the-radio-image-with-a-rather-long-file-name.nb0", PatternBytes(1520 * 1200, 35));
  for (const char* term : {"xterm", "dumb"}) {
    SCOPED_TRACE(term);
    std::map<std::string, std::string> env = ToolEnv();
    env["TERM"] = term;
    TerminalRun run = RunOnTerminal({"--os", gsm}, env, dir_.path(), 60);
    ASSERT_EQ(0, run.exit_code) << run.screen;
    const std::vector<std::string> drawn = Redraws(run.screen);
    size_t bars = 0;
    for (const std::string& line : drawn) {
      EXPECT_LE(line.size(), 59u) << line;
      bars += line[0] == '[' ? 1 : 0;
    }
    EXPECT_GT(bars, 3u) << run.screen;
    EXPECT_EQ(std::string(term) == "dumb", run.screen.find('\x1b') == std::string::npos) << run.screen;
  }
}

// The library's percent sits at 92 after an image's last packet and at 90 while the next image's full
// packets go out (the OS image is 96 % of the run): the bar never goes back. The handheld takes 300 ms over
// each completion and 4 ms over each acknowledgement, so both figures are drawn.
TEST_F(ToolReport, TheBarsPercentNeverGoesBack) {
  ServeHandheld();
  handheld::FaultPlan plan;
  plan.completion_delay_ms = 300;
  plan.ack_delay_ms = 4;
  handheld_->SetFaults(plan);
  const std::string os = Image("os.nb0", PatternBytes(2u << 20, 35));
  const std::string ext = Image("ext.bin", PatternBytes(80u << 10, 36));
  TerminalRun run = RunOnTerminal({"--os", os, "--extrom", ext}, ToolEnv(), dir_.path(), 120);
  ASSERT_EQ(0, run.exit_code) << run.screen;
  std::vector<int> percents;
  bool extrom_drawn = false;
  for (const std::string& line : Redraws(run.screen)) {
    if (line.empty() || line[0] != '[') continue;
    const size_t sign = line.find('%');
    if (sign == std::string::npos) continue;
    const size_t digits = line.find_last_not_of("0123456789", sign - 1) + 1;
    percents.push_back(std::stoi(line.substr(digits, sign - digits)));
    extrom_drawn = extrom_drawn || line.find("EXTROM") != std::string::npos;
  }
  EXPECT_TRUE(extrom_drawn) << run.screen;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << run.screen;
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

// --wait counts the time the tool waited, not the time it was stopped (Ctrl-Z): stopped for 3 s within a
// --wait of 2, it still waits out what was left of the 2 s once resumed, rather than giving up at once.
TEST_F(ToolReport, WaitLeavesOutTheTimeTheToolWasStopped) {
  WriteHost("");
  std::chrono::steady_clock::time_point stopped, resumed;
  const std::vector<tool_test::ToolStep> steps = {
      {[](const ToolRun& run) { return Contains(run.out, "waiting for the handheld"); },
       [&](pid_t pid) {
         kill(pid, SIGSTOP);
         stopped = std::chrono::steady_clock::now();
       }},
      {[&](const ToolRun&) { return std::chrono::steady_clock::now() - stopped >= std::chrono::seconds(3); },
       [&](pid_t pid) {
         resumed = std::chrono::steady_clock::now();
         kill(pid, SIGCONT);
       }},
  };
  const std::string image = Image("eboot.nb0", PatternBytes(5000, 3));
  ToolRun run = tool_test::RunToolSteps({"--plain", "--wait", "2", "--eboot", image}, ToolEnv(), dir_.path(), 60, steps);
  const auto ended = std::chrono::steady_clock::now();
  EXPECT_EQ(69, run.exit_code) << run.All();
  ASSERT_NE(resumed, std::chrono::steady_clock::time_point{}) << run.All();
  EXPECT_GE(ended - resumed, std::chrono::milliseconds(1000)) << run.All();
}

// The same for a --port tty that has not appeared.
TEST_F(ToolReport, QuietStillWarnsWhenThePortDoesNotAppear) {
  WriteHost("");
  const std::string link = dir_.File("ttyUSB-not-here");
  const std::string image = Image("eboot.nb0", PatternBytes(5000, 33));
  ToolRun run = RunTool({"--quiet", "--port", link, "--wait", "3", "--eboot", image}, ToolEnv(), dir_.path());
  EXPECT_EQ(69, run.exit_code) << run.All();
  EXPECT_TRUE(Contains(run.err, link + " has not appeared for 30 s: is the handheld connected")) << run.err;
  EXPECT_FALSE(Contains(run.out, "to appear")) << run.out;
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
