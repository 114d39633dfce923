// The `handheld` program: serves the virtual handheld in a directory to the host library, on a new pty
// (the USB-serial path) and on a Unix socket (the WinUSB path), and writes a host profile that makes the
// simulated Windows host find it. Runs until SIGINT or SIGTERM; prints what the handheld does.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/posix/host_profile.h"
#include "virtual_handheld.h"

namespace {

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: handheld DIR [--socket PATH] [--profile FILE] [--host-class 2000|xp|vista] "
               "[--driver 0|1]\n");
}

// A usage error: what was wrong, then the usage.
int Refuse(const std::string& why) {
  std::fprintf(stderr, "handheld: %s\n", why.c_str());
  Usage(stderr);
  return 2;
}

// The simulated host: its version, the handheld's device entry, and the sync software that holds the
// device until the library clears it away.
w32sim::HostProfile MakeProfile(const std::string& host_class, int driver, const std::string& pty,
                                const std::string& socket_path) {
  w32sim::HostProfile p;
  if (host_class == "2000") {
    p.major_version = 5;
    p.minor_version = 0;
    p.build_number = 2195;
  } else if (host_class == "vista") {
    p.major_version = 6;
    p.minor_version = 0;
    p.build_number = 6000;
  } else {
    p.major_version = 5;
    p.minor_version = 1;
    p.build_number = 2600;
  }
  const std::string instance = "USB#Vid_0e1f&Pid_4505#0000000000000001#";
  if (p.major_version >= 6) {
    w32sim::DeviceInterface iface;
    iface.path = "\\\\?\\" + instance + iface.class_guid;
    iface.opens = "socket:" + socket_path;
    iface.winusb = true;
    iface.endpoints = {{0x01, 2}, {0x81, 2}};
    p.interfaces.push_back(iface);
  } else if (driver == 1) {
    w32sim::PortDevice port;
    port.portname = "COM7";
    port.symbolic_name = "\\??\\" + instance + "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    port.opens = pty;
    p.ports.push_back(port);
  } else {
    w32sim::DeviceInterface iface;
    iface.path = "\\\\?\\" + instance + iface.class_guid;
    iface.opens = pty;
    iface.winusb = false;
    p.interfaces.push_back(iface);
  }
  for (const char* name : {"WcesComm", "RapiMgr"}) {
    w32sim::Service s;
    s.name = name;
    p.services.push_back(s);
  }
  for (const char* cls : {"SyncMgrUI", "DccMan Class"}) {
    w32sim::Window w;
    w.class_name = cls;
    p.windows.push_back(w);
  }
  uint32_t pid = 1200;
  for (const char* exe : {"wcesmgr.exe", "wcescomm.exe", "rapimgr.exe"}) {
    w32sim::Process proc;
    proc.pid = pid;
    pid += 4;
    proc.exe = exe;
    p.processes.push_back(proc);
  }
  return p;
}

// The path as seen from anywhere: what the profile names is opened by tools started in other
// directories.
std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.string();
}

struct Serving {
  std::string socket_path;
  std::string profile_path;
  std::string host_class;
  int driver = 0;
};

// Serves the handheld on a new pty and on the socket, writes the host profile that names them and says
// where they are. False (and why, on stderr) when one of them could not be made.
bool Serve(handheld::VirtualHandheld& device, const Serving& how) {
  std::string pty = device.StartPty();
  if (pty.empty()) {
    std::fprintf(stderr, "handheld: no pty could be made\n");
    for (const auto& line : device.Log()) std::fprintf(stderr, "  %s\n", line.c_str());
    return false;
  }
  if (device.StartSocket(how.socket_path).empty()) {
    std::fprintf(stderr, "handheld: cannot serve the socket %s\n", how.socket_path.c_str());
    for (const auto& line : device.Log()) std::fprintf(stderr, "  %s\n", line.c_str());
    return false;
  }
  std::string error;
  if (!w32sim::SaveHostProfileFile(how.profile_path, MakeProfile(how.host_class, how.driver, pty, how.socket_path),
                                   &error)) {
    std::fprintf(stderr, "handheld: cannot write the host profile %s: %s\n", how.profile_path.c_str(),
                 error.c_str());
    return false;
  }
  std::printf("pty: %s\nsocket: %s\nprofile: %s (DRAVIK_HOST_PROFILE=%s)\n", pty.c_str(), how.socket_path.c_str(),
              how.profile_path.c_str(), how.profile_path.c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Usage(stdout);
    return 0;
  }
  if (argc < 2) return Refuse("no directory given");
  if (argv[1][0] == '-') return Refuse(std::string("the directory comes first, not ") + argv[1]);
  const std::string dir = Absolute(argv[1]);
  Serving how;
  how.socket_path = dir + "/handheld.sock";
  how.profile_path = dir + "/host_profile.txt";
  how.host_class = "xp";
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return Refuse(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--socket") {
      how.socket_path = Absolute(value);
    } else if (arg == "--profile") {
      how.profile_path = Absolute(value);
    } else if (arg == "--host-class" && (value == "2000" || value == "xp" || value == "vista")) {
      how.host_class = value;
    } else if (arg == "--driver" && (value == "0" || value == "1")) {
      how.driver = value == "1" ? 1 : 0;
    } else {
      return Refuse("unknown argument or value: " + arg + " " + value);
    }
  }

  // The serving threads inherit this mask, so the signals reach the wait below only. A hang-up (the
  // terminal it ran in closed) stops it as cleanly as Ctrl-C: an image being staged is removed.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  handheld::VirtualHandheld device(dir);
  // Nobody reads the wire record here: keep frame heads only and drop them as they come, so that the
  // program's memory does not grow by every image it is flashed with.
  device.SetRecordWholeFrames(false);
  // The log is shown from here on: a successful start logs nothing, and the count is taken before the
  // paths go out, since a host may act on them at once.
  size_t shown = device.Log().size();
  if (!Serve(device, how)) return 1;

  timespec tick{0, 200 * 1000 * 1000};
  for (;;) {
    int sig = sigtimedwait(&stop_signals, nullptr, &tick);
    auto log = device.Log();
    for (; shown < log.size(); ++shown) std::printf("handheld: %s\n", log[shown].c_str());
    std::fflush(stdout);
    device.ClearRecord();
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) break;
    if (device.PtyPath().empty() || device.SocketPath().empty()) {
      // The handheld dropped the link (an image it could not store), as a device that resets does. Like
      // that device after its restart it comes back: on a new pty, the socket and a profile naming them.
      std::printf("handheld: the link was dropped; serving again\n");
      if (!Serve(device, how)) return 1;
    }
  }
  device.Stop();
  // A stopped handheld is an unplugged one: a profile still naming its pty would send the next tool run
  // into whatever program gets that pty number next.
  w32sim::HostProfile unplugged = MakeProfile(how.host_class, how.driver, "", how.socket_path);
  unplugged.ports.clear();
  unplugged.interfaces.clear();
  std::string error;
  if (!w32sim::SaveHostProfileFile(how.profile_path, unplugged, &error)) {
    std::fprintf(stderr, "handheld: cannot write the host profile %s: %s\n", how.profile_path.c_str(), error.c_str());
  }
  std::printf("handheld: stopped; the host profile names no handheld now\n");
  return 0;
}
