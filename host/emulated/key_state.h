// What a key keeps in its controller's own flash while it is unplugged, and the file that keeps
// it beside an emulated key's image (IMAGE.state).
//
// The file is text, one field a line, so that a person can read what the key holds:
//
//   stelvarion-key-state 1
//   model "KV 2 Zarno P9"            texts quoted, bytes outside 20-7E (and " \) as \xHH
//   capacity-mb 1024
//   ...
//   checksum 1A2B3C4D                CRC-32 of every byte before this line
//
// It is replaced whole: a new copy is written, flushed to the disk, and renamed over the old one,
// so a process killed at any moment leaves either the old state or the new one.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/emulated/key_areas.h"
#include "host/emulated/key_records.h"

namespace emulated {

inline constexpr int kKeyStateVersion = 1;

struct KeyState {
  // What the key is: fixed by its maker.
  std::string model;
  std::uint32_t capacityMb = 0;
  std::string revision;
  std::uint16_t flashType = 0;
  std::uint16_t bankCount = 0;
  std::string inquiryVendor;   // empty: the key's default
  std::string inquiryProduct;  // empty: the key's default
  std::uint64_t flashSectors = 0;
  // What the host has set.
  std::uint32_t areaRegister = 0;
  KeyView view = KeyView::kFirstArea;
  struct AreaSecret {
    std::string password;  // empty: the area is not protected
    std::string hint;
  };
  std::array<AreaSecret, KeyAreas::kAreaCount> areas;
  key_record::Block512 infoBlock{};
  key_record::Block512 parameterBlock{};
  key_record::Block512 blockA3{};
  std::vector<std::uint8_t> bulkArea;
  std::map<std::uint16_t, std::array<std::uint8_t, key_record::kPageSize>> pages;

  bool operator==(const KeyState& other) const;
};

// A state file that cannot be read as one. The message names the file and what is wrong.
class KeyStateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string FormatKeyState(const KeyState& state);
// `name` is the file's path for the messages.
KeyState ParseKeyState(const std::string& text, const std::string& name);

// "area register 2019328 sectors, first area visible"
std::string DescribeAreas(const KeyState& state);

// The state file beside an image.
std::string KeyStatePath(const std::string& imagePath);

class KeyStateFile {
 public:
  explicit KeyStateFile(std::string path) : m_path(std::move(path)) {}
  const std::string& Path() const { return m_path; }

  // The stored state; empty when there is no file. Throws KeyStateError for a file that is
  // there but is not a state this program can read.
  std::optional<KeyState> Load();
  // Replaces the file crash-safely; does nothing when the state is the one last loaded or
  // saved. False (with the reason in `error`) when the file could not be written.
  bool Save(const KeyState& state, std::string* error);
  // Removes the file and any copy left half-written.
  void Remove();

 private:
  std::string m_path;
  std::string m_lastText;
};

// Writes `bytes` to `path` through a new copy that is flushed and renamed over the old file; on
// POSIX systems the folder is flushed too, so the rename itself survives a power cut.
bool ReplaceFileContents(const std::string& path, const std::string& bytes, std::string* error);

}  // namespace emulated
