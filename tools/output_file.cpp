#include "output_file.h"

#include "interrupt.h"
#include "native_path.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <ctime>
#else
#include <unistd.h>
#endif

namespace dravik_update {

namespace fs = std::filesystem;

namespace {

const char kWorkingSuffix[] = ".partial-";

long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(_getpid());
#else
  return static_cast<long>(::getpid());
#endif
}

// "FILE.partial-PID": a name of this run's own, so that a second run beside it (for the same FILE)
// neither removes nor writes into the file this one is receiving.
std::string WorkingPathOf(const std::string& path) { return path + kWorkingSuffix + std::to_string(ProcessId()); }

// Creates `path` only when no file of that name exists; 0 or the errno value.
int CreateExclusively(const std::string& path) {
#ifdef _WIN32
  int fd = _open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return errno;
  _close(fd);
#else
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  ::close(fd);
#endif
  return 0;
}

// Renames `from` to `to` only when no file is called `to`; false with *ec otherwise.
bool RenameNoReplace(const std::string& from, const std::string& to, std::error_code* ec) {
#ifdef _WIN32
  // Windows' rename does not replace an existing file.
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *ec = std::error_code(errno, std::generic_category());
  return false;
#else
  // A second name that cannot exist twice, then the first name goes.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  const int err = errno;
  if (err == EEXIST) {
    *ec = std::error_code(err, std::generic_category());
    return false;
  }
  // A file system without hard links: a rename once nothing is there.
  std::error_code exists_ec;
  if (fs::exists(PathOf(to), exists_ec) || exists_ec) {
    *ec = std::error_code(EEXIST, std::generic_category());
    return false;
  }
  fs::rename(PathOf(from), PathOf(to), *ec);
  return !*ec;
#endif
}

}  // namespace

OutputFile::OutputFile(std::string path, Existing existing)
    : path_(std::move(path)), working_(WorkingPathOf(path_)), existing_(existing) {
  std::error_code ec;
  existed_ = fs::exists(PathOf(path_), ec);
}

OutputFile::~OutputFile() {
  SetInterruptCleanup("");
  if (created_ && !committed_) std::remove(working_.c_str());
}

bool OutputFile::Begin(std::string* error) {
  // A file of this name can only be left by an earlier process that had this one's id: it is not
  // touched (it may still hold what it received), and the next free name is taken instead.
  const std::string base = WorkingPathOf(path_);
  int err = 0;
  for (int n = 1; n <= 9; ++n) {
    const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    if (name.size() > kMaxBackupPathLength) break;
    err = CreateExclusively(name);
    if (err == 0) {
      working_ = name;
      created_ = true;
      // An interrupted run leaves no partial file either; but a file that must not replace one may be
      // the only copy of what it holds, and what it received is kept.
      SetInterruptCleanup(working_, "", existing_ == Existing::Keep);
      return true;
    }
    if (err != EEXIST) break;
  }
  *error = "cannot create " + base + " to receive " + path_ + " (" +
           (err == 0 ? std::string("its name is too long") : std::strerror(err)) + ")";
  return false;
}

bool OutputFile::Commit(std::string* error) {
  // The interrupt's clean-up stays armed until the file has its name: an interrupt in between then finds
  // no working file to remove, where one before the rename would have left it behind unnamed.
  std::error_code ec;
  if (existing_ == Existing::Keep) {
    RenameNoReplace(working_, path_, &ec);
  } else {
    fs::rename(PathOf(working_), PathOf(path_), ec);
  }
  SetInterruptCleanup("");
  committed_ = true;
  if (ec) {
    // Keep what was received: the user can still move it into place.
    *error = "the file received could not be put in place as " + path_ + " (" + ec.message() + "); it is in " +
             working_;
    return false;
  }
  return true;
}

