// The flash-disk layer: boot-area writes and size query, and sector access to the data partitions,
// through the device controls of the handheld's flash-disk driver ("DSK1:", "DSK2:").
//
// Each operation opens its device, sends a short fixed sequence of controls, prints what happened to the
// debug output, closes the device and gives 1 for success or 0 for failure. Partitions: 0 OS and 1 GSM on
// "DSK1:", 2 the extended ROM on "DSK2:". Boot areas: 0 EBOOT, 1 IPL and CFG, on "DSK1:". Writes to the
// boot areas and to partitions 0 and 1 need the partition key inserted first; partition 2 has no key.
//
// Calling order for a partition: InitUpdateByPart, any number of LoaddateByPartWithSectors and
// UpdateByPartWithSectors on the same partition, DeInitUpdateByPart.
#ifndef DRAVIK_DEVICE_FLASHDISK_H
#define DRAVIK_DEVICE_FLASHDISK_H

#include "wince.h"

// The key that unlocks every boot area and partition: 8 characters, sent without a terminator.
extern const char PartitionKey[9];
constexpr DWORD kPartitionKeyLength = 8;

constexpr DWORD kSectorSize = 512;
constexpr DWORD kEBootImageSize = 0x60000;  // 393216
constexpr DWORD kCfgSize = 0x10000;         // 65536

// Device controls of the flash-disk driver.
constexpr DWORD FL_IOCTL_GET_INFO = 3000;
constexpr DWORD FL_IOCTL_BOOT_AREA_OP = 3005;
constexpr DWORD FL_IOCTL_BOOT_AREA_KEY = 3012;
constexpr DWORD FL_IOCTL_READ_SECTORS_FH = 3151;
constexpr DWORD FL_IOCTL_WRITE_SECTORS_FH = 3152;
constexpr DWORD FL_IOCTL_PART_KEY_FH = 3153;
constexpr DWORD FL_IOCTL_MOUNT_VOLUME_FH = 3154;
constexpr DWORD IOCTL_DISK_NAMED_AREA = 0x00071F94;

constexpr BYTE BDK_INIT_WRITE = 2;
constexpr BYTE BDK_WRITE = 3;
constexpr BYTE BDK_SIZE_QUERY = 6;
constexpr BYTE PROTECTION_INSERT_KEY = 0;
constexpr BYTE PROTECTION_REMOVE_KEY = 1;
// A key control that fails with this status found the key already in place.
constexpr DWORD kKeyAlreadyInserted = 109;

// The driver's records (little-endian; addresses are 32-bit pointers of this address space).
struct KeyRequest {
  BYTE bNumber;  // boot area number or dwPart
  BYTE bReserved;
  char szKey[8];
  BYTE bOperation;  // PROTECTION_INSERT_KEY / PROTECTION_REMOVE_KEY
};
struct KeyResult {
  BYTE bType;
  BYTE bReserved[3];
  DWORD dwStatus;
};
struct BootAreaRequest {
  BYTE bArea;
  BYTE bOperation;
  BYTE bReserved1[2];
  char szSignature[4];
  BYTE bReserved2[4];
  BYTE bEight;
  BYTE bReserved3[3];
  DWORD dwZero;
  DWORD dwLength;
  BYTE bFlags;
  BYTE bReserved4[3];
  DWORD dwAddress;
};
struct MountRequest {
  BYTE bPart;
  BYTE bZero;
};
struct SectorRequest {
  BYTE bPart;
  BYTE bReserved[3];
  DWORD dwFirstSector;
  DWORD dwSectorCount;
  DWORD dwAddress;
};
struct SectorResult {
  DWORD dwSectors;
  DWORD dwStatus;
};
struct DiskInfo {
  DWORD dwSectors;
  BYTE bReserved[56];
  DWORD dwStatus;
};
struct NamedAreaRequest {
  char szName[8];
  DWORD dwZero;
  DWORD dwLength;
  DWORD dwAddress;
};

static_assert(sizeof(KeyRequest) == 11, "KeyRequest layout");
static_assert(sizeof(KeyResult) == 8, "KeyResult layout");
static_assert(sizeof(BootAreaRequest) == 32, "BootAreaRequest layout");
static_assert(sizeof(MountRequest) == 2, "MountRequest layout");
static_assert(sizeof(SectorRequest) == 16, "SectorRequest layout");
static_assert(sizeof(SectorResult) == 8, "SectorResult layout");
static_assert(sizeof(DiskInfo) == 64, "DiskInfo layout");
static_assert(sizeof(NamedAreaRequest) == 20, "NamedAreaRequest layout");

// The 32-bit address a record carries for a buffer.
DWORD RecordAddress(const void* buffer);

// Stored length of the IPL boot area; *pdwIPLSize is set only when the query succeeded.
void GetIPLSize(DWORD* pdwIPLSize);

// Boot-area writers: 1 when the whole image was written and the key removed, else 0. WriteIPLCode takes
// any length (a last block that the data does not fill goes out padded with 0xFF); WriteEBootCode
// exactly 393216 bytes; WriteCFG exactly 65536.
int WriteIPLCode(const BYTE* pData, DWORD dwLength, const char* pKey, DWORD dwKeyLength);
int WriteEBootCode(const BYTE* pData, DWORD dwLength, const char* pKey, DWORD dwKeyLength);
int WriteCFG(const BYTE* pData, DWORD dwLength, const char* pKey, DWORD dwKeyLength);

// Inserts the partition's key (partitions 0 and 1) and mounts it.
int InitUpdateByPart(DWORD dwPart, const char* pKey, DWORD dwKeyLength);
// Removes the partition's key (partitions 0 and 1).
int DeInitUpdateByPart(DWORD dwPart, const char* pKey, DWORD dwKeyLength);
// Reads / writes dwBytes / 512 sectors from dwStartSector; *pdwSectors receives the sectors moved.
int LoaddateByPartWithSectors(DWORD dwPart, DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);
int UpdateByPartWithSectors(DWORD dwPart, DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes,
                            DWORD* pdwSectors);
// 1 when the driver knows the named area "GSMFFS".
int QueryGsmFfs(BYTE* pBuffer, DWORD dwLength);

// The same with the partition fixed: OS (0), GSM (1), extended ROM (2).
int InitUpdateOS(const char* pKey, DWORD dwKeyLength);
int InitUpdateGSM(const char* pKey, DWORD dwKeyLength);
int InitUpdateEROM(const char* pKey, DWORD dwKeyLength);
int DeInitUpdateOS(const char* pKey, DWORD dwKeyLength);
int DeInitUpdateGSM(const char* pKey, DWORD dwKeyLength);
int DeInitUpdateEROM(const char* pKey, DWORD dwKeyLength);
int LoaddateOSWithSectors(DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);
int LoaddateGSMWithSectors(DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);
int LoaddateEROMWithSectors(DWORD dwStartSector, BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);
int UpdateOSWithSectors(DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);
int UpdateGSMWithSectors(DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);
int UpdateEROMWithSectors(DWORD dwStartSector, const BYTE* pBuffer, DWORD dwBytes, DWORD* pdwSectors);

#endif  // DRAVIK_DEVICE_FLASHDISK_H
