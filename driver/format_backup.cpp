// The disk format and backup exchanges: one command packet, the wait for the device's "FF112254", and
// for the commands that produce data the read-back of 1520-byte data packets into a file.
//
// The device may stop answering at any point. The command-write retries and the read-back end when the
// link reports the device gone or when no packet has gone through for a minute; the completion wait ends
// when the device is gone or after fifteen minutes without any packet (a format can take minutes). A
// device that is gone has its link closed, so that the next operation finds and opens it again.
#include "format_backup.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "jobs.h"
#include "packet_link.h"
#include "startup.h"
#include "winusb_channel.h"

namespace {

using Frame = std::array<uint8_t, kPacketFrameSize>;

constexpr uint32_t kFormatBackupSize = 0x10000;  // format type 3: the GSMFFS area
constexpr uint32_t kBootBackupSize = 0x60000;    // backup type 0
constexpr uint32_t kGsmBackupSize = 0x500000;    // backup type 3
constexpr size_t kCodeSize = 8;
// What a read-back gathers before it writes to its file. A partition's backup goes out in large pieces,
// for fewer writes between packets. A format's read-back is the only copy of what the format erased, and
// is written as it comes: a read-back that stalls or is interrupted keeps all but its last few packets.
constexpr size_t kBackupFilePiece = 64 * 1024;
constexpr size_t kFormatCopyFilePiece = 4 * 1024;
constexpr char kCompletionCode[] = "FF112254";

const char* FormatCode(int cmd) {
  switch (cmd) {
    case 0: return "FF112253";
    case 3: return "FF112257";
    case 4: return "FF112264";
    default: return nullptr;  // the packet goes out with bytes 0-7 zero
  }
}

const char* BackupCode(int cmd) {
  switch (cmd) {
    case 0: return "FF112261";
    case 1: return "FF112260";
    case 2: return "FF112259";
    case 3: return "FF112258";
    case 4: return "FF112262";
    default: return nullptr;  // the all-zero packet goes out
  }
}

uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The device is gone: close the link and mark it invalid, so that the next operation opens it afresh.
void DropGoneLink(HANDLE link) {
  if (IsVistaOrLater() || FlashState.bLinkIsWinUsb) ReleaseWinUSB();
  if (IsLinkOpen(link)) CloseHandle(link);
  if (FlashState.hLink == link) {
    FlashState.hLink = INVALID_HANDLE_VALUE;
    FlashState.bLinkIsWinUsb = false;
  }
}

// After a failed transfer of a retry loop: true when the loop has to stop (the reason is logged).
bool RetriesExhausted(HANDLE link, const char* who, const char* what) {
  if (IsDeviceGone()) {
    LogPrintf("%s(): the device is gone, %s", who, what);
    DropGoneLink(link);
    return true;
  }
  const DWORD quiet = MillisecondsSinceLastSuccess();
  if (quiet >= kLinkQuietLimitMs) {
    LogPrintf("%s(): no packet went through for %u ms, %s", who, static_cast<unsigned>(quiet), what);
    return true;
  }
  return false;
}

// Sends the command frame: once on a host that is not XP plus (its result does not matter), else every
// 500 ms until the device acknowledges it. Returns 0 only when the device stopped answering.
int SendCommandFrame(HANDLE link, const Frame& frame, const char* who) {
  if (!IsXpPlus()) {
    LogPrintf("%s():USBWritePacket Not XP plus", who);
    USBWritePacket(link, frame.data(), kPacketFrameSize);
    return 1;
  }
  for (;;) {
    LogPrintf("%s():USBWritePacket", who);
    Sleep(500);
    if (USBWritePacket(link, frame.data(), kPacketFrameSize)) return 1;
    if (RetriesExhausted(link, who, "the command was not sent")) return 0;
  }
}

void DumpFrame(const char* name, const Frame& frame) {
  FILE* file = std::fopen(name, "wb");
  if (file == nullptr) return;
  std::fwrite(frame.data(), 1, frame.size(), file);
  std::fclose(file);
}

// Reads frames until one starts with "FF112254"; it is left in frame. Returns 0 when the device is gone or
// sent no packet for fifteen minutes.
int WaitForCompletion(HANDLE link, Frame& frame, const char* who, const char* dumpName) {
  DWORD mask = 0;
  if (g_PurgeTx != 0) mask |= PURGE_TXABORT | PURGE_TXCLEAR;
  if (g_PurgeRx != 0) mask |= PURGE_RXABORT | PURGE_RXCLEAR;
  DWORD lastPacket = GetTickCount();
  for (;;) {
    LogPrintf("%s(): USBReadPacket", who);
    if (mask != 0) {
      LogPrintf("%s(): PurgeComm Tx=%d Rx=%d", who, static_cast<int>(mask & PURGE_TXCLEAR),
                static_cast<int>(mask & PURGE_RXCLEAR));
      PurgeComm(link, mask);
    }
    const int ok = USBReadPacket(link, frame.data(), kPacketFrameSize);
    if (g_DebugON != 0) DumpFrame(dumpName, frame);
    if (!ok) {
      LogPrintf("%s(): receive format complete fail", who);
      if (IsDeviceGone()) {
        LogPrintf("%s(): the device is gone, no completion received", who);
        DropGoneLink(link);
        return 0;
      }
      const DWORD quiet = GetTickCount() - lastPacket;
      if (quiet >= kCompletionQuietLimitMs) {
        LogPrintf("%s(): no packet for %u ms, no completion received", who, static_cast<unsigned>(quiet));
        return 0;
      }
      continue;
    }
    lastPacket = GetTickCount();
    if (std::memcmp(frame.data(), kCompletionCode, kCodeSize) != 0) {
      LogPrintf("%s(): receive wrong packet", who);
      continue;
    }
    LogPrintf("%s(): receive format ok", who);
    return 1;
  }
}

// After the last announced byte of a read-back: how many bytes the device sent beyond it. On a serial link
// a data packet that arrives short and is then sent again whole is taken, by a read that does not end at
// the gap, together with the start of the resend as one frame; every later frame is out of step, and the
// rest of the last one is left over. A moment is given for bytes still on their way. A pipe read ends at
// the device's short transfer, so the WinUSB link cannot get out of step this way.
DWORD BytesBeyondTheEnd(HANDLE link) {
  if (LinkUsesWinUsb()) return 0;
  for (int check = 0;; ++check) {
    DWORD dwErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(link, &dwErrors, &stat)) return 0;
    if (stat.cbInQue > 0 || check == 2) return stat.cbInQue;
    Sleep(100);
  }
}

