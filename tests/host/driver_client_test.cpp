// The exports' fixed answers, the fields they write and the ones they leave alone, and their log lines.
#include <unistd.h>

#include "driver/dravik.h"
#include "driver_test_fixture.h"
#include "platform/posix/thread_faults.h"

namespace {

using driver_test::DriverTest;

constexpr uint32_t kUntouched = 0xA5A5A5A5u;

// A record whose every field shows whether an export wrote it.
ClientResult FreshRecord() {
  ClientResult r;
  r.dwReserved = kUntouched;
  r.dwFeatureId = kUntouched;
  r.dwStatus = kUntouched;
  r.dwValue = kUntouched;
  memset(r.szText, 'x', sizeof(r.szText));
  r.szText[sizeof(r.szText) - 1] = '\0';
  return r;
}

bool AllZero(const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (text[i] != 0) return false;
  return true;
}

using ClientTest = DriverTest;

TEST_F(ClientTest, FixedTextAnswersWriteOnlyTextAndStatus) {
  struct Case {
    void (*call)(ClientResult*);
    const char* text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {Client_GetLibraryVersion, "0.00.01", {"Client_GetLibraryVersion(): 0.00.01"}},
      {Client_GetModelID, "qd Orlo tm4821", {"Client_GetModelID(): start"}},
      {Client_GetOSVer, "0.00.01", {"Client_GetOSVer(): start"}},
  };
  for (const Case& c : cases) {
    ClearLog();
    ClientResult r = FreshRecord();
    c.call(&r);
    EXPECT_STREQ(r.szText, c.text);
    EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
    EXPECT_EQ(r.dwReserved, kUntouched);
    EXPECT_EQ(r.dwFeatureId, kUntouched);
    EXPECT_EQ(r.dwValue, kUntouched);
    EXPECT_EQ(LogLines(), c.lines);
  }
}

TEST_F(ClientTest, OSLanguageIsOne) {
  ClientResult r = FreshRecord();
  Client_GetOSLang(&r);
  EXPECT_EQ(r.dwValue, 1u);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(r.szText[0], 'x');
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Client_GetOSLang(): start", "Client_GetOSLang(): No Asset Data load"}));
}

TEST_F(ClientTest, ComponentInfoAnswers) {
  struct Case {
    uint16_t type, component;
    const char* data;
    uint32_t value;
  };
  const Case cases[] = {
      {1, 2, "", 1}, {1, 3, "", 1}, {1, 7, "", 1}, {1, 5, "", 0}, {1, 0, "", 0},
      {3, 2, "0.00.02", 0},  // type 2 says 0.00.02 for every component, but component 2 expects 0.00.01
      {3, 2, "0.00.01", 1}, {3, 3, "0.00.02", 1}, {3, 7, "0.00.02", 1}, {3, 7, "0.00.02 ", 0},
      {3, 5, "anything", 1},  // no expected version: a match
      {3, 3, nullptr, 0},     // no text: no match
      {3, 5, nullptr, 0},     // not even for a component without an expected version
  };
  for (const Case& c : cases) {
    ClientResult r = FreshRecord();
    Client_GetComponentInfo(c.type, c.component, c.data, &r);
    EXPECT_EQ(r.dwValue, c.value) << c.type << "/" << c.component << "/" << (c.data ? c.data : "null");
    EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
    EXPECT_EQ(r.szText[0], 'x');
  }
  ClientResult r = FreshRecord();
  Client_GetComponentInfo(2, 9, "q", &r);
  EXPECT_STREQ(r.szText, "0.00.02");
  EXPECT_EQ(r.dwValue, kUntouched);

  r = FreshRecord();
  Client_GetComponentInfo(4, 2, "0.00.01", &r);
  EXPECT_EQ(r.dwValue, kUntouched);
  EXPECT_EQ(r.szText[0], 'x');
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(CountLogLines("Client_GetComponentInfo(): Request_Type=4, Component_ID=2, szData=0.00.01"), 1u);
  EXPECT_EQ(CountLogLines("Client_GetComponentInfo(): Request_Type=3, Component_ID=3, szData=(null)"), 1u);
}

TEST_F(ClientTest, InitializeOnlyLogs) {
  ClientResult r = FreshRecord();
  Client_Initialize(nullptr, 0, &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  Client_Initialize("", 0, &r);
  Client_Initialize("tm4821", 9, &r);
  EXPECT_EQ(r.szText[0], 'x');
  EXPECT_EQ(r.dwValue, kUntouched);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "Client_Initialize(): Model=(null), Language=0",
                            "Client_Initialize(): Skipping the model verification check",
                            "Client_Initialize(): Skipping the language check",
                            "Client_Initialize(): rebooting device...",
                            "Client_Initialize(): Model=, Language=0",
                            "Client_Initialize(): Skipping the model verification check",
                            "Client_Initialize(): Skipping the language check",
                            "Client_Initialize(): rebooting device...",
                            "Client_Initialize(): Model=tm4821, Language=9",
                            "Client_Initialize(): Device is a tm4821",
                            "Client_Initialize(): Passed the language check",
                            "Client_Initialize(): rebooting device...",
                        }));
  EXPECT_EQ(FlashState.hLink, nullptr);
}

