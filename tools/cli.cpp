#include "cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "exit_codes.h"

namespace dravik_update {

namespace {

// How many single-character edits turn one word into the other.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The name among `names` nearest to `word`, when it is near enough to be what was meant; else empty.
std::string Nearest(const std::string& word, const std::vector<std::string>& names) {
  std::string best;
  size_t best_distance = 3;
  for (const std::string& name : names) {
    const size_t d = EditDistance(word, name);
    if (d < best_distance) {
      best = name;
      best_distance = d;
    }
  }
  return best;
}

// What to say of arguments the command line does not take, in the order they were given: an unknown
// option with the one it may have meant, an unknown command with the commands there are.
std::string UnexpectedArguments(CLI::App& app, const std::vector<std::string>& extras) {
  std::vector<std::string> options, commands;
  for (const CLI::Option* opt : app.get_options()) {
    for (const std::string& n : opt->get_lnames()) options.push_back("--" + n);
    for (const std::string& n : opt->get_snames()) options.push_back("-" + n);
  }
  for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) commands.push_back(sub->get_name());
  for (const std::string& word : extras) {
    if (word.size() > 1 && word[0] == '-') {
      const std::string name = word.substr(0, word.find('='));
      std::string meant = Nearest(name, options);
      if (meant.empty() && name[1] != '-') meant = Nearest("-" + name, options);  // -os for --os
      return "unknown option " + name + (meant.empty() ? "" : " (did you mean " + meant + "?)");
    }
  }
  const std::string& first = extras.front();
  const std::string meant = Nearest(first, commands);
  if (!meant.empty() && meant != first) return "unknown command " + first + " (did you mean " + meant + "?)";
  std::string list;
  for (const std::string& w : extras) list += (list.empty() ? "" : " ") + w;
  return "unexpected argument" + std::string(extras.size() > 1 ? "s" : "") + ": " + list +
         " (images go with --eboot, --ipl, --os, --asset or --extrom; the commands are backup, info, list and "
         "flash)";
}

}  // namespace

std::string HelpFooter() {
  return R"(Images are queued and flashed in the order given. FILE:HEADERLEN skips the first HEADERLEN bytes
of the file (its header); without it the whole file is sent. A file whose own name ends in :DIGITS is
given as FILE:0.

Examples:
  dravik-update --eboot eboot.nb0 --os os.nb0:128
      flash EBOOT, then the OS image without its 128-byte header, and verify both
  dravik-update --os os.nb0:128 --format 3 --format-backup format-backup.bin
      format the disk for the queued image first, saving the 64 KiB the format reads back
)"
#ifndef _WIN32
         R"(  dravik-update --port /dev/ttyACM0 --eboot eboot.nb0
      flash a real handheld on a USB-serial tty
)"
#endif
         R"(  dravik-update --handheld-dir demo-run/handheld --os os.nb0
      flash the virtual handheld and compare its storage with the image afterwards
  dravik-update --eboot eboot.nb0 --then-backup 0 eboot-backup.bin
      flash, verify, then save the EBOOT area before the handheld is rebooted
  dravik-update backup 2 os-backup.bin          save the OS partition
  dravik-update info                            library, model and component versions
  dravik-update list                            the handhelds the host sees

Backup types: 0 EBOOT (393,216 bytes), 1 IPL, 2 OS, 3 GSM (5,242,880 bytes), 4 EXTROM.
Format types: 0, 3 (reads 65,536 bytes back into --format-backup FILE), 4.
A backup (and the format's read-back) is written to FILE.partial-PID (PID: the tool's process id) and
renamed to FILE once whole: a run that is cut off leaves FILE as it was. The format's read-back never
replaces a file: its FILE must not exist. A read-back cut off after the format was done is kept as
FILE.incomplete.