// How many bytes wait in the receive queue of a serial link (0 when it cannot be told).
DWORD QueuedBytes(HANDLE link) {
  DWORD dwErrors = 0;
  COMSTAT stat{};
  return ClearCommError(link, &dwErrors, &stat) ? stat.cbInQue : 0;
}

// Clears the receive queue of a link that is out of step, `queued` bytes seen there already, together
// with the rest of them still on their way (a USB-serial line may pause inside a frame): the queue is
// cleared again until a look 100 ms after the last clearing finds nothing, for at most 2 s of the
// platform clock. Returns how many bytes were discarded; the queue is looked at again right before each
// clearing, so that bytes that arrived since the last look are counted too.
DWORD DiscardUntilQuiet(HANDLE link, DWORD queued) {
  DWORD total = 0;
  DWORD seen = queued;
  for (int look = 0; look < 20; ++look) {
    const DWORD now = QueuedBytes(link);
    total += now > seen ? now : seen;
    PurgeComm(link, PURGE_RXCLEAR | PURGE_RXABORT);
    Sleep(100);
    seen = QueuedBytes(link);
    if (seen == 0) return total;
  }
  total += QueuedBytes(link);
  PurgeComm(link, PURGE_RXCLEAR | PURGE_RXABORT);
  return total;
}

