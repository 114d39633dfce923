#include "protocol.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace handheld {
namespace {

bool CodeIs(const Frame& f, const char* code) { return std::memcmp(f.data(), code, 8) == 0; }

bool AllZero(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// The code as text for the log: printable characters, '.' for the others.
std::string CodeText(const Frame& f) {
  std::string s;
  for (size_t i = 0; i < 8; ++i) s += (f[i] >= 0x20 && f[i] < 0x7F) ? static_cast<char>(f[i]) : '.';
  return s;
}

// Size block slots in order, with the area each one sizes.
constexpr Area kSizeSlots[5] = {Area::GSM, Area::EBOOT, Area::IPL, Area::OS, Area::EXTROM};

}  // namespace

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void DeviceMemory::Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu);
  log.push_back(line);
}

ProtocolEngine::ProtocolEngine(Storage& storage, std::mutex& storage_mu, DeviceMemory& memory,
                               FaultInjector& faults)
    : storage_(storage), storage_mu_(storage_mu), memory_(memory), faults_(faults) {
  piece_.reserve(kPieceBytes + kFrameSize);
}

void ProtocolEngine::Serve(FrameLink& link) {
  for (;;) {
    try {
      bool done = false;
      Frame frame = link.ReceiveFrame([&](const Frame& f) { done = TakeAtOnce(f); });
      if (!done) Handle(frame, link);
    } catch (const SessionEnd& end) {
      if (end.why != SessionEnd::Why::Abandoned) throw;
      // The host moved on in the middle of an exchange; what it sent is taken as a new command.
    }
  }
}

void ProtocolEngine::Handle(const Frame& f, FrameLink& link) {
  if (CodeIs(f, "FF112244")) return Flash(f, Area::EBOOT, link);
  if (CodeIs(f, "FF112245")) return Flash(f, Area::IPL, link);
  if (CodeIs(f, "FF112246")) return Flash(f, GetLe32(&f[8]) <= kGsmImageLimit ? Area::GSM : Area::OS, link);
  if (CodeIs(f, "FF112247")) return Flash(f, Area::ASSET, link);
  if (CodeIs(f, "FF112263")) return Flash(f, Area::EXTROM, link);
  if (TakeAtOnce(f)) return;
  if (CodeIs(f, "FF112252")) return ReadAsset(link);
  if (CodeIs(f, "FF112253")) return Format(f, 0, link);
  if (CodeIs(f, "FF112257")) return Format(f, 3, link);
  if (CodeIs(f, "FF112264")) return Format(f, 4, link);
  if (CodeIs(f, "FF112261")) return Backup(0, link);
  if (CodeIs(f, "FF112260")) return Backup(1, link);
  if (CodeIs(f, "FF112259")) return Backup(2, link);
  if (CodeIs(f, "FF112258")) return Backup(3, link);
  if (CodeIs(f, "FF112262")) return Backup(4, link);
  if (CodeIs(f, "FF113300") || CodeIs(f, "FF112233")) {
    memory_.Log("took code " + CodeText(f));
    return;
  }
  if (AllZero(f.data(), 8)) {
    // The host sends a zero code for a format or backup type it has no code for, and then waits for
    // the completion. Zero sizes at bytes 8-39 are the backup's frame; sizes there, the format's.
    if (AllZero(&f[8], 32)) {
      memory_.Log("backup of an unknown type: completion only");
    } else {
      memory_.Log("format of an unknown type: nothing formatted, completion only");
    }
    return SendCompletion(Completion("FF112254"), link);
  }
  memory_.Log("ignored frame " + CodeText(f));
}

bool ProtocolEngine::TakeAtOnce(const Frame& f) {
  if (CodeIs(f, "FF112249") || CodeIs(f, "FF112250")) {
    bool to_os = CodeIs(f, "FF112250");
    {
      std::lock_guard<std::mutex> lock(storage_mu_);
      storage_.SetMode(to_os ? Mode::OS : Mode::BootLoader);
    }
    memory_.Log(to_os ? "reset to OS mode" : "reset to IPL mode");
    return true;
  }
  if (CodeIs(f, "FF112265") || CodeIs(f, "FF112266")) {
    int32_t value = CodeIs(f, "FF112266") ? 1 : 0;
    {
      std::lock_guard<std::mutex> lock(memory_.mu);
      memory_.flag = value;
    }
    memory_.Log("flag set to " + std::to_string(value));
    return true;
  }
  return false;
}