Exit codes:
   0  success (and verified, unless --no-verify); an area the check could read back only in part, or
      not at all, is named and keeps the handheld in bootloader mode
  64  usage error (an output FILE that is empty, or names an image, the other output or the library's
      logfile.txt, included), or nothing to flash (no image; the library's status 901)
  65  verification failed: an area differs from its image, holds less of it, or more than it (the area
      and the first differing offset, or both lengths, are shown)
  66  an image file is missing, unreadable or no longer than its header (checked before anything is sent);
      or it went away or changed after the check, so that its area was not flashed or not verified (the
      handheld is then left in bootloader mode); or --handheld-dir names no virtual handheld's directory
  69  no handheld found within --wait, or it could not be opened (status 101; permission denied included);
      `list` when the host sees no handheld
  70  the library could not be loaded, or answered with a status it does not document
  73  an output file cannot be created or could not be written (a full disk, ulimit -f), the format's
      read-back FILE exists already or would not fit, or the library's logfile.txt cannot be written
      (or takes no more lines, so that a format or backup has an unknown outcome)
  74  the handheld stopped answering during a run (status 102; the library's log says why), did not
      confirm a format or sent its read-back incomplete, or reported an empty area for a backup
 130  interrupted by Ctrl-C)"
#ifdef _WIN32
         R"( (149 Ctrl-Break; 129 the console window closed))"
#else
         R"( (143 SIGTERM, 131 SIGQUIT or Ctrl-\, 129 SIGHUP: a closed terminal))"
#endif
         R"(: what the
      step cut off may have left is said, and the library's log named. Once the handheld has confirmed
      a format of type 3, its read-back is finished first (a second Ctrl-C stops at once).
On a failure once the library is loaded, the path of its log, logfile.txt, is printed.

Environment: DRAVIK_LIBRARY (the library), DRAVIK_HANDHELD_DIR (the virtual handheld's directory))"
#ifdef _WIN32
         R"(.)";
#else
         R"(,
DRAVIK_HOST_PROFILE (the simulated host), DRAVIK_CLOCK_SCALE (faster platform clock, for tests).)";
#endif
}

