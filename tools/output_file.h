// Files the library writes for the tool. One the user named (a backup, the format's read-back) is written
// under a temporary name beside it and put in place only once it is whole: a run that ends early leaves
// neither a truncated file that looks like a backup nor a damaged earlier one. One only the tool reads (a
// verification's read-back) goes into a private directory of its own.
#ifndef DRAVIK_TOOLS_OUTPUT_FILE_H
#define DRAVIK_TOOLS_OUTPUT_FILE_H

#include <cstdint>
#include <string>

namespace dravik_update {

// The longest path the library takes for a backup or a format's read-back.
constexpr size_t kMaxBackupPathLength = 511;
// The bytes a format of type 3 reads back (the GSMFFS area).
constexpr uint64_t kFormatBackupSize = 65536;

class OutputFile {
 public:
  // Whether the finished file may take the place of an existing file of the user's name.
  enum class Existing { Replace, Keep };
  explicit OutputFile(std::string path, Existing existing = Existing::Replace);
  ~OutputFile();  // removes the temporary file unless it was put in place
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The user's file, and the temporary one the library is given ("FILE.partial-PID", of this process).
  const std::string& Path() const { return path_; }
  const std::string& WorkingPath() const { return working_; }

  // Before the run: creates the temporary file, under a name no other file has (another run's file is
  // left alone). False, with *error, when it cannot be created.
  bool Begin(std::string* error);
  // The file is whole: it takes the user's name (with Existing::Keep only when no file has it). False,
  // with *error, when that fails (the temporary file is left for the user then, and the error names it).
  bool Commit(std::string* error);
  // What became of the user's file when the run did not complete (the temporary file is removed).
  std::string NotWritten();
  // The run did not complete, but what was received is to be kept: it is given a name no other file has,
  // "FILE.incomplete" (or "FILE.incomplete-2", ...), which is returned; empty when nothing was received.
  std::string KeepIncomplete();

 private:
  std::string path_;
  std::string working_;
  Existing existing_;
  bool existed_ = false;
  bool created_ = false;
  bool committed_ = false;
};

// A directory of the tool's own for files the library writes only for the tool to read (the read-back of
// an area for verification): made afresh under the system's temporary directory, readable by this user
// alone (on Windows, the user's own temporary directory), and removed with what it holds.
class ScratchDirectory {
 public:
  ScratchDirectory() = default;
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The path of `name` in the directory, made at the first call; empty when it cannot be made.
  std::string File(const std::string& name);

 private:
  std::string dir_;
};

// Whether the tool may write `path` before anything is sent: it is not a directory, an existing file is
// writable, its directory takes new files, and its temporary name fits the library. Creates nothing that
// stays. On false, *error says why.
bool CanWriteOutput(const std::string& path, std::string* error);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_OUTPUT_FILE_H
