#include "flashdisk_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace handheld {
namespace flashdisk {
namespace {

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// A 32-bit address of the caller's address space.
uint8_t* CallerPointer(uint32_t address) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(address)); }

// The byte that narrows a control for faults and records.
int SubOf(uint32_t code, const uint8_t* in, uint32_t in_size) {
  if (in == nullptr) return -1;
  if (code == kBootAreaOp && in_size > 1) return in[1];
  if ((code == kBootAreaKey || code == kPartKey) && in_size > 10) return in[10];
  return -1;
}

int DeviceOfPartition(int part) { return part >= 2 ? 2 : 1; }

Area PartitionArea(int part) {
  switch (part) {
    case 0: return Area::OS;
    case 1: return Area::GSM;
    default: return Area::EXTROM;
  }
}

}  // namespace

Driver::Driver(Storage* storage) : storage_(storage) { LoadState(); }

std::string Driver::StatePath() const { return storage_->Directory() + "/flashdisk.state"; }

// One line: "keys <boot0> <boot1> <part0> <part1> mounted <p0> <p1> <p2> last <dsk1> <dsk2>".
void Driver::LoadState() {
  std::ifstream in(StatePath());
  std::string word;
  int b0 = 0, b1 = 0, p0 = 0, p1 = 0, m0 = 0, m1 = 0, m2 = 0, l1 = -1, l2 = -1;
  if (!(in >> word) || word != "keys" || !(in >> b0 >> b1 >> p0 >> p1 >> word) || word != "mounted" ||
      !(in >> m0 >> m1 >> m2 >> word) || word != "last" || !(in >> l1 >> l2)) {
    return;  // none kept: a handheld just started
  }
  boot_key_ = {b0 != 0, b1 != 0};
  part_key_ = {p0 != 0, p1 != 0};
  mounted_ = {m0 != 0, m1 != 0, m2 != 0};
  last_mounted_ = {{-1, l1 >= 0 && l1 <= 1 ? l1 : -1, l2 == 2 ? l2 : -1}};
}

void Driver::SaveState() const {
  std::ofstream out(StatePath(), std::ios::trunc);
  out << "keys " << boot_key_[0] << ' ' << boot_key_[1] << ' ' << part_key_[0] << ' ' << part_key_[1]
      << " mounted " << mounted_[0] << ' ' << mounted_[1] << ' ' << mounted_[2] << " last " << last_mounted_[1]
      << ' ' << last_mounted_[2] << '\n';
}

bool Driver::Control(int device, uint32_t code, void* in, uint32_t in_size, void* out, uint32_t out_size,
                     uint32_t* returned) {
  auto* bin = static_cast<uint8_t*>(in);
  auto* bout = static_cast<uint8_t*>(out);
  if (bin == nullptr) in_size = 0;
  if (bout == nullptr) out_size = 0;
  if (returned != nullptr) *returned = 0;

  ControlRecord rec;
  rec.device = device;
  rec.code = code;
  rec.sub = SubOf(code, bin, in_size);
  if (in_size > 0) rec.input.assign(bin, bin + in_size);

  const Fault* fired = nullptr;
  for (Fault& f : faults_) {
    if (f.code != code || (f.sub >= 0 && f.sub != rec.sub)) continue;
    if (f.skip > 0) {
      --f.skip;
      continue;
    }
    if (f.times == 0 || fired != nullptr) continue;
    if (f.times > 0) --f.times;
    fired = &f;
  }

  uint32_t status = kStatusOk;
  bool ok = false;
  if (fired == nullptr || fired->perform) {
    ok = Dispatch(device, code, bin, in_size, bout, out_size, returned, &status, &rec);
    if (ok && (code == kBootAreaKey || code == kPartKey || code == kMountVolume)) SaveState();
  }
  if (fired != nullptr) {
    ok = false;
    status = fired->status;
    if (!fired->perform && (code == kReadSectors || code == kWriteSectors) && out_size >= 8) Put32(bout, 0);
    WriteStatus(code, bout, out_size, status);
  }
  rec.result = ok;
  rec.status = status;
  record_.push_back(std::move(rec));
  return ok;
}

void Driver::WriteStatus(uint32_t code, uint8_t* out, uint32_t out_size, uint32_t status) const {
  switch (code) {
    case kGetInfo:
      if (out_size >= 64) Put32(out + 60, status);
      break;
    case kBootAreaOp:
    case kMountVolume:
      if (out_size >= 4) Put32(out, status);
      break;
    case kBootAreaKey:
    case kPartKey:
    case kReadSectors:
    case kWriteSectors:
      if (out_size >= 8) Put32(out + 4, status);
      break;
    default:
      break;
  }
}