int ParseCommandLine(int argc, const char* const* argv, CommandLine* out) {
  CLI::App app{"dravik-update: flashes images into the handheld through the Dravik library, verifies them, "
               "takes backups and shows what the host sees.",
               "dravik-update"};
  app.fallthrough();
  app.footer(HelpFooter());
  app.require_subcommand(0, 1);

  CommandLine cl;
  std::map<const CLI::Option*, uint16_t> feature_of;
  std::vector<std::string> values[5];
  const auto& features = Features();
  for (size_t i = 0; i < features.size(); ++i) {
    const Feature& f = features[i];
    std::string help = "flash the " + std::string(f.label) + " image (feature id " + std::to_string(f.id) + ")";
    if (f.id == 3) help = "flash the OS or GSM image (feature id 3; up to 6 MiB it goes to GSM)";
    auto* opt = app.add_option(std::string("--") + f.option, values[i], help)
                    ->type_name("FILE[:HEADERLEN]")
                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    feature_of[opt] = f.id;
  }
  auto* format_opt = app.add_option("--format", cl.format_type, "format the disk before flashing: type 0, 3 or 4")
                         ->type_name("TYPE");
  auto* format_backup_opt = app.add_option("--format-backup", cl.format_backup, "where format type 3 stores the 65,536 bytes it reads back")
      ->type_name("FILE");
  std::vector<std::string> then_backup;
  auto* then_backup_opt =
      app.add_option("--then-backup", then_backup,
                     "after flashing and verifying, before the reboot: save a backup of TYPE into FILE")
          ->expected(2)
          ->type_name("TYPE FILE");
  std::string verify = "auto";
  app.add_option("--verify", verify,
                 "check the handheld after flashing: auto (storage with --handheld-dir, else read-back; a real "
                 "handheld is always read back), storage, readback or none")
      ->type_name("MODE")
      ->check(CLI::IsMember({"auto", "storage", "readback", "none"}));
  bool no_verify = false;
  app.add_flag("--no-verify", no_verify, "do not check the handheld after flashing");
  app.add_option("--handheld-dir", cl.handheld_dir, "the virtual handheld's directory, for the storage check")
      ->envname("DRAVIK_HANDHELD_DIR")
      ->type_name("DIR");
  auto* port_opt =
      app.add_option("--port", cl.port, "a real handheld on this USB-serial tty (Linux), e.g. /dev/ttyACM0")
          ->type_name("TTY");
  auto* host_class_opt =
      app.add_option("--host-class", cl.host_class,
                     "the simulated host's Windows class: 2000, xp or vista (with --port: 2000 or xp; default xp)")
          ->check(CLI::IsMember({"2000", "xp", "vista"}))
          ->type_name("CLASS");
#ifdef _WIN32
  // Both set up the host the Linux build simulates. On Windows they are kept out of the help and, when
  // given, refused with the reason (main), rather than taken as an unknown option.
  port_opt->group("");
  host_class_opt->group("");
#else
  (void)port_opt;
  (void)host_class_opt;
#endif
  app.add_option("--library", cl.library, "the Dravik library to load")->envname("DRAVIK_LIBRARY")->type_name("PATH");
  app.add_option("--log-dir", cl.log_dir, "run in this directory, where the library writes logfile.txt")
      ->type_name("DIR");
  app.add_option("--model", cl.model, "model passed to Client_Initialize (default: the library's model id)");
  app.add_option("--language", cl.language, "language passed to Client_Initialize (default 1)");
  app.add_option("--wait", cl.wait_timeout_s,
                 "give up after this many seconds without a handheld (default 0: wait as long as it takes)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            try {
              if (std::stod(value) >= 0) return "";
            } catch (...) {
            }
            return "give a number of seconds, 0 or more";
          },
          "", "seconds"));
  app.add_flag("-q,--quiet", cl.quiet, "no progress display; only warnings, errors and the summary");
  app.add_flag("--plain", cl.plain, "plain progress lines even on a terminal");

  auto* backup = app.add_subcommand("backup", "save a backup of one area of the handheld into FILE");
  std::string backup_type = "0";  // taken as text: a word there is answered with the types there are
  backup->add_option("TYPE", backup_type, "0 EBOOT, 1 IPL, 2 OS, 3 GSM, 4 EXTROM")->required();
  backup->add_option("FILE", cl.backup_file, "the file to write")->required();
  auto* info = app.add_subcommand("info", "show the library version, model id, OS version and language, components");
  auto* list = app.add_subcommand("list", "show the handhelds the host sees, the way the library searches for them");
  auto* flash = app.add_subcommand("flash", "flash the images given (the default when images are given)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return kExitOk;
    }
    std::string message = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
      // CLI11 names the extras last first; they are named here in the order given.
      std::vector<std::string> extras = app.remaining();
      for (CLI::App* sub : app.get_subcommands()) {
        for (const std::string& w : sub->remaining()) extras.push_back(w);
      }
      std::vector<std::string> in_order;
      for (int i = 1; i < argc; ++i) {
        if (std::find(extras.begin(), extras.end(), argv[i]) != extras.end()) in_order.push_back(argv[i]);
      }
      if (!in_order.empty()) message = UnexpectedArguments(app, in_order);
    }
    std::fprintf(stderr, "dravik-update: %s\nRun with --help for the options and examples.\n", message.c_str());
    return kExitUsage;
  }

  auto usage = [](const std::string& msg) {
    std::fprintf(stderr, "dravik-update: %s\nRun with --help for the options and examples.\n", msg.c_str());
    return kExitUsage;
  };

  // Images in the order given on the command line, across the five options.
  std::map<const CLI::Option*, size_t> taken;
  for (const CLI::Option* opt : app.parse_order()) {
    auto it = feature_of.find(opt);
    if (it == feature_of.end()) continue;
    size_t index = 0;
    for (size_t i = 0; i < features.size(); ++i) {
      if (features[i].id == it->second) index = i;
    }
    size_t n = taken[opt]++;
    if (n >= values[index].size()) continue;
    ImageArgument arg;
    std::string error;
    if (!ParseImageArgument(values[index][n], it->second, &arg, &error)) return usage(error);
    cl.images.push_back(arg);
  }

  if (*backup) cl.command = Command::Backup;
  else if (*info) cl.command = Command::Info;
  else if (*list) cl.command = Command::List;
  else cl.command = Command::Flash;
  (void)flash;

  cl.format = format_opt->count() > 0;
  // An empty name would leave the library writing a file named only by the temporary suffix.
  if (format_backup_opt->count() > 0 && cl.format_backup.empty()) {
    return usage("--format-backup: the file name is empty; name the file the format's read-back goes into");
  }
  if (*backup && cl.backup_file.empty()) return usage("backup: the file name is empty; name the file to write");
  if (then_backup_opt->count() > 0) {
    if (cl.command != Command::Flash) return usage("--then-backup goes with images to flash");
    char* end = nullptr;
    long type = std::strtol(then_backup[0].c_str(), &end, 10);
    if (then_backup[0].empty() || *end != '\0' || !IsValidBackupType(static_cast<int>(type))) {
      return usage("--then-backup: backup type " + then_backup[0] +
                   " does not exist: use 0 (EBOOT), 1 (IPL), 2 (OS), 3 (GSM) or 4 (EXTROM)");
    }
    if (then_backup[1].empty()) return usage("--then-backup: the file name is empty; name the file to write");
    cl.then_backup = true;
    cl.backup_type = static_cast<int>(type);
    cl.backup_file = then_backup[1];
  }
  cl.verify = no_verify ? VerifyMode::None
              : verify == "storage"  ? VerifyMode::Storage
              : verify == "readback" ? VerifyMode::ReadBack
              : verify == "none"     ? VerifyMode::None
                                     : VerifyMode::Auto;

  if (cl.command == Command::Flash) {
    if (cl.images.empty()) {
      return usage("nothing to flash: give at least one image (--eboot, --ipl, --os, --asset, --extrom FILE[:HEADERLEN])");
    }
    if (cl.format && !IsValidFormatType(cl.format_type)) {
      return usage("format type " + std::to_string(cl.format_type) + " does not exist: use 0, 3 or 4");
    }
    if (cl.format && cl.format_type == 3 && cl.format_backup.empty()) {
      return usage("format type 3 reads 65,536 bytes back: name their file with --format-backup FILE");
    }
    if (!cl.format_backup.empty() && !(cl.format && cl.format_type == 3)) {
      return usage("--format-backup goes with --format 3");
    }
    if (cl.verify == VerifyMode::Storage && cl.handheld_dir.empty()) {
      return usage("--verify storage needs the virtual handheld's directory (--handheld-dir or DRAVIK_HANDHELD_DIR)");
    }
  } else {
    if (!cl.images.empty()) return usage("images are flashed without a command; drop the command or the images");
    if (cl.format) return usage("--format goes with images to flash");
    if (!cl.format_backup.empty()) return usage("--format-backup goes with --format 3 and images to flash");
  }
  if (cl.command == Command::Backup) {
    char* end = nullptr;
    const long type = std::strtol(backup_type.c_str(), &end, 10);
    if (backup_type.empty() || *end != '\0' || !IsValidBackupType(static_cast<int>(type))) {
      return usage("backup type " + backup_type + " does not exist: use 0 (EBOOT), 1 (IPL), 2 (OS), 3 (GSM) or 4 (EXTROM)");
    }
    cl.backup_type = static_cast<int>(type);
  }
  *out = cl;
  return -1;
}

}  // namespace dravik_update