// Reads size bytes of backup data into file, in arrival order, and closes it. Returns 1 when all of them
// arrived and were stored. A read-back that ends early leaves the file holding what arrived; a write that
// falls short stops the writing but not the reading, so that the link stays in step with the device.
// Bytes waiting on a serial link behind a frame before it is acknowledged, or after the last one, mean the
// data is out of step: the read-back is not complete, and they are discarded so that the next exchange
// starts clean.
// The file is written in pieces of filePiece bytes. With progress, the progress percent follows the bytes
// received; it reaches 100 only once the file is complete and closed and the link shows nothing beyond it
// (until then it stops at 99).
int ReadIntoFile(HANDLE link, FILE* file, uint32_t size, size_t filePiece, const char* who, bool progress) {
  // The buffer is ours: given none, glibc keeps one of the file system's block size whatever size is
  // asked for. The file is closed before this function returns, so the buffer outlives its use.
  const std::unique_ptr<char[]> fileBuffer(new (std::nothrow) char[filePiece]);
  if (fileBuffer) std::setvbuf(file, fileBuffer.get(), _IOFBF, filePiece);
  Frame frame{};
  uint32_t remaining = size;
  uint32_t received = 0;
  const uint32_t unit = size / 100;
  bool storeFailed = false;
  while (remaining != 0) {
    DWORD behind = 0;
    if (!USBReadPacketInStep(link, frame.data(), &behind)) {
      if (behind != 0) {
        // Taken for whole, the frame would shift every later byte of the file; two such frames can even
        // bring the count back to the announced size, so the end of the read-back would not show it.
        std::fclose(file);
        const DWORD discarded = DiscardUntilQuiet(link, behind);
        LogPrintf("%s(): %u bytes wait behind the packet at byte %u of %u: a packet arrived short and the data "
                  "is out of step, the backup is not complete",
                  who, static_cast<unsigned>(discarded), static_cast<unsigned>(received),
                  static_cast<unsigned>(size));
        return 0;
      }
      if (RetriesExhausted(link, who, "the read-back ended early")) {
        std::fclose(file);
        LogPrintf("%s(): %u of %u bytes received", who, static_cast<unsigned>(received),
                  static_cast<unsigned>(size));
        return 0;
      }
      continue;
    }
    LogPrintf("%s(): Get a packet Remain=%d", who, static_cast<int>(remaining));
    const uint32_t n = remaining < kPacketFrameSize ? remaining : kPacketFrameSize;
    if (!storeFailed && std::fwrite(frame.data(), 1, n, file) != n) {
      storeFailed = true;
      LogPrintf("%s(): writing the file failed after %u bytes, the rest is read and dropped", who,
                static_cast<unsigned>(received));
    }
    remaining -= n;
    received += n;
    if (remaining == 0) {
      if (std::fclose(file) != 0 && !storeFailed) {
        storeFailed = true;
        LogPrintf("%s(): closing the file failed, its content is incomplete", who);
      }
      file = nullptr;
    }
    if (progress) {
      uint32_t percent = unit != 0 ? received / unit : static_cast<uint32_t>(uint64_t{received} * 100u / size);
      // 100 means the file is complete, which is known only at the end: the whole-percent unit rounds
      // down, so for some sizes the bytes received reach 100 units while the last packet is still to
      // come, and after the last one the link is still to be looked at. A caller that stops polling at
      // 100 would otherwise take a truncated backup for a whole one.
      if (percent > 99) percent = 99;
      FlashState.nProgress.store(static_cast<int32_t>(percent));
    }
  }
  if (file != nullptr) std::fclose(file);  // nothing to read
  if (size != 0) {
    const DWORD beyond = BytesBeyondTheEnd(link);
    if (beyond != 0) {
      const DWORD discarded = DiscardUntilQuiet(link, beyond);
      LogPrintf("%s(): %u bytes beyond the backup's %u wait on the link: a packet arrived short and the data is "
                "out of step, the backup is not complete",
                who, static_cast<unsigned>(discarded), static_cast<unsigned>(size));
      return 0;
    }
  }
  if (storeFailed) {
    LogPrintf("%s(): the backup file is incomplete", who);
    return 0;
  }
  LogPrintf("%s(): Get Backup Done!", who);
  if (progress) FlashState.nProgress.store(100);
  return 1;
}

// Whether the file can be written, found out without changing it: an existing file keeps its bytes, a
// new one is removed again. Only a file that was not there is removed: one that exists but cannot be
// read (write-only) is somebody's earlier backup.
bool CanWrite(const char* name) {
  errno = 0;
  FILE* existing = std::fopen(name, "rb");
  const bool absent = existing == nullptr && errno == ENOENT;
  if (existing != nullptr) std::fclose(existing);
  FILE* file = std::fopen(name, "ab");
  if (file == nullptr) return false;
  std::fclose(file);
  if (absent) std::remove(name);
  return true;
}

}  // namespace

