// dravik-update: the update application. It checks what the user asked for, loads the Dravik library
// and drives its exports in their documented order (see session.cpp), and turns every outcome into a
// message and an exit code (exit_codes.h).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "../platform/win32.h"
#include "cli.h"
#include "discovery.h"
#include "interrupt.h"
#include "exit_codes.h"
#include "library_loader.h"
#include "log_watch.h"
#include "native_path.h"
#include "options.h"
#include "output_file.h"
#include "progress.h"
#include "session.h"
#include "stall_guard.h"

#ifndef _WIN32
#include "../platform/posix/host_profile.h"
#endif

namespace fs = std::filesystem;
using namespace dravik_update;

namespace {

// The library's log, in the directory it works in.
constexpr const char kLibraryLog[] = "logfile.txt";

std::string Absolute(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  fs::path p = fs::absolute(PathOf(path), ec);
  return ec ? path : NarrowOf(p.lexically_normal());
}

std::vector<std::string> LibraryCandidates(const CommandLine& cl) {
  std::vector<std::string> c;
  // A bare name means the file in the working directory: given as it is, the loader would search its own
  // directories for it (Windows puts the program's before the working directory) and might load another.
  if (!cl.library.empty()) return {Absolute(cl.library)};
  std::string dir = ProgramDirectory();
  c.push_back(dir + "/" + LibraryFileName());
  c.push_back(dir + "/../driver/" + LibraryFileName());
  c.push_back(dir + "/../lib/" + LibraryFileName());
#ifdef DRAVIK_BUILD_LIBRARY_PATH
  c.push_back(DRAVIK_BUILD_LIBRARY_PATH);
#endif
  for (auto& p : c) p = NarrowOf(PathOf(p).lexically_normal());
  return c;
}

#ifndef _WIN32
bool PortPresent(const std::string& tty) {
  std::error_code ec;
  return fs::exists(PathOf(tty), ec);
}

// Waits for the tty to appear (0 s: for as long as it takes); false when the time ran out.
bool WaitForPort(const std::string& tty, double timeout_s, ProgressDisplay& ui) {
  ui.Info("waiting for " + tty + " to appear: connect the handheld in bootloader mode…");
  WaitedSeconds waiting;  // a tool stopped with Ctrl-Z and resumed has not waited meanwhile
  // After half a minute of the platform's clock, as for a handheld the library does not find, a warning
  // that --quiet does not hide: without --wait the tool would otherwise wait in silence for ever.
  const DWORD start_tick = GetTickCount();
  bool warned = false;
  while (!PortPresent(tty)) {
    if (timeout_s > 0 && waiting.Tick() >= timeout_s) return false;
    if (!warned && GetTickCount() - start_tick >= 30000) {
      warned = true;
      ui.Warning(tty + " has not appeared for 30 s: is the handheld connected, in bootloader mode? The tool goes "
                 "on waiting for it (--wait SECONDS gives up); Ctrl-C stops the tool.");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

// The host class option without --port changes only the simulated host's version.
void ApplyHostClass(const std::string& host_class) {
  w32sim::HostProfile profile = w32sim::CurrentHostProfile();
  if (host_class == "2000") {
    profile.major_version = 5;
    profile.minor_version = 0;
  } else if (host_class == "xp") {
    profile.major_version = 5;
    profile.minor_version = 1;
  } else if (host_class == "vista") {
    profile.major_version = 6;
    profile.minor_version = 0;
  }
  w32sim::SetHostProfile(profile);
}
#endif

int List(ProgressDisplay& ui) {
  HostView view = LookAtHost();
  bool vista = IsVistaOrLaterHost(view.major);
  ui.Result("host: " + HostClassName(view.major, view.minor) + " (Windows " + std::to_string(view.major) + "." +
            std::to_string(view.minor) + "), library driver setting " + std::to_string(view.driver) +
            (view.driver == 1 ? " (USB-serial port)" : " (sync driver)"));
  if (vista) {
    ui.Result("the library waits for a sync-driver device interface, stops the sync services and uses WinUSB");
  } else if (view.driver == 1) {
    ui.Result("the library searches the \"Ports\" class for USB#Vid_0e1f&Pid_4505 with a COM name");
  } else {
    ui.Result("the library searches the sync driver's interfaces {25DBCE51-6C8F-4A72-8A6D-B54C2B4FC835}");
  }
  auto show = [&](const char* title, const std::vector<FoundDevice>& devices) {
    ui.Result(title);
    if (devices.empty()) ui.Result("  none");
    for (const FoundDevice& d : devices) {
      std::string line = "  " + d.name;
      if (!d.detail.empty()) line += "  " + d.detail;
      if (!d.opens.empty()) line += "  -> " + d.opens;
      if (!d.searched) line += "  (beyond what the library's search reaches)";
      ui.Result(line);
    }
  };
  show("USB-serial ports of the handheld (\"Ports\" class):", view.ports);
  show("sync-driver device interfaces:", view.interfaces);
  const FoundDevice* dev = DeviceTheLibraryOpens(view);
  std::vector<std::string> real = RealHandheldTtys();
  for (const std::string& tty : real) {
    ui.Result("real handheld on this machine: " + tty + " (USB 0e1f:4505); use it with --port " + tty);
  }
  if (dev == nullptr && !vista) {
    // The handheld is there, in the class the library's driver setting does not search.
    const auto& other = view.driver == 1 ? view.interfaces : view.ports;
    for (const FoundDevice& d : other) {
      if (!d.searched) continue;
      ui.Result("no handheld where the library looks: " + d.name + " is the handheld's " +
                (view.driver == 1 ? "sync-driver interface" : "USB-serial port") +
                ", which the library opens only with Driver=" + (view.driver == 1 ? "0" : "1") +
                " in section [Config] of Tavrine_usb_flash.ini in the Windows directory");
      return real.empty() ? kExitDeviceUnavailable : kExitOk;
    }
  }
  if (dev == nullptr) {
    ui.Result(std::string("no handheld: the library would wait for one to appear") +
              (real.empty() ? " (connect it in bootloader mode; on Linux name its tty with --port, or point "
                              "DRAVIK_HOST_PROFILE at a virtual handheld's profile)"
                            : ""));
    return real.empty() ? kExitDeviceUnavailable : kExitOk;
  }
  ui.Result("the library would open: " + dev->name + (dev->opens.empty() ? "" : " (" + dev->opens + ")"));
  std::string problem = PermissionProblem(*dev);
  if (!problem.empty()) ui.Error("warning: " + problem);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine cl;
  int parsed = ParseCommandLine(argc, argv, &cl);
  if (parsed >= 0) return parsed;
  ProgressDisplay ui(ChooseDisplayMode(cl.quiet, cl.plain));
  InstallInterruptHandler(ui.Mode() == DisplayMode::Bar);

  // The library unscrambles an image only when it is named by the bare name temp0 ... temp4, which it
  // opens in the working directory; --log-dir moves that directory, and the image would go out as it is.
  bool log_dir_is_cwd = false;
  if (!cl.log_dir.empty()) {
    std::error_code ec_log, ec_cwd;
    const fs::path log_dir = fs::weakly_canonical(PathOf(cl.log_dir), ec_log);
    const fs::path cwd = fs::current_path(ec_cwd);
    log_dir_is_cwd = !ec_log && !ec_cwd && log_dir == cwd;
    for (const ImageArgument& img : cl.images) {
      if (IsScrambledName(img.path) && !log_dir_is_cwd) {
        ui.Error("error: " + img.path + " is an image the library unscrambles only under that bare name, in the "
                 "directory it works in; --log-dir " + cl.log_dir + " changes that directory. Run the tool "
                 "from " + cl.log_dir + ", or leave --log-dir out.");
        return kExitUsage;
      }
    }
  }
  // Every path the user gave is fixed before the working directory changes; a scrambled image keeps its
  // bare name (the working directory stays where it is), or the library would send it unscrambled.
  for (ImageArgument& img : cl.images) {
    if (!cl.log_dir.empty() && !(log_dir_is_cwd && IsScrambledName(img.path))) img.path = Absolute(img.path);
  }
  if (!cl.log_dir.empty()) {
    cl.format_backup = Absolute(cl.format_backup);
    cl.backup_file = Absolute(cl.backup_file);
    cl.handheld_dir = Absolute(cl.handheld_dir);
    cl.library = Absolute(cl.library);
#ifndef _WIN32
    // The simulated host's files that the environment names are read by the library after the move.
    for (const char* name : {"DRAVIK_HOST_PROFILE", "DRAVIK_WINDOWS_DIR"}) {
      const char* value = std::getenv(name);
      if (value != nullptr && *value != '\0') setenv(name, Absolute(value).c_str(), 1);
    }
#endif
  }

  // A backup or the format's read-back written over an image (or over each other, or the library's log)
  // would destroy it.
  {
    std::vector<NamedPath> paths;
    for (const ImageArgument& img : cl.images) {
      const Feature* f = FeatureById(img.feature);
      paths.push_back({std::string("--") + (f ? f->option : "image"), img.path, false});
    }
    if (cl.format && cl.format_type == 3) paths.push_back({"--format-backup", cl.format_backup, true});
    if (cl.then_backup) paths.push_back({"--then-backup", cl.backup_file, true});
    if (cl.command == Command::Backup)
      paths.push_back({"backup " + std::to_string(cl.backup_type), cl.backup_file, true});
    const std::string log_path = cl.log_dir.empty() ? std::string(kLibraryLog) : cl.log_dir + "/" + kLibraryLog;
    std::string error;
    if (OutputsCollide(paths, &error) || NamesTheLibraryLog(paths, log_path, &error)) {
      ui.Error("error: " + error);
      return kExitUsage;
    }
  }

  // Images are checked before the library is even loaded, so nothing reaches the handheld.
  std::vector<CheckedImage> checked;
  for (const ImageArgument& arg : cl.images) {
    CheckedImage img;
    std::string error;
    if (!CheckImage(arg, &img, &error)) {
      ui.Error("error: " + error);
      return kExitInputFile;
    }
    checked.push_back(img);
  }
  // With --port the automatic check reads back from the device: a virtual handheld's directory left in
  // the environment does not matter then.
  const bool storage_check = cl.verify == VerifyMode::Storage || (cl.verify == VerifyMode::Auto && cl.port.empty());
  if (!cl.handheld_dir.empty() && cl.command == Command::Flash && storage_check) {
    std::error_code ec;
    if (!fs::is_directory(PathOf(cl.handheld_dir), ec)) {
      ui.Error("error: the virtual handheld's directory " + cl.handheld_dir + " does not exist");
      return kExitInputFile;
    }
    // A virtual handheld keeps its mode in its directory from the moment it starts. Any other directory
    // would be compared as an erased handheld (and written into by the comparison's storage).
    if (!fs::is_regular_file(PathOf(cl.handheld_dir) / "mode", ec)) {
      ui.Error("error: " + cl.handheld_dir + " is not a virtual handheld's directory (it has no mode file); "
               "give the directory the handheld was started with, or --verify readback");
      return kExitInputFile;
    }
  }
  // An output file is checked before anything is sent; the library writes it under a temporary name.
  auto creatable = [&](const std::string& path) {
    std::string error;
    if (CanWriteOutput(path, &error)) return true;
    ui.Error("error: " + error);
    return false;
  };
  if ((cl.command == Command::Backup || cl.then_backup) && !creatable(cl.backup_file)) return kExitCantCreate;
  if (cl.format && cl.format_type == 3) {
    // The read-back of a format of type 3 is the only copy the host gets of what it erases: it never
    // replaces a file, which may hold what an earlier format erased. And it must fit on its disk before
    // anything is erased.
    std::error_code ec;
    if (fs::exists(fs::symlink_status(PathOf(cl.format_backup), ec))) {
      ui.Error("error: --format-backup " + cl.format_backup + " exists, and the format's read-back never "
               "replaces a file: it may be the only copy of what an earlier format erased. Choose another name, "
               "or move " + cl.format_backup + " away first.");
      return kExitCantCreate;
    }
    if (!creatable(cl.format_backup)) return kExitCantCreate;
    fs::path dir = PathOf(cl.format_backup).parent_path();
    if (dir.empty()) dir = ".";
    const fs::space_info space = fs::space(dir, ec);
    if (!ec && space.available < kFormatBackupSize) {
      ui.Error("error: " + NarrowOf(dir) + " has " + FormatCount(space.available) + " bytes free, less than the " +
               FormatCount(kFormatBackupSize) + " bytes of the format's read-back: the format would erase what "
               "it reads back before it could be saved. Make room, or name a --format-backup file elsewhere.");
      return kExitCantCreate;
    }
  }

  if (!cl.log_dir.empty()) {
    std::error_code ec;
    fs::create_directories(PathOf(cl.log_dir), ec);
    if (!ec) fs::current_path(PathOf(cl.log_dir), ec);
    if (ec) {
      ui.Error("error: cannot work in " + cl.log_dir + ": " + ec.message());
      return kExitCantCreate;
    }
  }

  if (!cl.port.empty()) {
    std::string error;
    if (!UsePort(cl.port, cl.host_class, &error)) {
      ui.Error("error: " + error);
      return kExitUsage;
    }
  } else if (!cl.host_class.empty()) {
#ifdef _WIN32
    ui.Error("error: --host-class is for Linux, where the host is simulated; on Windows the library asks the "
             "real one");
    return kExitUsage;
#else
    ApplyHostClass(cl.host_class);
#endif
  }

#ifndef _WIN32
  // A --port tty that is not there is a handheld not connected (yet): `list` says so, and a flash or a
  // backup waits for it to appear, within --wait, as the library waits for a handheld it searches.
  if (!cl.port.empty() && !PortPresent(cl.port)) {
    const std::string missing = cl.port + " does not exist: the handheld is not connected (in bootloader mode)";
    if (cl.command == Command::List) {
      ui.Result("no handheld: " + missing);
      return kExitDeviceUnavailable;
    }
    if (cl.command != Command::Info && !WaitForPort(cl.port, cl.wait_timeout_s, ui)) {
      ui.Error("error: " + missing + " within " + FormatDuration(cl.wait_timeout_s) +
               " (minutes:seconds); `dravik-update list` shows the handhelds the host sees");
      return kExitDeviceUnavailable;
    }
    // What appeared is checked as a path given at the start is: it must be a tty.
    std::string error;
    if (cl.command != Command::Info && !UsePort(cl.port, cl.host_class, &error)) {
      ui.Error("error: " + error);
      return kExitUsage;
    }
  }
#endif

  if (cl.command == Command::List) return List(ui);

  // The library writes logfile.txt where it works, and the tool learns from it how a format, a search or
  // a skipped image went: without it a format that ran would be reported as failed. `info` needs none.
  const bool needs_log = cl.command == Command::Flash || cl.command == Command::Backup;
  std::error_code ec_log;
  const fs::file_status log_status = fs::status(kLibraryLog, ec_log);
  if (needs_log && fs::exists(log_status) && !fs::is_regular_file(log_status) && !fs::is_directory(log_status)) {
    // The library appends to it for every message; a pipe would stop the run until something read it.
    ui.Error("error: logfile.txt in the directory the library works in is not a regular file (a pipe, a "
             "device or a socket); remove it, or give --log-dir DIR");
    return kExitCantCreate;
  }
  if (FILE* log = needs_log ? std::fopen(kLibraryLog, "ab") : nullptr) {
    std::fclose(log);
  } else if (needs_log) {
    std::error_code ec;
    const std::string here = NarrowOf(fs::current_path(ec));
    ui.Error("error: the library writes its log, logfile.txt, in " + here + ", and it cannot be written there; "
             "run the tool from a directory you can write, or give --log-dir DIR");
    return kExitCantCreate;
  }

  DravikLibrary library;
  std::string error;
  if (!library.Load(LibraryCandidates(cl), &error)) {
    ui.Error("error: " + error);
    return kExitSoftware;
  }
  LogWatch log(Absolute(kLibraryLog));
  SetInterruptLog(log.Path());  // an interrupt from here on names it
  Session session(library.Exports(), library.Path(), ui, log);
  int code = kExitOk;
  switch (cl.command) {
    case Command::Info:
      code = session.Info();
      break;
    case Command::Backup:
      code = session.Backup(cl.backup_type, cl.backup_file, cl.wait_timeout_s);
      break;
    case Command::Flash: {
      FlashRequest req;
      req.images = checked;
      req.format = cl.format;
      req.format_type = cl.format_type;
      req.format_backup = cl.format_backup;
      req.verify = cl.verify;
      // A real handheld on a tty has no storage directory to compare, whatever the environment says.
      if (!cl.port.empty() && req.verify == VerifyMode::Auto) req.verify = VerifyMode::ReadBack;
      req.handheld_dir = cl.handheld_dir;
      req.model = cl.model;
      req.language = cl.language;
      req.wait_timeout_s = cl.wait_timeout_s;
      req.then_backup = cl.then_backup;
      req.backup_type = cl.backup_type;
      req.backup_file = cl.backup_file;
      code = session.Flash(req);
      break;
    }
    case Command::List:
      break;
  }
  if (session.LibraryStillBusy()) {
    // Unloading the library, or closing its link, under a thread that still runs in it would end the
    // tool in a crash rather than with its exit code; the process's end takes both with it.
    SayServicesHint();
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}
