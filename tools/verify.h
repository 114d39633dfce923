// Checks after a flashing run that the handheld holds what was flashed: the virtual handheld by reading its
// storage directory, a real one by reading areas back with the library's backup (see session.cpp).
#ifndef DRAVIK_TOOLS_VERIFY_H
#define DRAVIK_TOOLS_VERIFY_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace dravik_update {

struct AreaCheck {
  std::string area;
  std::string image;     // file the area was flashed from
  bool checked = false;  // false: nothing could read the area back, or the image (reason in `note`)
  bool image_unreadable = false;  // the image file could not be read again to compare with
  uint64_t header_len = 0;        // of the image file: a payload offset plus this is the file offset
  bool matches = false;
  uint64_t first_difference = 0;
  uint64_t compared = 0;      // bytes of the payload compared: fewer than `image_length` when the read-back
                              // covers only its start
  uint64_t image_length = 0;  // bytes of the payload
  uint64_t stored_length = 0;
  bool length_differs = false;  // the area holds the image and more: its length is not the image's
  bool not_written = false;     // the area's file is the one it had before the run
  std::string note;
};

// The images whose content should be in the handheld now: the last one flashed into each area.
std::vector<const CheckedImage*> ImagesToVerify(const std::vector<CheckedImage>& images);

// Compares the payload of the image with stored bytes (at most `covered` of them when the read-back is
// shorter than the image) and fills the check. With `whole_area`, the stored bytes are the whole area,
// which must be exactly as long as the payload: bytes beyond it fail the check too.
AreaCheck CompareArea(const CheckedImage& image, const std::vector<uint8_t>& stored, uint64_t covered,
                      bool whole_area = false);

// Which file an area of the virtual handheld's directory is: every flash puts a new file in its place.
struct AreaFileIdentity {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t mtime_ns = 0;
  bool operator==(const AreaFileIdentity& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns;
  }
};
using AreaFiles = std::map<std::string, AreaFileIdentity>;  // by area name
// The files of the areas the images go to, as they are now (before the run).
AreaFiles RecordAreaFiles(const std::vector<CheckedImage>& images, const std::string& dir);

// Compares every area against the virtual handheld's directory. An area whose file is still the one
// `before` recorded was not written by the run, whatever it holds.
std::vector<AreaCheck> VerifyAgainstStorage(const std::vector<CheckedImage>& images, const std::string& dir,
                                            const AreaFiles& before);

// Compared, and every byte of the image matched; or matched as far as the read-back reached.
bool CheckedWhole(const AreaCheck& check);
bool CheckedInPart(const AreaCheck& check);

// What the checks left open, for the run's last line: "" when every area was checked whole, else
// "GSM was checked only in part (5,242,880 of 5,767,168 bytes), ASSET not at all". Only for checks
// that found no difference.
std::string UncheckedSummary(const std::vector<AreaCheck>& checks);

// "EBOOT differs from eboot.nb0 at offset 0x1234 (4,660)", "EBOOT (eboot.nb0): the handheld holds 393,280
// bytes, the image 393,216".
std::string DescribeCheck(const AreaCheck& check);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_VERIFY_H
