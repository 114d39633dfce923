// The library's DllMain runs with DLL_PROCESS_ATTACH when its shared object is loaded and with
// DLL_PROCESS_DETACH when it is unloaded, by dlopen/dlclose and at process exit alike.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

std::string ProbePath() {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string("./x");
  return dir.substr(0, dir.find_last_of('/')) + "/libdravik_dll_entry_probe.so";
}

class DllEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_ = dir_.File("calls.txt");
    setenv("DRAVIK_PROBE_LOG", log_.c_str(), 1);
    ASSERT_EQ(access(ProbePath().c_str(), R_OK), 0) << "build the dravik_dll_entry_probe target";
  }
  void TearDown() override { unsetenv("DRAVIK_PROBE_LOG"); }
  testing_support::TempDir dir_;
  std::string log_;
};

TEST_F(DllEntryTest, DlopenAttachesAndDlcloseDetaches) {
  void* module = dlopen(ProbePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  EXPECT_EQ(testing_support::ReadFileText(log_), "attach module\n");
  // A second load of a loaded library does not attach again.
  void* again = dlopen(ProbePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(again, nullptr);
  dlclose(again);
  EXPECT_EQ(testing_support::ReadFileText(log_), "attach module\n");
  ASSERT_EQ(dlclose(module), 0);
  EXPECT_EQ(testing_support::ReadFileText(log_), "attach module\ndetach module\n");
}

TEST_F(DllEntryTest, ProcessExitDetachesALoadedLibrary) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    void* module = dlopen(ProbePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    exit(module ? 0 : 3);  // exit, not _exit: the process's end runs the library's unload
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testing_support::ReadFileText(log_), "attach module\ndetach module\n");
}

}  // namespace
