#include "storage.h"

#include <fcntl.h>
#ifdef _WIN32
#include <direct.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace handheld {
namespace {

using IniData = std::map<std::string, std::map<std::string, std::string>>;

#ifdef _WIN32
// The update application's Windows build reads a handheld directory too (verification).
void MakeDirectory(const std::string& path) { ::_mkdir(path.c_str()); }
constexpr int kOpenFlags = O_BINARY;  // never CR LF translation of an image
#else
void MakeDirectory(const std::string& path) { ::mkdir(path.c_str(), 0755); }
constexpr int kOpenFlags = O_CLOEXEC;
#endif

IniData LoadIni(const std::string& path) {
  IniData data;
  std::ifstream in(path);
  std::string line, section;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') == std::string::npos ? std::string::npos : line.find(']') - 1);
      continue;
    }
    auto eq = line.find('=');
    if (eq != std::string::npos) data[section][line.substr(0, eq)] = line.substr(eq + 1);
  }
  return data;
}

bool SaveIni(const std::string& path, const IniData& data) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    for (const auto& [section, keys] : data) {
      out << '[' << section << "]\n";
      for (const auto& [key, value] : keys) out << key << '=' << value << '\n';
    }
    if (!out) return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

uint64_t DefaultCapacity(Area area) {
  switch (area) {
    case Area::OS: return kDefaultOsCapacity;
    case Area::GSM: return kDefaultGsmCapacity;
    case Area::EXTROM: return kDefaultExtRomCapacity;
    case Area::ASSET: return kDefaultAssetCapacity;
    case Area::IPL: return kDefaultIplCapacity;
    case Area::EBOOT: return kDefaultEbootCapacity;
    case Area::CFG: return kDefaultCfgCapacity;
  }
  return 0;
}

}  // namespace

const char* AreaName(Area area) {
  switch (area) {
    case Area::IPL: return "IPL";
    case Area::EBOOT: return "EBOOT";
    case Area::CFG: return "CFG";
    case Area::OS: return "OS";
    case Area::GSM: return "GSM";
    case Area::EXTROM: return "EXTROM";
    case Area::ASSET: return "ASSET";
  }
  return "?";
}

bool IsBootArea(Area area) { return area == Area::IPL || area == Area::EBOOT || area == Area::CFG; }

uint64_t FormattedCapacity(Area area, uint64_t bytes) {
  if (area != Area::OS && area != Area::GSM && area != Area::EXTROM) return bytes;
  uint64_t capacity = (bytes + kPartitionBlock - 1) / kPartitionBlock * kPartitionBlock;
  if (area == Area::GSM) capacity = std::max(capacity, kMinGsmCapacity);
  return capacity;
}

Storage::Storage(std::string directory) : dir_(std::move(directory)) {
  MakeDirectory(dir_);
  MakeDirectory(dir_ + "/memory");
  if (::access((dir_ + "/mode").c_str(), F_OK) != 0) SetMode(Mode::BootLoader);
}

std::string Storage::AreaPath(Area area) const { return dir_ + "/" + AreaName(area) + ".bin"; }

std::string Storage::SparePath(Area area) const { return dir_ + "/.staging/" + AreaName(area) + ".bin"; }

std::string Storage::SdCardDirectory() const {
  std::string sd = dir_ + "/sdcard";
  MakeDirectory(sd);
  return sd;
}

std::vector<uint8_t> Storage::Read(Area area) const {
  std::vector<uint8_t> bytes(StoredLength(area));
  if (!bytes.empty()) ReadAt(area, 0, bytes.data(), bytes.size());
  return bytes;
}

uint64_t Storage::StoredLength(Area area) const { return FileSize(AreaPath(area)); }

bool Storage::Write(Area area, const uint8_t* data, size_t size) {
  StagedArea staged(*this, area);
  return staged.Append(data, size) && staged.Commit();
}

StagedArea::StagedArea(const Storage& storage, Area area) : path_(storage.AreaPath(area)) {
  static std::atomic<uint32_t> writers{0};
  MakeDirectory(storage.Directory() + "/.staging");
  spare_ = storage.SparePath(area);
  staging_ = spare_ + "." + std::to_string(::getpid()) + "-" + std::to_string(writers.fetch_add(1));
  // The area's previous content, kept as its spare by the last Commit, is written over in place: its
  // pages are in the page cache already, and overwriting them costs half of what the new pages of a
  // fresh file do (an OS image is tens of MiB). Renaming it to a name of this writer's own claims it; a
  // writer that finds none starts an empty file.
  if (std::rename(spare_.c_str(), staging_.c_str()) == 0) {
    fd_ = ::open(staging_.c_str(), O_WRONLY | kOpenFlags);
    if (fd_ < 0) ::unlink(staging_.c_str());
  }
  if (fd_ < 0) fd_ = ::open(staging_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, 0644);
}