bool Driver::Dispatch(int device, uint32_t code, uint8_t* in, uint32_t in_size, uint8_t* out,
                      uint32_t out_size, uint32_t* returned, uint32_t* status, ControlRecord* rec) {
  bool ok = false;
  uint32_t out_bytes = 0;
  switch (code) {
    case kGetInfo: {
      if (out_size < 64) return false;
      uint32_t sectors = 0;
      ok = GetInfo(device, &sectors, status);
      if (ok) Put32(out, sectors);
      out_bytes = 64;
      break;
    }
    case kBootAreaOp:
      ok = device == 1 ? BootAreaOp(in, in_size, status, rec) : (*status = kStatusBadRequest, false);
      out_bytes = 4;
      break;
    case kBootAreaKey:
    case kPartKey: {
      uint8_t type = 0;
      ok = Key(device, code, in, in_size, &type, status);
      if (out_size >= 8) out[0] = type;
      out_bytes = 8;
      break;
    }
    case kReadSectors:
    case kWriteSectors: {
      uint32_t done = 0;
      ok = Sectors(device, code == kWriteSectors, in, in_size, &done, status);
      if (out_size >= 8) Put32(out, done);
      out_bytes = 8;
      break;
    }
    case kMountVolume:
      ok = Mount(device, in, in_size, status);
      out_bytes = 4;
      break;
    case kNamedArea:
      return NamedArea(device, in, in_size);
    default:
      return false;
  }
  WriteStatus(code, out, out_size, *status);
  if (returned != nullptr) *returned = std::min(out_bytes, out_size);
  return ok;
}

bool Driver::BootAreaOp(uint8_t* in, uint32_t in_size, uint32_t* status, ControlRecord* rec) {
  *status = kStatusBadRequest;
  if (in_size < 32) return false;
  const int area_no = in[0];
  const uint8_t op = in[1];
  Area area;
  if (area_no == 0 && std::memcmp(in + 4, "BIPO", 4) == 0) {
    area = Area::EBOOT;
  } else if (area_no == 1 && std::memcmp(in + 4, "CELD", 4) == 0) {
    area = Area::IPL;
  } else if (area_no == 1 && std::memcmp(in + 4, "BCFG", 4) == 0) {
    area = Area::CFG;
  } else {
    return false;
  }
  if (in[12] != 8 || Get32(in + 16) != 0) return false;
  const uint32_t length = Get32(in + 20);
  const uint8_t flags = in[24];
  // The EBOOT area holds every image byte twice (see the header).
  const uint32_t scale = area == Area::EBOOT ? 2 : 1;

  switch (op) {
    case kBdkSizeQuery: {
      if (flags != 0x12) return false;
      Put32(in + 20, static_cast<uint32_t>(storage_->StoredLength(area) * scale));
      *status = kStatusOk;
      return true;
    }
    case kBdkInitWrite: {
      if (flags != 0x12) return false;
      if (!boot_key_[area_no]) return *status = kStatusWriteProtected, false;
      // EBOOT comes in whole doubled sectors only. The capacity counts image bytes: the announced
      // length in them is length / scale.
      if (length / scale > storage_->Capacity(area) || (area == Area::EBOOT && length % 1024 != 0)) {
        return *status = kStatusOutOfRange, false;
      }
      boot_write_ = BootWrite{};
      boot_write_.area = area;
      boot_write_.total = length;
      boot_write_.data.assign(length / scale, 0xFF);
      if (length == 0) {
        if (!storage_->Write(area, nullptr, 0)) return *status = kStatusStorage, false;
      } else {
        boot_write_.active = true;
      }
      *status = kStatusOk;
      return true;
    }
    case kBdkWrite: {
      if (flags != 0x08 || length != 1024) return false;
      const uint32_t address = Get32(in + 28);
      if (address == 0) return false;
      if (!boot_write_.active || boot_write_.area != area) return *status = kStatusNoWrite, false;
      if (!boot_key_[area_no]) return *status = kStatusWriteProtected, false;
      const uint8_t* block = CallerPointer(address);
      rec->payload.assign(block, block + 1024);
      if (area == Area::EBOOT) {
        // First copy of the doubled sector.
        std::memcpy(boot_write_.data.data() + boot_write_.received / 2, block, 512);
        boot_write_.received += 1024;
      } else {
        uint32_t n = std::min<uint32_t>(1024, boot_write_.total - boot_write_.received);
        std::memcpy(boot_write_.data.data() + boot_write_.received, block, n);
        boot_write_.received += n;
      }
      if (boot_write_.received >= boot_write_.total) {
        boot_write_.active = false;
        if (!storage_->Write(area, boot_write_.data.data(), boot_write_.data.size())) {
          return *status = kStatusStorage, false;
        }
      }
      *status = kStatusOk;
      return true;
    }
    default:
      return false;
  }
}