void ProtocolEngine::Flash(const Frame& command, Area area, FrameLink& link) {
  uint32_t size = GetLe32(&command[8]);
  uint32_t address = GetLe32(&command[12]);
  uint64_t capacity;
  {
    std::lock_guard<std::mutex> lock(storage_mu_);
    capacity = storage_.Capacity(area);
  }
  const bool fits = size <= capacity;
  // The image goes to a staging file beside its area in pieces as it arrives, so that only a piece of
  // it is ever in memory; the area keeps its old content until the whole announced length is there (a
  // host that goes away mid-image leaves it as it was). An image that does not fit is taken off the wire
  // all the same, frame by frame, up to where its completion would go.
  std::unique_ptr<StagedArea> staged;
  if (fits) staged = std::make_unique<StagedArea>(storage_, area);
  piece_.clear();
  size_t received = 0;
  const uint32_t frames = size / kFrameSize + 1;
  for (uint32_t i = 0; i < frames; ++i) {
    const Frame& data = link.ReceiveFrame();
    const size_t take = std::min<size_t>(kFrameSize, size - received);
    received += take;
    if (!fits) continue;
    piece_.insert(piece_.end(), data.begin(), data.begin() + static_cast<long>(take));
    if (piece_.size() >= kPieceBytes) {
      staged->Append(piece_.data(), piece_.size());
      piece_.clear();
    }
  }
  std::string what = std::string(AreaName(area)) + " image of " + std::to_string(size) + " bytes";
  if (address != 0) what += " (address " + std::to_string(address) + " not used)";
  // An image that is not stored gets no completion: the host must not take it for flashed. Nor may it
  // wait for one that never comes (a host reading without a time-out would wait for ever): the handheld
  // drops the link, as a device that resets does, and the host sees it gone.
  if (!fits) {
    memory_.Log(what + " exceeds the capacity of " + std::to_string(capacity) + ": not stored; the link is dropped");
    link.DropLink();
  }
  bool stored = staged->Append(piece_.data(), piece_.size());
  piece_.clear();
  {
    std::lock_guard<std::mutex> lock(storage_mu_);
    stored = staged->Commit() && stored;
  }
  if (!stored) {
    memory_.Log(what + ": writing the area failed, not stored; the link is dropped");
    link.DropLink();
  }
  memory_.Log(what + " stored");
  SendCompletion(Completion("FF112248"), link);
}

void ProtocolEngine::Format(const Frame& command, int type, FrameLink& link) {
  std::array<uint8_t, 32> sizes;
  std::memcpy(sizes.data(), &command[8], sizes.size());
  std::vector<uint8_t> gsmffs;
  std::string failed;  // the first area that could not be formatted
  {
    std::lock_guard<std::mutex> lock(storage_mu_);
    if (type == 3) {
      gsmffs.resize(kGsmFfsSize);
      storage_.ReadAt(Area::GSM, 0, gsmffs.data(), gsmffs.size());
    }
    for (size_t slot = 0; slot < 5 && failed.empty(); ++slot) {
      uint32_t bytes = GetLe32(&sizes[slot * 4]);
      if (bytes == 0) continue;
      const Area area = kSizeSlots[slot];
      if (!storage_.SetCapacity(area, FormattedCapacity(area, bytes)) || !storage_.Erase(area)) {
        failed = AreaName(area);
      }
    }
  }
  // A format that did not erase what it names is not reported done: the host would take the old content
  // for gone. The handheld drops the link, as a device that resets.
  if (!failed.empty()) {
    memory_.Log("format type " + std::to_string(type) + ": formatting " + failed +
                " failed, the format is not done; the link is dropped");
    link.DropLink();
  }
  {
    std::lock_guard<std::mutex> lock(memory_.mu);
    memory_.format_sizes = sizes;
    ++memory_.format_count;
  }
  std::string line = "format type " + std::to_string(type) + ":";
  for (size_t slot = 0; slot < 5; ++slot) {
    line += std::string(" ") + AreaName(kSizeSlots[slot]) + "=" + std::to_string(GetLe32(&sizes[slot * 4]));
  }
  memory_.Log(line);
  SendCompletion(Completion("FF112254"), link);
  if (type != 3) return;
  for (size_t offset = 0; offset < gsmffs.size(); offset += kFrameSize) {
    Frame data{};
    size_t n = std::min(kFrameSize, gsmffs.size() - offset);
    std::memcpy(data.data(), gsmffs.data() + offset, n);
    link.SendFrame(data, true);
  }
  memory_.Log("format type 3: sent the GSMFFS backup");
}

