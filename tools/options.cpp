#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "native_path.h"

namespace dravik_update {

namespace fs = std::filesystem;

const std::vector<Feature>& Features() {
  static const std::vector<Feature> features = {
      {1, "eboot", "EBOOT"}, {2, "ipl", "IPL"}, {3, "os", "OS"}, {7, "asset", "ASSET"}, {17, "extrom", "EXTROM"},
  };
  return features;
}

const Feature* FeatureById(uint16_t id) {
  for (const Feature& f : Features()) {
    if (f.id == id) return &f;
  }
  return nullptr;
}

std::string TargetArea(uint16_t feature, uint64_t payload_size) {
  switch (feature) {
    case 1: return "EBOOT";
    case 2: return "IPL";
    case 3: return payload_size > kGsmLimit ? "OS" : "GSM";
    case 7: return "ASSET";
    case 17: return "EXTROM";
    default: return "";
  }
}

namespace {

bool ParseNumber(const std::string& text, uint64_t* out) {
  if (text.empty()) return false;
  int base = 10;
  std::string digits = text;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text.substr(2);
  }
  uint64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (value > (std::numeric_limits<uint64_t>::max() - d) / base) return false;
    value = value * base + d;
  }
  *out = value;
  return true;
}

}  // namespace

bool ParseImageArgument(const std::string& text, uint16_t feature, ImageArgument* out, std::string* error) {
  ImageArgument arg;
  arg.feature = feature;
  arg.path = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    std::string suffix = text.substr(colon + 1);
    uint64_t len = 0;
    bool looks_numeric = !suffix.empty() && (suffix[0] == '-' || (suffix[0] >= '0' && suffix[0] <= '9'));
    if (looks_numeric) {
      if (suffix[0] == '-' || !ParseNumber(suffix, &len)) {
        *error = "bad header length \"" + suffix + "\" in \"" + text + "\": give a number of bytes (FILE:HEADERLEN)";
        return false;
      }
      if (len > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        *error = "header length " + suffix + " in \"" + text + "\" is too large";
        return false;
      }
      // A file whose own name ends in ":digits" (a time stamp, say) must not be taken silently for
      // another file with a header: the user says which.
      std::error_code ec;
      if (fs::is_regular_file(PathOf(text), ec)) {
        *error = "\"" + text + "\" is the name of a file, but reads as " + text.substr(0, colon) + " with a header of " +
                 suffix + " bytes: give " + text + ":0 to flash the file " + text + " whole, or rename it";
        return false;
      }
      arg.path = text.substr(0, colon);
      arg.header_len = static_cast<int32_t>(len);
    }
  }
  if (arg.path.empty()) {
    *error = "no file name in \"" + text + "\"";
    return false;
  }
  *out = arg;
  return true;
}

bool CheckImage(const ImageArgument& arg, CheckedImage* out, std::string* error) {
  const Feature* feature = FeatureById(arg.feature);
  const std::string what = std::string(feature ? feature->label : "image") + " image " + arg.path;
  if (arg.path.size() > kMaxFileNameLength) {
    *error = what + ": the path is longer than " + std::to_string(kMaxFileNameLength) +
             " characters, which the library cannot queue; use a shorter (relative) path";
    return false;
  }
  std::error_code ec;
  fs::file_status st = fs::status(PathOf(arg.path), ec);
  if (ec || !fs::exists(st)) {
    *error = what + ": no such file";
    return false;
  }
  if (!fs::is_regular_file(st)) {
    *error = what + ": not a regular file";
    return false;
  }
  FILE* f = std::fopen(arg.path.c_str(), "rb");
  if (f == nullptr) {
    *error = what + ": cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  std::fclose(f);
  uint64_t size = fs::file_size(PathOf(arg.path), ec);
  if (ec) {
    *error = what + ": cannot take its size (" + ec.message() + ")";
    return false;
  }
  if (size < static_cast<uint64_t>(arg.header_len)) {
    *error = what + ": the file has " + FormatCount(size) + " bytes, shorter than its header of " +
             FormatCount(static_cast<uint64_t>(arg.header_len)) + " bytes";
    return false;
  }
  uint64_t payload = size - static_cast<uint64_t>(arg.header_len);
  if (payload == 0) {
    // The library would erase the area and "flash" nothing into it, and the check would find nothing
    // to compare.
    *error = what + (size == 0 ? ": the file is empty"
                               : ": the file's " + FormatCount(size) + " bytes are all header, its payload is empty") +
             "; there is nothing to flash";
    return false;
  }
  if (size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    *error = what + ": " + FormatCount(size) + " bytes is more than the library's 2 GiB limit";
    return false;
  }
  out->arg = arg;
  out->file_size = size;
  out->payload_size = static_cast<uint32_t>(payload);
  out->area = TargetArea(arg.feature, payload);
  return true;
}

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  // Made absolute first: a relative path none of whose parts exist would stay relative.
  auto resolved = [](const std::string& path, fs::path* out) {
    std::error_code ec;
    const fs::path abs = fs::absolute(PathOf(path), ec);
    if (ec) return false;
    *out = fs::weakly_canonical(abs, ec);
    return !ec;
  };
  fs::path ca, cb;
  if (resolved(a, &ca) && resolved(b, &cb)) {
#ifdef _WIN32
    // Windows file names are the same whatever the letter case: Save.bin and save.bin name one file,
    // also before either exists.
    if (_wcsicmp(ca.wstring().c_str(), cb.wstring().c_str()) == 0) return true;
#else
    if (ca == cb) return true;
#endif
  }
  // Two names of one existing file (a hard link, say).
  std::error_code ec;
  if (!fs::exists(PathOf(a), ec) || !fs::exists(PathOf(b), ec)) return false;
  const bool same = fs::equivalent(PathOf(a), PathOf(b), ec);
  return !ec && same;
}

}  // namespace

