// The update application's work with the library: the exports called in their documented order for an
// information query, a flashing run (queries, initialise, queue, optional format, start, progress,
// verification, shutdown) and a backup; each failure turned into a message and an exit code.
#ifndef DRAVIK_TOOLS_SESSION_H
#define DRAVIK_TOOLS_SESSION_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "library_loader.h"
#include "log_watch.h"
#include "options.h"
#include "output_file.h"
#include "progress.h"
#include "verify.h"

namespace dravik_update {

enum class VerifyMode { Auto, Storage, ReadBack, None };

struct FlashRequest {
  std::vector<CheckedImage> images;
  bool format = false;
  int format_type = 0;
  std::string format_backup;
  VerifyMode verify = VerifyMode::Auto;
  std::string handheld_dir;  // the virtual handheld's directory, empty for a real device
  std::string model;         // empty: the model id the library reports
  int32_t language = 1;
  double wait_timeout_s = 0;  // 0: wait for the handheld as long as it takes
  bool then_backup = false;   // after verifying and before the reboot, save a backup
  int backup_type = 0;
  std::string backup_file;
};

class Session {
 public:
  Session(const DravikExports& exports, const std::string& library_path, ProgressDisplay& ui, LogWatch& log);

  int Info();
  int Flash(const FlashRequest& request);
  int Backup(int type, const std::string& path, double wait_timeout_s);

  // True when a run was given up on while the library's thread still waits inside the library (its
  // progress stood still for 20 minutes): neither its link nor the library itself may be closed under it.
  bool LibraryStillBusy() const { return stalled_; }

 private:
  enum class RunEnd { Completed, Incomplete };

  // Runs a blocking export while the indicator shows the search for the handheld, then `busy_text`.
  // Returns when the export returned (the indicator takes a moment more to end).
  std::chrono::steady_clock::time_point BlockingCall(const std::string& busy_text, double wait_timeout_s,
                                                     const std::function<void()>& call);
  // Polls Client_Progress until 100 or status 102. `started`: when the export that began the run
  // returned; `seconds` the run took from then.
  RunEnd FollowRun(const std::function<std::string(uint32_t feature)>& label,
                   const std::function<uint64_t()>& total_bytes, std::chrono::steady_clock::time_point started,
                   double* seconds);
  int OpenFailed();
  // The run ended with status 102 (or stood still): what stopped it, as the log says; `note` adds what
  // became of a file.
  int RunIncomplete(const std::string& what, const std::string& note = "");
  // The handheld stopped answering: the headline, the library's last lines, the advice and the log path.
  // `advice` replaces the usual one (check the cable, run again) when the cause is known to be another.
  int StoppedAnswering(const std::string& headline, const std::string& note, const std::string& advice = "");
  void PrintLogHint();
  // The library's last lines since the mark, the progress polls left out.
  void PrintLastLogLines();
  // "run the same command again", or, once a format of type 3 has saved its read-back, to run it without
  // the format.
  std::string AgainAdvice() const;
  // The handheld confirmed a format of type 3 but its read-back did not come whole: what was received
  // is kept under a name of its own.
  int FormatReadBackFailed(OutputFile& saved, uint64_t size);
  // The log did not grow during the format: the tool cannot tell whether the handheld did it.
  int FormatOutcomeUnknown(int type, OutputFile* saved);

  // The library logged since the mark that it could not write (or close) the file of a read-back.
  bool FileWriteFailed() const;
  // The library's lines that say so.
  void PrintWriteFailure();
  // A read-back whose file could not be written: said with the library's line; `note` says what became
  // of the user's file.
  int WriteFailed(const std::string& what, const std::string& note);
  std::string Text(void (*query)(ClientResult*));
  bool ReadBack(const CheckedImage& image, int type, AreaCheck* check, int* exit_code);
  // Client_BackUp and its progress; kExitOk with the file's size, or the exit code of the failure.
  int RunBackup(int type, const std::string& path, double wait_timeout_s, uint64_t* size, double* seconds);

  const DravikExports& x_;
  std::string library_path_;
  ProgressDisplay& ui_;
  LogWatch& log_;
  bool stalled_ = false;  // the last run ended because its progress stood still, not with status 102
  bool link_closed_ = false;  // a backup that did not complete closed the link at once
  std::string backup_again_;      // while a backup follows a flash: the advice to take it again
  const char* backup_interrupted_ = nullptr;  // and what an interrupt of it says (the run's results)
  bool log_hint_printed_ = false;
  std::string formatted_backup_;  // where the read-back of this run's format of type 3 was saved
};

// Waits until a file the library's backup thread is finishing has its final size: `expected` bytes when
// known, otherwise a size that stays the same for a moment. Returns the size.
uint64_t WaitForFinishedFile(const std::string& path, uint64_t expected);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_SESSION_H