StagedArea::~StagedArea() { Abandon(); }

void StagedArea::Abandon() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(staging_.c_str());
}

bool StagedArea::Append(const uint8_t* data, size_t size) {
  while (fd_ >= 0 && size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Abandon();
      break;
    }
    data += n;
    size -= static_cast<size_t>(n);
    written_ += static_cast<uint64_t>(n);
  }
  return fd_ >= 0;
}

bool StagedArea::Commit() {
  if (fd_ < 0) return false;
  const int fd = fd_;
  fd_ = -1;
  // A spare written over may have been longer than the new content.
  bool ok = ::ftruncate(fd, static_cast<off_t>(written_)) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(staging_.c_str());
    return false;
  }
  // The old file is moved aside before the new one takes its name, rather than replaced by the rename:
  // renaming over an existing file makes some file systems (ext4) write the new file out at once, which
  // for an OS image costs more than the whole transfer of it. The old content then becomes the spare.
  const std::string old = staging_ + ".old";
  const bool had_old = std::rename(path_.c_str(), old.c_str()) == 0;
  if (std::rename(staging_.c_str(), path_.c_str()) != 0) {
    if (had_old) std::rename(old.c_str(), path_.c_str());  // the area keeps its content
    ::unlink(staging_.c_str());
    return false;
  }
  if (had_old) {
    // Another writer's spare may be there already (two flashes of one area at once): one is enough.
    if (::access(spare_.c_str(), F_OK) == 0 || std::rename(old.c_str(), spare_.c_str()) != 0) std::remove(old.c_str());
  }
  return true;
}

bool Storage::ReadAt(Area area, uint64_t offset, uint8_t* out, size_t size) const {
  std::memset(out, 0xFF, size);
  FILE* f = std::fopen(AreaPath(area).c_str(), "rb");
  if (!f) return true;  // nothing written yet: erased flash
  bool ok = true;
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0) {
    size_t got = std::fread(out, 1, size, f);
    if (got < size && std::ferror(f)) ok = false;
  }
  std::fclose(f);
  return ok;
}

bool Storage::WriteAt(Area area, uint64_t offset, const uint8_t* data, size_t size) {
  std::string path = AreaPath(area);
  FILE* f = std::fopen(path.c_str(), "r+b");
  if (!f) f = std::fopen(path.c_str(), "w+b");
  if (!f) return false;
  bool ok = true;
  uint64_t stored = FileSize(path);
  if (offset > stored) {
    // Bytes between the old end and the write are erased flash.
    if (fseeko(f, static_cast<off_t>(stored), SEEK_SET) != 0) ok = false;
    std::vector<uint8_t> fill(static_cast<size_t>(std::min<uint64_t>(offset - stored, 1 << 20)), 0xFF);
    for (uint64_t left = offset - stored; ok && left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, fill.size()));
      ok = std::fwrite(fill.data(), 1, n, f) == n;
      left -= n;
    }
  }
  if (ok) ok = fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
  if (ok && size > 0) ok = std::fwrite(data, 1, size, f) == size;
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

bool Storage::Erase(Area area) {
  // The empty content goes in like any other; the old content it leaves behind as the next write's
  // spare is removed too: an erased area keeps nothing of what it held.
  const bool ok = Write(area, nullptr, 0);
  std::remove(SparePath(area).c_str());
  return ok;
}

uint64_t Storage::Capacity(Area area) const {
  IniData ini = LoadIni(dir_ + "/layout.ini");
  auto section = ini.find("capacity");
  if (section != ini.end()) {
    auto it = section->second.find(AreaName(area));
    if (it != section->second.end()) {
      // A value that is not a plain decimal number (a hand-edited layout.ini) leaves the default.
      const std::string& text = it->second;
      char* end = nullptr;
      errno = 0;
      unsigned long long value = std::strtoull(text.c_str(), &end, 10);
      if (!text.empty() && text[0] != '-' && end && *end == '\0' && errno == 0) return value;
    }
  }
  return DefaultCapacity(area);
}

