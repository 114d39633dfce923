// The virtual handheld's flash-disk block driver: what lies behind "DSK1:" and "DSK2:" on the device.
//
// It takes the device controls of the handheld's flash disk, reads their records by byte offset, and
// works on the handheld's storage (handheld::Storage), so what the host library flashes is what the
// device programs read here, and the other way round.
//
// Devices: 1 ("DSK1:") holds the boot areas (0: EBOOT, 1: IPL and CFG) and the partitions 0 (OS) and
// 1 (GSM); 2 ("DSK2:") holds partition 2 (EXTROM).
//
// Rules it keeps:
//  - Protection: the boot areas and the partitions 0 and 1 take writes only while their key ("30571946")
//    is inserted. Inserting a key that is already in, or removing one that is not, fails with status
//    109 and changes nothing; a wrong key fails with 108. Partition 2 has no key.
//  - Boot areas are written by BDK_INIT_WRITE (the announced total becomes the stored length once that
//    many bytes have arrived through BDK_WRITE, in blocks of 1024) and sized by BDK_SIZE_QUERY (the
//    stored length, written into the request's length field). The area keeps its old content until the
//    whole announced length is written. Signatures: "BIPO" for area 0, "CELD" (IPL) or "BCFG" (CFG) for
//    area 1.
//  - EBOOT: the device writes each 512-byte image sector twice in a row as one 1024-byte block, so the
//    area holds two bytes for every image byte. The storage keeps the image as the host flashes it
//    (EBOOT.bin, 393,216 bytes), taking the first copy of each doubled sector; the area's length as this
//    driver reports it is twice the stored image. The storage's capacities count image bytes, as the
//    host's format sets them: a BDK_INIT_WRITE total beyond twice the EBOOT capacity (beyond the
//    capacity for IPL and CFG) is out of range.
//  - Partitions are mounted (FL_IOCTL_MOUNT_VOLUME_FH) before sector transfers; mounts and keys last
//    until Restart(), across the programs that run in between: they are kept in the handheld directory
//    (flashdisk.state). Sector transfers move whole 512-byte sectors inside the partition's capacity
//    (a format makes it whole 64 KiB blocks, the device programs' chunks).
//    FL_IOCTL_GET_INFO reports the capacity / 512 of the device's mounted partition.
//  - The named area "GSMFFS" is the first 65,536 bytes of GSM.
//  - Addresses inside the records are 32-bit pointers in the caller's address space (the driver runs in
//    the caller's process, in a 32-bit build).
//
// Faults: any control can be made to fail with any status, optionally after a number of good calls and
// for a number of calls, so that every failure path of the callers can be driven.
#ifndef DRAVIK_HANDHELD_FLASHDISK_DRIVER_H
#define DRAVIK_HANDHELD_FLASHDISK_DRIVER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "storage.h"