bool OutputsCollide(const std::vector<NamedPath>& paths, std::string* error) {
  for (size_t j = 0; j < paths.size(); ++j) {
    for (size_t i = 0; i < j; ++i) {
      const NamedPath& a = paths[i];
      const NamedPath& b = paths[j];
      if (!a.written && !b.written) continue;  // an image flashed twice is read twice, no harm
      if (!SameFile(a.path, b.path)) continue;
      const NamedPath& out = b.written ? b : a;
      const NamedPath& other = b.written ? a : b;
      *error = out.option + " " + out.path + " and " + other.option + " " + other.path + " name the same file: " +
               (other.written ? "one would be written over the other" : "writing it would destroy the image") +
               "; give " + out.option + " a file of its own";
      return true;
    }
  }
  return false;
}

bool NamesTheLibraryLog(const std::vector<NamedPath>& paths, const std::string& log_path, std::string* error) {
  for (const NamedPath& p : paths) {
    if (!SameFile(p.path, log_path)) continue;
    *error = p.option + " " + p.path + " is the library's log, which it writes while it works; " +
             (p.written ? "give " + p.option + " a file of its own" : "copy the image to another name") +
             ", or run with --log-dir elsewhere";
    return true;
  }
  return false;
}

bool IsScrambledName(const std::string& path) {
  return path.size() == 5 && path.compare(0, 4, "temp") == 0 && path[4] >= '0' && path[4] <= '4';
}

bool ReadExpectedPayload(const CheckedImage& image, std::vector<uint8_t>* out, std::string* error) {
  FILE* f = std::fopen(image.arg.path.c_str(), "rb");
  if (f == nullptr) {
    *error = image.arg.path + ": cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  out->assign(image.payload_size, 0);
  bool ok = std::fseek(f, image.arg.header_len, SEEK_SET) == 0 &&
            std::fread(out->data(), 1, out->size(), f) == out->size();
  std::fclose(f);
  if (!ok) {
    *error = image.arg.path + ": changed while it was flashed (shorter than before)";
    return false;
  }
  if (IsScrambledName(image.arg.path)) {
    for (uint8_t& b : *out) b ^= 0x5B;
  }
  return true;
}

std::optional<uint64_t> FirstDifference(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& stored) {
  size_t common = std::min(expected.size(), stored.size());
  if (common > 0) {
    // Compare in blocks so that a large image does not cost a byte loop when it matches.
    constexpr size_t kBlock = 1 << 16;
    for (size_t at = 0; at < common; at += kBlock) {
      size_t n = std::min(kBlock, common - at);
      if (std::memcmp(expected.data() + at, stored.data() + at, n) != 0) {
        for (size_t i = at; i < at + n; ++i) {
          if (expected[i] != stored[i]) return i;
        }
      }
    }
  }
  if (stored.size() < expected.size()) return stored.size();
  return std::nullopt;
}

bool IsValidFormatType(int type) { return type == 0 || type == 3 || type == 4; }
bool IsValidBackupType(int type) { return type >= 0 && type <= 4; }

const char* BackupTypeArea(int type) {
  switch (type) {
    case 0: return "EBOOT";
    case 1: return "IPL";
    case 2: return "OS";
    case 3: return "GSM";
    case 4: return "EXTROM";
    default: return "";
  }
}

uint64_t FixedBackupSize(int type) {
  if (type == 0) return 393216;
  if (type == 3) return 5242880;
  return 0;
}

std::optional<int> BackupTypeForArea(const std::string& area) {
  for (int t = 0; t <= 4; ++t) {
    if (area == BackupTypeArea(t)) return t;
  }
  return std::nullopt;
}

std::string FormatCount(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string FormatBytes(uint64_t bytes) {
  char buf[64];
  if (bytes >= (1ull << 20)) {
    std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  } else if (bytes >= (1ull << 10)) {
    std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / (1 << 10));
  } else {
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return buf;
}

}  // namespace dravik_update