bool Storage::SetCapacity(Area area, uint64_t bytes) {
  IniData ini = LoadIni(dir_ + "/layout.ini");
  ini["capacity"][AreaName(area)] = std::to_string(bytes);
  return SaveIni(dir_ + "/layout.ini", ini);
}

std::string Storage::MemoryPagePath(uint32_t page_address) const {
  char name[32];
  std::snprintf(name, sizeof name, "/memory/%08X.bin", page_address & ~(kPageSize - 1));
  std::string path = dir_ + name;
  if (FileSize(path) < kPageSize) {
    // A page file always holds the whole page, so that it can be mapped.
    FILE* f = std::fopen(path.c_str(), "ab");
    if (f) {
      uint64_t have = FileSize(path);
      std::vector<uint8_t> zeros(kPageSize - have, 0);
      std::fwrite(zeros.data(), 1, zeros.size(), f);
      std::fclose(f);
    }
  }
  return path;
}

bool Storage::ReadMemory(uint32_t physical, uint8_t* out, size_t size) const {
  while (size > 0) {
    uint32_t page = physical & ~(kPageSize - 1);
    size_t in_page = std::min<size_t>(size, kPageSize - (physical - page));
    std::memset(out, 0, in_page);
    FILE* f = std::fopen(MemoryPagePath(page).c_str(), "rb");
    if (!f) return false;
    std::fseek(f, static_cast<long>(physical - page), SEEK_SET);
    size_t got = std::fread(out, 1, in_page, f);
    std::fclose(f);
    if (got != in_page) return false;
    out += in_page;
    physical += static_cast<uint32_t>(in_page);
    size -= in_page;
  }
  return true;
}

bool Storage::WriteMemory(uint32_t physical, const uint8_t* data, size_t size) {
  while (size > 0) {
    uint32_t page = physical & ~(kPageSize - 1);
    size_t in_page = std::min<size_t>(size, kPageSize - (physical - page));
    FILE* f = std::fopen(MemoryPagePath(page).c_str(), "r+b");
    if (!f) return false;
    std::fseek(f, static_cast<long>(physical - page), SEEK_SET);
    bool ok = std::fwrite(data, 1, in_page, f) == in_page;
    if (std::fclose(f) != 0 || !ok) return false;
    data += in_page;
    physical += static_cast<uint32_t>(in_page);
    size -= in_page;
  }
  return true;
}

Mode Storage::GetMode() const {
  std::ifstream in(dir_ + "/mode");
  std::string word;
  in >> word;
  return word == "os" ? Mode::OS : Mode::BootLoader;
}

namespace {
std::atomic<uint32_t> g_mode_changes{0};
}  // namespace

// The new mode is written beside the file and renamed over it: a reader (the serving thread, the device
// programs, another process) sees the old mode or the new one, never an empty file taken for the boot
// loader's.
bool Storage::SetMode(Mode mode) {
  static std::atomic<uint32_t> writes{0};
  const std::string path = dir_ + "/mode";
  const std::string tmp = path + "." + std::to_string(::getpid()) + "-" + std::to_string(writes.fetch_add(1));
  bool ok;
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << (mode == Mode::OS ? "os" : "bootloader") << '\n';
    ok = static_cast<bool>(out);
  }
#ifdef _WIN32
  if (ok) std::remove(path.c_str());  // a rename does not replace a file there
#endif
  ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(tmp.c_str());
  g_mode_changes.fetch_add(1);  // after the file is in place: a reader that sees the count reads the new mode
  return ok;
}

uint32_t Storage::ModeChanges() { return g_mode_changes.load(); }

std::string Storage::RegistryValue(const std::string& key, const std::string& name) const {
  IniData ini = LoadIni(dir_ + "/registry.ini");
  auto section = ini.find(key);
  if (section == ini.end()) return "";
  auto it = section->second.find(name);
  return it == section->second.end() ? "" : it->second;
}

bool Storage::SetRegistryValue(const std::string& key, const std::string& name, const std::string& value) {
  IniData ini = LoadIni(dir_ + "/registry.ini");
  ini[key][name] = value;
  return SaveIni(dir_ + "/registry.ini", ini);
}

bool Storage::RemoveRegistryValue(const std::string& key, const std::string& name) {
  IniData ini = LoadIni(dir_ + "/registry.ini");
  ini[key].erase(name);
  return SaveIni(dir_ + "/registry.ini", ini);
}

}  // namespace handheld
