#include "verify.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "native_path.h"
#include "storage.h"

namespace dravik_update {

std::vector<const CheckedImage*> ImagesToVerify(const std::vector<CheckedImage>& images) {
  std::map<std::string, const CheckedImage*> last;
  std::vector<std::string> order;
  for (const CheckedImage& img : images) {
    if (last.find(img.area) == last.end()) order.push_back(img.area);
    last[img.area] = &img;
  }
  std::vector<const CheckedImage*> out;
  for (const std::string& area : order) out.push_back(last[area]);
  return out;
}

AreaCheck CompareArea(const CheckedImage& image, const std::vector<uint8_t>& stored, uint64_t covered,
                      bool whole_area) {
  AreaCheck check;
  check.area = image.area;
  check.image = image.arg.path;
  check.header_len = static_cast<uint64_t>(image.arg.header_len);
  std::vector<uint8_t> expected;
  std::string error;
  if (!ReadExpectedPayload(image, &expected, &error)) {
    check.note = error;
    check.image_unreadable = true;
    return check;
  }
  check.image_length = expected.size();
  if (covered < expected.size()) expected.resize(covered);
  check.checked = true;
  check.compared = expected.size();
  check.stored_length = stored.size();
  auto diff = FirstDifference(expected, stored);
  check.matches = !diff.has_value();
  if (diff) check.first_difference = *diff;
  // An area longer than its image was written with a wrong length (or not by this image alone): what
  // lies beyond the image is in the area too.
  if (check.matches && whole_area && stored.size() != expected.size()) {
    check.matches = false;
    check.length_differs = true;
    check.first_difference = expected.size();
  }
  return check;
}

namespace {

bool AreaByName(const std::string& name, handheld::Area* out) {
  static const handheld::Area all[] = {handheld::Area::IPL, handheld::Area::EBOOT, handheld::Area::CFG,
                                       handheld::Area::OS,  handheld::Area::GSM,   handheld::Area::EXTROM,
                                       handheld::Area::ASSET};
  for (handheld::Area a : all) {
    if (name == handheld::AreaName(a)) {
      *out = a;
      return true;
    }
  }
  return false;
}

AreaFileIdentity IdentityOf(const std::string& path) {
  AreaFileIdentity id;
#ifdef _WIN32
  namespace fs = std::filesystem;
  std::error_code ec;
  id.size = fs::file_size(PathOf(path), ec);
  if (ec) return AreaFileIdentity{};
  id.mtime_ns = static_cast<int64_t>(fs::last_write_time(PathOf(path), ec).time_since_epoch().count());
  id.exists = true;
#else
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return id;
  id.exists = true;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<uint64_t>(st.st_size);
  id.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
  return id;
}

}  // namespace

AreaFiles RecordAreaFiles(const std::vector<CheckedImage>& images, const std::string& dir) {
  AreaFiles files;
  handheld::Storage storage(dir);
  for (const CheckedImage& img : images) {
    handheld::Area area;
    if (AreaByName(img.area, &area)) files[img.area] = IdentityOf(storage.AreaPath(area));
  }
  return files;
}

std::vector<AreaCheck> VerifyAgainstStorage(const std::vector<CheckedImage>& images, const std::string& dir,
                                            const AreaFiles& before) {
  std::vector<AreaCheck> checks;
  handheld::Storage storage(dir);
  for (const CheckedImage* img : ImagesToVerify(images)) {
    handheld::Area area;
    if (!AreaByName(img->area, &area)) {
      AreaCheck c;
      c.area = img->area;
      c.image = img->arg.path;
      c.note = "the handheld has no area " + img->area;
      checks.push_back(c);
      continue;
    }
    AreaCheck c = CompareArea(*img, storage.Read(area), img->payload_size, /*whole_area=*/true);
    // The handheld puts a new file in the area's place on every flash: the file it had before the run
    // says that the run did not write the area, even when it holds the image already. (An image that
    // can no longer be read is said as such: its job was skipped, or it changed.)
    auto was = before.find(img->area);
    if (!c.image_unreadable && was != before.end() && was->second.exists &&
        was->second == IdentityOf(storage.AreaPath(area))) {
      c.checked = true;
      c.matches = false;
      c.not_written = true;
      c.note = "the handheld's " + std::string(handheld::AreaName(area)) + ".bin is the file it had before";
    }
    checks.push_back(c);
  }
  return checks;
}

bool CheckedWhole(const AreaCheck& c) { return c.checked && c.matches && c.compared >= c.image_length; }

bool CheckedInPart(const AreaCheck& c) { return c.checked && c.matches && c.compared < c.image_length; }

std::string UncheckedSummary(const std::vector<AreaCheck>& checks) {
  std::vector<std::string> parts;
  for (const AreaCheck& c : checks) {
    if (CheckedInPart(c)) {
      parts.push_back(c.area + (parts.empty() ? " was" : "") + " checked only in part (" + FormatCount(c.compared) +
                      " of " + FormatCount(c.image_length) + " bytes)");
    } else if (!c.checked) {
      parts.push_back(c.area + (parts.empty() ? " was" : "") + " not checked at all");
    }
  }
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += i + 1 == parts.size() ? " and " : ", ";
    out += parts[i];
  }
  return out;
}

std::string DescribeCheck(const AreaCheck& c) {
  if (!c.checked) return c.area + " (" + c.image + "): not verified: " + c.note;
  if (CheckedInPart(c)) {
    // The bytes beyond the read-back were not compared: they are neither a match nor a mismatch.
    std::string s = c.area + " (" + c.image + "): checked only in part: the read-back covers the first " +
                    FormatCount(c.compared) + " of " + FormatCount(c.image_length) + " bytes, which match; the last " +
                    FormatCount(c.image_length - c.compared) + " bytes were not checked";
    if (!c.note.empty()) s += " (" + c.note + ")";
    return s;
  }
  if (c.matches) {
    std::string s = c.area + " (" + c.image + "): verified, " + FormatCount(c.compared) + " bytes match";
    if (!c.note.empty()) s += " (" + c.note + ")";
    return s;
  }
  if (c.not_written) return c.area + " (" + c.image + "): not written in this run (" + c.note + ")";
  if (c.length_differs) {
    return c.area + " (" + c.image + "): the handheld holds " + FormatCount(c.stored_length) + " bytes, the image " +
           FormatCount(c.compared);
  }
  char off[64];
  std::snprintf(off, sizeof off, "0x%llx (%s)", static_cast<unsigned long long>(c.first_difference),
                FormatCount(c.first_difference).c_str());
  std::string s = c.area + " differs from " + c.image + " at offset " + off;
  if (c.header_len > 0) {
    std::snprintf(off, sizeof off, "0x%llx", static_cast<unsigned long long>(c.first_difference + c.header_len));
    s += std::string(" of the area (file offset ") + off + ", after the header)";
  }
  if (c.first_difference == c.stored_length && c.stored_length < c.compared) {
    s += ": the handheld holds only " + FormatCount(c.stored_length) + " of its " + FormatCount(c.compared) + " bytes";
  }
  return s;
}

}  // namespace dravik_update
