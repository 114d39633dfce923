#include "session.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "../platform/win32.h"
#include "discovery.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "job_follower.h"
#include "native_path.h"
#include "output_file.h"
#include "stall_guard.h"

namespace dravik_update {

namespace fs = std::filesystem;

namespace {

// What an interrupt may have left behind, by the step it cut off.
const char kNothingSent[] = "no handheld had been found yet: nothing was sent to it";
const char kFormatInterrupted[] =
    "if the format had begun, the handheld's disk may be half formatted: leave the handheld in bootloader mode "
    "and run the same command again";
// A format of type 3 whose command the handheld took: it erases the area before it confirms the format,
// and then sends the copy of what the area held.
const char kFormat3Sent[] =
    "the handheld took the format command (type 3), so its disk may be formatted already, and the copy of what "
    "it erased, which it sends once done, did not come: the same command, run again, would then save erased "
    "data as the backup. First save what GSM holds with dravik-update backup 3 FILE (its first 65,536 bytes are "
    "what the format reads back) and keep it";
const char kFormat3Confirmed[] =
    "the handheld's disk is formatted already (type 3: its GSMFFS area is erased), and the copy of what the area "
    "held was still being read back";
const char kFormat3ConfirmedAdvice[] =
    "the same command, run again, would format again and save erased data as the backup: to flash, run the "
    "command again without --format and --format-backup";
const char kFormat3Held[] =
    "the handheld's disk is formatted already and the copy of what it erased is being read back, the only one "
    "there is: the tool finishes reading it first (64 KiB, seconds at most), then stops. Ctrl-C again stops at "
    "once, with the copy incomplete.";
const char kFlashInterrupted[] =
    "if the flashing had begun, the handheld holds an incomplete image: leave it in bootloader mode and run "
    "the same command again";
const char kCheckInterrupted[] =
    "every image was sent, the check of the handheld did not finish; it is still in bootloader mode";
const char kBackupInterrupted[] = "the backup was not written (a file of that name from before is left as it was)";
// kFlashInterrupted once a format of type 3 has saved its read-back, which the same command would not
// take again: the text names the file (a buffer that lives as long as the program).
char g_flash_after_format_interrupted[1200];
// A --then-backup cut off: what the run had found before it (a buffer that lives as long as the program).
char g_then_backup_interrupted[8192];

// What to do after a format of type 3 that the handheld confirmed: its area is erased, and `copy` holds
// what was read back of it (`whole`: all of it; empty: nothing came). The failures and the interrupts
// that follow the format say it alike.
std::string FormattedDiskAdvice(const std::string& copy, bool whole) {
  if (whole) {
    return "The disk is formatted already (its GSMFFS area erased), and the whole copy of what the area held is "
           "saved to " + copy + ": keep it. To flash, run the command again without --format and --format-backup.";
  }
  return std::string("The disk is formatted already (its GSMFFS area erased)") +
         (copy.empty() ? ", and nothing of what the area held was received"
                       : "; what was read back of it is in " + copy + ", the only copy there is: keep it") +
         ". The same command, run again, would format again and save erased data as the backup: to flash, run the "
         "command again without --format and --format-backup.";
}

// "…" in UTF-8; a Windows console shows text in its own code page, where those bytes are garbage.
#ifdef _WIN32
#define DRAVIK_ELLIPSIS "..."
#else
#define DRAVIK_ELLIPSIS "\xE2\x80\xA6"
#endif

const char kWaitingText[] = "waiting for the handheld in bootloader mode" DRAVIK_ELLIPSIS;

// After this long (on the platform's clock) without a handheld, or at 0 %, the user is asked about it.
constexpr DWORD kNoAnswerQuestionMs = 30000;
// A run whose progress has not moved for this long is given up on.
constexpr DWORD kStallLimitMs = 20 * 60 * 1000;

ClientResult Fresh() {
  ClientResult r;
  std::memset(&r, 0, sizeof r);
  return r;
}

std::string Ellipsis(const std::string& text) { return text + DRAVIK_ELLIPSIS; }

// The flash worker pauses 1000 ms (on the platform's clock) after the last job's completion and only then
// frees its job list; the link must not be closed under it.
void WaitForWorkerEnd() { Sleep(1500); }

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::string BaseName(const std::string& path) { return NarrowOf(PathOf(path).filename()); }

struct SkippedJob {
  std::string file;
  std::string why;
};

// The jobs the flash worker passed over, from its lines
// "ProcessOneJob(): job FeatureID=<id> FileName=<file> skipped: <why>".
std::vector<SkippedJob> SkippedJobs(const std::vector<std::string>& lines) {
  const std::string head = "ProcessOneJob(): job FeatureID=";
  const std::string name = " FileName=";
  const std::string tail = " skipped: ";
  std::vector<SkippedJob> out;
  for (const std::string& line : lines) {
    if (line.compare(0, head.size(), head) != 0) continue;
    const size_t at = line.find(name);
    const size_t end = line.rfind(tail);
    if (at == std::string::npos || end == std::string::npos || end < at) continue;
    out.push_back({line.substr(at + name.size(), end - at - name.size()), line.substr(end + tail.size())});
  }
  return out;
}

}  // namespace

uint64_t WaitForFinishedFile(const std::string& path, uint64_t expected) {
  uint64_t last = ~0ull;
  int stable = 0;
  for (int i = 0; i < 250; ++i) {
    std::error_code ec;
    uint64_t size = fs::file_size(PathOf(path), ec);
    if (ec) size = 0;
    if (expected != 0 && size == expected) return size;
    stable = size == last ? stable + 1 : 0;
    if (expected == 0 && stable >= 5) return size;
    last = size;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return last == ~0ull ? 0 : last;
}

Session::Session(const DravikExports& exports, const std::string& library_path, ProgressDisplay& ui, LogWatch& log)
    : x_(exports), library_path_(library_path), ui_(ui), log_(log) {}

std::string Session::Text(void (*query)(ClientResult*)) {
  ClientResult r = Fresh();
  query(&r);
  r.szText[sizeof r.szText - 1] = '\0';
  return r.szText;
}

void Session::PrintLogHint() {
  if (log_hint_printed_) return;  // a run that fails twice (a backup after a flash) names it once
  log_hint_printed_ = true;
  ui_.Error("the library's log: " + log_.Path());
}

void Session::PrintWriteFailure() {
  for (const std::string& line : log_.LinesSinceMark()) {
    if (line.find("(): writing the file failed") != std::string::npos ||
        line.find("(): closing the file failed") != std::string::npos) {
      ui_.Error("  the log says: " + line);
    }
  }
}

bool Session::FileWriteFailed() const {
  return log_.SinceMarkContains("(): writing the file failed") || log_.SinceMarkContains("(): closing the file failed");
}

int Session::WriteFailed(const std::string& what, const std::string& note) {
  ui_.Error("error: " + what + " could not be written: the disk is full, or the file is larger than this "
            "process may write (ulimit -f); " + note + ".");
  PrintWriteFailure();
  ui_.Error("Make room for it, then " + AgainAdvice() + ".");
  PrintLogHint();
  return kExitCantCreate;
}

std::chrono::steady_clock::time_point Session::BlockingCall(const std::string& busy_text, double wait_timeout_s,
                                                            const std::function<void()>& call) {
  const std::string waiting = kWaitingText;
  auto text = [this, waiting, busy_text]() -> std::string {
    WatchHeldInterrupt(GetTickCount());  // an interrupt held while a format's read-back ends
    // The link is opened once per call: the search is over for good once the open has ended either way
    // (on a host older than XP the library goes on to log "OpenComPort(): win2k sent garbage packet"
    // lines, which are no search).
    bool searching = false;
    for (const std::string& line : log_.LinesSinceMark()) {
      if (line.find("OpenComPort(): sucessful") != std::string::npos ||
          line.find("OpenComPort(): Fail") != std::string::npos) {
        return busy_text;
      }
      if (line.compare(0, 13, "OpenComPort()") == 0 || line.find("IsWinVerVista") != std::string::npos) {
        searching = true;
      }
    }
    return searching ? waiting : busy_text;
  };
  auto on_timeout = [this, wait_timeout_s]() {
    ui_.Error("error: no handheld was found within " + FormatDuration(wait_timeout_s) +
              " (minutes:seconds). Connect it in bootloader mode and check `dravik-update list`.");
    PrintLogHint();
    std::fflush(nullptr);
    CleanUpBeforeExit();  // the file a backup was to be received into
    SayServicesHint();
    std::_Exit(kExitDeviceUnavailable);
  };
  // Without --wait the library looks for the handheld for ever: after a while, say so even with --quiet.
  auto on_long_wait = [this]() {
    ui_.Warning("no handheld found for " + std::to_string(kNoAnswerQuestionMs / 1000) +
                " s: is it connected, in bootloader mode? `dravik-update list` shows what the host sees. The "
                "library goes on looking for it (--wait SECONDS gives up); Ctrl-C stops the tool.");
  };
  ProgressDisplay::Waiting indicator(ui_, text, wait_timeout_s, waiting, on_timeout, kNoAnswerQuestionMs,
                                     on_long_wait);
  call();
  return std::chrono::steady_clock::now();  // taken before the indicator's thread is stopped
}

Session::RunEnd Session::FollowRun(const std::function<std::string(uint32_t)>& label,
                                   const std::function<uint64_t()>& total_bytes,
                                   std::chrono::steady_clock::time_point started, double* seconds) {
  StallGuard guard(GetTickCount(), PollIntervalTicks());
  // A handheld that does not answer at all (not in bootloader mode: booted into its OS) leaves the run at
  // 0 % while the library waits for it without a limit; after half a minute of the library's clock the
  // user is asked about it once.
  bool asked = false;
  // Recent (time, bytes) figures: the rate shown is that of the last few seconds, so that the pauses
  // between jobs and the wait for the first packet do not drag it down for the rest of the run.
  std::deque<std::pair<double, uint64_t>> recent;
  // The library caps a run's percent at 90 while full packets go out and at 92 for an image's last
  // packet, so the next image of a run starts below what the last one showed: what is shown never goes
  // back, and waits at the highest figure until the library's passes it.
  int shown = 0;
  for (;;) {
    ClientResult r = Fresh();
    x_.Progress(&r);
    if (r.dwStatus == CLIENT_STATUS_RUN_INCOMPLETE) {
      ui_.End();
      *seconds = SecondsSince(started);
      return RunEnd::Incomplete;
    }
    int percent = static_cast<int>(r.dwValue);
    shown = std::max(shown, std::min(percent, 100));
    ProgressSample s;
    s.percent = shown;
    s.label = label(r.dwFeatureId);
    s.bytes_total = total_bytes();
    s.bytes_done = s.bytes_total * static_cast<uint64_t>(shown) / 100;
    s.seconds = SecondsSince(started);
    recent.emplace_back(s.seconds, s.bytes_done);
    while (recent.size() > 2 && s.seconds - recent.front().first > 3.0) recent.pop_front();
    if (recent.size() >= 2 && s.seconds - recent.front().first > 0.5 && s.bytes_done > recent.front().second) {
      s.rate = static_cast<double>(s.bytes_done - recent.front().second) / (s.seconds - recent.front().first);
    }
    const DWORD now = GetTickCount();
    guard.Poll(now, percent);
    ui_.Update(s);
    if (!asked && percent == 0 && guard.RunningFor(now) >= kNoAnswerQuestionMs) {
      asked = true;
      ui_.Warning("no answer from the handheld for " + std::to_string(kNoAnswerQuestionMs / 1000) +
                  " s: is it in bootloader mode? The library goes on waiting for it; Ctrl-C stops the tool.");
    }
    if (percent >= 100) {
      ui_.End();
      *seconds = s.seconds;
      return RunEnd::Completed;
    }
    if (guard.StillFor(now) >= kStallLimitMs) {
      // The library gives up after 15 minutes without a packet only when a read returns; with its default
      // RTimeout=0 a read on a silent device never does, and then only this guard ends the run.
      ui_.End();
      ui_.Error("error: the progress has not moved for 20 minutes");
      stalled_ = true;
      *seconds = SecondsSince(started);
      return RunEnd::Incomplete;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
  }
}

int Session::OpenFailed() {
  HostView view = LookAtHost();
  const FoundDevice* dev = DeviceTheLibraryOpens(view);
  std::string name = dev ? (dev->opens.empty() ? dev->name : dev->opens) : std::string("the handheld");
  std::string err = log_.LastLineStartingWith("err: ");
  std::string why = name + " could not be opened";
  if (!err.empty()) why = DescribeOpenError(std::atol(err.c_str() + 5), name);
  ui_.Error("error: the handheld was found but could not be opened (status 101): " + why);
  PrintLogHint();
  return kExitDeviceUnavailable;
}

int Session::RunIncomplete(const std::string& what, const std::string& note) {
  if (log_.SinceMarkContains("OpenComPort(): Fail")) return OpenFailed();
  if (stalled_) {
    // The library is still waiting: the tool gives up on it. A tty that is no handheld, opened without
    // time-outs, leaves the library waiting this way.
    return StoppedAnswering("error: the " + what + " made no progress; the handheld does not answer (or the "
                            "tty is not the handheld's), and the library is still waiting for it.",
                            note);
  }
  if (log_.SinceMarkContains("a packet arrived short and the data is out of step")) {
    return StoppedAnswering("error: the " + what + " went out of step with the handheld (a packet arrived short); "
                            "the library ended it before it completed (status 102).",
                            note);
  }
  // Every packet of the image was taken (the last one's acknowledgement may go with the link); the
  // handheld went instead of confirming it. That is how it refuses an image larger than its area, and the
  // same command fails the same way every time. A link lost before the image's last packet is not that,
  // however far the run had come.
  const bool gone_at_the_end =
      log_.SinceMarkContains("WaitForFlashComplete(): the device is gone, no completion received") ||
      (what == "flashing run" &&
       log_.SinceMarkContains("SendImageData(): the device is gone, the image's last packet is not acknowledged"));
  if (gone_at_the_end) {
    return StoppedAnswering("error: the handheld took the whole image but did not confirm it: it dropped the "
                            "link instead (status 102).",
                            note,
                            "A handheld refuses an image larger than its area this way: check the image and its "
                            "header length (FILE:HEADERLEN). If they are right, check the cable and that the "
                            "handheld is still in bootloader mode, then " + AgainAdvice() + ".");
  }
  return StoppedAnswering("error: the handheld stopped answering during the " + what +
                              "; the library ended the run before it completed (status 102).",
                          note);
}

std::string Session::AgainAdvice() const {
  if (!backup_again_.empty()) return backup_again_;
  if (formatted_backup_.empty()) return "run the same command again";
  // The same command would format again and read the erased area back; its --format-backup file now
  // exists and is refused anyway.
  return "run the command again without --format and --format-backup (the handheld's disk was formatted and its "
         "read-back saved as " + formatted_backup_ + ")";
}

int Session::FormatReadBackFailed(OutputFile& saved, uint64_t size) {
  const bool write_failed = FileWriteFailed();
  std::string why;
  if (write_failed) {
    why = "its read-back could not be written into " + saved.WorkingPath() +
          " (the disk is full, or the file is larger than this process may write: ulimit -f)";
  } else if (log_.SinceMarkContains("a packet arrived short and the data is out of step")) {
    why = "the format's read-back went out of step with the handheld (a packet arrived short)";
  } else if (size != 65536) {
    why = "its read-back came to " + FormatCount(size) + " bytes instead of 65,536";
  } else {
    why = "the library did not take the format's read-back for whole";
  }
  ui_.Error("error: the handheld's disk was formatted (type 3), but " + why + "; nothing was flashed.");
  if (write_failed) {
    PrintWriteFailure();
  } else {
    PrintLastLogLines();
  }
  // What was received is all there is of what the format erased: it is kept, under a name that says
  // what it is and that no other file has.
  const std::string kept = saved.KeepIncomplete();
  ui_.Error(saved.Path() + " was not written; " +
            (kept.empty() ? std::string("nothing of the read-back was received")
                          : "what was received (" + FormatCount(size) + " of 65,536 bytes) is kept in " + kept) +
            ".");
  ui_.Error(std::string(write_failed ? "Make room for it" : "Check the cable and that the handheld is still in "
                                                            "bootloader mode") +
            ". " + FormattedDiskAdvice(kept, false));
  PrintLogHint();
  return write_failed ? kExitCantCreate : kExitDeviceStopped;
}

int Session::FormatOutcomeUnknown(int type, OutputFile* saved) {
  ui_.Error("error: the library's log, " + log_.Path() + ", could not be written (nothing was added to it "
            "during the format: is its disk full?), so whether the handheld did the format (type " +
            std::to_string(type) + ") is not known; nothing was flashed.");
  std::string kept;
  if (saved != nullptr) {
    std::error_code ec;
    uint64_t size = fs::file_size(PathOf(saved->WorkingPath()), ec);
    if (ec) size = 0;
    kept = saved->KeepIncomplete();
    ui_.Error(saved->Path() + " was not written; " +
              (kept.empty() ? std::string("nothing of the format's read-back was received")
                            : "what the format read back (" + FormatCount(size) + " of 65,536 bytes) is kept in " +
                                  kept) +
              ".");
  }
  ui_.Error(kept.empty() ? std::string("Make room for the log, then run the same command again.")
                         : "Make room for the log, then run the command again; if the disk was formatted (" + kept +
                               " holds 65,536 bytes), without --format and --format-backup, and keep " + kept + ".");
  return kExitCantCreate;
}

void Session::PrintLastLogLines() {
  // The lines the library wrote last say why (the progress polls excepted).
  std::vector<std::string> why;
  for (const std::string& line : log_.LinesSinceMark()) {
    if (line.compare(0, 17, "Client_Progress()") == 0 || line.empty()) continue;
    why.push_back(line);
  }
  size_t from = why.size() > 3 ? why.size() - 3 : 0;
  for (size_t i = from; i < why.size(); ++i) ui_.Error("  the log says: " + why[i]);
}

int Session::StoppedAnswering(const std::string& headline, const std::string& note, const std::string& advice) {
  ui_.Error(headline);
  PrintLastLogLines();
  if (!note.empty()) ui_.Error(note + ".");
  ui_.Error(!advice.empty() ? advice
                            : "Check the cable and that the handheld is still in bootloader mode, then " +
                                  AgainAdvice() + ".");
  PrintLogHint();
  return kExitDeviceStopped;
}

int Session::Info() {
  ClientResult r = Fresh();
  ui_.Result("library          " + library_path_);
  ui_.Result("library version  " + Text(x_.GetLibraryVersion));
  ui_.Result("model id         " + Text(x_.GetModelID));
  ui_.Result("OS version       " + Text(x_.GetOSVer));
  r = Fresh();
  x_.GetOSLang(&r);
  ui_.Result("OS language      " + std::to_string(r.dwValue));
  std::string components;
  for (uint16_t id : {1, 2, 3, 7, 17}) {
    r = Fresh();
    x_.GetComponentInfo(1, id, "", &r);
    if (r.dwValue != 1) continue;
    r = Fresh();
    x_.GetComponentInfo(2, id, "", &r);
    r.szText[sizeof r.szText - 1] = '\0';
    std::string version = r.szText;
    r = Fresh();
    x_.GetComponentInfo(3, id, version.c_str(), &r);
    ui_.Result("component " + std::to_string(id) + std::string(id < 10 ? "      " : "     ") + "present, version " +
               version + (r.dwValue == 1 ? " (as the library expects)" : " (the library expects another version)"));
  }
  HostView view = LookAtHost();
  ui_.Result("host class       " + HostClassName(view.major, view.minor) + " (Windows " + std::to_string(view.major) +
             "." + std::to_string(view.minor) + "), driver setting " + std::to_string(view.driver));
  ui_.Result("log              " + log_.Path());
  return kExitOk;
}

bool Session::ReadBack(const CheckedImage& image, int type, AreaCheck* check, int* exit_code) {
  ScratchDirectory scratch;
  const std::string tmp = scratch.File("verify-" + image.area + ".bin");
  if (tmp.empty()) {
    ui_.Error("error: no temporary directory for the read-back of " + image.area);
    *exit_code = kExitCantCreate;
    return false;
  }
  log_.Mark();
  ClientResult r = Fresh();
  const auto started =
      BlockingCall(Ellipsis("reading " + image.area + " back"), 0, [&] { x_.BackUp(type, tmp.c_str(), &r); });
  double seconds = 0;
  uint64_t fixed = FixedBackupSize(type);
  RunEnd end = FollowRun([&](uint32_t) { return "reading back " + image.area; },
                         [&] { return fixed ? fixed : static_cast<uint64_t>(image.payload_size); }, started,
                         &seconds);
  if (end == RunEnd::Incomplete) {
    std::remove(tmp.c_str());
    *exit_code = FileWriteFailed() ? WriteFailed("the read-back of " + image.area + " into " + tmp,
                                                 "the handheld still holds the images; it was not verified")
                                   : RunIncomplete("read-back of " + image.area);
    return false;
  }
  uint64_t size = WaitForFinishedFile(tmp, fixed);
  FILE* f = std::fopen(tmp.c_str(), "rb");
  std::vector<uint8_t> stored(size);
  if (f != nullptr) {
    stored.resize(std::fread(stored.data(), 1, stored.size(), f));
    std::fclose(f);
  }
  std::remove(tmp.c_str());
  // A backup type of a fixed size may cover only the start of a longer image (or more than it), and is
  // compared over the image's length; the others read back what the handheld says the area holds, which
  // must be the image: less than was flashed, or more, is a failed check.
  const uint64_t covered = fixed ? std::min<uint64_t>(fixed, image.payload_size) : image.payload_size;
  *check = CompareArea(image, stored, covered, /*whole_area=*/fixed == 0);
  if (stored.size() < image.payload_size && check->checked && check->matches) {
    check->note = "a backup of " + image.area + " is " + FormatCount(stored.size()) + " bytes long";
  }
  return true;
}

int Session::Flash(const FlashRequest& req) {
  SetInterruptNote(kNothingSent);
  ClientResult r = Fresh();
  std::string version = Text(x_.GetLibraryVersion);
  std::string model_id = Text(x_.GetModelID);
  Text(x_.GetOSVer);
  r = Fresh();
  x_.GetOSLang(&r);
  ui_.Info("Dravik " + version + " (" + library_path_ + "), model " + model_id);

  std::string model = req.model.empty() ? model_id : req.model;
  r = Fresh();
  x_.Initialize(model.c_str(), req.language, &r);
  r = Fresh();
  x_.ValidateROM(0, 0, &r);
  r = Fresh();
  x_.VerifyExterns(&r);

  // From the first queued job until Client_Shutdown, every way out closes the link, which also frees
  // the jobs a run did not consume (after status 101 they stay queued in the library).
  struct LinkCloser {
    const DravikExports& x;
    const bool& stalled;  // the library's thread still waits inside it: the link is not for us to close
    bool armed = true;
    ~LinkCloser() {
      if (armed && !stalled) x.CloseComPort();
    }
  } closer{x_, stalled_};

  uint64_t total = 0;
  for (const CheckedImage& img : req.images) {
    r = Fresh();
    x_.QueueJob(img.arg.feature, img.arg.path.c_str(), img.arg.header_len, &r);
    total += img.payload_size;
    std::string line = "queued " + img.area + std::string(img.area.size() < 6 ? 6 - img.area.size() : 0, ' ') + "  " +
                       img.arg.path + "  " + FormatCount(img.payload_size) + " bytes";
    if (img.arg.header_len > 0) line += " (after a header of " + FormatCount(img.arg.header_len) + ")";
    ui_.Info(line);
  }

  // A tty the user may not open is reported before anything is sent.
  HostView view = LookAtHost();
  if (const FoundDevice* dev = DeviceTheLibraryOpens(view)) {
    std::string problem = PermissionProblem(*dev);
    if (!problem.empty()) {
      ui_.Error("error: " + problem);
      PrintLogHint();
      return kExitDeviceUnavailable;
    }
  }

  std::string format_note;
  if (req.format) {
    std::unique_ptr<OutputFile> saved;
    if (req.format_type == 3) {
      // The read-back may be the only copy of what the format erases: it never replaces a file.
      saved = std::make_unique<OutputFile>(req.format_backup, OutputFile::Existing::Keep);
      std::string error;
      if (!saved->Begin(&error)) {
        ui_.Error("error: " + error);
        return kExitCantCreate;
      }
    }
    log_.Mark();
    // How far the format had come shows in the log: the handheld found, its command taken, the format
    // confirmed (the area erased); from then on the read-back of type 3 is let finish.
    if (saved) {
      SetInterruptStages(log_.MarkedLength(), {{nullptr, kNothingSent},
                                               {"OpenComPort(): sucessful", kFormatInterrupted},
                                               {"SendFormatDisk(): USBReadPacket", kFormat3Sent},
                                               {"SendFormatDisk(): receive format ok", kFormat3Confirmed,
                                                kFormat3ConfirmedAdvice, kFormat3Held}});
    } else {
      SetInterruptStages(log_.MarkedLength(),
                         {{nullptr, kNothingSent}, {"OpenComPort(): sucessful", kFormatInterrupted}});
    }
    BlockingCall(Ellipsis("formatting the disk (type " + std::to_string(req.format_type) + ")"), req.wait_timeout_s,
                 [&] {
                   r = Fresh();
                   if (req.format_type == 0) {
                     x_.FormatDisk(&r);
                   } else {
                     x_.FormatDiskEx(req.format_type, saved ? saved->WorkingPath().c_str() : "", &r);
                   }
                 });
    // An interrupt during the read-back was held until the copy is saved (or kept) as below.
    const int format_code = [&]() -> int {
      if (log_.SinceMarkContains("OpenComPort(): Fail")) return OpenFailed();
      if (saved && log_.SinceMarkContains("ReadBackup(): Open File")) {
        ui_.Error("error: the library could not create the format backup file " + saved->WorkingPath());
        PrintLogHint();
        return kExitCantCreate;
      }
      // The format call reports nothing: only the library's log says whether the handheld confirmed it.
      if (!log_.SinceMarkContains("SendFormatDisk(): receive format ok")) {
        if (!log_.GrewSinceMark()) return FormatOutcomeUnknown(req.format_type, saved.get());
        // A type 3 command the handheld took may have erased the area already: running the same command
        // again would then save erased data as the backup.
        const bool taken = saved && log_.SinceMarkContains("SendFormatDisk(): USBReadPacket");
        return StoppedAnswering("error: the handheld did not report the format (type " +
                                    std::to_string(req.format_type) + ") done; nothing was flashed.",
                                saved ? saved->NotWritten() : "",
                                taken ? std::string("Careful: ") + kFormat3Sent + "." : std::string());
      }
      format_note = "format type " + std::to_string(req.format_type) + " done";
      if (saved) {
        // The format call returns once its read-back has ended and the file is closed. A read-back of the
        // right size may still be out of step with the handheld (a packet that came short); the library
        // says it is whole only when it is.
        std::error_code ec;
        uint64_t size = fs::file_size(PathOf(saved->WorkingPath()), ec);
        if (ec) size = 0;
        if (size != 65536 || !log_.SinceMarkContains("ReadBackup(): Get Backup Done!")) {
          return FormatReadBackFailed(*saved, size);
        }
        std::string error;
        if (!saved->Commit(&error)) {
          ui_.Error("error: the handheld's disk was formatted (type 3), but " + error + "; nothing was flashed.");
          formatted_backup_ = saved->WorkingPath();
          ui_.Error("Move it into place, then " + AgainAdvice() + ".");
          PrintLogHint();
          return kExitCantCreate;
        }
        formatted_backup_ = req.format_backup;
        std::snprintf(g_flash_after_format_interrupted, sizeof g_flash_after_format_interrupted,
                      "if the flashing had begun, the handheld holds an incomplete image: leave it in bootloader "
                      "mode. Its disk was formatted and the read-back saved as %s: run the command again without "
                      "--format and --format-backup",
                      req.format_backup.c_str());
        format_note += ", its 65,536-byte backup saved to " + req.format_backup;
      }
      // What the format left is known now: an interrupt from here on ends the tool at once and says so.
      SetInterruptNote(saved ? g_flash_after_format_interrupted : kFlashInterrupted);
      ui_.Info(format_note);
      return kExitOk;
    }();
    if (const int sig = EndHeldInterrupts()) {
      ui_.Error(std::string("interrupted (") + SignalName(sig) +
                "): the format's read-back was let finish first; nothing was flashed.");
      if (format_code == kExitOk) ui_.Error(FormattedDiskAdvice(formatted_backup_, true));
      PrintLogHint();
      return ExitCodeOfSignal(sig);
    }
    if (format_code != kExitOk) return format_code;
  }

  VerifyMode mode = req.verify;
  if (mode == VerifyMode::Auto) mode = req.handheld_dir.empty() ? VerifyMode::ReadBack : VerifyMode::Storage;
  // Which files the areas are before the flash: the check afterwards tells an area this run wrote from
  // one that held the image already.
  const AreaFiles before = mode == VerifyMode::Storage ? RecordAreaFiles(req.images, req.handheld_dir) : AreaFiles{};

  log_.Mark();
  if (!req.format) {
    // Nothing reaches the handheld before it is found.
    SetInterruptStages(log_.MarkedLength(),
                       {{nullptr, kNothingSent}, {"OpenComPort(): sucessful", kFlashInterrupted}});
  } else {
    SetInterruptNote(formatted_backup_.empty() ? kFlashInterrupted : g_flash_after_format_interrupted);
  }
  const auto started = BlockingCall(Ellipsis("starting"), req.wait_timeout_s, [&] {
    r = Fresh();
    x_.StartFlash(&r);
  });
  if (r.dwStatus == CLIENT_STATUS_NO_JOB) {
    ui_.Error("error: the library has no job queued (status 901): nothing to flash");
    PrintLogHint();
    return kExitUsage;
  }
  if (r.dwStatus == CLIENT_STATUS_OPEN_FAILED) return OpenFailed();
  if (r.dwStatus != CLIENT_STATUS_OK) {
    ui_.Error("error: the library answered Client_StartFlash with the unknown status " + std::to_string(r.dwStatus));
    PrintLogHint();
    return kExitSoftware;
  }

  // Which job the worker is on: the one the log says it started last, when that job has the feature id
  // the progress reports; else (a log that cannot be read) the next queued job with that feature id.
  JobFollower jobs(log_.Path(), log_.MarkedLength());
  size_t cursor = 0;
  uint32_t last_feature = 0;
  auto label = [&](uint32_t feature) -> std::string {
    if (feature == 0) return "starting";
    const int job = jobs.CurrentJob();
    if (job >= 0 && static_cast<size_t>(job) < req.images.size() && req.images[job].arg.feature == feature) {
      cursor = static_cast<size_t>(job);
      last_feature = feature;
    } else if (feature != last_feature) {
      for (size_t i = (last_feature == 0 ? 0 : cursor + 1); i < req.images.size(); ++i) {
        if (req.images[i].arg.feature == feature) {
          cursor = i;
          break;
        }
      }
      last_feature = feature;
    }
    const CheckedImage& img = req.images[cursor];
    return img.area + " " + BaseName(img.arg.path);
  };
  double seconds = 0;
  RunEnd end = FollowRun(label, [total] { return total; }, started, &seconds);
  if (end == RunEnd::Incomplete) return RunIncomplete("flashing run");
  SetInterruptNote(kCheckInterrupted);
  WaitForWorkerEnd();
  const std::vector<SkippedJob> skipped = SkippedJobs(log_.LinesSinceMark());
  // A rate taken over a fraction of a second says more about the timer than about the link.
  ui_.Info(seconds < kShortestRateWindowS
               ? "flashed " + FormatBytes(total) + " in less than a second"
               : "flashed " + FormatBytes(total) + " in " + FormatDuration(seconds) + " (" +
                     FormatBytes(static_cast<uint64_t>(static_cast<double>(total) / seconds)) + "/s)");

  std::vector<AreaCheck> checks;
  if (mode == VerifyMode::Storage) {
    checks = VerifyAgainstStorage(req.images, req.handheld_dir, before);
  } else if (mode == VerifyMode::ReadBack) {
    for (const CheckedImage* img : ImagesToVerify(req.images)) {
      std::optional<int> type = BackupTypeForArea(img->area);
      AreaCheck check;
      if (!type) {
        check.area = img->area;
        check.image = img->arg.path;
        check.note = "no backup type reads " + img->area + " back";
      } else {
        int code = kExitOk;
        if (!ReadBack(*img, *type, &check, &code)) return code;
      }
      checks.push_back(check);
    }
  }

  bool failed = false;
  for (const AreaCheck& c : checks) failed = failed || (c.checked && !c.matches);
  // An area the library skipped (its image went or shrank after the check) keeps what it held before;
  // one whose image can no longer be read may have been flashed short, and was not checked.
  bool input_failed = !skipped.empty();
  for (const AreaCheck& c : checks) input_failed = input_failed || c.image_unreadable;

  // A backup that fails still leaves the summary to say what the verification found.
  std::string backup_note;
  int backup_code = kExitOk;
  if (req.then_backup) {
    uint64_t size = 0;
    double backup_seconds = 0;
    // An interrupt during the backup says what the run had found before it, and that the handheld stays
    // in bootloader mode.
    std::string found = "the backup type " + std::to_string(req.backup_type) + " (" +
                        BackupTypeArea(req.backup_type) + ") was not written (a file of that name from before is "
                        "left as it was); every image had been sent" +
                        (mode == VerifyMode::None ? std::string(", not verified (--no-verify)")
                                                  : std::string("; what the check found:"));
    for (const SkippedJob& job : skipped) {
      found += "\ndravik-update:   error: the library skipped " + job.file + " (" + job.why + "): not flashed";
    }
    for (const AreaCheck& c : checks) {
      found += std::string("\ndravik-update:   ") +
               (c.checked && !c.matches ? "verification failed: " : c.image_unreadable ? "error: " : "") +
               DescribeCheck(c);
    }
    found += "\ndravik-update: the handheld was left in bootloader mode, not sent back to IPL mode: " +
             (failed ? AgainAdvice() + " to flash it anew"
                     : input_failed ? "put the image of the area not flashed or not checked back in place, then " +
                                          AgainAdvice()
                                    : "take the backup again with dravik-update backup " +
                                          std::to_string(req.backup_type) + " " + req.backup_file);
    std::snprintf(g_then_backup_interrupted, sizeof g_then_backup_interrupted, "%s", found.c_str());
    backup_interrupted_ = g_then_backup_interrupted;
    // The images are sent and checked by now: what is left to do again is the backup alone.
    backup_again_ = "take the backup again with dravik-update backup " + std::to_string(req.backup_type) + " " +
                    req.backup_file;
    backup_code = RunBackup(req.backup_type, req.backup_file, 0, &size, &backup_seconds);
    backup_again_.clear();
    backup_interrupted_ = nullptr;
    backup_note = "backup type " + std::to_string(req.backup_type) + " (" + BackupTypeArea(req.backup_type) +
                  "): " +
                  (backup_code == kExitOk ? FormatCount(size) + " bytes saved to " + req.backup_file
                                          : std::string("failed (above)"));
  }

  // What verification could not see: an area no backup type reads back, or one whose read-back covers
  // only the start of its image. Nothing there was found to differ, and nothing there was seen either.
  const std::string unchecked = mode == VerifyMode::None ? std::string() : UncheckedSummary(checks);

  // A handheld that does not hold its images (or may not: an area not flashed or not checked, whole or
  // in part) stays in bootloader mode, where the same command can flash it again; sent back to IPL mode
  // with a faulty boot image, it might not come back to it. After a backup that failed it stays there
  // too, so that the backup can be taken again.
  const bool reboot = !failed && !input_failed && backup_code == kExitOk && unchecked.empty();
  closer.armed = false;
  if (reboot) {
    x_.Shutdown();
  } else {
    if (!link_closed_ && !stalled_) x_.CloseComPort();
  }
  SetInterruptNote(nullptr);

  ui_.Result("summary");
  for (const CheckedImage& img : req.images) {
    ui_.Result("  " + img.area + std::string(img.area.size() < 6 ? 6 - img.area.size() : 0, ' ') + "  " +
               FormatCount(img.payload_size) + " bytes from " + img.arg.path);
  }
  // The run completes even when the library skipped a job (its file went or shrank after it was
  // checked): that area keeps what it held before.
  for (const SkippedJob& job : skipped) {
    std::string area = "an area";
    for (const CheckedImage& img : req.images) {
      if (img.arg.path == job.file) area = img.area;
    }
    ui_.Error("error: " + area + " was not flashed: the library skipped " + job.file + " (" + job.why + ")");
  }
  if (!format_note.empty()) ui_.Result("  " + format_note);
  if (mode == VerifyMode::None) ui_.Result("  not verified (--no-verify)");
  for (const AreaCheck& c : checks) {
    if (c.checked && !c.matches) {
      ui_.Error("verification failed: " + DescribeCheck(c));
    } else if (c.image_unreadable) {
      ui_.Error("error: " + DescribeCheck(c));
    } else {
      ui_.Result("  " + DescribeCheck(c));
    }
  }
  if (!backup_note.empty()) ui_.Result("  " + backup_note);
  if (reboot) {
    ui_.Result("  the handheld was sent back to IPL mode");
  } else if (failed) {
    ui_.Result("  the handheld was left in bootloader mode: " + AgainAdvice() + " to flash it anew");
  } else if (input_failed) {
    ui_.Result("  the handheld was left in bootloader mode, as an area was not flashed or not checked: put its "
               "image back in place, then " + AgainAdvice());
  } else if (backup_code != kExitOk) {
    ui_.Result("  the handheld was left in bootloader mode: take the backup again with dravik-update backup " +
               std::to_string(req.backup_type) + " " + req.backup_file);
  } else {
    ui_.Result("  the handheld was left in bootloader mode, as " + unchecked +
               ": nothing that was read back differs; restart the handheld to leave bootloader mode");
  }
  if (failed || input_failed || backup_code != kExitOk) {
    PrintLogHint();
    return failed ? kExitVerifyFailed : input_failed ? kExitInputFile : backup_code;
  }
  // Bytes nobody compared are no mismatch (exit 0), but the last line does not claim they were checked.
  if (mode == VerifyMode::None) {
    ui_.Result("done");
  } else if (unchecked.empty()) {
    ui_.Result("done: every area checked holds its image");
  } else {
    ui_.Result("done: nothing that was read back differs from its image, but " + unchecked);
  }
  return kExitOk;
}

int Session::RunBackup(int type, const std::string& path, double wait_timeout_s, uint64_t* size, double* seconds) {
  const std::string area = BackupTypeArea(type);
  const uint64_t fixed = FixedBackupSize(type);
  OutputFile out(path);
  SetInterruptNote(backup_interrupted_ != nullptr ? backup_interrupted_ : kBackupInterrupted);
  std::string begin_error;
  if (!out.Begin(&begin_error)) {
    ui_.Error("error: " + begin_error);
    return kExitCantCreate;
  }
  log_.Mark();
  ClientResult r = Fresh();
  const auto started = BlockingCall(Ellipsis("starting the backup of " + area), wait_timeout_s,
                                    [&] { x_.BackUp(type, out.WorkingPath().c_str(), &r); });
  uint64_t announced = fixed;
  auto total = [&]() -> uint64_t {
    if (announced == 0) {
      std::string line = log_.LastLineStartingWith("SendBackUp(): backup size=");
      if (!line.empty()) announced = std::strtoull(line.c_str() + 26, nullptr, 10);
    }
    return announced;
  };
  RunEnd end = FollowRun([&](uint32_t) { return "backup of " + area; }, total, started, seconds);
  if (end == RunEnd::Incomplete) {
    if (!stalled_) x_.CloseComPort();
    link_closed_ = true;
    if (FileWriteFailed()) return WriteFailed("the backup of " + area + " into " + out.WorkingPath(), out.NotWritten());
    return RunIncomplete("backup of " + area, out.NotWritten());
  }
  // The size the area has, or the one the handheld announced: a file of another size is no backup.
  const uint64_t expected = total();
  if (expected == 0 && !log_.GrewSinceMark()) {
    ui_.Error("error: the library's log, " + log_.Path() + ", could not be written (nothing was added to it "
              "during the backup: is its disk full?), so the size of the backup of " + area + " is not known; " +
              out.NotWritten() + ".");
    ui_.Error("Make room for the log, then run the same command again.");
    return kExitCantCreate;
  }
  if (expected == 0) {
    // An empty file would take the place of a good earlier backup.
    const bool announced_zero = !log_.LastLineStartingWith("SendBackUp(): backup size=").empty();
    ui_.Error("error: " +
              (announced_zero ? "the handheld reports " + area + " as empty (a size of 0)"
                              : "the library's log does not say how large the backup of " + area + " is") +
              "; " + out.NotWritten());
    PrintLogHint();
    return kExitDeviceStopped;
  }
  *size = WaitForFinishedFile(out.WorkingPath(), expected);
  if (*size != expected) {
    ui_.Error("error: the backup of " + area + " came to " + FormatCount(*size) + " bytes instead of " +
              FormatCount(expected) + "; " + out.NotWritten());
    PrintLogHint();
    return kExitDeviceStopped;
  }
  std::string error;
  if (!out.Commit(&error)) {
    ui_.Error("error: " + error);
    return kExitCantCreate;
  }
  SetInterruptNote(nullptr);
  return kExitOk;
}

int Session::Backup(int type, const std::string& path, double wait_timeout_s) {
  std::string version = Text(x_.GetLibraryVersion);
  ui_.Info("Dravik " + version + " (" + library_path_ + ")");
  HostView view = LookAtHost();
  if (const FoundDevice* dev = DeviceTheLibraryOpens(view)) {
    std::string problem = PermissionProblem(*dev);
    if (!problem.empty()) {
      ui_.Error("error: " + problem);
      PrintLogHint();
      return kExitDeviceUnavailable;
    }
  }
  uint64_t size = 0;
  double seconds = 0;
  int code = RunBackup(type, path, wait_timeout_s, &size, &seconds);
  // Every way out closes the link: on Vista and later its opening stopped and disabled the sync
  // software's services, and only CloseComPort starts them again.
  if (!link_closed_ && !stalled_) x_.CloseComPort();
  if (code != kExitOk) return code;
  ui_.Result("backup type " + std::to_string(type) + " (" + BackupTypeArea(type) + "): " + FormatCount(size) +
             " bytes saved to " + path + " in " + FormatDuration(seconds));
  return kExitOk;
}

}  // namespace dravik_update
