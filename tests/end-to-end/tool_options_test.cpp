// dravik-update without a device: the image arguments, the checks made on image files, the comparison
// that verification rests on, the command line's queue order, the progress figures and the log reader.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli.h"
#include "discovery.h"
#include "job_follower.h"
#include "log_watch.h"
#include "options.h"
#include "output_file.h"
#include "progress.h"
#include "stall_guard.h"
#include "terminal.h"
#include "test_support.h"
#include "verify.h"

namespace {

using namespace dravik_update;
using Bytes = std::vector<uint8_t>;
using testing_support::PatternBytes;
using testing_support::WriteFileBytes;

ImageArgument Argument(const std::string& text, uint16_t feature = 3) {
  ImageArgument arg;
  std::string error;
  EXPECT_TRUE(ParseImageArgument(text, feature, &arg, &error)) << text << ": " << error;
  return arg;
}

std::string ArgumentError(const std::string& text) {
  ImageArgument arg;
  std::string error;
  EXPECT_FALSE(ParseImageArgument(text, 3, &arg, &error)) << text;
  return error;
}

TEST(ToolImageArgument, HeaderLengthIsTheNumberAfterTheLastColon) {
  EXPECT_EQ(0, Argument("os.nb0").header_len);
  EXPECT_EQ("os.nb0", Argument("os.nb0:64").path);
  EXPECT_EQ(64, Argument("os.nb0:64").header_len);
  EXPECT_EQ(64, Argument("os.nb0:0x40").header_len);
  // A colon followed by something that is not a number is part of the name.
  EXPECT_EQ("images:new/os.nb0", Argument("images:new/os.nb0").path);
  EXPECT_EQ(0, Argument("images:new/os.nb0").header_len);
  EXPECT_EQ("a:b:16", Argument("a:b:16:0").path);
}

TEST(ToolImageArgument, BadHeaderLengthsAreRefused) {
  EXPECT_NE(std::string::npos, ArgumentError("os.nb0:-1").find("bad header length"));
  EXPECT_NE(std::string::npos, ArgumentError("os.nb0:12ab").find("bad header length"));
  EXPECT_NE(std::string::npos, ArgumentError("os.nb0:2147483648").find("too large"));
  EXPECT_NE(std::string::npos, ArgumentError("os.nb0:99999999999999999999999").find("bad header length"));
  EXPECT_NE(std::string::npos, ArgumentError(":64").find("no file name"));
}

class ToolImageFiles : public ::testing::Test {
 protected:
  CheckedImage Check(const std::string& name, size_t size, int32_t header, uint16_t feature, std::string* error) {
    WriteFileBytes(dir_.File(name), PatternBytes(size));
    ImageArgument arg;
    arg.feature = feature;
    arg.path = dir_.File(name);
    arg.header_len = header;
    CheckedImage img;
    ok_ = CheckImage(arg, &img, error);
    return img;
  }
  testing_support::TempDir dir_;
  bool ok_ = false;
};

// A file whose own name ends in ":digits" is not taken silently for another file with a header.
TEST_F(ToolImageFiles, ANameEndingInAColonAndDigitsThatIsAFileMustBeSaidWhich) {
  WriteFileBytes(dir_.File("os.nb0:30"), PatternBytes(100));
  WriteFileBytes(dir_.File("os.nb0"), PatternBytes(100));
  const std::string error = ArgumentError(dir_.File("os.nb0:30"));
  EXPECT_NE(std::string::npos, error.find("is the name of a file")) << error;
  EXPECT_NE(std::string::npos, error.find(dir_.File("os.nb0:30") + ":0 to flash the file")) << error;
  const ImageArgument whole = Argument(dir_.File("os.nb0:30") + ":0");
  EXPECT_EQ(dir_.File("os.nb0:30"), whole.path);
  EXPECT_EQ(0, whole.header_len);
}

TEST_F(ToolImageFiles, PayloadIsTheFileLessItsHeaderAndPicksTheArea) {
  std::string error;
  CheckedImage img = Check("gsm.nb0", 6291456 + 100, 100, 3, &error);
  ASSERT_TRUE(ok_) << error;
  EXPECT_EQ(6291456u, img.payload_size);
  EXPECT_EQ("GSM", img.area);
  img = Check("os.nb0", 6291456 + 101, 100, 3, &error);
  ASSERT_TRUE(ok_) << error;
  EXPECT_EQ("OS", img.area);
  // A file exactly as long as its header has an empty payload: the library would erase the area for
  // nothing. So has an empty file.
  Check("empty.nb0", 64, 64, 1, &error);
  EXPECT_FALSE(ok_);
  EXPECT_NE(std::string::npos, error.find("the file's 64 bytes are all header, its payload is empty")) << error;
  Check("nothing.nb0", 0, 0, 1, &error);
  EXPECT_FALSE(ok_);
  EXPECT_NE(std::string::npos, error.find("the file is empty")) << error;
  img = Check("one.nb0", 65, 64, 1, &error);
  ASSERT_TRUE(ok_) << error;
  EXPECT_EQ(1u, img.payload_size);
  EXPECT_EQ("EBOOT", img.area);
  EXPECT_EQ("EXTROM", TargetArea(17, 1));
  EXPECT_EQ("ASSET", TargetArea(7, 1));
  EXPECT_EQ("", TargetArea(4, 1));
}

TEST_F(ToolImageFiles, ShortMissingAndOddFilesAreRefusedWithTheReason) {
  std::string error;
  Check("short.nb0", 100, 101, 3, &error);
  EXPECT_FALSE(ok_);
  EXPECT_NE(std::string::npos, error.find("100 bytes, shorter than its header of 101 bytes")) << error;
  ImageArgument arg;
  arg.feature = 2;
  arg.path = dir_.File("absent.nb0");
  CheckedImage img;
  EXPECT_FALSE(CheckImage(arg, &img, &error));
  EXPECT_NE(std::string::npos, error.find("IPL image " + arg.path + ": no such file")) << error;
  arg.path = dir_.path();
  EXPECT_FALSE(CheckImage(arg, &img, &error));
  EXPECT_NE(std::string::npos, error.find("not a regular file")) << error;
  arg.path = std::string(258, 'a');
  EXPECT_FALSE(CheckImage(arg, &img, &error));
  EXPECT_NE(std::string::npos, error.find("longer than 257")) << error;
}

TEST_F(ToolImageFiles, ExpectedPayloadUnscramblesOnlyTheBareTempNames) {
  testing_support::ScopedChdir here(dir_.path());
  const Bytes file = PatternBytes(300, 3);
  WriteFileBytes("temp2", file);
  WriteFileBytes("temp5", file);
  std::filesystem::create_directory("sub");
  WriteFileBytes("sub/temp2", file);
  auto expected = [](const std::string& path, int32_t header) {
    CheckedImage img;
    img.arg.path = path;
    img.arg.header_len = header;
    img.payload_size = static_cast<uint32_t>(300 - header);
    Bytes out;
    std::string error;
    EXPECT_TRUE(ReadExpectedPayload(img, &out, &error)) << error;
    return out;
  };
  Bytes scrambled(file.begin() + 10, file.end());
  for (uint8_t& b : scrambled) b ^= 0x5B;
  EXPECT_EQ(scrambled, expected("temp2", 10));
  EXPECT_EQ(Bytes(file.begin() + 10, file.end()), expected("temp5", 10));
  EXPECT_EQ(Bytes(file.begin() + 10, file.end()), expected("sub/temp2", 10));
}

// ---- The comparison verification rests on ----

TEST_F(ToolImageFiles, OutputFilesAreCheckedWithoutBeingTouched) {
  std::string error;
  // A new file: its directory takes files, and nothing is left behind by the check.
  EXPECT_TRUE(CanWriteOutput(dir_.File("new.bin"), &error)) << error;
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  // An existing file keeps its bytes.
  WriteFileBytes(dir_.File("old.bin"), PatternBytes(100, 4));
  EXPECT_TRUE(CanWriteOutput(dir_.File("old.bin"), &error)) << error;
  EXPECT_EQ(PatternBytes(100, 4), testing_support::ReadFileBytes(dir_.File("old.bin")));

  std::filesystem::create_directory(dir_.File("adir"));
  EXPECT_FALSE(CanWriteOutput(dir_.File("adir"), &error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  EXPECT_FALSE(CanWriteOutput(dir_.File("no/such/dir/x.bin"), &error));
  EXPECT_NE(error.find("cannot create " + dir_.File("no/such/dir/x.bin") + ": the directory " +
                       dir_.File("no/such/dir") + " does not exist"),
            std::string::npos)
      << error;
  // A writable file in a directory that takes no new file: the directory is named as what refuses.
  std::filesystem::create_directory(dir_.File("ro"));
  WriteFileBytes(dir_.File("ro/kept.bin"), PatternBytes(10, 5));
  std::filesystem::permissions(dir_.File("ro"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  if (geteuid() != 0) {  // root writes anywhere
    EXPECT_FALSE(CanWriteOutput(dir_.File("ro/kept.bin"), &error));
    EXPECT_NE(error.find("its directory " + dir_.File("ro") + " takes no new file (Permission denied)"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("even though " + dir_.File("ro/kept.bin") + " exists"), std::string::npos) << error;
  }
  std::filesystem::permissions(dir_.File("ro"), std::filesystem::perms::owner_all);
  // The library takes 511 characters, the temporary name's suffix included.
  const std::string deep = dir_.File(std::string(kMaxBackupPathLength, 'x'));
  EXPECT_FALSE(CanWriteOutput(deep, &error));
  EXPECT_NE(error.find("longer than the library takes"), std::string::npos) << error;
}

TEST_F(ToolImageFiles, OutputFileReplacesTheUsersFileOnlyWhenCommitted) {
  const std::string path = dir_.File("backup.bin");
  WriteFileBytes(path, PatternBytes(50, 1));
  auto beside = [&] {  // the names in the directory other than the user's file
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      if (e.path().filename() != "backup.bin") names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  std::string error;
  {
    // A run cut off: the earlier file stays, the temporary one goes; the file of a run before (or of
    // one still running) is not touched.
    WriteFileBytes(path + ".partial", PatternBytes(7, 2));
    OutputFile out(path);
    ASSERT_TRUE(out.Begin(&error)) << error;
    EXPECT_EQ(0u, std::filesystem::file_size(out.WorkingPath()));
    WriteFileBytes(out.WorkingPath(), PatternBytes(20, 3));
    EXPECT_EQ(path + " is left as it was; what was received is discarded", out.NotWritten());
    EXPECT_FALSE(std::filesystem::exists(out.WorkingPath()));
  }
  EXPECT_EQ(PatternBytes(50, 1), testing_support::ReadFileBytes(path));
  EXPECT_EQ(std::vector<std::string>{"backup.bin.partial"}, beside());
  {
    // Two at once for one file (here in one process): each receives into a file of its own.
    OutputFile first(path);
    ASSERT_TRUE(first.Begin(&error)) << error;
    WriteFileBytes(first.WorkingPath(), PatternBytes(20, 3));
    OutputFile second(path);
    ASSERT_TRUE(second.Begin(&error)) << error;
    EXPECT_NE(first.WorkingPath(), second.WorkingPath());
    EXPECT_EQ(PatternBytes(20, 3), testing_support::ReadFileBytes(first.WorkingPath()));
    // Abandoned without a word (an early return): the temporary files still go.
  }
  EXPECT_EQ(std::vector<std::string>{"backup.bin.partial"}, beside());
  {
    OutputFile out(path);
    ASSERT_TRUE(out.Begin(&error)) << error;
    WriteFileBytes(out.WorkingPath(), PatternBytes(30, 5));
    ASSERT_TRUE(out.Commit(&error)) << error;
  }
  EXPECT_EQ(PatternBytes(30, 5), testing_support::ReadFileBytes(path));
  EXPECT_EQ(std::vector<std::string>{"backup.bin.partial"}, beside());
  OutputFile fresh(dir_.File("never.bin"));
  EXPECT_EQ(dir_.File("never.bin") + " was not written; what was received is discarded", fresh.NotWritten());
}

// The format's read-back: it never takes the place of an existing file, and one that failed is kept
// under a name no other file has.
TEST_F(ToolImageFiles, AFileThatMustNotReplaceOneIsKeptApart) {
  const std::string path = dir_.File("ffs.bin");
  std::string error;
  {
    OutputFile out(path, OutputFile::Existing::Keep);
    ASSERT_TRUE(out.Begin(&error)) << error;
    WriteFileBytes(out.WorkingPath(), PatternBytes(30, 6));
    WriteFileBytes(path, PatternBytes(10, 7));  // appeared meanwhile
    EXPECT_FALSE(out.Commit(&error));
    EXPECT_NE(std::string::npos, error.find("; it is in " + out.WorkingPath())) << error;
    EXPECT_EQ(PatternBytes(10, 7), testing_support::ReadFileBytes(path));
    EXPECT_EQ(PatternBytes(30, 6), testing_support::ReadFileBytes(out.WorkingPath()));
    std::filesystem::remove(out.WorkingPath());
  }
  std::filesystem::remove(path);
  for (const char* kept_as : {"ffs.bin.incomplete", "ffs.bin.incomplete-2"}) {
    OutputFile out(path, OutputFile::Existing::Keep);
    ASSERT_TRUE(out.Begin(&error)) << error;
    WriteFileBytes(out.WorkingPath(), PatternBytes(20, 8));
    EXPECT_EQ(dir_.File(kept_as), out.KeepIncomplete());
  }
  EXPECT_EQ(PatternBytes(20, 8), testing_support::ReadFileBytes(dir_.File("ffs.bin.incomplete")));
  EXPECT_EQ(PatternBytes(20, 8), testing_support::ReadFileBytes(dir_.File("ffs.bin.incomplete-2")));
  {
    OutputFile out(path, OutputFile::Existing::Keep);
    ASSERT_TRUE(out.Begin(&error)) << error;
    EXPECT_EQ("", out.KeepIncomplete()) << "nothing received, nothing kept";
  }
  EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(dir_.path()), {}));
}

TEST(ToolScratch, ReadBackFilesLiveInAPrivateDirectoryThatGoesWithThem) {
  std::string file;
  {
    ScratchDirectory scratch;
    file = scratch.File("verify-OS.bin");
    ASSERT_FALSE(file.empty());
    const std::filesystem::path dir = std::filesystem::path(file).parent_path();
    EXPECT_EQ(dir, std::filesystem::path(scratch.File("other.bin")).parent_path());  // one directory per run
    EXPECT_EQ(std::filesystem::perms::owner_all,
              std::filesystem::status(dir).permissions() & std::filesystem::perms::all);
    WriteFileBytes(file, PatternBytes(10));
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(file).parent_path()));
}

TEST(ToolVerify, FirstDifferenceFindsTheFirstDifferingByteOrTheShortEnd) {
  const Bytes image = PatternBytes(200000, 4);
  EXPECT_FALSE(FirstDifference(image, image).has_value());
  Bytes longer = image;
  longer.push_back(0xFF);
  EXPECT_FALSE(FirstDifference(image, longer).has_value()) << "bytes beyond the image are not compared";
  Bytes changed = image;
  changed[70000] ^= 1;
  changed[150000] ^= 1;
  EXPECT_EQ(70000u, FirstDifference(image, changed).value());
  Bytes shorter(image.begin(), image.begin() + 1234);
  EXPECT_EQ(1234u, FirstDifference(image, shorter).value());
  EXPECT_EQ(0u, FirstDifference(image, Bytes{}).value());
  EXPECT_FALSE(FirstDifference(Bytes{}, Bytes{}).has_value());
}

TEST(ToolVerify, OnlyTheLastImageOfAnAreaIsVerifiedInFirstAppearanceOrder) {
  std::vector<CheckedImage> images(4);
  const char* areas[] = {"EBOOT", "OS", "EBOOT", "IPL"};
  for (int i = 0; i < 4; ++i) {
    images[i].area = areas[i];
    images[i].arg.path = "img" + std::to_string(i);
  }
  auto chosen = ImagesToVerify(images);
  ASSERT_EQ(3u, chosen.size());
  EXPECT_EQ("img2", chosen[0]->arg.path);
  EXPECT_EQ("img1", chosen[1]->arg.path);
  EXPECT_EQ("img3", chosen[2]->arg.path);
}

TEST(ToolVerify, CompareAreaLimitsToTheReadBackAndDescribesTheFailure) {
  testing_support::TempDir dir;
  const Bytes file = PatternBytes(5000, 5);
  WriteFileBytes(dir.File("ext.bin"), file);
  CheckedImage img;
  img.area = "EXTROM";
  img.arg.path = dir.File("ext.bin");
  img.payload_size = 5000;
  AreaCheck covered = CompareArea(img, Bytes(file.begin(), file.begin() + 4000), 4000);
  EXPECT_TRUE(covered.checked && covered.matches);
  EXPECT_EQ(4000u, covered.compared);
  EXPECT_NE(std::string::npos, DescribeCheck(covered).find("covers the first 4,000 of 5,000 bytes"));

  AreaCheck shorter = CompareArea(img, Bytes(file.begin(), file.begin() + 3000), 5000);
  EXPECT_FALSE(shorter.matches);
  EXPECT_EQ("EXTROM differs from " + img.arg.path +
                " at offset 0xbb8 (3,000): the handheld holds only 3,000 of its 5,000 bytes",
            DescribeCheck(shorter));
  Bytes bad = file;
  bad[17] = static_cast<uint8_t>(~bad[17]);
  EXPECT_EQ("EXTROM differs from " + img.arg.path + " at offset 0x11 (17)", DescribeCheck(CompareArea(img, bad, 5000)));

  // Bytes beyond the image do not count for a read-back that covers only its start; in a whole area
  // they are a mismatch.
  Bytes longer = file;
  longer.resize(5064, 0xFF);
  EXPECT_TRUE(CompareArea(img, longer, 5000).matches);
  AreaCheck whole = CompareArea(img, longer, 5000, /*whole_area=*/true);
  EXPECT_FALSE(whole.matches);
  EXPECT_EQ("EXTROM (" + img.arg.path + "): the handheld holds 5,064 bytes, the image 5,000", DescribeCheck(whole));
  EXPECT_TRUE(CompareArea(img, file, 5000, /*whole_area=*/true).matches);

  // Behind a header, the file offset to look up is given too.
  img.arg.header_len = 100;
  img.payload_size = 4900;
  Bytes payload(file.begin() + 100, file.end());
  payload[0x20] = static_cast<uint8_t>(~payload[0x20]);
  EXPECT_EQ("EXTROM differs from " + img.arg.path + " at offset 0x20 (32) of the area (file offset 0x84, after "
            "the header)",
            DescribeCheck(CompareArea(img, payload, 4900)));

  // An image that can no longer be read is not a check that passed.
  std::filesystem::remove(img.arg.path);
  AreaCheck gone = CompareArea(img, payload, 4900);
  EXPECT_FALSE(gone.checked);
  EXPECT_TRUE(gone.image_unreadable);
}

// The last line of a run names every area the checks left open, in part or whole.
TEST(ToolVerify, WhatTheChecksLeftOpenIsNamedAreaByArea) {
  AreaCheck whole;
  whole.area = "EBOOT";
  whole.checked = whole.matches = true;
  whole.compared = whole.image_length = 393216;
  AreaCheck part = whole;
  part.area = "GSM";
  part.compared = 5242880;
  part.image_length = 5767168;
  AreaCheck none;
  none.area = "ASSET";
  AreaCheck extrom = none;
  extrom.area = "EXTROM";
  EXPECT_TRUE(CheckedWhole(whole));
  EXPECT_TRUE(CheckedInPart(part));
  EXPECT_FALSE(CheckedWhole(part));
  EXPECT_EQ("", UncheckedSummary({whole}));
  EXPECT_EQ("GSM was checked only in part (5,242,880 of 5,767,168 bytes)", UncheckedSummary({whole, part}));
  EXPECT_EQ("GSM was checked only in part (5,242,880 of 5,767,168 bytes), ASSET not checked at all and EXTROM not "
            "checked at all",
            UncheckedSummary({part, none, whole, extrom}));
}

TEST(ToolVerify, BackupTypesCoverTheirAreas) {
  EXPECT_EQ(0, BackupTypeForArea("EBOOT").value());
  EXPECT_EQ(1, BackupTypeForArea("IPL").value());
  EXPECT_EQ(2, BackupTypeForArea("OS").value());
  EXPECT_EQ(3, BackupTypeForArea("GSM").value());
  EXPECT_EQ(4, BackupTypeForArea("EXTROM").value());
  EXPECT_FALSE(BackupTypeForArea("ASSET").has_value());
  EXPECT_EQ(393216u, FixedBackupSize(0));
  EXPECT_EQ(5242880u, FixedBackupSize(3));
  EXPECT_EQ(0u, FixedBackupSize(2));
}

// ---- The command line ----

CommandLine Parse(std::vector<std::string> args, int* code) {
  std::vector<const char*> argv = {"dravik-update"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  CommandLine cl;
  *code = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &cl);
  return cl;
}

TEST(ToolCommandLine, ImagesAreQueuedInTheOrderGivenAcrossOptions) {
  int code = 0;
  CommandLine cl = Parse({"--os", "a.nb0:16", "--eboot", "b.nb0", "--extrom", "c.bin", "--os", "d.nb0"}, &code);
  ASSERT_EQ(-1, code);
  ASSERT_EQ(4u, cl.images.size());
  EXPECT_EQ(3, cl.images[0].feature);
  EXPECT_EQ(16, cl.images[0].header_len);
  EXPECT_EQ(1, cl.images[1].feature);
  EXPECT_EQ(17, cl.images[2].feature);
  EXPECT_EQ("d.nb0", cl.images[3].path);
  EXPECT_EQ(Command::Flash, cl.command);
}

TEST(ToolCommandLine, CommandsTakeTheGlobalOptionsOnEitherSide) {
  int code = 0;
  CommandLine cl = Parse({"--quiet", "backup", "4", "ext.bin", "--port", "/dev/ttyACM0", "--wait", "30"}, &code);
  ASSERT_EQ(-1, code);
  EXPECT_EQ(Command::Backup, cl.command);
  EXPECT_EQ(4, cl.backup_type);
  EXPECT_EQ("ext.bin", cl.backup_file);
  EXPECT_EQ("/dev/ttyACM0", cl.port);
  EXPECT_EQ(30.0, cl.wait_timeout_s);
  EXPECT_TRUE(cl.quiet);
  cl = Parse({"--os", "a", "--no-verify", "--format", "4"}, &code);
  ASSERT_EQ(-1, code);
  EXPECT_EQ(VerifyMode::None, cl.verify);
  EXPECT_TRUE(cl.format);
  EXPECT_EQ(4, cl.format_type);
}

TEST(ToolCommandLine, InconsistentRequestsAreUsageErrors) {
  int code = 0;
  Parse({"--os", "a", "--verify", "storage", "--handheld-dir", ""}, &code);
  EXPECT_EQ(64, code);
  Parse({"list", "--format", "0"}, &code);
  EXPECT_EQ(64, code);
  Parse({"--os", "a", "--wait", "-3"}, &code);
  EXPECT_EQ(64, code);
  Parse({"--os", "a", "--host-class", "me"}, &code);
  EXPECT_EQ(64, code);
}

// ---- What the user is told about a device that cannot be opened ----

TEST(ToolDevice, OpenErrorsTheLibraryLogsAreExplainedWithTheFix) {
  std::string denied = DescribeOpenError(5, "/dev/ttyACM0");
  EXPECT_NE(std::string::npos, denied.find("permission denied on /dev/ttyACM0")) << denied;
  EXPECT_NE(std::string::npos, denied.find("60-dravik.rules")) << denied;
  EXPECT_NE(std::string::npos, denied.find("dialout")) << denied;
  EXPECT_NE(std::string::npos, DescribeOpenError(32, "/dev/ttyACM0").find("ModemManager"));
  EXPECT_NE(std::string::npos, DescribeOpenError(2, "/dev/ttyACM0").find("does not exist"));
  EXPECT_NE(std::string::npos, DescribeOpenError(1167, "COM7").find("platform error 1167"));
  // A socket (the WinUSB path) and a device that is not there are no permission matter.
  FoundDevice socket_device{"\\\\?\\usb", "", "socket:/tmp/x.sock", true};
  EXPECT_EQ("", PermissionProblem(socket_device));
  FoundDevice missing{"COM7", "", "/nonexistent/tty", true};
  EXPECT_EQ("", PermissionProblem(missing));
}

TEST(ToolDevice, TheLibraryOpensThePortOrTheInterfaceByItsDriverSetting) {
  HostView view;
  view.ports = {{"COM7", "sym", "/dev/pts/1", true}};
  view.interfaces = {{"\\\\?\\far", "", "/dev/pts/2", false}, {"\\\\?\\near", "", "/dev/pts/3", true}};
  view.driver = 1;
  ASSERT_NE(nullptr, DeviceTheLibraryOpens(view));
  EXPECT_EQ("COM7", DeviceTheLibraryOpens(view)->name);
  view.driver = 0;
  EXPECT_EQ("/dev/pts/3", DeviceTheLibraryOpens(view)->opens) << "interfaces beyond the search are passed over";
  view.interfaces.clear();
  EXPECT_EQ(nullptr, DeviceTheLibraryOpens(view));
  EXPECT_EQ("XP plus", HostClassName(5, 1));
  EXPECT_EQ("Windows 2000 or older", HostClassName(5, 0));
  EXPECT_EQ("Vista or later", HostClassName(6, 1));
}

// ---- Progress figures and the log ----

TEST(ToolProgress, BarAndLineShowPercentLabelRateAndTimeLeft) {
  ProgressSample s;
  s.percent = 50;
  s.label = "OS os.nb0";
  s.bytes_total = 20 << 20;
  s.bytes_done = 10 << 20;
  s.seconds = 2;
  EXPECT_EQ("[###############...............]  50%  OS os.nb0  5.0 MiB/s  0:02 left", RenderBar(s, 30));
  EXPECT_EQ("progress  50%  OS os.nb0  10.0 MiB of 20.0 MiB  5.0 MiB/s  0:02 left", RenderLine(s));
  s.percent = 130;
  s.bytes_done = 0;
  EXPECT_EQ("[##########] 100%  OS os.nb0", RenderBar(s, 10)) << "no rate before bytes flow; percent capped";
  // Within the first second no rate means anything yet.
  s.percent = 76;
  s.bytes_done = s.bytes_total * 76 / 100;
  s.seconds = 0.1;
  EXPECT_EQ("progress  76%  OS os.nb0  15.2 MiB of 20.0 MiB", RenderLine(s));
  EXPECT_EQ("1:05", FormatDuration(65));
  EXPECT_EQ("1:00:00", FormatDuration(3600));
}

// The bar's line never reaches the terminal's last column, where it would wrap and leave a line behind
// at every redraw: the bar gives way first, then the file name, then the time left and the rate.
TEST(ToolProgress, TheBarFitsTheTerminalLessOneColumn) {
  ProgressSample s;
  s.percent = 45;
  s.label = "GSM gsm-image-for-the-radio.nb0";
  s.bytes_total = 20 << 20;
  s.bytes_done = 9 << 20;
  s.seconds = 2;
  EXPECT_EQ(RenderBar(s, 30), RenderBarToFit(s, 200));
  EXPECT_EQ("[#######..........]  45%  GSM gsm-image-for-the-radio.nb0  4.5 MiB/s  0:02 left",
            RenderBarToFit(s, 80));
  EXPECT_EQ("[####......]  45%  GSM gsm-image-for-the-radio.nb  4.5 MiB/s  0:02 left", RenderBarToFit(s, 72));
  EXPECT_EQ("[####......]  45%  GSM gsm-image-for-t  4.5 MiB/s  0:02 left", RenderBarToFit(s, 61));
  EXPECT_EQ("[####......]  45%  GSM  4.5 MiB/s", RenderBarToFit(s, 40));
  EXPECT_EQ("[####......]  45%  GSM", RenderBarToFit(s, 30));
  EXPECT_EQ("  45%  GSM", RenderBarToFit(s, 11));
  for (int columns : {200, 81, 80, 72, 61, 60, 50, 44, 40, 33, 30, 25, 20, 12, 11, 8, 2, 1, 0}) {
    const std::string line = RenderBarToFit(s, columns);
    EXPECT_LE(line.size(), static_cast<size_t>(columns > 1 ? columns - 1 : 0)) << columns << ": " << line;
  }
}

TEST(ToolTerminal, TheWidthIsAskedOfTheTerminalAndCutsRespectCharacters) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 60;
  ASSERT_EQ(0, ioctl(master, TIOCSWINSZ, &size));
  EXPECT_EQ(60, TerminalColumnsOf(terminal));
  size.ws_col = 45;  // resized during the run
  ASSERT_EQ(0, ioctl(master, TIOCSWINSZ, &size));
  EXPECT_EQ(45, TerminalColumnsOf(terminal));
  close(terminal);
  close(master);
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  EXPECT_EQ(0, TerminalColumnsOf(fds[1])) << "a pipe has no width";
  close(fds[0]);
  close(fds[1]);

  EXPECT_EQ("waiting", CutToWidth("waiting", 7));
  EXPECT_EQ("wait", CutToWidth("waiting", 4));
  EXPECT_EQ("ab", CutToWidth("ab\xE2\x80\xA6", 4)) << "no half of the ellipsis";
  EXPECT_EQ("ab\xE2\x80\xA6", CutToWidth("ab\xE2\x80\xA6" "c", 5));
}

// The standstill is counted between polls that come at their interval; a gap far beyond it is a tool
// that did not run (stopped, or the machine asleep), after which the count starts again.
TEST(ToolStallGuard, APauseBetweenPollsIsNoStandstill) {
  StallGuard guard(1000, 100);
  uint32_t now = 1000;
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(guard.Poll(now += 100, 7));
  EXPECT_EQ(4900u, guard.StillFor(now));
  EXPECT_TRUE(guard.Poll(now += 1500, 7)) << "a late poll of a busy machine still counts";
  EXPECT_EQ(6400u, guard.StillFor(now));
  EXPECT_FALSE(guard.Poll(now += 3000000, 7));
  EXPECT_EQ(0u, guard.StillFor(now));
  EXPECT_EQ(0u, guard.RunningFor(now));
  EXPECT_TRUE(guard.Poll(now += 100, 7));
  EXPECT_EQ(100u, guard.StillFor(now));
  EXPECT_TRUE(guard.Poll(now += 100, 8));
  EXPECT_EQ(0u, guard.StillFor(now)) << "progress restarts the count";
  EXPECT_EQ(200u, guard.RunningFor(now));

  // GetTickCount wraps after 49.7 days.
  StallGuard wrapping(0xFFFFFF00u, 100);
  EXPECT_TRUE(wrapping.Poll(0x00000010u, 0));
  EXPECT_EQ(0x110u, wrapping.RunningFor(0x00000010u));
}

TEST(ToolLog, LinesSinceTheMarkWithoutTheirLineEnds) {
  testing_support::TempDir dir;
  const std::string path = dir.File("logfile.txt");
  WriteFileBytes(path, {'o', 'l', 'd', '\r', '\n'});
  LogWatch log(path);
  log.Mark();
  FILE* f = std::fopen(path.c_str(), "ab");
  std::fputs("err: 5\r\r\nOpenComPort(): Fail\r\nerr: 32\r\n", f);
  std::fclose(f);
  EXPECT_EQ((std::vector<std::string>{"err: 5", "OpenComPort(): Fail", "err: 32"}), log.LinesSinceMark());
  EXPECT_EQ("err: 32", log.LastLineStartingWith("err: "));
  EXPECT_TRUE(log.SinceMarkContains("Fail"));
  EXPECT_FALSE(log.SinceMarkContains("old"));
  // A log that was replaced by a shorter one is read from its start.
  WriteFileBytes(path, {'n', 'e', '\r', '\n'});
  EXPECT_EQ((std::vector<std::string>{"ne"}), log.LinesSinceMark());
}

// The job under way is the one the worker started last, counted in the list's order: a job passed over
// counts, the retries of a flash command do not, and a line is taken only once it has ended.
TEST(ToolJobFollower, FollowsTheJobsTheWorkerStartsAndSkips) {
  testing_support::TempDir dir;
  const std::string path = dir.File("logfile.txt");
  WriteFileBytes(path, {'o', 'l', 'd', '\r', '\n'});
  JobFollower jobs(path, 5);
  EXPECT_EQ(-1, jobs.CurrentJob());
  auto append = [&](const char* text) {
    FILE* f = std::fopen(path.c_str(), "ab");
    std::fputs(text, f);
    std::fclose(f);
  };
  append("ProcessOneJob():SendFlashCmd 1 1\r\r\n\r\n");
  EXPECT_EQ(0, jobs.CurrentJob());
  append("ProcessOneJob():SendFlashCmd id=1 id=1 transf=3000 add=0\r\r\n\r\n");
  EXPECT_EQ(0, jobs.CurrentJob());
  append("ProcessOneJob(): job FeatureID=7 FileName=asset.dat skipped: the file cannot be opened\r\n"
         "ProcessOneJob():Send");
  EXPECT_EQ(0, jobs.CurrentJob());
  append("FlashCmd 3 3\r\r\n\r\n");
  EXPECT_EQ(2, jobs.CurrentJob());
}

}  // namespace
