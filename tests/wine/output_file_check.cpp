// The tool's output files (tools/output_file.cpp) on both systems: built on Linux and with
// x86_64-w64-mingw32, run natively and under wine64 by scripts/check-windows-tool.sh. A backup is
// received under a name of its own and takes the user's name only when whole; a format's read-back never
// replaces a file; what a cut-off read-back received is kept under a free ".incomplete" name.
// Usage: output_file_check DIR (an empty directory). Prints one line a check, then "passed: N failed".
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "options.h"
#include "output_file.h"

using dravik_update::NamedPath;
using dravik_update::OutputFile;
using dravik_update::OutputsCollide;

namespace {

int failed = 0;

void Check(const char* what, bool ok) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok) ++failed;
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool Exists(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return in.good();
}

std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<none>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: output_file_check DIR\n");
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  std::string error;

  {  // Two outputs whose names differ in letter case: one file on Windows, also before either exists.
    const std::vector<NamedPath> outputs = {{"--format-backup", dir + "Save.bin", true},
                                            {"--then-backup", dir + "save.bin", true}};
    std::string why;
#ifdef _WIN32
    Check("output names that differ in letter case collide", OutputsCollide(outputs, &why));
#else
    Check("output names that differ in letter case are two files", !OutputsCollide(outputs, &why));
#endif
  }

  {  // A backup over an earlier one: received aside, then in its place.
    const std::string path = dir + "backup.bin";
    Put(path, "old");
    OutputFile out(path);
    Check("Begin creates the working file", out.Begin(&error) && Exists(out.WorkingPath()));
    Check("the working file is FILE.partial-PID", out.WorkingPath().rfind(path + ".partial-", 0) == 0);
    Check("the earlier backup stays while the new one is received", Get(path) == "old");
    Put(out.WorkingPath(), "new");
    Check("Commit replaces the earlier backup", out.Commit(&error) && Get(path) == "new");
    Check("no working file is left", !Exists(out.WorkingPath()));
  }
  {  // A format's read-back never replaces a file.
    const std::string path = dir + "ffs.bin";
    Put(path, "earlier");
    OutputFile out(path, OutputFile::Existing::Keep);
    Check("Begin with a file that must not be replaced", out.Begin(&error));
    Put(out.WorkingPath(), "erased");
    error.clear();
    Check("Commit refuses to replace it", !out.Commit(&error) && Get(path) == "earlier");
    Check("what was received stays in the working file, named in the error",
          Get(out.WorkingPath()) == "erased" && error.find(out.WorkingPath()) != std::string::npos);
    std::remove(out.WorkingPath().c_str());
  }
  {
    const std::string path = dir + "ffs-new.bin";
    OutputFile out(path, OutputFile::Existing::Keep);
    const bool begun = out.Begin(&error);
    Put(out.WorkingPath(), "whole");
    Check("a read-back that replaces nothing takes its name", begun && out.Commit(&error) && Get(path) == "whole");
  }
  {  // A cut-off read-back is kept under the first free ".incomplete" name.
    const std::string path = dir + "cut.bin";
    Put(path + ".incomplete", "first cut");
    OutputFile out(path, OutputFile::Existing::Keep);
    out.Begin(&error);
    Put(out.WorkingPath(), "second cut");
    const std::string kept = out.KeepIncomplete();
    Check("KeepIncomplete takes FILE.incomplete-2 beside an earlier FILE.incomplete",
          kept == path + ".incomplete-2" && Get(kept) == "second cut");
    Check("the earlier FILE.incomplete is left as it was", Get(path + ".incomplete") == "first cut");
    Check("no working file is left", !Exists(out.WorkingPath()));
  }
  {
    OutputFile out(dir + "nothing.bin", OutputFile::Existing::Keep);
    out.Begin(&error);
    Check("KeepIncomplete with nothing received keeps nothing",
          out.KeepIncomplete().empty() && !Exists(out.WorkingPath()));
  }
  {  // A run that does not complete.
    const std::string path = dir + "left.bin";
    Put(path, "kept");
    OutputFile out(path);
    out.Begin(&error);
    Put(out.WorkingPath(), "partial");
    const std::string said = out.NotWritten();
    Check("NotWritten removes the working file and leaves the file",
          !Exists(out.WorkingPath()) && Get(path) == "kept" && said == path + " is left as it was; what was "
                                                                               "received is discarded");
  }
  {  // A working file of an earlier process with this one's id is not touched.
    const std::string path = dir + "stale.bin";
    OutputFile first(path);
    const std::string stale = first.WorkingPath();
    Put(stale, "someone's");
    OutputFile out(path);
    Check("Begin beside a stale working file takes the next name",
          out.Begin(&error) && out.WorkingPath() == stale + "-2" && Get(stale) == "someone's");
  }

  std::printf("passed: %d failed\n", failed);
  return failed == 0 ? 0 : 1;
}