TEST_F(ClientTest, ValidateAndVerifySucceedOnlyVerifyClearsText) {
  ClientResult r = FreshRecord();
  Client_ValidateROM(-1, 12345, &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(r.szText[0], 'x');
  r = FreshRecord();
  Client_VerifyExterns(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_TRUE(AllZero(r.szText, sizeof(r.szText)));
  EXPECT_EQ(r.dwValue, kUntouched);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Client_ValidateROM():", "Client_VerifyExterns():"}));
}

TEST_F(ClientTest, QueueJobKeepsOrderAndNeverOpensTheFile) {
  ClientResult r = FreshRecord();
  Client_QueueJob(3, "missing.nbf", 64, &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  Client_QueueJob(17, "asset.bin", 0, &r);
  const std::string tooLong(258, 'n');
  r = FreshRecord();
  Client_QueueJob(1, tooLong.c_str(), 0, &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK) << "queueing reports success even when the job is refused";
  Client_QueueJob(1, nullptr, 0, &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);

  ASSERT_NE(FlashState.pJobs, nullptr);
  EXPECT_EQ(FlashState.pJobs->wFeatureId, 3);
  EXPECT_STREQ(FlashState.pJobs->szFileName, "missing.nbf");
  EXPECT_EQ(FlashState.pJobs->nHeaderLen, 64);
  ASSERT_NE(FlashState.pJobs->pNext, nullptr);
  EXPECT_EQ(FlashState.pJobs->pNext->wFeatureId, 17);
  EXPECT_EQ(FlashState.pJobs->pNext->pNext, nullptr);

  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "Client_QueueJob(): FeatureID=3, FileName=missing.nbf, HeaderLen=64");
  EXPECT_EQ(lines[1], "Client_QueueJob(): Assumed flashing a NBF file because the header has length");
  EXPECT_EQ(lines[2], "Client_QueueJob(): FeatureID=17, FileName=asset.bin, HeaderLen=0");
  EXPECT_EQ(lines[3], "Client_QueueJob(): Assumed flashing a Asset Data File because there is no header");
  EXPECT_EQ(CountLogLines("AppendJob(): the file name has 258 characters, more than 257, the job is refused"), 1u);
}

TEST_F(ClientTest, StartFlashWithoutJobsReports901AndStartsNothing) {
  ClientResult r = FreshRecord();
  Client_StartFlash(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_NO_JOB);
  EXPECT_EQ(r.dwValue, kUntouched);
  EXPECT_EQ(FlashState.hWorker, nullptr);
  EXPECT_EQ(FlashState.hLink, nullptr) << "no open attempt without jobs";
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Client_StartFlash(): start!", "Client_StartFlash(): 901"}));
}

TEST_F(ClientTest, StartFlashReports101WhenTheFoundDeviceCannotBeOpened) {
  w32sim::HostProfile profile = w32sim::CurrentHostProfile();
  w32sim::PortDevice port;
  port.portname = "COM7";
  port.symbolic_name = "\\??\\USB#Vid_0e1f&Pid_4505#0001#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
  port.opens = dir_.File("no-such-tty");
  profile.ports.push_back(port);
  w32sim::SetHostProfile(profile);
  g_Driver = 1;
  ClientResult r = FreshRecord();
  Client_QueueJob(3, "os.nbf", 0, &r);
  Client_StartFlash(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OPEN_FAILED);
  EXPECT_EQ(FlashState.hWorker, nullptr);
  ASSERT_NE(FlashState.pJobs, nullptr) << "the jobs stay queued for a later call";
  EXPECT_EQ(CountLogLines("Client_StartFlash(): 101"), 1u);
}

// A worker that cannot be started: the run ends as incomplete rather than showing 0 % for ever.
TEST_F(ClientTest, StartFlashWithoutAWorkerEndsTheRunAsIncomplete) {
  HANDLE link = CreateFileA(dir_.File("link").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_TRUE(IsLinkOpen(link));
  FlashState.hLink = link;  // an open link: no search
  FlashState.nRunOutcome.store(kRunIncomplete);  // left by an earlier run
  ClientResult r = FreshRecord();
  Client_QueueJob(3, "os.nbf", 0, &r);
  w32sim::FailThreadCreations(1);
  Client_StartFlash(&r);
  w32sim::FailThreadCreations(0);
  EXPECT_EQ(FlashState.hWorker, nullptr);
  EXPECT_EQ(CountLogLines("Client_StartFlash(): the flash worker could not be started"), 1u);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(r.dwValue, 0u);
  EXPECT_NE(FlashState.pJobs, nullptr) << "the jobs stay queued for another start";
}

// A backup that cannot begin (no path, no thread for it) shows as a run that did not complete, not as
// one still at 0 %; nothing is asked of the device.
TEST_F(ClientTest, ABackupThatCannotBeginShowsAs102) {
  HANDLE link = CreateFileA(dir_.File("link").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_TRUE(IsLinkOpen(link));
  FlashState.hLink = link;  // an open link: no search
  ClientResult r = FreshRecord();
  Client_BackUp(2, nullptr, &r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(FlashState.hBackupThread, nullptr);
  EXPECT_EQ(CountLogLines("Client_BackUp(): Type=2 Backup="), 1u);
  EXPECT_EQ(CountLogLines("Client_BackUp(): no backup path given, backup refused"), 1u);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(r.dwValue, 0u);

  w32sim::FailThreadCreations(1);
  Client_BackUp(3, "gsm.bin", &r);
  w32sim::FailThreadCreations(0);
  EXPECT_EQ(FlashState.hBackupThread, nullptr);
  EXPECT_EQ(CountLogLines("Client_BackUp(): Type=3 Backup=gsm.bin"), 1u);
  EXPECT_EQ(CountLogLines("Client_BackUp(): the backup thread could not be started"), 1u);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(GetFileSize(link, nullptr), 0u) << "nothing was written to the device";
  EXPECT_EQ(access(dir_.File("gsm.bin").c_str(), F_OK), -1) << "nor a backup file made";
}

TEST_F(ClientTest, ProgressReadsTheSharedFigures) {
  ClientResult r = FreshRecord();
  Client_Progress(&r);
  EXPECT_EQ(r.dwValue, 0u);
  EXPECT_EQ(r.dwFeatureId, 0u);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
  EXPECT_EQ(r.dwReserved, kUntouched);
  EXPECT_EQ(r.szText[0], 'x');

  FlashState.nProgress.store(45);
  FlashState.nCurrentFeatureId.store(17);
  Client_Progress(&r);
  EXPECT_EQ(r.dwValue, 45u);
  EXPECT_EQ(r.dwFeatureId, 17u);
  EXPECT_EQ(FlashState.nProgress.load(), 45) << "polling changes nothing";
  EXPECT_EQ(CountLogLines("Client_Progress(): returning 45 17"), 1u);
  EXPECT_EQ(CountLogLines("Client_Progress(): start"), 2u);
}

TEST_F(ClientTest, IncompleteRunShowsAs102UntilTheNextStartOrShutdown) {
  ClientResult r = FreshRecord();
  FlashState.nRunOutcome.store(kRunIncomplete);
  FlashState.nProgress.store(30);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);
  EXPECT_EQ(r.dwValue, 30u);
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_RUN_INCOMPLETE);

  Client_StartFlash(&r);  // 901, but a new start all the same
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);

  FlashState.nRunOutcome.store(kRunIncomplete);
  Client_Shutdown();
  Client_Progress(&r);
  EXPECT_EQ(r.dwStatus, CLIENT_STATUS_OK);
}

TEST_F(ClientTest, ShutdownWithoutLinkLogsAndResetsTheCountersButNotTheFeatureId) {
  FlashState.nProgress.store(100);
  FlashState.nTotalBytes.store(10000);
  FlashState.nBytesSent.store(10000);
  FlashState.nOnePercent.store(100);
  FlashState.nCurrentFeatureId.store(3);
  Client_Shutdown();
  EXPECT_EQ(FlashState.nProgress.load(), 0);
  EXPECT_EQ(FlashState.nTotalBytes.load(), 0);
  EXPECT_EQ(FlashState.nBytesSent.load(), 0);
  EXPECT_EQ(FlashState.nOnePercent.load(), 0);
  ClientResult r = FreshRecord();
  Client_Progress(&r);
  EXPECT_EQ(r.dwValue, 0u);
  EXPECT_EQ(r.dwFeatureId, 3u);
  const std::vector<std::string> lines = LogLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Client_Shutdown(): start");
  EXPECT_EQ(lines[1], "SendRebootCmd(): Reset to IPL mode");
  EXPECT_EQ(lines[2], "Client_Shutdown(): SendRebootCmd");
}

TEST_F(ClientTest, ShutdownSendsResetToIplAndClosesTheLink) {
  driver_test::PtyDevice device;
  device.MakeLink();
  Client_QueueJob(3, "left.nbf", 0, nullptr);
  device.Ack();
  Client_Shutdown();
  const std::vector<uint8_t> frame = device.Read(kPacketFrameSize);
  EXPECT_EQ(frame, driver_test::PtyDevice::Frame("FF112249"));
  EXPECT_EQ(FlashState.hLink, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FlashState.pJobs, nullptr) << "a job list that is left goes with the link";
}

}  // namespace
