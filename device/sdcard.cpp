#include "sdcard.h"

#include <string.h>

#include <string>

#include "flashdisk.h"

namespace {

// The file of one routine; closed on every path.
class ImageFile {
 public:
  ImageFile() : handle_(INVALID_HANDLE_VALUE) {}
  // Opens an existing file to read.
  explicit ImageFile(LPCWSTR szPath)
      : handle_(CreateFileW(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr)) {}
  ~ImageFile() { Close(); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  // Creates a file of a name not in use yet; false, with the error, when the name is taken or the file
  // cannot be made.
  bool CreateNew(LPCWSTR szPath) {
    Close();
    handle_ = CreateFileW(szPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    return ok();
  }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  // False when the handle was open and closing it failed.
  bool Close() {
    const bool closed = !ok() || CloseHandle(handle_) != FALSE;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

// The file a dump writes: created as "<path>.partial" and given the path's name only once the dump is
// whole and on the card. A dump that fails part way (a key that will not go in, a read of the flash that
// fails, a full card, a flush that fails) removes what it wrote and leaves an earlier file of the path's
// name as it was, rather than a truncated file that looks like a dump and could be flashed back.
// A "<path>.partial" already on the card may be the only whole copy of an earlier dump that could not
// take its name (its message said so), so it is never written over: the dump then works under
// "<path>.partial2" ... "<path>.partial9", and fails when all of them are taken.
class DumpFile {
 public:
  // A null path names no file: nothing is created, and the dump fails as one that cannot open its file.
  explicit DumpFile(LPCWSTR szPath)
      : path_(szPath != nullptr ? szPath : TEXT("")), aside_(path_ + TEXT(".old")) {
    if (szPath == nullptr) return;
    const std::basic_string<WCHAR> first = path_ + TEXT(".partial");
    for (int n = 1; n <= kWorkingNames; ++n) {
      partial_ = n == 1 ? first : first + static_cast<WCHAR>('0' + n);
      if (file_.CreateNew(partial_.c_str())) {
        created_ = true;
        return;
      }
      const DWORD dwError = GetLastError();
      if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS) return;
    }
    names_taken_ = true;
  }
  ~DumpFile() {
    file_.Close();
    if (created_ && !committed_ && !kept_) DeleteFileW(partial_.c_str());
  }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;
  bool created() const { return created_; }
  // True when the dump was not created because every working name was in use.
  bool names_taken() const { return names_taken_; }
  HANDLE get() const { return file_.get(); }

  enum class Result { kCommitted, kNotOnCard, kNameTaken, kEarlierAside };

  // The card's file system may hold the last data and the file's size until the file is flushed and
  // closed, so the earlier file is not touched before both have succeeded. A file cannot take a name in
  // use: the earlier file is moved aside first and removed only once the dump has its name; when the dump
  // cannot take it, the earlier file takes its name back, and the dump stays whole under its partial name.
  Result Commit() {
    const bool flushed = FlushFileBuffers(file_.get()) != FALSE;
    if (!file_.Close() || !flushed) return Result::kNotOnCard;
    if (MoveFileW(partial_.c_str(), path_.c_str())) return Committed();
    kept_ = true;
    // The name is taken by an earlier file. An earlier file that cannot be moved aside stays where it is.
    if (!MoveAside()) return Result::kNameTaken;
    if (MoveFileW(partial_.c_str(), path_.c_str())) {
      DeleteFileW(aside_.c_str());
      return Committed();
    }
    return MoveFileW(aside_.c_str(), path_.c_str()) ? Result::kNameTaken : Result::kEarlierAside;
  }
  LPCWSTR partial() const { return partial_.c_str(); }
  LPCWSTR aside() const { return aside_.c_str(); }

 private:
  // Moves the earlier file to "<path>.old", or to "<path>.old2" ... "<path>.old9" when that name is in
  // use: a file already there is somebody's (a copy the user kept, or an earlier file that a failed dump
  // left and named in its message), and a dump never removes a file it did not move aside itself.
  bool MoveAside() {
    const std::basic_string<WCHAR> old = path_ + TEXT(".old");
    for (int n = 1; n <= 9; ++n) {
      aside_ = n == 1 ? old : old + static_cast<WCHAR>('0' + n);
      if (MoveFileW(path_.c_str(), aside_.c_str())) return true;
      if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
  }

  Result Committed() {
    committed_ = true;
    kept_ = false;
    return Result::kCommitted;
  }

  static constexpr int kWorkingNames = 9;

  std::basic_string<WCHAR> path_;
  std::basic_string<WCHAR> partial_;
  std::basic_string<WCHAR> aside_;
  ImageFile file_;
  bool created_ = false;
  bool names_taken_ = false;
  bool committed_ = false;
  bool kept_ = false;
};

// A path for the debug output: a null one as empty text (the platform's formatter is not made for null
// strings).
LPCWSTR Shown(LPCWSTR szPath) { return szPath != nullptr ? szPath : TEXT(""); }

// A heap buffer of one routine; freed on every path.
class Buffer {
 public:
  explicit Buffer(DWORD dwSize) : data_(static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, dwSize))) {}
  ~Buffer() {
    if (data_ != nullptr) LocalFree(data_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  BYTE* get() const { return data_; }

 private:
  BYTE* data_;
};

// Opens the file to read (updates, compares) and takes its size, printing the common lines.
bool OpenForReading(LPCWSTR szStartFormat, LPCWSTR szPath, ImageFile* file, DWORD* pdwSize) {
  if (!file->ok()) {
    NKDbgPrintfW(TEXT("open file fail\r\n"));
    return false;
  }
  NKDbgPrintfW(TEXT("open file ok\r\n"));
  *pdwSize = GetFileSize(file->get(), nullptr);
  // The error is taken before the size line: printing may set it anew.
  const bool failed = *pdwSize == INVALID_FILE_SIZE && GetLastError() != NO_ERROR;
  NKDbgPrintfW(TEXT("File Size %d\r\n"), *pdwSize);
  return !failed;
}

bool Allocated(const Buffer& buffer) {
  if (buffer.get() != nullptr) return true;
  NKDbgPrintfW(TEXT("allocate memory fail\r\n"));
  return false;
}

int Percentage(DWORD dwHave, DWORD dwTotal) {
  return static_cast<int>(static_cast<double>(dwHave) / static_cast<double>(dwTotal) * 100.0);
}

// Computes the percentage, stores it when there is a progress output, prints the progress line.
void Progress(DWORD nHaveRead, DWORD nFileSize, int* pnProgress) {
  int nPercentage = Percentage(nHaveRead, nFileSize);
  if (pnProgress != nullptr) *pnProgress = nPercentage;
  NKDbgPrintfW(TEXT("nHaveRead=%d\tnFileSize=%d\tPercentage= %d\r\n"), nHaveRead, nFileSize, nPercentage);
}

// Reads the next piece of the file: dwWant bytes, or what is left of the size taken at the start when
// that is less. A read that brings fewer bytes than asked is followed by another until the piece is full:
// a chunk goes to the flash (or into a compare) only when it holds every byte the file has for it. False
// when a read fails or the file ends before the piece is full; the routine then ends there, since a
// piece flashed with a hole in it would shift every later chunk, or leave erased bytes in the image.
bool ReadPiece(const ImageFile& file, BYTE* pBuffer, DWORD dwWant, DWORD nHaveRead, DWORD nFileSize,
               DWORD* pdwRead) {
  const DWORD dwLeft = nFileSize - nHaveRead;
  if (dwWant > dwLeft) dwWant = dwLeft;
  *pdwRead = 0;
  while (*pdwRead < dwWant) {
    DWORD dwGot = 0;
    if (!ReadFile(file.get(), pBuffer + *pdwRead, dwWant - *pdwRead, &dwGot, nullptr) || dwGot == 0) return false;
    *pdwRead += dwGot > dwWant - *pdwRead ? dwWant - *pdwRead : dwGot;
  }
  return *pdwRead > 0;
}

// Sector transfers of a whole chunk. The layer counts a control that failed with status 0 as done, with
// the sectors the driver reported (none, when it moved nothing); a chunk whose sectors did not all move is
// a failed transfer here: a dump would store erased bytes as data, a compare would pass on them, an update
// would leave sectors unwritten and report success.
bool ReadChunk(DWORD dwPart, DWORD dwCursor, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return LoaddateByPartWithSectors(dwPart, dwCursor, pBuffer, dwBytes, pdwSectors) &&
         *pdwSectors >= dwBytes / kSectorSize;
}

bool WriteChunk(DWORD dwPart, DWORD dwCursor, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return UpdateByPartWithSectors(dwPart, dwCursor, pBuffer, dwBytes, pdwSectors) &&
         *pdwSectors >= dwBytes / kSectorSize;
}

// Flash byte minus file byte at the first difference (a negative one lowered by one, so that it never
// reads as the failure result -1); 0 when equal.
int CompareChunks(const BYTE* pFlash, const BYTE* pFile) {
  for (DWORD i = 0; i < kChunkSize; ++i) {
    if (pFlash[i] != pFile[i]) {
      int diff = static_cast<int>(pFlash[i]) - static_cast<int>(pFile[i]);
      return diff < 0 ? diff - 1 : diff;
    }
  }
  return 0;
}

// ---- Chunked updates ----------------------------------------------------------------------------------

struct ChunkedUpdate {
  LPCWSTR szStart;
  DWORD dwPart;
  bool bSkipGsmFfs;      // the first chunk is read and counted but not written
  bool bStoreProgress;   // FlashGsmFFS prints the percentage without storing it
  LPCWSTR szInitFail;
  LPCWSTR szChunkFail;
  LPCWSTR szChunkLog;
  LPCWSTR szReleaseFail;
};

int RunChunkedUpdate(const ChunkedUpdate& u, LPCWSTR szPath, int* pnProgress) {
  NKDbgPrintfW(u.szStart, Shown(szPath));
  ImageFile file(szPath);
  DWORD nFileSize = 0;
  if (!OpenForReading(u.szStart, szPath, &file, &nFileSize)) return -1;
  Buffer chunk(kChunkSize);
  if (!Allocated(chunk)) return -1;
  if (!InitUpdateByPart(u.dwPart, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(u.szInitFail);
    return -1;
  }
  DWORD nHaveRead = 0;
  DWORD dwCursor = 0;
  bool bFirst = true;
  while (nHaveRead != nFileSize) {
    memset(chunk.get(), 0xFF, kChunkSize);
    DWORD dwRead = 0;
    if (!ReadPiece(file, chunk.get(), kChunkSize, nHaveRead, nFileSize, &dwRead)) return -1;
    nHaveRead += dwRead;
    Progress(nHaveRead, nFileSize, u.bStoreProgress ? pnProgress : nullptr);
    if (u.bSkipGsmFfs && bFirst) {
      NKDbgPrintfW(TEXT("GSMFFS is here. Skip the first 64k flash\r\n"));
    } else {
      DWORD dwSectors = 0;
      if (!WriteChunk(u.dwPart, dwCursor, chunk.get(), kChunkSize, &dwSectors)) {
        NKDbgPrintfW(u.szChunkFail);
        return -1;
      }
      if (dwCursor % 2048 == 0) NKDbgPrintfW(u.szChunkLog, dwCursor, dwSectors, nHaveRead);
    }
    dwCursor += kChunkSectors;
    bFirst = false;
  }
  if (!DeInitUpdateByPart(u.dwPart, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(u.szReleaseFail);
    return -1;
  }
  return 0;
}

// ---- Whole-image updates ------------------------------------------------------------------------------

typedef int (*BootAreaWrite)(const BYTE*, DWORD, const char*, DWORD);

int RunWholeImageUpdate(LPCWSTR szStart, BootAreaWrite pfnWrite, LPCWSTR szWriteFail, LPCWSTR szPath,
                        int* pnProgress) {
  NKDbgPrintfW(szStart, Shown(szPath));
  ImageFile file(szPath);
  DWORD nFileSize = 0;
  if (!OpenForReading(szStart, szPath, &file, &nFileSize)) return -1;
  // An empty file would be written as a boot area of no length, which leaves the handheld unable to
  // start: it is refused before the flash disk is touched.
  if (nFileSize == 0) {
    NKDbgPrintfW(TEXT("empty file: the boot area is left as it is\r\n"));
    return -1;
  }
  // The writers send whole 1024-byte blocks, so the buffer is rounded up to them.
  const DWORD dwRounded = (nFileSize + 1023) & ~DWORD{1023};
  if (dwRounded < nFileSize) return -1;
  Buffer image(dwRounded);
  if (!Allocated(image)) return -1;
  memset(image.get(), 0xFF, dwRounded);
  DWORD nHaveRead = 0;
  while (nHaveRead < nFileSize) {
    DWORD dwRead = 0;
    if (!ReadPiece(file, image.get() + nHaveRead, 8192, nHaveRead, nFileSize, &dwRead)) return -1;
    nHaveRead += dwRead;
    Progress(nHaveRead, nFileSize, pnProgress);
  }
  if (!pfnWrite(image.get(), nFileSize, PartitionKey, kPartitionKeyLength)) {
    if (szWriteFail != nullptr) NKDbgPrintfW(szWriteFail);
    return -1;
  }
  return 0;
}

// ---- Compares -----------------------------------------------------------------------------------------

enum class CompareOrder {
  FlashFirstCompareThenProgress,  // flash read, chunk log, file read, compare, progress
  FlashFirstProgressThenCompare,  // flash read, chunk log, file read, progress, compare
  FileFirst,                      // file read, progress, flash read, chunk log, compare
};

struct Compare {
  LPCWSTR szStart;
  DWORD dwPart;
  CompareOrder order;
  bool bAskGsmFfs;       // skip the first chunk when the driver reports the GSMFFS area
  bool bStoreProgress;
  LPCWSTR szInitFail;
  LPCWSTR szChunkFail;
  LPCWSTR szChunkLog;
  LPCWSTR szReleaseFail;
  LPCWSTR szDifferences;
};

int RunCompare(const Compare& c, LPCWSTR szPath, int* pnProgress) {
  NKDbgPrintfW(c.szStart, Shown(szPath));
  ImageFile file(szPath);
  DWORD nFileSize = 0;
  if (!OpenForReading(c.szStart, szPath, &file, &nFileSize)) return -1;
  Buffer flash(kChunkSize);
  if (!Allocated(flash)) return -1;
  Buffer fromFile(kChunkSize);
  if (!Allocated(fromFile)) return -1;
  int nGsmFfs = 0;
  if (c.bAskGsmFfs) {
    nGsmFfs = QueryGsmFfs(flash.get(), kChunkSize);
    NKDbgPrintfW(TEXT("SDUpdate: GSMFFS [%d]\r\n"), nGsmFfs);
  }
  if (!InitUpdateByPart(c.dwPart, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(c.szInitFail);
    return -1;
  }
  int* pnStore = c.bStoreProgress ? pnProgress : nullptr;
  DWORD nHaveRead = 0;
  DWORD dwCursor = 0;
  bool bFirst = true;
  while (nHaveRead != nFileSize) {
    memset(flash.get(), 0xFF, kChunkSize);
    memset(fromFile.get(), 0xFF, kChunkSize);
    DWORD dwRead = 0;
    DWORD dwSectors = 0;
    if (c.order == CompareOrder::FileFirst) {
      if (!ReadPiece(file, fromFile.get(), kChunkSize, nHaveRead, nFileSize, &dwRead)) return -1;
      nHaveRead += dwRead;
      Progress(nHaveRead, nFileSize, pnStore);
      if (bFirst && nGsmFfs == 1) {
        NKDbgPrintfW(TEXT("GSMFFS is here. Skip the first 64k flash\r\n"));
      } else {
        if (!ReadChunk(c.dwPart, dwCursor, flash.get(), kChunkSize, &dwSectors)) {
          NKDbgPrintfW(c.szChunkFail);
          return -1;
        }
        if (dwCursor % 2048 == 0) NKDbgPrintfW(c.szChunkLog, dwCursor, dwSectors, nHaveRead);
        int nDiff = CompareChunks(flash.get(), fromFile.get());
        if (nDiff != 0) {
          NKDbgPrintfW(c.szDifferences);
          return nDiff;
        }
      }
    } else {
      if (!ReadChunk(c.dwPart, dwCursor, flash.get(), kChunkSize, &dwSectors)) {
        NKDbgPrintfW(c.szChunkFail);
        return -1;
      }
      // The chunk log shows the bytes of the file compared so far, this chunk not yet counted.
      if (dwCursor % 2048 == 0) NKDbgPrintfW(c.szChunkLog, dwCursor, dwSectors, nHaveRead);
      if (!ReadPiece(file, fromFile.get(), kChunkSize, nHaveRead, nFileSize, &dwRead)) return -1;
      if (c.order == CompareOrder::FlashFirstProgressThenCompare) {
        nHaveRead += dwRead;
        Progress(nHaveRead, nFileSize, pnStore);
      }
      int nDiff = CompareChunks(flash.get(), fromFile.get());
      if (nDiff != 0) {
        NKDbgPrintfW(c.szDifferences);
        return nDiff;
      }
      if (c.order == CompareOrder::FlashFirstCompareThenProgress) {
        nHaveRead += dwRead;
        Progress(nHaveRead, nFileSize, pnStore);
      }
    }
    dwCursor += kChunkSectors;
    bFirst = false;
  }
  if (!DeInitUpdateByPart(c.dwPart, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(c.szReleaseFail);
    return -1;
  }
  return 0;
}

// ---- Dumps --------------------------------------------------------------------------------------------

struct Dump {
  LPCWSTR szStart;
  DWORD dwPart;
  bool bStoreProgress;
  LPCWSTR szInitFail;
  LPCWSTR szChunkFail;
  LPCWSTR szChunkLog;
  LPCWSTR szReleaseFail;
};

// The extended-ROM partition's size in bytes, from the driver; false after its failure message.
bool QueryEromSize(DWORD* pdwTotal) {
  HANDLE hDisk = CreateFileW(TEXT("DSK2:"), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hDisk == INVALID_HANDLE_VALUE || hDisk == nullptr) {
    NKDbgPrintfW(TEXT("%s:CreateFile(DSK) failed\r\n"), TEXT("DumpEROMtoSD"));
    return false;
  }
  MountRequest mount;
  mount.bPart = 2;
  mount.bZero = 0;
  DWORD dwStatus = 0;
  DWORD dwReturned = 0;
  if (!DeviceIoControl(hDisk, FL_IOCTL_MOUNT_VOLUME_FH, &mount, sizeof mount, &dwStatus, sizeof dwStatus,
                       &dwReturned, nullptr) &&
      dwStatus != 0) {
    NKDbgPrintfW(TEXT("%s:FL_IOCTL_MOUNT_VOLUME_FH fail with statu=%d\r\n"), TEXT("DumpEROMtoSD"), dwStatus);
    CloseHandle(hDisk);
    return false;
  }
  DiskInfo info;
  memset(&info, 0, sizeof info);
  if (!DeviceIoControl(hDisk, FL_IOCTL_GET_INFO, nullptr, 0, &info, sizeof info, &dwReturned, nullptr) &&
      info.dwStatus != 0) {
    NKDbgPrintfW(TEXT("%s:FL_IOCTL_GET_INFO fail with statu=%d\r\n"), TEXT("DumpEROMtoSD"), info.dwStatus);
    CloseHandle(hDisk);
    return false;
  }
  CloseHandle(hDisk);
  // A partition of no sectors (not formatted, or a query that failed with status 0 and filled nothing in)
  // would give an empty dump that replaces a good earlier one.
  if (info.dwSectors == 0) {
    NKDbgPrintfW(TEXT("%s:FL_IOCTL_GET_INFO reports no sectors, nothing to dump\r\n"), TEXT("DumpEROMtoSD"));
    return false;
  }
  // The dump's size is a 32-bit count: a partition of 4 GiB or more would wrap it to a short dump that
  // looks whole.
  const uint64_t total = static_cast<uint64_t>(info.dwSectors) * kSectorSize;
  if (total > 0xFFFFFFFFu) {
    NKDbgPrintfW(TEXT("%s:FL_IOCTL_GET_INFO reports %u sectors, more than a dump can hold\r\n"), TEXT("DumpEROMtoSD"),
                 info.dwSectors);
    return false;
  }
  *pdwTotal = static_cast<DWORD>(total);
  return true;
}

int RunDump(const Dump& d, LPCWSTR szPath, DWORD nFileSize, bool bQueryEromSize, int* pnProgress) {
  NKDbgPrintfW(d.szStart, Shown(szPath));
  DumpFile file(szPath);
  if (!file.created()) {
    NKDbgPrintfW(TEXT("open file fail\r\n"));
    if (file.names_taken()) {
      NKDbgPrintfW(TEXT("%s.partial to %s.partial9 all hold earlier dumps; move them off the card to dump "
                        "again\r\n"),
                   szPath, szPath);
    }
    return -1;
  }
  NKDbgPrintfW(TEXT("open file ok\r\n"));
  if (bQueryEromSize && !QueryEromSize(&nFileSize)) return -1;
  NKDbgPrintfW(TEXT("File Size %d\r\n"), nFileSize);
  Buffer chunk(kChunkSize);
  if (!Allocated(chunk)) return -1;
  if (!InitUpdateByPart(d.dwPart, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(d.szInitFail);
    return -1;
  }
  DWORD nHaveRead = 0;
  DWORD dwCursor = 0;
  while (nHaveRead != nFileSize) {
    // A total that is not a whole number of chunks ends with the part of a chunk that remains.
    DWORD dwPiece = nFileSize - nHaveRead < kChunkSize ? nFileSize - nHaveRead : kChunkSize;
    memset(chunk.get(), 0xFF, kChunkSize);
    DWORD dwSectors = 0;
    if (!ReadChunk(d.dwPart, dwCursor, chunk.get(), dwPiece, &dwSectors)) {
      NKDbgPrintfW(d.szChunkFail);
      return -1;
    }
    if (dwCursor % 2048 == 0) NKDbgPrintfW(d.szChunkLog, dwCursor, dwSectors, nHaveRead);
    DWORD dwWritten = 0;
    if (!WriteFile(file.get(), chunk.get(), dwPiece, &dwWritten, nullptr)) dwWritten = 0;
    if (dwWritten < dwPiece) return -1;
    nHaveRead += dwWritten;
    Progress(nHaveRead, nFileSize, d.bStoreProgress ? pnProgress : nullptr);
    dwCursor += kChunkSectors;
  }
  if (!DeInitUpdateByPart(d.dwPart, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(d.szReleaseFail);
    return -1;
  }
  switch (file.Commit()) {
    case DumpFile::Result::kCommitted:
      return 0;
    case DumpFile::Result::kNotOnCard:
      NKDbgPrintfW(TEXT("the dump could not be written out to the card; %s is left as it was\r\n"), szPath);
      return -1;
    case DumpFile::Result::kNameTaken:
      NKDbgPrintfW(TEXT("the dump could not take the name %s; it is kept whole as %s\r\n"), szPath, file.partial());
      return -1;
    case DumpFile::Result::kEarlierAside:
      NKDbgPrintfW(TEXT("the dump could not take the name %s; it is kept whole as %s, the earlier file as %s\r\n"),
                   szPath, file.partial(), file.aside());
      return -1;
  }
  return -1;
}

}  // namespace

int FlashEBOOTFromSD(LPCWSTR szPath, int* pnProgress) {
  return RunWholeImageUpdate(TEXT("FlashEBOOTFromSD %s\r\n"), WriteEBootCode, nullptr, szPath, pnProgress);
}

int FlashIPLFromSD(LPCWSTR szPath, int* pnProgress) {
  return RunWholeImageUpdate(TEXT("FlashIPLFromSD %s\r\n"), WriteIPLCode, TEXT("WriteIPLCode\r\n"), szPath,
                             pnProgress);
}

int FlashOSFromSD(LPCWSTR szPath, int* pnProgress) {
  static const ChunkedUpdate u = {TEXT("FlashOSFromSD %s\r\n"),
                                  0,
                                  false,
                                  true,
                                  TEXT("InitUpdateOS err\r\n"),
                                  TEXT("UpdateOSWithSectors err\r\n"),
                                  TEXT("UpdateOSWithSectors cur %d flashed %d sector read file %d\r\n"),
                                  TEXT("DeInitUpdateOS err\r\n")};
  return RunChunkedUpdate(u, szPath, pnProgress);
}

int FlashGSMFromSD(LPCWSTR szPath, int* pnProgress) {
  static const ChunkedUpdate u = {TEXT("FlashGSMFromSD %s\r\n"),
                                  1,
                                  true,
                                  true,
                                  TEXT("InitUpdateGSM err\r\n"),
                                  TEXT("UpdateGSMWithSectors err\r\n"),
                                  TEXT("UpdateGSMWithSectors cur %d flashed %d sector read file %d\r\n"),
                                  TEXT("DeInitUpdateGSM err\r\n")};
  return RunChunkedUpdate(u, szPath, pnProgress);
}

int FlashEROMFromSD(LPCWSTR szPath, int* pnProgress) {
  static const ChunkedUpdate u = {TEXT("FlashEROMFromSD %s\r\n"),
                                  2,
                                  false,
                                  true,
                                  TEXT("InitUpdateEROM err\r\n"),
                                  TEXT("UPdateEROMWithSectors err\r\n"),
                                  TEXT("UPdateEROMWithSectors cur %d flashed %d sector read file %d\r\n"),
                                  TEXT("DeInitUpdateEROM err\r\n")};
  return RunChunkedUpdate(u, szPath, pnProgress);
}

int FlashGsmFFS(LPCWSTR szPath) {
  static const ChunkedUpdate u = {TEXT("FlashGsmFFS %s\r\n"),
                                  1,
                                  false,
                                  false,
                                  TEXT("InitFlashGsmFFS err\r\n"),
                                  TEXT("FlashGsmFFSWithSectors err\r\n"),
                                  TEXT("FlashGsmFFSWithSectors cur %d flashed %d sector read file %d\r\n"),
                                  TEXT("DeInitFlashGsmFFS err\r\n")};
  return RunChunkedUpdate(u, szPath, nullptr);
}

int GetGsmFFS(LPCWSTR szPath) {
  static const Dump d = {TEXT("GetGsmFFS %s\r\n"),
                         1,
                         false,
                         TEXT("InitGetGsmFFS err\r\n"),
                         TEXT("GetGsmFFS err\r\n"),
                         TEXT("GetGsmFFScur %d flashed %d sector read file %d\r\n"),
                         TEXT("GetGsmFFS err\r\n")};
  return RunDump(d, szPath, kGsmFfsSize, false, nullptr);
}

int DumpGSMtoSD(LPCWSTR szPath, int* pnProgress) {
  static const Dump d = {TEXT("DumpGSMtoSD %s\r\n"),
                         1,
                         true,
                         TEXT("InitDumpGSMtoSD err\r\n"),
                         TEXT("DumpGSMwithSD err\r\n"),
                         TEXT("DumpGSMwithSD cur %d flashed %d sector read file %d\r\n"),
                         TEXT("DeInitUpdateGSM err\r\n")};
  return RunDump(d, szPath, kGsmDumpSize, false, pnProgress);
}

int DumpEROMtoSD(LPCWSTR szPath, int* pnProgress) {
  static const Dump d = {TEXT("DumpEROMtoSD %s\r\n"),
                         2,
                         true,
                         TEXT("InitUpdateEROM err\r\n"),
                         TEXT("LoaddateEROMWithSectors err\r\n"),
                         TEXT("LoaddateEROMWithSectors cur %d flashed %d sector read file %d\r\n"),
                         TEXT("DeInitUpdateEROM err\r\n")};
  return RunDump(d, szPath, 0, true, pnProgress);
}

int BackupGsmFFS(void) {
  NKDbgPrintfW(TEXT("BackupGsmFFS\r\n"));
  NKDbgPrintfW(TEXT("File Size %d\r\n"), kGsmFfsSize);
  Buffer chunk(kChunkSize);
  if (!Allocated(chunk)) return -1;
  if (!InitUpdateByPart(1, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(TEXT("InitGetGsmFFS err\r\n"));
    return -1;
  }
  memset(chunk.get(), 0xFF, kChunkSize);
  DWORD dwSectors = 0;
  if (!ReadChunk(1, 0, chunk.get(), kChunkSize, &dwSectors)) {
    NKDbgPrintfW(TEXT("GetGsmFFS err\r\n"));
    return -1;
  }
  NKDbgPrintfW(TEXT("GetGsmFFScur %d flashed %d sector read file %d\r\n"), 0, dwSectors, 0);
  if (!WriteCFG(chunk.get(), kGsmFfsSize, PartitionKey, kPartitionKeyLength)) return -1;
  NKDbgPrintfW(TEXT("nHaveRead=%d\tnFileSize=%d\t\r\n"), 0, kGsmFfsSize);
  if (!DeInitUpdateByPart(1, PartitionKey, kPartitionKeyLength)) {
    NKDbgPrintfW(TEXT("GetGsmFFS err\r\n"));
    return -1;
  }
  return 0;
}

int CmpGSMFFS(LPCWSTR szPath) {
  static const Compare c = {TEXT("CmpGSMFFS %s\r\n"),
                            1,
                            CompareOrder::FileFirst,
                            false,
                            false,
                            TEXT("InitCmpGSMFFS err\r\n"),
                            TEXT("CmpGSMFFS err\r\n"),
                            TEXT("CmpGSMFFS cur %d flashed %d sector read file %d\r\n"),
                            TEXT("DeInitCmpGSMFFS err\r\n"),
                            TEXT("CmpGSMFFS differences\r\n")};
  return RunCompare(c, szPath, nullptr);
}

int CmpOSwithSD(LPCWSTR szPath, int* pnProgress) {
  static const Compare c = {TEXT("CmpOSwithSD %s\r\n"),
                            0,
                            CompareOrder::FlashFirstCompareThenProgress,
                            false,
                            true,
                            TEXT("InitUpdateOS err\r\n"),
                            TEXT("CmpOSwithSD err\r\n"),
                            TEXT("CmpOSwithSD cur %d flashed %d sector read file %d\r\n"),
                            TEXT("DeInitUpdateOS err\r\n"),
                            TEXT("CmpOSwithSD differences\r\n")};
  return RunCompare(c, szPath, pnProgress);
}

int CmpGSMwithSD(LPCWSTR szPath, int* pnProgress) {
  static const Compare c = {TEXT("CmpGSMwithSD %s\r\n"),
                            1,
                            CompareOrder::FileFirst,
                            true,
                            true,
                            TEXT("InitUpdateGSM err\r\n"),
                            TEXT("CmpGSMwithSD err\r\n"),
                            TEXT("CmpGSMwithSD cur %d flashed %d sector read file %d\r\n"),
                            TEXT("DeInitUpdateGSM err\r\n"),
                            TEXT("CmpGSMwithSD differences\r\n")};
  return RunCompare(c, szPath, pnProgress);
}

int CmpEROMwithSD(LPCWSTR szPath, int* pnProgress) {
  static const Compare c = {TEXT("CmpEROMwithSD %s\r\n"),
                            2,
                            CompareOrder::FlashFirstProgressThenCompare,
                            false,
                            true,
                            TEXT("InitUpdateEROM err\r\n"),
                            TEXT("CmpEROMwithSD err\r\n"),
                            TEXT("CmpEROMwithSD cur %d flashed %d sector read file %d\r\n"),
                            TEXT("CmpEROMwithSD err\r\n"),
                            TEXT("CmpEROMwithSD differences\r\n")};
  return RunCompare(c, szPath, pnProgress);
}