bool Driver::Key(int device, uint32_t code, const uint8_t* in, uint32_t in_size, uint8_t* type,
                 uint32_t* status) {
  *status = kStatusBadRequest;
  if (in_size < 11) return false;
  const int index = in[0];
  if (index > 1 || device != 1) return false;  // boot areas 0 and 1, partitions 0 and 1: all on DSK1
  bool& inserted = code == kBootAreaKey ? boot_key_[index] : part_key_[index];
  *type = code == kBootAreaKey ? 1 : 2;
  if (std::memcmp(in + 2, kKey, 8) != 0) return *status = kStatusWrongKey, false;
  const uint8_t op = in[10];
  if (op == kInsertKey) {
    if (inserted) return *status = kStatusKeyState, false;
    inserted = true;
  } else if (op == kRemoveKey) {
    if (!inserted) return *status = kStatusKeyState, false;
    inserted = false;
  } else {
    return false;
  }
  *status = kStatusOk;
  return true;
}

bool Driver::Sectors(int device, bool write, const uint8_t* in, uint32_t in_size, uint32_t* done,
                     uint32_t* status) {
  *status = kStatusBadRequest;
  if (in_size < 16) return false;
  const int part = in[0];
  if (part > 2 || DeviceOfPartition(part) != device) return false;
  if (!mounted_[part]) return *status = kStatusNotMounted, false;
  if (write && part < 2 && !part_key_[part]) return *status = kStatusWriteProtected, false;
  const uint64_t first = Get32(in + 4);
  const uint64_t count = Get32(in + 8);
  const uint32_t address = Get32(in + 12);
  const Area area = PartitionArea(part);
  if (first + count > storage_->Capacity(area) / kSectorSize) return *status = kStatusOutOfRange, false;
  if (count > 0) {
    if (address == 0) return false;
    uint8_t* buffer = CallerPointer(address);
    const bool stored = write ? storage_->WriteAt(area, first * kSectorSize, buffer, count * kSectorSize)
                              : storage_->ReadAt(area, first * kSectorSize, buffer, count * kSectorSize);
    if (!stored) return *status = kStatusStorage, false;
  }
  *done = static_cast<uint32_t>(count);
  *status = kStatusOk;
  return true;
}

bool Driver::Mount(int device, const uint8_t* in, uint32_t in_size, uint32_t* status) {
  *status = kStatusBadRequest;
  if (in_size < 2) return false;
  const int part = in[0];
  if (part > 2 || DeviceOfPartition(part) != device) return false;
  mounted_[part] = true;
  last_mounted_[device] = part;
  *status = kStatusOk;
  return true;
}

bool Driver::GetInfo(int device, uint32_t* sectors, uint32_t* status) {
  const int part = last_mounted_[device];
  if (part < 0 || !mounted_[part]) return *status = kStatusNotMounted, false;
  *sectors = static_cast<uint32_t>(storage_->Capacity(PartitionArea(part)) / kSectorSize);
  *status = kStatusOk;
  return true;
}

bool Driver::NamedArea(int device, const uint8_t* in, uint32_t in_size) {
  static const uint8_t kName[8] = {'G', 'S', 'M', 'F', 'F', 'S', 0, 0};
  if (device != 1 || in_size < 20 || std::memcmp(in, kName, 8) != 0 || Get32(in + 8) != 0) return false;
  const uint32_t length = Get32(in + 12);
  const uint32_t address = Get32(in + 16);
  if (length > 0 && address != 0) {
    return storage_->ReadAt(Area::GSM, 0, CallerPointer(address), std::min<uint32_t>(length, kGsmFfsSize));
  }
  return true;
}

void Driver::Restart() {
  boot_key_ = {};
  part_key_ = {};
  mounted_ = {};
  last_mounted_ = {{-1, -1, -1}};
  boot_write_ = BootWrite{};
  std::remove(StatePath().c_str());
}

}  // namespace flashdisk
}  // namespace handheld