int SendFormatDisk(HANDLE link, int cmd, const char* path) {
  Frame frame{};
  LogPrintf("SendFormatDisk() cmd=%d", cmd);
  if (FlashState.pJobs == nullptr) return 0;
  // The read-back of a type 3 format is the only copy the host gets of what the device erases: a file
  // that cannot be written is found out before the device is told anything.
  if (cmd == 3 && !CanWrite(path != nullptr ? path : "")) {
    LogPrintf("ReadBackup(): Open File %s Err", path != nullptr ? path : "");
    LogPrintf("SendFormatDisk(): the backup file cannot be written, the format is not sent");
    return 0;
  }

  Each_ROMSize* sizes = nullptr;
  GetEachROMSize(FlashState.pJobs, &sizes);
  if (sizes == nullptr) {
    LogPrintf("SendFormatDisk(): no size block, the format is not sent");
    return 0;
  }
  const char* code = FormatCode(cmd);
  if (code != nullptr) std::memcpy(frame.data(), code, kCodeSize);
  std::memcpy(frame.data() + kCodeSize, sizes, sizeof(Each_ROMSize));
  std::free(sizes);

  if (IsVistaOrLater() && !InitWinUSB(link)) LogPrintf("InitWinUSB Error!");
  LogPrintf("test4");
  ResetLinkHealth();
  if (!SendCommandFrame(link, frame, "SendFormatDisk")) return 0;

  frame.fill(0);
  if (!WaitForCompletion(link, frame, "SendFormatDisk", "RES_FORMAT_DONE.dat")) return 0;
  if (cmd == 3) return ReadBackup(link, path);
  return 1;
}

int ReadBackup(HANDLE link, const char* path) {
  const char* name = path != nullptr ? path : "";
  FILE* file = std::fopen(name, "wb");
  if (file == nullptr) {
    LogPrintf("ReadBackup(): Open File %s Err", name);
    return 0;
  }
  return ReadIntoFile(link, file, kFormatBackupSize, kFormatCopyFilePiece, "ReadBackup", false);
}

int SendBackUp(HANDLE link, int cmd, const char* path) {
  Frame frame{};
  uint32_t dwOSSize = 0;
  uint32_t dwEXTSize = 0;
  uint32_t dwIPLSize = 0;
  // A file that cannot be written is found out before the device is asked for anything: once asked, it
  // sends the whole area, and data nobody reads would stay on the link ahead of the next exchange.
  if (!CanWrite(path != nullptr ? path : "")) {
    LogPrintf("ReadBackupEx(): Open File %s Err", path != nullptr ? path : "");
    LogPrintf("SendBackUp(): the backup file cannot be written, the backup is not sent");
    return 0;
  }
  const char* code = BackupCode(cmd);
  if (code != nullptr) std::memcpy(frame.data(), code, kCodeSize);

  // The pipes are set up here as for a format: a backup may be the first exchange on a link just opened,
  // and no transfer goes through the WinUSB device before InitWinUSB has run on it.
  if (IsVistaOrLater() && !InitWinUSB(link)) LogPrintf("InitWinUSB Error!");
  ResetLinkHealth();
  if (!SendCommandFrame(link, frame, "SendBackUp")) return 0;

  frame.fill(0);
  if (!WaitForCompletion(link, frame, "SendBackUp", "SendBackUp_Done.dat")) return 0;
  dwOSSize = LittleEndian32(frame.data() + 8);
  dwEXTSize = LittleEndian32(frame.data() + 12);
  dwIPLSize = LittleEndian32(frame.data() + 16);

  uint32_t size = 0;
  switch (cmd) {
    case 0: size = kBootBackupSize; break;
    case 1: size = dwIPLSize; break;
    case 2: size = dwOSSize; break;
    case 3: size = kGsmBackupSize; break;
    case 4: size = dwEXTSize; break;
    default: size = 0; break;
  }
  LogPrintf("SendBackUp(): backup size=%d", static_cast<int>(size));
  return ReadBackupEx(link, path, size);
}

int ReadBackupEx(HANDLE link, const char* path, uint32_t size) {
  const char* name = path != nullptr ? path : "";
  FILE* file = std::fopen(name, "wb");
  if (file == nullptr) {
    LogPrintf("ReadBackupEx(): Open File %s Err", name);
    return 0;
  }
  return ReadIntoFile(link, file, size, kBackupFilePiece, "ReadBackupEx", true);
}

DWORD WINAPI BackUpThread(LPVOID record) {
  FlashState.nProgress.store(0);
  Backup backup{};
  std::memcpy(&backup, record, sizeof(Backup));
  backup.szPath[sizeof(backup.szPath) - 1] = '\0';
  const int stored = SendBackUp(FlashState.hLink, backup.nType, backup.szPath);
  FlashState.nRunOutcome.store(stored ? kRunCompleted : kRunIncomplete);
  return 0;
}
