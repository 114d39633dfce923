// Load and unload of the library: the configuration file read and written back, the attach and detach
// lines, and the log's text-mode bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "driver/startup.h"
#include "driver_test_fixture.h"
#include "file_modes.h"

namespace {

using driver_test::DriverTest;
using testing_support::ReadFileText;
using testing_support::WriteFileBytes;

class StartupTest : public DriverTest {
 protected:
  std::string IniPath() const { return dir_.File("windows/Tavrine_usb_flash.ini"); }
  void WriteIni(const std::string& text) const {
    mkdir(dir_.File("windows").c_str(), 0755);
    WriteFileBytes(IniPath(), std::vector<uint8_t>(text.begin(), text.end()));
  }
  static std::string IniWith(const std::string& driver, const std::string& rtimeout, const std::string& wtimeout,
                             const std::string& debugOn) {
    return "[Config]\r\nDriver=" + driver + "\r\nRTimeout=" + rtimeout + "\r\nWTimeout=" + wtimeout +
           "\r\nDebugON=" + debugOn +
           "\r\nPurgeTx=0\r\nPurgeRx=0\r\nWaitRx=0\r\nsplitReadAck=0\r\nsplitReadAckSize=0\r\n";
  }
  void Attach() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }
};

TEST_F(StartupTest, FirstLoadWithoutFileLogsZerosAndCreatesTheFile) {
  g_Driver = 7;  // whatever was there before: a missing key reads as 0
  Attach();
  EXPECT_EQ(Log(),
            "Dravik.dll Attach\r\r\n\r\n"
            "g_Driver=0 g_RTimeout=0 g_WTimeout=0 g_DebugON=0 g_PurgeTx=0 g_PurgeRx=0 g_WaitRx=0 "
            "g_splitReadAck=0 g_splitReadAckSize=0\r\r\n\r\n");
  EXPECT_EQ(g_Driver, 0);
  EXPECT_EQ(ReadFileText(IniPath()), IniWith("0", "0", "0", "0"));
}

TEST_F(StartupTest, ValuesAreParsedLikeAtoiAndWrittenBackNormalised) {
  WriteIni("[Other]\r\nkeep=me\r\n[config]\r\ndriver=  1\r\nRTimeout=1500\r\nWTimeout=-20\r\nDebugON=yes\r\n"
           "PurgeTx=12abc\r\nPurgeRx=+3\r\nWaitRx=1234567890\r\n");
  Attach();
  EXPECT_EQ(g_Driver, 1);
  EXPECT_EQ(g_RTimeout, 1500);
  EXPECT_EQ(g_WTimeout, -20);
  EXPECT_EQ(g_DebugON, 0);
  EXPECT_EQ(g_PurgeTx, 12);
  EXPECT_EQ(g_PurgeRx, 3);
  EXPECT_EQ(g_WaitRx, 123456789);  // only the first nine characters fit the buffer
  EXPECT_EQ(g_splitReadAck, 0);
  EXPECT_NE(Log().find("g_Driver=1 g_RTimeout=1500 g_WTimeout=-20 g_DebugON=0 g_PurgeTx=12 g_PurgeRx=3 "
                       "g_WaitRx=123456789 g_splitReadAck=0 g_splitReadAckSize=0\r\r\n"),
            std::string::npos);
  const std::string ini = ReadFileText(IniPath());
  EXPECT_NE(ini.find("[Other]\r\nkeep=me\r\n"), std::string::npos) << ini;
  for (const char* line : {"RTimeout=1500\r\n", "WTimeout=-20\r\n", "DebugON=0\r\n", "PurgeTx=12\r\n",
                           "PurgeRx=3\r\n", "WaitRx=123456789\r\n", "splitReadAck=0\r\n", "splitReadAckSize=0\r\n"}) {
    EXPECT_NE(ini.find(line), std::string::npos) << line << " in " << ini;
  }
  EXPECT_EQ(ini.find("yes"), std::string::npos);
  EXPECT_EQ(ini.find("12abc"), std::string::npos);
}

TEST_F(StartupTest, UnwritableConfigurationKeepsTheValuesRead) {
  testing_support::FileModesBind bind;
  if (!bind.active()) GTEST_SKIP() << "file modes cannot be made to bind this thread";
  WriteIni(IniWith("1", "40", "50", "1"));
  chmod(dir_.File("windows").c_str(), 0555);
  chmod(IniPath().c_str(), 0444);
  Attach();
  chmod(dir_.File("windows").c_str(), 0755);
  chmod(IniPath().c_str(), 0644);
  EXPECT_EQ(g_Driver, 1);
  EXPECT_EQ(g_RTimeout, 40);
  EXPECT_EQ(g_WTimeout, 50);
  EXPECT_EQ(g_DebugON, 1);
}

