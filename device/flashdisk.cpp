#include "flashdisk.h"

#include <string.h>

const char PartitionKey[9] = "30571946";

static_assert(sizeof(void*) == 4, "the driver's records carry 32-bit addresses of this address space");

DWORD RecordAddress(const void* buffer) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(buffer)); }

namespace {

// One open device; closed when the operation leaves, on every path.
class DiskHandle {
 public:
  DiskHandle(LPCWSTR name, DWORD access)
      : handle_(CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~DiskHandle() {
    if (ok()) CloseHandle(handle_);
  }
  DiskHandle(const DiskHandle&) = delete;
  DiskHandle& operator=(const DiskHandle&) = delete;
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

LPCWSTR PartitionDevice(DWORD dwPart) { return dwPart >= 2 ? TEXT("DSK2:") : TEXT("DSK1:"); }

bool KeyArgumentsOk(const char* pKey, DWORD dwKeyLength) {
  return pKey != nullptr && dwKeyLength == kPartitionKeyLength;
}

KeyRequest MakeKeyRequest(DWORD dwNumber, const char* pKey, BYTE bOperation) {
  KeyRequest req;
  memset(&req, 0, sizeof req);
  req.bNumber = static_cast<BYTE>(dwNumber);
  memcpy(req.szKey, pKey, sizeof req.szKey);
  req.bOperation = bOperation;
  return req;
}

// Sends a key request; the result record is set to zero first.
BOOL SendKey(HANDLE hDisk, DWORD dwCode, KeyRequest* req, KeyResult* result) {
  memset(result, 0, sizeof *result);
  DWORD dwReturned = 0;
  return DeviceIoControl(hDisk, dwCode, req, sizeof *req, result, sizeof *result, &dwReturned, nullptr);
}

BOOL SendBootAreaOp(HANDLE hDisk, BootAreaRequest* req, DWORD* pdwStatus) {
  DWORD dwReturned = 0;
  return DeviceIoControl(hDisk, FL_IOCTL_BOOT_AREA_OP, req, sizeof *req, pdwStatus, sizeof *pdwStatus, &dwReturned,
                         nullptr);
}

void FillBootAreaRequest(BootAreaRequest* req, BYTE bArea, const char* szSignature, BYTE bOperation,
                         DWORD dwLength, BYTE bFlags) {
  memset(req, 0, sizeof *req);
  req->bArea = bArea;
  req->bOperation = bOperation;
  memcpy(req->szSignature, szSignature, 4);
  req->bEight = 8;
  req->dwZero = 0;
  req->dwLength = dwLength;
  req->bFlags = bFlags;
}

// The three boot-area writers differ in these.
struct BootAreaWriter {
  LPCWSTR szName;
  BYTE bArea;
  const char* szSignature;
  DWORD dwRequiredLength;  // 0: any
  bool bDoubledSectors;    // EBOOT: each 512-byte sector written twice as one 1024-byte block
  bool bShortMessages;     // CFG: no open message, no status in two failure messages
  LPCWSTR szKbMessage;
  LPCWSTR szDoneMessage;
};

int WriteBootArea(const BootAreaWriter& w, const BYTE* pData, DWORD dwLength, const char* pKey,
                  DWORD dwKeyLength) {
  if (pData == nullptr || !KeyArgumentsOk(pKey, dwKeyLength)) return 0;
  if (w.dwRequiredLength != 0 && dwLength != w.dwRequiredLength) return 0;

  DiskHandle disk(TEXT("DSK1:"), GENERIC_WRITE);
  if (!disk.ok()) {
    NKDbgPrintfW(TEXT("%s:CreateFile(DSK1) failed\r\n"), w.szName);
    return 0;
  }
  if (!w.bShortMessages) NKDbgPrintfW(TEXT("CreateFile(DSK1) ok\r\n"));

  KeyRequest key = MakeKeyRequest(w.bArea, pKey, PROTECTION_INSERT_KEY);
  KeyResult keyResult;
  if (!SendKey(disk.get(), FL_IOCTL_BOOT_AREA_KEY, &key, &keyResult) && keyResult.dwStatus != kKeyAlreadyInserted) {
    NKDbgPrintfW(TEXT("%s:PROTECTION_INSERT_KEY fail with statu=%d\r\n"), w.szName, keyResult.dwStatus);
    return 0;
  }

  // The area holds each image sector twice, so it takes twice the image.
  const DWORD dwTotal = w.bDoubledSectors ? dwLength * 2 : dwLength;
  BootAreaRequest req;
  DWORD dwStatus = 0;
  FillBootAreaRequest(&req, w.bArea, w.szSignature, BDK_INIT_WRITE, dwTotal, 0x12);
  if (!SendBootAreaOp(disk.get(), &req, &dwStatus)) {
    if (w.bShortMessages) {
      NKDbgPrintfW(TEXT("%s: BDK_INIT_WRITE failed\r\n"), w.szName);
    } else {
      NKDbgPrintfW(TEXT("%s: BDK_INIT_WRITE failed %d\r\n"), w.szName, dwStatus);
    }
    return 0;
  }

  BYTE byaBlock[1024];
  const DWORD dwStep = w.bDoubledSectors ? kSectorSize : 1024;
  for (DWORD dwOffset = 0; dwOffset < dwLength; dwOffset += dwStep) {
    const BYTE* pBlock = pData + dwOffset;
    if (w.bDoubledSectors) {
      memcpy(byaBlock, pData + dwOffset, kSectorSize);
      memcpy(byaBlock + kSectorSize, pData + dwOffset, kSectorSize);
      pBlock = byaBlock;
    } else if (dwLength - dwOffset < 1024) {
      // The last block is always 1024 bytes: the caller's data ends inside it, so the rest is padded
      // with erased bytes here rather than read from beyond the caller's buffer.
      memset(byaBlock, 0xFF, sizeof byaBlock);
      memcpy(byaBlock, pData + dwOffset, dwLength - dwOffset);
      pBlock = byaBlock;
    }
    req.bOperation = BDK_WRITE;
    req.bFlags = 0x08;
    req.dwLength = 1024;
    req.dwAddress = RecordAddress(pBlock);
    if (!SendBootAreaOp(disk.get(), &req, &dwStatus)) {
      NKDbgPrintfW(TEXT("%s: BDK_WRITE failed %d\r\n"), w.szName, dwStatus);
      return 0;
    }
    if (dwOffset % 4096 == 0) NKDbgPrintfW(w.szKbMessage, dwOffset / 4096 + 1);
  }

  key.bOperation = PROTECTION_REMOVE_KEY;
  if (!SendKey(disk.get(), FL_IOCTL_BOOT_AREA_KEY, &key, &keyResult)) {
    if (w.bShortMessages) {
      NKDbgPrintfW(TEXT("%s: PROTECTION_REMOVE_KEY failed\r\n"), w.szName);
    } else {
      NKDbgPrintfW(TEXT("%s: PROTECTION_REMOVE_KEY failed %d\r\n"), w.szName, keyResult.dwStatus);
    }
    return 0;
  }
  NKDbgPrintfW(w.szDoneMessage);
  return 1;
}

// Sector transfers in either direction.
int TransferSectors(LPCWSTR szName, bool bWrite, DWORD dwPart, DWORD dwStartSector, const BYTE* pBuffer,
                    DWORD dwBytes, DWORD* pdwSectors) {
  if (pdwSectors != nullptr) *pdwSectors = 0;
  if (pBuffer == nullptr) return 0;
  DiskHandle disk(PartitionDevice(dwPart), bWrite ? GENERIC_WRITE : GENERIC_READ);
  if (!disk.ok()) {
    NKDbgPrintfW(TEXT("%s:CreateFile(DSK) failed\r\n"), szName);
    return 0;
  }
  SectorRequest req;
  memset(&req, 0, sizeof req);
  req.bPart = static_cast<BYTE>(dwPart);
  req.dwFirstSector = dwStartSector;
  req.dwSectorCount = dwBytes / kSectorSize;
  req.dwAddress = RecordAddress(pBuffer);
  SectorResult result;
  memset(&result, 0, sizeof result);
  DWORD dwReturned = 0;
  const DWORD dwCode = bWrite ? FL_IOCTL_WRITE_SECTORS_FH : FL_IOCTL_READ_SECTORS_FH;
  if (!DeviceIoControl(disk.get(), dwCode, &req, sizeof req, &result, sizeof result, &dwReturned, nullptr) &&
      result.dwStatus != 0) {
    if (bWrite) {
      NKDbgPrintfW(TEXT("%s:FL_IOCTL_WRITE_SECTORS_FH fail with statu=%d\r\n"), szName, result.dwStatus);
    } else {
      NKDbgPrintfW(TEXT("%s:FL_IOCTL_READ_SECTORS_FH fail with statu=%d\r\n"), szName, result.dwStatus);
    }
    return 0;
  }
  if (dwStartSector % 2048 == 0) {
    if (bWrite) {
      NKDbgPrintfW(TEXT("FL_IOCTL_WRITE_SECTORS_FH flashed %d sectors statu=%d\r\n"), result.dwSectors,
                   result.dwStatus);
    } else {
      NKDbgPrintfW(TEXT("FL_IOCTL_READ_SECTORS_FH flashed %d sectors statu=%d\r\n"), result.dwSectors,
                   result.dwStatus);
    }
  }
  if (pdwSectors != nullptr) *pdwSectors = result.dwSectors;
  return 1;
}

}  // namespace

void GetIPLSize(DWORD* pdwIPLSize) {
  DiskHandle disk(TEXT("DSK1:"), GENERIC_WRITE);
  if (!disk.ok()) {
    NKDbgPrintfW(TEXT("%s:CreateFile(DSK1) failed\r\n"), TEXT("GetIPLSize"));
    return;
  }
  NKDbgPrintfW(TEXT("CreateFile(DSK1) ok\r\n"));
  KeyRequest key = MakeKeyRequest(1, PartitionKey, PROTECTION_INSERT_KEY);
  KeyResult keyResult;
  if (!SendKey(disk.get(), FL_IOCTL_BOOT_AREA_KEY, &key, &keyResult) && keyResult.dwStatus != kKeyAlreadyInserted) {
    NKDbgPrintfW(TEXT("%s:PROTECTION_INSERT_KEY fail with statu=%d\r\n"), TEXT("GetIPLSize"), keyResult.dwStatus);
    return;
  }
  BootAreaRequest req;
  DWORD dwStatus = 0;
  FillBootAreaRequest(&req, 1, "CELD", BDK_SIZE_QUERY, 0, 0x12);
  if (!SendBootAreaOp(disk.get(), &req, &dwStatus)) return;
  NKDbgPrintfW(TEXT("File Size %d\r\n"), req.dwLength);
  if (pdwIPLSize != nullptr) *pdwIPLSize = req.dwLength;
}

int WriteIPLCode(const BYTE* pData, DWORD dwLength, const char* pKey, DWORD dwKeyLength) {
  static const BootAreaWriter w = {TEXT("WriteIPLCode"),          1,     "CELD", 0, false, false,
                                   TEXT("WriteIPLCode:%d kb\r"), TEXT("WriteIPLCode: flash done\r\n")};
  return WriteBootArea(w, pData, dwLength, pKey, dwKeyLength);
}

int WriteEBootCode(const BYTE* pData, DWORD dwLength, const char* pKey, DWORD dwKeyLength) {
  static const BootAreaWriter w = {TEXT("WriteEBootCode"),          0,    "BIPO", kEBootImageSize, true, false,
                                   TEXT("WriteEBootCode:%d kb\r"), TEXT("WriteEBootCode: flash done\r\n")};
  return WriteBootArea(w, pData, dwLength, pKey, dwKeyLength);
}

int WriteCFG(const BYTE* pData, DWORD dwLength, const char* pKey, DWORD dwKeyLength) {
  static const BootAreaWriter w = {TEXT("WriteCFG"),          1,    "BCFG", kCfgSize, false, true,
                                   TEXT("WriteCFG:%d kb\r"), TEXT("WriteCFG: flash done\r\n")};
  return WriteBootArea(w, pData, dwLength, pKey, dwKeyLength);
}

int InitUpdateByPart(DWORD dwPart, const char* pKey, DWORD dwKeyLength) {
  if (!KeyArgumentsOk(pKey, dwKeyLength)) return 0;
  DiskHandle disk(PartitionDevice(dwPart), GENERIC_ALL);
  if (!disk.ok()) {
    NKDbgPrintfW(TEXT("%s:CreateFile(DSK) failed\r\n"), TEXT("InitUpdateByPart"));
    return 0;
  }
  NKDbgPrintfW(TEXT("CreateFile(DSK) ok\r\n"));
  if (dwPart < 2) {
    KeyRequest key = MakeKeyRequest(dwPart, pKey, PROTECTION_INSERT_KEY);
    KeyResult keyResult;
    if (!SendKey(disk.get(), FL_IOCTL_PART_KEY_FH, &key, &keyResult) && keyResult.dwStatus != kKeyAlreadyInserted) {
      NKDbgPrintfW(TEXT("%s:PROTECTION_INSERT_KEY fail with status=%d\r\n"), TEXT("InitUpdateByPart"),
                   keyResult.dwStatus);
      return 0;
    }
    NKDbgPrintfW(TEXT("PROTECTION_INSERT_KEY type=%d statu=%d dwPart=%d\r\n"), keyResult.bType, keyResult.dwStatus,
                 dwPart);
  }
  MountRequest mount;
  mount.bPart = static_cast<BYTE>(dwPart);
  mount.bZero = 0;
  DWORD dwStatus = 0;
  DWORD dwReturned = 0;
  if (!DeviceIoControl(disk.get(), FL_IOCTL_MOUNT_VOLUME_FH, &mount, sizeof mount, &dwStatus, sizeof dwStatus,
                       &dwReturned, nullptr) &&
      dwStatus != 0) {
    NKDbgPrintfW(TEXT("%s:FL_IOCTL_MOUNT_VOLUME_FH fail with statu=%d\r\n"), TEXT("InitUpdateByPart"), dwStatus);
    return 0;
  }
  NKDbgPrintfW(TEXT("FL_IOCTL_MOUNT_VOLUME_FH  statu=%d\r\n"), dwStatus);
  return 1;
}

int DeInitUpdateByPart(DWORD dwPart, const char* pKey, DWORD dwKeyLength) {
  if (!KeyArgumentsOk(pKey, dwKeyLength)) return 0;
  DiskHandle disk(PartitionDevice(dwPart), GENERIC_ALL);
  if (!disk.ok()) {
    NKDbgPrintfW(TEXT("%s:CreateFile(DSK) failed\r\n"), TEXT("DeInitUpdateByPart"));
    return 0;
  }
  NKDbgPrintfW(TEXT("CreateFile(DSK) ok\r\n"));
  if (dwPart < 2) {
    KeyRequest key = MakeKeyRequest(dwPart, pKey, PROTECTION_REMOVE_KEY);
    KeyResult keyResult;
    if (!SendKey(disk.get(), FL_IOCTL_PART_KEY_FH, &key, &keyResult)) {
      if (keyResult.dwStatus != kKeyAlreadyInserted) {
        NKDbgPrintfW(TEXT("%s:PROTECTION_REMOVE_KEY fail with statu=%d\r\n"), TEXT("DeInitUpdateByPart"),
                     keyResult.dwStatus);
        return 0;
      }
      NKDbgPrintfW(TEXT("%s:PROTECTION_REMOVE_KEY with statu=%d\r\n"), TEXT("DeInitUpdateByPart"),
                   keyResult.dwStatus);
    }
  }
  return 1;
}

int LoaddateByPartWithSectors(DWORD dwPart, DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return TransferSectors(TEXT("LoaddateByPartWithSectors"), false, dwPart, dwStartSector, pBuffer, dwBytes,
                         pdwSectors);
}

int UpdateByPartWithSectors(DWORD dwPart, DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes,
                            DWORD* pdwSectors) {
  return TransferSectors(TEXT("UpdateByPartWithSectors"), true, dwPart, dwStartSector, pBuffer, dwBytes,
                         pdwSectors);
}

int QueryGsmFfs(BYTE* pBuffer, DWORD dwLength) {
  if (pBuffer == nullptr || dwLength == 0) return 0;
  DiskHandle disk(TEXT("DSK1:"), GENERIC_READ);
  if (!disk.ok()) return 0;
  NamedAreaRequest req;
  memset(&req, 0, sizeof req);
  memcpy(req.szName, "GSMFFS", 6);
  req.dwZero = 0;
  req.dwLength = dwLength;
  req.dwAddress = RecordAddress(pBuffer);
  return DeviceIoControl(disk.get(), IOCTL_DISK_NAMED_AREA, &req, sizeof req, nullptr, 0, nullptr, nullptr) ? 1 : 0;
}

int InitUpdateOS(const char* pKey, DWORD dwKeyLength) { return InitUpdateByPart(0, pKey, dwKeyLength); }
int InitUpdateGSM(const char* pKey, DWORD dwKeyLength) { return InitUpdateByPart(1, pKey, dwKeyLength); }
int InitUpdateEROM(const char* pKey, DWORD dwKeyLength) { return InitUpdateByPart(2, pKey, dwKeyLength); }
int DeInitUpdateOS(const char* pKey, DWORD dwKeyLength) { return DeInitUpdateByPart(0, pKey, dwKeyLength); }
int DeInitUpdateGSM(const char* pKey, DWORD dwKeyLength) { return DeInitUpdateByPart(1, pKey, dwKeyLength); }
int DeInitUpdateEROM(const char* pKey, DWORD dwKeyLength) { return DeInitUpdateByPart(2, pKey, dwKeyLength); }

int LoaddateOSWithSectors(DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return LoaddateByPartWithSectors(0, dwStartSector, pBuffer, dwBytes, pdwSectors);
}
int LoaddateGSMWithSectors(DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return LoaddateByPartWithSectors(1, dwStartSector, pBuffer, dwBytes, pdwSectors);
}
int LoaddateEROMWithSectors(DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return LoaddateByPartWithSectors(2, dwStartSector, pBuffer, dwBytes, pdwSectors);
}
int UpdateOSWithSectors(DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return UpdateByPartWithSectors(0, dwStartSector, pBuffer, dwBytes, pdwSectors);
}
int UpdateGSMWithSectors(DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return UpdateByPartWithSectors(1, dwStartSector, pBuffer, dwBytes, pdwSectors);
}
int UpdateEROMWithSectors(DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors) {
  return UpdateByPartWithSectors(2, dwStartSector, pBuffer, dwBytes, pdwSectors);
}
