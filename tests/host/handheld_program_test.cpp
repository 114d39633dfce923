// The `handheld` program: it serves a pty and a socket, writes a host profile that points the
// simulated host at them for each host class and driver, prints what the handheld does, and ends
// cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "handheld_client.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace {

using handheld_test::Command;
using handheld_test::Frame;
using handheld_test::HostClient;

// The program sits in the build tree's handheld/ folder, two levels above this test's folder.
std::string ProgramPath() {
  char self[PATH_MAX] = {};
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  std::string dir(self, static_cast<size_t>(n));
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/../../handheld/handheld";
}

class Program {
 public:
  // Started in `cwd` when given.
  explicit Program(const std::vector<std::string>& args, const std::string& cwd = "") {
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<char*> argv;
    std::string program = ProgramPath();
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      ::close(out[0]);
      if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  // Reads output until it contains text `times` times (or 5 s pass).
  bool WaitFor(const std::string& text, size_t times = 1) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Count(text) < times) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[512];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return Count(text) >= times;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++n;
    return n;
  }
  // The rest of the line after a prefix (its last occurrence with `last`).
  std::string Value(const std::string& prefix, bool last = false) const {
    size_t at = last ? output_.rfind(prefix) : output_.find(prefix);
    if (at == std::string::npos) return "";
    at += prefix.size();
    return output_.substr(at, output_.find_first_of(" \n", at) - at);
  }
  int Terminate(int signal = SIGTERM) {
    ::kill(pid_, signal);
    return Wait();
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    WaitFor("\x01");  // drain what is left
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string output_;
};

// Flashes a 5-byte image with the command code over the pty: true when the handheld confirmed it.
bool FlashFiveBytesOver(const std::string& pty, const char* code) {
  auto host = HostClient::OpenPty(pty);
  if (!host || !host->SendFrame(Command(code, 5)) || !host->SendImage({1, 2, 3, 4, 5})) return false;
  Frame done;
  const bool confirmed = host->ReceiveFrame(&done) && handheld_test::CodeOf(done) == "FF112248";
  host->Close();
  return confirmed;
}

class HandheldProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(ProgramPath().c_str(), X_OK) != 0) GTEST_SKIP() << "handheld program not built";
  }
  w32sim::HostProfile LoadProfile(const std::string& path) {
    w32sim::HostProfile profile;
    std::string error;
    EXPECT_TRUE(w32sim::LoadHostProfileFile(path, &profile, &error)) << error;
    return profile;
  }
  testing_support::TempDir dir_;
};