namespace handheld {
namespace flashdisk {

// Control codes.
constexpr uint32_t kGetInfo = 3000;            // FL_IOCTL_GET_INFO
constexpr uint32_t kBootAreaOp = 3005;         // FL_IOCTL_BOOT_AREA_OP
constexpr uint32_t kBootAreaKey = 3012;        // FL_IOCTL_BOOT_AREA_KEY
constexpr uint32_t kReadSectors = 3151;        // FL_IOCTL_READ_SECTORS_FH
constexpr uint32_t kWriteSectors = 3152;       // FL_IOCTL_WRITE_SECTORS_FH
constexpr uint32_t kPartKey = 3153;            // FL_IOCTL_PART_KEY_FH
constexpr uint32_t kMountVolume = 3154;        // FL_IOCTL_MOUNT_VOLUME_FH
constexpr uint32_t kNamedArea = 0x00071F94;    // IOCTL_DISK_NAMED_AREA

// Boot-area operations (byte 1 of the request).
constexpr uint8_t kBdkInitWrite = 2;
constexpr uint8_t kBdkWrite = 3;
constexpr uint8_t kBdkSizeQuery = 6;

// Key operations (byte 10 of the request).
constexpr uint8_t kInsertKey = 0;
constexpr uint8_t kRemoveKey = 1;

// Driver statuses.
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusBadRequest = 1;      // record too short, wrong fields, unknown area or partition
constexpr uint32_t kStatusWriteProtected = 2;  // write without the key inserted
constexpr uint32_t kStatusNotMounted = 3;      // sector transfer or size query on a partition not mounted
constexpr uint32_t kStatusOutOfRange = 4;      // beyond the partition's capacity or the announced length
constexpr uint32_t kStatusNoWrite = 5;         // BDK_WRITE without a BDK_INIT_WRITE before it
constexpr uint32_t kStatusStorage = 6;         // the handheld's storage refused the access
constexpr uint32_t kStatusWrongKey = 108;
constexpr uint32_t kStatusKeyState = 109;      // key already inserted (insert) or not inserted (remove)

constexpr uint32_t kSectorSize = 512;
constexpr char kKey[9] = "30571946";

// A failure to inject. `sub` narrows the control: the operation byte of a boot-area request, or the
// insert/remove byte of a key request; -1 matches any. The first `skip` matching calls go through, then
// `times` calls fail (-1: all that follow). The failing call returns FALSE with `status` in its output
// record; with `perform` it is carried out first and then reported as failed.
struct Fault {
  uint32_t code = 0;
  int sub = -1;
  int skip = 0;
  int times = -1;
  uint32_t status = kStatusBadRequest;
  bool perform = false;
};

// One control as the driver saw it.
struct ControlRecord {
  int device = 0;
  uint32_t code = 0;
  int sub = -1;                  // as in Fault
  std::vector<uint8_t> input;    // the input record as it arrived
  bool result = false;
  uint32_t status = 0;
  std::vector<uint8_t> payload;  // BDK_WRITE: the 1024-byte block
};

class Driver {
 public:
  // Takes up the keys and mounts the handheld's driver holds (flashdisk.state).
  explicit Driver(Storage* storage);

  // True for the devices the driver serves (1 and 2).
  static bool HasDevice(int device) { return device == 1 || device == 2; }

  // One device control on the given device; the result of DeviceIoControl.
  bool Control(int device, uint32_t code, void* in, uint32_t in_size, void* out, uint32_t out_size,
               uint32_t* returned);

  // The handheld restarts: keys come out, partitions are unmounted, unfinished boot-area writes vanish.
  void Restart();

  void InjectFault(const Fault& fault) { faults_.push_back(fault); }
  void ClearFaults() { faults_.clear(); }
  const std::vector<ControlRecord>& Record() const { return record_; }
  void ClearRecord() { record_.clear(); }

  bool BootKeyInserted(int area) const { return area >= 0 && area < 2 && boot_key_[area]; }
  bool PartKeyInserted(int part) const { return part >= 0 && part < 2 && part_key_[part]; }
  bool Mounted(int part) const { return part >= 0 && part < 3 && mounted_[part]; }

 private:
  struct BootWrite {
    bool active = false;
    Area area = Area::IPL;
    uint32_t total = 0;
    uint32_t received = 0;
    std::vector<uint8_t> data;
  };

  bool Dispatch(int device, uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out, uint32_t out_size,
                uint32_t* returned, uint32_t* status, ControlRecord* rec);
  bool BootAreaOp(uint8_t* in, uint32_t in_size, uint32_t* status, ControlRecord* rec);
  bool Key(int device, uint32_t code, const uint8_t* in, uint32_t in_size, uint8_t* type, uint32_t* status);
  bool Sectors(int device, bool write, const uint8_t* in, uint32_t in_size, uint32_t* done, uint32_t* status);
  bool Mount(int device, const uint8_t* in, uint32_t in_size, uint32_t* status);
  bool GetInfo(int device, uint32_t* sectors, uint32_t* status);
  bool NamedArea(int device, const uint8_t* in, uint32_t in_size);
  void WriteStatus(uint32_t code, uint8_t* out, uint32_t out_size, uint32_t status) const;
  std::string StatePath() const;
  void LoadState();
  void SaveState() const;

  Storage* storage_;
  std::array<bool, 2> boot_key_{};
  std::array<bool, 2> part_key_{};
  std::array<bool, 3> mounted_{};
  std::array<int, 3> last_mounted_{{-1, -1, -1}};  // per device (index 1 and 2)
  BootWrite boot_write_;
  std::vector<Fault> faults_;
  std::vector<ControlRecord> record_;
};

}  // namespace flashdisk
}  // namespace handheld

#endif  // DRAVIK_HANDHELD_FLASHDISK_DRIVER_H
