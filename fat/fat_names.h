// File names and volume labels as Windows turns them into 8.3 directory-entry names.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace emulated {

// The 11 bytes of a directory entry's name as stored: space padded, 0x05 for a leading 0xE5.
using ShortName = std::array<std::uint8_t, 11>;

struct RootPath {
  std::uint32_t error = 0;  // ERROR_SUCCESS, ERROR_INVALID_NAME or ERROR_PATH_NOT_FOUND
  bool isShortName = false;  // false: a legal Win32 name that only a long-name entry could carry
  ShortName name{};
};

// "X:\NAME.EXT", "\NAME.EXT" or "NAME.EXT": a file in the volume's root.
RootPath ParseRootPath(const char* path);

// SetVolumeLabelA's label, uppercased and padded. Null, empty or blank means remove the label.
// ERROR_LABEL_TOO_LONG for more than 11 characters or a character FAT forbids in a label.
std::uint32_t MakeVolumeLabel(const char* label, ShortName* out, bool* remove);

// Uppercase ASCII comparison, as lookups on FAT ignore case.
bool SameShortName(const ShortName& a, const ShortName& b);

std::string ShortNameText(const ShortName& name);  // "NAME.EXT"
std::string LabelText(const ShortName& name);      // trailing spaces dropped

}  // namespace emulated