std::string OutputFile::KeepIncomplete() {
  if (!created_ || committed_) {
    SetInterruptCleanup("");
    return "";
  }
  committed_ = true;
  std::error_code ec;
  const uint64_t size = fs::file_size(PathOf(working_), ec);
  if (ec || size == 0) {
    SetInterruptCleanup("");
    std::remove(working_.c_str());
    return "";
  }
  // As in Commit, the clean-up is given up only once the file has the name it is kept under.
  std::string kept = working_;  // the name it was received in, when no other can be had
  for (int n = 1; n <= 9; ++n) {
    const std::string name = path_ + ".incomplete" + (n == 1 ? std::string() : "-" + std::to_string(n));
    ec.clear();
    if (RenameNoReplace(working_, name, &ec)) {
      kept = name;
      break;
    }
    if (ec.value() != EEXIST) break;
  }
  SetInterruptCleanup("");
  return kept;
}

std::string OutputFile::NotWritten() {
  SetInterruptCleanup("");
  if (created_ && !committed_) std::remove(working_.c_str());
  committed_ = true;  // nothing left to remove
  return existed_ ? path_ + " is left as it was; what was received is discarded"
                  : path_ + " was not written; what was received is discarded";
}

ScratchDirectory::~ScratchDirectory() {
  if (dir_.empty()) return;
  SetInterruptCleanup("");
  std::error_code ec;
  fs::remove_all(PathOf(dir_), ec);
}

std::string ScratchDirectory::File(const std::string& name) {
  if (dir_.empty()) {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return "";
#ifdef _WIN32
    // The process id keeps two runs started in the same second apart.
    fs::path dir = base / ("dravik-" + std::to_string(static_cast<long>(std::time(nullptr))) + "-" +
                           std::to_string(ProcessId()));
    if (!fs::create_directory(dir, ec) || ec) return "";
    dir_ = NarrowOf(dir);
#else
    // mkdtemp makes a new directory of mode 0700 under a name nobody could have taken before: nothing
    // another user put in the shared temporary directory is written through.
    std::string pattern = NarrowOf(base / "dravik-XXXXXX");
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return "";
    dir_ = buf.data();
#endif
  }
  const std::string file = NarrowOf(PathOf(dir_) / name);
  SetInterruptCleanup(file, dir_);
  return file;
}

bool CanWriteOutput(const std::string& path, std::string* error) {
  const std::string working = WorkingPathOf(path);
  if (working.size() > kMaxBackupPathLength) {
    *error = "the path " + path + " is longer than the library takes (" + std::to_string(kMaxBackupPathLength) +
             " characters with \"" + kWorkingSuffix + std::to_string(ProcessId()) + "\"); use a shorter one";
    return false;
  }
  std::error_code ec;
  fs::file_status st = fs::status(PathOf(path), ec);
  if (fs::is_directory(st)) {
    *error = "cannot create " + path + ": it is a directory";
    return false;
  }
  // A pipe would hold the check itself up until something read it; a device or a socket is no file to
  // keep a backup in.
  if (fs::exists(st) && !fs::is_regular_file(st)) {
    *error = "cannot create " + path + ": it is not a regular file (a pipe, a device or a socket)";
    return false;
  }
  const bool exists = fs::exists(st);
  if (exists) {
    // Opened for appending, an existing file is checked for write access without being changed.
    FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    std::fclose(f);
  }
  // The library writes the temporary file, beside the user's: its directory must take new files.
  const bool stale = fs::exists(PathOf(working), ec);
  FILE* f = std::fopen(working.c_str(), "ab");
  if (f == nullptr) {
    const int err = errno;
    fs::path dir = PathOf(path).parent_path();
    if (dir.empty()) dir = ".";
    const std::string shown = NarrowOf(dir);
    if (err == ENOENT || err == ENOTDIR) {
      *error = "cannot create " + path + ": the directory " + shown + " does not exist";
    } else {
      // Said as the directory's refusal: the file itself may well be writable, and checked as such.
      *error = "cannot create " + path + ": its directory " + shown + " takes no new file (" + std::strerror(err) +
               "); the file is written there first as " + NarrowOf(PathOf(working).filename()) +
               " and takes its name at the end" + (exists ? ", so the directory must take new files even though " +
               path + " exists" : std::string());
    }
    return false;
  }
  std::fclose(f);
  if (!stale) std::remove(working.c_str());
  return true;
}

}  // namespace dravik_update