void ProtocolEngine::Backup(int type, FrameLink& link) {
  Frame completion = Completion("FF112254");
  uint64_t size = 0;
  Area area = Area::EBOOT;
  switch (type) {
    case 0: area = Area::EBOOT; size = kEbootBackupSize; break;
    case 1: area = Area::IPL; size = GetLe32(&completion[16]); break;
    case 2: area = Area::OS; size = GetLe32(&completion[8]); break;
    case 3: area = Area::GSM; size = kGsmBackupSize; break;
    default: area = Area::EXTROM; size = GetLe32(&completion[12]); break;
  }
  memory_.Log("backup type " + std::to_string(type) + ": " + AreaName(area) + ", " + std::to_string(size) +
              " bytes");
  SendCompletion(completion, link);
  SendArea(area, size, link);
}

// Sends size bytes of an area from offset 0 (0xFF beyond what is stored), read in large pieces.
void ProtocolEngine::SendArea(Area area, uint64_t size, FrameLink& link) {
  constexpr size_t kChunkFrames = 512;
  std::vector<uint8_t> chunk;
  for (uint64_t offset = 0; offset < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(size - offset, kChunkFrames * kFrameSize));
    chunk.resize(n);
    {
      std::lock_guard<std::mutex> lock(storage_mu_);
      storage_.ReadAt(area, offset, chunk.data(), n);
    }
    for (size_t at = 0; at < n; at += kFrameSize) {
      Frame data{};
      std::memcpy(data.data(), chunk.data() + at, std::min(kFrameSize, n - at));
      link.SendFrame(data, true);
    }
    offset += n;
  }
}

void ProtocolEngine::ReadAsset(FrameLink& link) {
  Frame data{};
  {
    std::lock_guard<std::mutex> lock(storage_mu_);
    storage_.ReadAt(Area::ASSET, 0, data.data(), 225);
  }
  memory_.Log("sent asset data");
  link.SendFrame(data, true);
}

Frame ProtocolEngine::Completion(const char* code) {
  Frame f{};
  std::memcpy(f.data(), code, 8);
  if (std::strcmp(code, "FF112254") == 0) {
    std::lock_guard<std::mutex> lock(storage_mu_);
    PutLe32(&f[8], static_cast<uint32_t>(storage_.StoredLength(Area::OS)));
    PutLe32(&f[12], static_cast<uint32_t>(storage_.StoredLength(Area::EXTROM)));
    PutLe32(&f[16], static_cast<uint32_t>(storage_.StoredLength(Area::IPL)));
  }
  return f;
}

void ProtocolEngine::SendCompletion(const Frame& completion, FrameLink& link) {
  uint32_t wrong = faults_.WrongPacketsBeforeCompletion();
  for (uint32_t i = 0; i < wrong; ++i) {
    // Differs from the completion only in the last character of the code.
    Frame w = completion;
    w[7] = static_cast<uint8_t>(w[7] == '9' ? '0' : w[7] + 1);
    link.SendFrame(w, false);
  }
  uint32_t delay = faults_.CompletionDelayMs();
  if (delay > 0) link.Pause(delay);
  link.SendFrame(completion, false);
}

}  // namespace handheld