TEST_F(StartupTest, DetachClosesAnOpenLinkOnly) {
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
  EXPECT_EQ(FlashState.hLink, nullptr);  // never opened: nothing closed, nothing changed
  EXPECT_EQ(Log(), "Dravik.dll Dettach\r\r\n\r\n");

  driver_test::PtyDevice device;
  device.MakeLink();
  HANDLE link = FlashState.hLink;
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
  EXPECT_FALSE(CloseHandle(link)) << "the detach closes the link";
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
}

// Whether thread tid of this process is asleep in the kernel (here: blocked opening a FIFO).
bool ThreadIsAsleep(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end_of_name = text.rfind(')');
  return end_of_name != std::string::npos && end_of_name + 2 < text.size() && text[end_of_name + 2] == 'S';
}

// A process that ends has had its other threads ended before the unload entry runs, one of them perhaps
// in the middle of a log entry: the unload still logs its line and returns. The thread is kept in the
// middle of its entry by a log file that is a FIFO nobody reads; the scene runs in a child process.
TEST_F(StartupTest, AnEndingProcessLogsItsDetachWhileAnEndedThreadWasInTheMiddleOfAnEntry) {
  ASSERT_EQ(mkdir(dir_.File("stuck").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir_.File("stuck/logfile.txt").c_str(), 0644), 0);
  const std::string stuck_log = dir_.File("stuck/logfile.txt");
  const std::string root = dir_.path();
  EXPECT_EXIT(
      {
        alarm(20);  // a detach that waits for the entry never returns: the child then dies of SIGALRM
        if (chdir((root + "/stuck").c_str()) != 0) _exit(2);
        std::atomic<pid_t> tid{0};
        std::thread held([&] {
          tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
          LogPrintf("never finished");
        });
        while (tid.load() == 0 || !ThreadIsAsleep(tid.load())) usleep(1000);
        if (chdir(root.c_str()) != 0) _exit(2);
        DllMain(nullptr, DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1));
        const bool logged = ReadFileText(root + "/logfile.txt") == "Dravik.dll Dettach\r\r\n\r\n";
        const int reader = open(stuck_log.c_str(), O_RDONLY | O_NONBLOCK);  // lets the held entry end
        held.join();
        close(reader);
        _exit(logged ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(StartupTest, ThreadReasonsDoNothing) {
  EXPECT_TRUE(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr));
  EXPECT_TRUE(DllMain(nullptr, DLL_THREAD_DETACH, nullptr));
  EXPECT_EQ(Log(), "");
}

TEST_F(StartupTest, LogEntriesAreTextModeLines) {
  LogPrintf(nullptr);
  EXPECT_EQ(Log(), "");
  LogPrintf("%s", "");
  LogPrintf("two\nlines %d", 5);
  LogPrintf("ends in CR LF\r\n");
  EXPECT_EQ(Log(), "\r\ntwo\r\nlines 5\r\nends in CR LF\r\r\n\r\n");
}

// Every entry is in the file when LogPrintf returns, whole and in the order the threads logged, and in
// the current directory of its own moment: a log removed meanwhile is made anew, a directory changed
// meanwhile gets the next entry.
TEST_F(StartupTest, EveryEntryIsInTheFileWhenLogPrintfReturns) {
  LogPrintf("first %d", 1);
  EXPECT_EQ(Log(), "first 1\r\n");
  std::thread([] { LogPrintf("other thread"); }).join();
  const std::string long_entry(3000, 'L');
  LogPrintf("%s", long_entry.c_str());
  EXPECT_EQ(Log(), "first 1\r\nother thread\r\n" + long_entry + "\r\n");
  ASSERT_EQ(unlink(dir_.File("logfile.txt").c_str()), 0);
  LogPrintf("after");
  EXPECT_EQ(Log(), "after\r\n");
  ASSERT_EQ(mkdir(dir_.File("elsewhere").c_str(), 0755), 0);
  {
    const testing_support::ScopedChdir moved(dir_.File("elsewhere"));
    LogPrintf("moved");
  }
  EXPECT_EQ(ReadFileText(dir_.File("elsewhere/logfile.txt")), "moved\r\n");
  EXPECT_EQ(Log(), "after\r\n");
}

// A log that cannot be opened loses that entry only: the next one opens the file again.
TEST_F(StartupTest, ALogThatCouldNotBeOpenedIsOpenedAgainForTheNextEntry) {
  mkdir(dir_.File("logfile.txt").c_str(), 0755);
  LogPrintf("lost");
  rmdir(dir_.File("logfile.txt").c_str());
  LogPrintf("kept");
  EXPECT_EQ(Log(), "kept\r\n");
}

TEST_F(StartupTest, UnwritableLogDropsMessagesSilently) {
  mkdir(dir_.File("logfile.txt").c_str(), 0755);  // a directory cannot be opened for appending
  LogPrintf("lost %d", 1);
  WriteIni(IniWith("1", "0", "0", "0"));
  Attach();  // the configuration is still read and written
  EXPECT_EQ(g_Driver, 1);
  EXPECT_EQ(ReadFileText(IniPath()), IniWith("1", "0", "0", "0"));
  rmdir(dir_.File("logfile.txt").c_str());
}

}  // namespace
