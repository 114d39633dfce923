// The virtual handheld's persistent state: one directory is one handheld, so that the host library, the
// device programs, a later run and a person all see the same flash.
//
// Layout of the directory:
//   IPL.bin EBOOT.bin CFG.bin           boot areas; the file holds the area's stored content, its size
//                                       is the stored length
//   OS.bin GSM.bin EXTROM.bin ASSET.bin partitions; bytes from offset 0; what lies beyond the end of the
//                                       file up to the capacity reads as erased flash (0xFF)
//   layout.ini                          [capacity] OS=, GSM=, EXTROM=, ASSET=, IPL=, EBOOT= in bytes of
//                                       image, as the host flashes them (EBOOT: the 393,216 bytes that
//                                       the device's flash-disk driver takes as sectors written twice)
//   memory/XXXXXXXX.bin                 physical memory, one 4 KiB page per file, named by its address
//   mode                                "bootloader" or "os": what the handheld comes up in
//   registry.ini                        registry values: [HKLM\Software\VARN\Extended_ROM] Version=...
//   sdcard/                             the SD card's file system
//   .staging/                           content on its way to an area (NAME.bin.PID-N) and each area's
//                                       previous content (NAME.bin), which the next write to the area
//                                       writes over: cached pages cost less to overwrite than new ones
//
// The first 64 KiB of GSM are the GSMFFS area.
#ifndef DRAVIK_HANDHELD_STORAGE_H
#define DRAVIK_HANDHELD_STORAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace handheld {

enum class Area { IPL, EBOOT, CFG, OS, GSM, EXTROM, ASSET };

constexpr uint32_t kGsmFfsSize = 0x10000;  // the GSMFFS area at the start of GSM
constexpr uint32_t kPageSize = 4096;

const char* AreaName(Area area);  // "IPL", "EBOOT", ...
bool IsBootArea(Area area);       // IPL, EBOOT, CFG

enum class Mode { BootLoader, OS };

class Storage {
 public:
  // Opens (and creates, when missing) the handheld directory with default capacities.
  explicit Storage(std::string directory);

  const std::string& Directory() const { return dir_; }
  std::string AreaPath(Area area) const;
  // Where the area's previous content waits to be written over by its next write (see StagedArea).
  std::string SparePath(Area area) const;
  std::string SdCardDirectory() const;  // created on demand

  // Stored content of an area (a boot area's stored length; a partition's written bytes).
  std::vector<uint8_t> Read(Area area) const;
  uint64_t StoredLength(Area area) const;
  // Replaces an area's content (flashing an image, writing a boot area).
  bool Write(Area area, const uint8_t* data, size_t size);
  // Sector-level access to a partition: reads beyond the stored bytes give 0xFF; writes extend.
  bool ReadAt(Area area, uint64_t offset, uint8_t* out, size_t size) const;
  bool WriteAt(Area area, uint64_t offset, const uint8_t* data, size_t size);
  // Erases an area: empty content, reads as 0xFF.
  bool Erase(Area area);

  // How many bytes of image the area takes (layout.ini, else the default).
  uint64_t Capacity(Area area) const;
  bool SetCapacity(Area area, uint64_t bytes);

  // Physical memory (boot markers, clock-module registers); unwritten memory reads as zero.
  bool ReadMemory(uint32_t physical, uint8_t* out, size_t size) const;
  bool WriteMemory(uint32_t physical, const uint8_t* data, size_t size);
  std::string MemoryPagePath(uint32_t page_address) const;  // the file behind one page (created on demand)

  Mode GetMode() const;
  bool SetMode(Mode mode);
  // Counts the SetMode calls of this process (on any Storage), so that a reader that keeps the mode can
  // tell when it must read the file again.
  static uint32_t ModeChanges();

  // Registry string values, by key path and value name; empty when absent.
  std::string RegistryValue(const std::string& key, const std::string& name) const;
  bool SetRegistryValue(const std::string& key, const std::string& name, const std::string& value);
  bool RemoveRegistryValue(const std::string& key, const std::string& name);

 private:
  std::string dir_;
};

// An area's new content written piece by piece beside it (as an image arrives), so that nothing holds
// the whole of it in memory. The area keeps its old content until Commit; a writer destroyed without a
// successful Commit removes what it wrote. Each writer has a staging file of its own
// (.staging/NAME.bin.PID-N), so two serving threads flashing one area do not write into each other's.
class StagedArea {
 public:
  StagedArea(const Storage& storage, Area area);
  ~StagedArea();
  StagedArea(const StagedArea&) = delete;
  StagedArea& operator=(const StagedArea&) = delete;

  // False once the staging file could not be created or a piece could not be written.
  bool Ok() const { return fd_ >= 0; }
  bool Append(const uint8_t* data, size_t size);
  // The staged content becomes the area's. False (and the area as it was) when any step failed.
  bool Commit();

 private:
  void Abandon();

  std::string path_;
  std::string spare_;
  std::string staging_;
  int fd_ = -1;
  uint64_t written_ = 0;
};

// Default capacities of a new handheld.
constexpr uint64_t kDefaultOsCapacity = 64ull << 20;
constexpr uint64_t kDefaultGsmCapacity = 0x600000;
constexpr uint64_t kDefaultExtRomCapacity = 16ull << 20;
constexpr uint64_t kDefaultAssetCapacity = 0x10000;
constexpr uint64_t kDefaultIplCapacity = 0x40000;
constexpr uint64_t kDefaultEbootCapacity = 0x60000;
constexpr uint64_t kDefaultCfgCapacity = 0x10000;

// The partitions (OS, GSM, EXTROM) are made of whole blocks of the flash disk: the device programs move
// them in chunks of this size.
constexpr uint64_t kPartitionBlock = 0x10000;
// The smallest GSM partition: the GSM backup and the device's GSM dump read its first 5 MiB.
constexpr uint64_t kMinGsmCapacity = 0x500000;

// The capacity a format gives an area for the image size the host announced: a partition rounds it up to
// whole blocks (GSM to at least kMinGsmCapacity), so that the device programs reach every byte of the
// image in whole chunks; the other areas take it as it is.
uint64_t FormattedCapacity(Area area, uint64_t bytes);

}  // namespace handheld

#endif  // DRAVIK_HANDHELD_STORAGE_H
