// Root passes every file-mode check through two capabilities (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH).
// Tests of what a refused open or write does give them up, so that they run as root too: CI runs as
// root, and a technician's machine does not.
#ifndef DRAVIK_TESTS_SUPPORT_FILE_MODES_H
#define DRAVIK_TESTS_SUPPORT_FILE_MODES_H

namespace testing_support {

// While the object lives, file modes bind the calling thread (capabilities are each thread's own on
// Linux; the others keep theirs). active() is false when they cannot be made to bind.
class FileModesBind {
 public:
  FileModesBind();
  ~FileModesBind();
  FileModesBind(const FileModesBind&) = delete;
  FileModesBind& operator=(const FileModesBind&) = delete;
  bool active() const { return active_; }

 private:
  bool active_ = false;
  bool restore_ = false;
};

// Whether a program started by GiveUpFileModeOverrideForExec's caller is bound by file modes.
bool FileModesBindPrograms();

// For a child between fork and exec: the program it runs is bound by file modes (root's override is
// taken out of the capabilities an exec can grant). Async-signal-safe. False when it cannot be done.
bool GiveUpFileModeOverrideForExec();

}  // namespace testing_support

#endif  // DRAVIK_TESTS_SUPPORT_FILE_MODES_H
