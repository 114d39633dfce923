// The images a user names on the command line, and the checks made on them before anything is sent to
// the handheld: no device is needed for any of this.
#ifndef DRAVIK_TOOLS_OPTIONS_H
#define DRAVIK_TOOLS_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravik_update {

// The features that have a flash command, with the option that names them.
struct Feature {
  uint16_t id;
  const char* option;  // "eboot"
  const char* label;   // what the progress display shows
};
const std::vector<Feature>& Features();
const Feature* FeatureById(uint16_t id);

// A feature id 3 image of at most this many payload bytes goes to GSM, a larger one to OS.
constexpr uint64_t kGsmLimit = 6291456;
// The library keeps file names of at most this many characters.
constexpr size_t kMaxFileNameLength = 257;

// The flash area an image of the feature lands in: "EBOOT", "IPL", "GSM", "OS", "ASSET", "EXTROM".
std::string TargetArea(uint16_t feature, uint64_t payload_size);

// FILE or FILE:HEADERLEN. The header length is decimal (or 0x hexadecimal); a suffix after the last colon
// that is not a number belongs to the file name.
struct ImageArgument {
  uint16_t feature = 0;
  std::string path;
  int32_t header_len = 0;
};
bool ParseImageArgument(const std::string& text, uint16_t feature, ImageArgument* out, std::string* error);

// An image that passed the checks: it exists, is a regular readable file longer than its header (a
// payload of at least one byte), and its payload fits the library's 32-bit sizes.
struct CheckedImage {
  ImageArgument arg;
  uint64_t file_size = 0;
  uint32_t payload_size = 0;
  std::string area;
};
bool CheckImage(const ImageArgument& arg, CheckedImage* out, std::string* error);

// A path the user gave, with the option that names it, and whether the tool (the library) writes it.
struct NamedPath {
  std::string option;  // "--os", "--format-backup"
  std::string path;
  bool written = false;
};
// Whether a file written would replace an image, or another file written: the first two paths, one of
// them written, that name one file (the same path once resolved, or one existing file under two names).
// False when there are none; otherwise *error names both options.
bool OutputsCollide(const std::vector<NamedPath>& paths, std::string* error);
// Whether one of the paths names the library's log (`log_path`), which the library appends to while it
// works and the tool reads to learn how an exchange ended: an image there would change under it, and an
// output written there would be lost or cut into. False when none does; otherwise *error names it.
bool NamesTheLibraryLog(const std::vector<NamedPath>& paths, const std::string& log_path, std::string* error);

// The payload as the handheld stores it: the file without its header; a file named exactly "temp0" to
// "temp4" is unscrambled by the library (every byte XOR 0x5B) before it is sent.
bool ReadExpectedPayload(const CheckedImage& image, std::vector<uint8_t>* out, std::string* error);
bool IsScrambledName(const std::string& path);

// Offset of the first byte where the stored content differs from the expected bytes; a stored content
// shorter than expected differs at its end. Bytes stored beyond the expected length are not compared
// here (CompareArea looks at the length of a whole area).
std::optional<uint64_t> FirstDifference(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& stored);

// Format and backup types the tool accepts, and what a backup of each type holds.
bool IsValidFormatType(int type);
bool IsValidBackupType(int type);
const char* BackupTypeArea(int type);        // "EBOOT", "IPL", "OS", "GSM", "EXTROM"
uint64_t FixedBackupSize(int type);          // 393,216 or 5,242,880; 0 when the device announces the size
std::optional<int> BackupTypeForArea(const std::string& area);

// "1.5 MiB", "393,216 bytes" style figures.
std::string FormatBytes(uint64_t bytes);
std::string FormatCount(uint64_t value);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_OPTIONS_H