TEST_F(HandheldProgram, XpPlusWithTheSyncDriverServesThePtyItsProfileNames) {
  std::string hh = dir_.File("hh");
  Program program({hh, "--profile", dir_.File("profile.txt")});
  ASSERT_TRUE(program.WaitFor("profile:")) << program.output();
  std::string pty = program.Value("pty: ");
  ASSERT_FALSE(pty.empty());
  auto profile = LoadProfile(dir_.File("profile.txt"));
  EXPECT_EQ(profile.major_version, 5u);
  EXPECT_EQ(profile.minor_version, 1u);
  ASSERT_EQ(profile.interfaces.size(), 1u);
  EXPECT_EQ(profile.interfaces[0].opens, pty);
  EXPECT_EQ(profile.interfaces[0].class_guid, "{25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}");
  EXPECT_TRUE(profile.ports.empty());
  ASSERT_EQ(profile.services.size(), 2u);
  EXPECT_EQ(profile.services[0].name, "WcesComm");
  EXPECT_EQ(profile.services[1].name, "RapiMgr");
  EXPECT_EQ(profile.services[0].state, 4u);
  ASSERT_EQ(profile.windows.size(), 2u);
  ASSERT_EQ(profile.processes.size(), 3u);
  EXPECT_EQ(profile.processes[2].exe, "rapimgr.exe");

  ASSERT_TRUE(FlashFiveBytesOver(pty, "FF112245"));
  EXPECT_TRUE(program.WaitFor("IPL image of 5 bytes stored")) << program.output();
  EXPECT_EQ(program.Terminate(), 0);
  EXPECT_NE(program.output().find("handheld: stopped"), std::string::npos);
  EXPECT_EQ(handheld::Storage(hh).Read(handheld::Area::IPL), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  // Stopped, it is unplugged: the profile keeps the host but names no device, so that no tool run opens
  // the pty number another program gets next.
  auto after = LoadProfile(dir_.File("profile.txt"));
  EXPECT_EQ(after.major_version, profile.major_version);
  EXPECT_TRUE(after.interfaces.empty());
  EXPECT_TRUE(after.ports.empty());
}

TEST_F(HandheldProgram, UsbSerialDriverGetsAPortsDeviceOnComSeven) {
  Program program({dir_.File("hh"), "--profile", dir_.File("p.txt"), "--host-class", "2000", "--driver", "1"});
  ASSERT_TRUE(program.WaitFor("profile:")) << program.output();
  auto profile = LoadProfile(dir_.File("p.txt"));
  EXPECT_EQ(profile.major_version, 5u);
  EXPECT_EQ(profile.minor_version, 0u);
  ASSERT_EQ(profile.ports.size(), 1u);
  EXPECT_EQ(profile.ports[0].portname, "COM7");
  EXPECT_NE(profile.ports[0].symbolic_name.find("USB#Vid_0e1f&Pid_4505"), std::string::npos);
  EXPECT_EQ(profile.ports[0].opens, program.Value("pty: "));
  EXPECT_TRUE(profile.interfaces.empty());
  // A hang-up (its terminal closed) stops it as cleanly as SIGTERM.
  EXPECT_EQ(program.Terminate(SIGHUP), 0);
  EXPECT_NE(program.output().find("handheld: stopped"), std::string::npos) << program.output();
}

TEST_F(HandheldProgram, VistaGetsAWinUsbInterfaceOnTheSocket) {
  std::string sock = dir_.File("s.sock");
  Program program({dir_.File("hh"), "--socket", sock, "--profile", dir_.File("p.txt"), "--host-class", "vista"});
  ASSERT_TRUE(program.WaitFor("profile:")) << program.output();
  auto profile = LoadProfile(dir_.File("p.txt"));
  EXPECT_EQ(profile.major_version, 6u);
  ASSERT_EQ(profile.interfaces.size(), 1u);
  EXPECT_EQ(profile.interfaces[0].opens, "socket:" + sock);
  ASSERT_EQ(profile.interfaces[0].endpoints.size(), 2u);
  EXPECT_EQ(profile.interfaces[0].endpoints[0].address, 0x01);
  EXPECT_EQ(profile.interfaces[0].endpoints[1].address, 0x81);
  EXPECT_EQ(profile.interfaces[0].endpoints[1].type, 2);
  auto host = HostClient::Connect(sock);
  ASSERT_TRUE(host);
  EXPECT_TRUE(host->SendFrame(Command("FF112266")));
  EXPECT_TRUE(program.WaitFor("flag set to 1")) << program.output();
  host->Close();
  EXPECT_EQ(program.Terminate(), 0);
  EXPECT_NE(::access(sock.c_str(), F_OK), 0);  // the socket goes with the program
}

// A relative DIR (and socket and profile) are taken from where the program starts, but everything it
// prints and names in the profile is absolute: a tool started in another directory finds the handheld.
TEST_F(HandheldProgram, RelativePathsArePrintedAndWrittenAbsolute) {
  Program program({"hh", "--socket", "hh.sock", "--host-class", "vista"}, dir_.path());
  ASSERT_TRUE(program.WaitFor("profile:")) << program.output();
  // The directory as the started program sees it (the temporary directory's path may run through a link).
  const std::string where = std::filesystem::canonical(dir_.path()).string();
  const std::string profile_path = where + "/hh/host_profile.txt";
  const std::string socket_path = where + "/hh.sock";
  EXPECT_EQ(program.Value("socket: "), socket_path);
  EXPECT_EQ(program.Value("profile: "), profile_path);
  EXPECT_EQ(program.Value("DRAVIK_HOST_PROFILE="), profile_path + ")");
  EXPECT_EQ(program.Value("pty: ").rfind("/", 0), 0u);
  auto profile = LoadProfile(profile_path);
  ASSERT_EQ(profile.interfaces.size(), 1u);
  EXPECT_EQ(profile.interfaces[0].opens, "socket:" + socket_path);
  EXPECT_TRUE(std::filesystem::is_directory(where + "/hh/memory"));  // the handheld is where it was asked for
  auto host = HostClient::Connect(socket_path);
  ASSERT_TRUE(host);
  EXPECT_TRUE(host->SendFrame(Command("FF112266")));
  host->Close();
  EXPECT_EQ(program.Terminate(), 0);
}

// An image the handheld cannot store: the link is dropped (the host sees its end go away, rather than
// wait for a completion), and the program serves again on a new pty that the rewritten profile names.
TEST_F(HandheldProgram, DroppedLinkIsServedAgainOnANewPtyTheProfileNames) {
  std::string hh = dir_.File("hh");
  ASSERT_TRUE(handheld::Storage(hh).SetCapacity(handheld::Area::EXTROM, 3000));
  Program program({hh, "--profile", dir_.File("p.txt")});
  ASSERT_TRUE(program.WaitFor("profile:")) << program.output();
  std::string first = program.Value("pty: ");
  auto host = HostClient::OpenPty(first);
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->SendFrame(Command("FF112263", 5000)));
  host->SendImage(std::vector<uint8_t>(5000, 7));
  uint8_t byte;
  host->Read(&byte, 1, 3000);
  EXPECT_TRUE(host->eof());
  host->Close();
  ASSERT_TRUE(program.WaitFor("handheld: the link was dropped; serving again\n")) << program.output();
  ASSERT_TRUE(program.WaitFor("(DRAVIK_HOST_PROFILE=" + dir_.File("p.txt") + ")\n", 2)) << program.output();
  EXPECT_NE(program.output().find("EXTROM image of 5000 bytes exceeds the capacity of 3000: not stored; the link is "
                                  "dropped"),
            std::string::npos)
      << program.output();
  std::string second = program.Value("pty: ", true);  // the kernel may give the freed number again
  auto profile = LoadProfile(dir_.File("p.txt"));
  ASSERT_EQ(profile.interfaces.size(), 1u);
  EXPECT_EQ(profile.interfaces[0].opens, second);
  EXPECT_TRUE(FlashFiveBytesOver(second, "FF112263"));
  EXPECT_EQ(program.Terminate(), 0);
}

TEST_F(HandheldProgram, BadArgumentsAreRefusedWithTheUsage) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no directory given"},
      {{"--socket", "x"}, "the directory comes first, not --socket"},
      {{dir_.File("hh"), "--host-class", "98"}, "unknown argument or value: --host-class 98"},
      {{dir_.File("hh"), "--driver"}, "--driver needs a value"}};
  for (const auto& [args, why] : cases) {
    Program program(args);
    ASSERT_TRUE(program.WaitFor("usage: handheld DIR")) << program.output();
    EXPECT_EQ(program.Wait(), 2);
    EXPECT_NE(program.output().find("handheld: " + why), std::string::npos) << program.output();
  }
  Program help({"--help"});
  ASSERT_TRUE(help.WaitFor("usage: handheld DIR")) << help.output();
  EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
