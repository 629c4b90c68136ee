// What a key keeps in its controller's own flash while it is unplugged, and the file that keeps
// it beside an emulated key's image (IMAGE.state).
//
// The file is text, one field a line, so that a person can read what the key holds:
//
//   stelvarion-key-state 2
//   model "KV 2 Zarno P9"            texts quoted, bytes outside 20-7E (and " \) as \xHH
//   capacity-mb 1024
//   ...
//   checksum 1A2B3C4D                CRC-32 of every byte before this line
//   page 17 FFFF...                  a later change: the lines of the fields it changed,
//   checksum 5E6F7A8B                closed by a checksum line as the whole copy is
//
// A run's first change writes the whole state as a new copy, flushed to the disk and renamed over
// the old file. Each later change adds its lines and their checksum line to the end and flushes
// them, so that storing one page costs the same however much the key holds; once the additions
// would outgrow the whole copy, the next change writes a whole copy again. Lines after the last
// checksum line are a change a killed run did not finish: they are ignored, and the next change
// writes a whole copy without them. A process killed at any moment leaves either the old state
// or the new one.
//
// Version 1 files (a whole copy, no additions) are read as well.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "key/key_areas.h"
#include "key/key_records.h"

namespace emulated {

inline constexpr int kKeyStateVersion = 2;

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
  using PageMap = std::map<std::uint16_t, std::array<std::uint8_t, key_record::kPageSize>>;
  PageMap pages;

  bool operator==(const KeyState& other) const;
};

// A state file that cannot be read as one. The message names the file and what is wrong.
class KeyStateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole copy of a state.
std::string FormatKeyState(const KeyState& state);
// A whole copy with any additions after it. `name` is the file's path for the messages. Besides
// the format, the values are checked as the front ends check their options: a known model, 1 to
// 65535 MB, a revision of four printable characters, at least one bank, passwords of at most 15
// bytes and hints of at most 128.
KeyState ParseKeyState(const std::string& text, const std::string& name);

// The largest file a key's state can take: every page stored, every text at its longest, and
// additions as large as the whole copy. Anything larger is no key's state.
std::uintmax_t LargestKeyStateFile();

// Where a test can stop a state write (the kill sweep kills the process there): half-way through
// writing the bytes (of a new copy, or of a change added to the file), or with the new copy
// written and flushed but not yet renamed over the old file.
enum class StateWritePoint { kHalfWritten, kBeforeRename };
using StateWriteHook = std::function<void(StateWritePoint)>;

// "area register 2019328 sectors, first area visible"
std::string DescribeAreas(const KeyState& state);

// The state file beside an image.
std::string KeyStatePath(const std::string& imagePath);

class KeyStateFile {
 public:
  explicit KeyStateFile(std::string path) : m_path(std::move(path)) {}
  const std::string& Path() const { return m_path; }

  // The stored state; empty when there is no file. Throws KeyStateError for a file that is
  // there but is not a state this program can read. A new copy that a killed run left behind
  // (PATH.new) is never read, and is removed: the caller holds the image's lock, so no other run
  // is writing it.
  std::optional<KeyState> Load();
  // Stores the state crash-safely (see above); does nothing when it is the one last loaded or
  // saved. False (with the reason, naming the file, in `error`) when the file could not be
  // written; the stored state is then the one before.
  bool Save(KeyState state, std::string* error);
  // The same for a key that keeps its pages itself and names the ones changed since its last
  // save: `state` holds no pages, only those in `changed` are compared, and so a change costs
  // the same however many pages the key holds.
  bool Save(KeyState state, const KeyState::PageMap& pages, const std::set<std::uint16_t>& changed, std::string* error);
  // Removes the file and any copy left half-written.
  void Remove();

  // Called at each StateWritePoint of every later write.
  void SetWriteHook(StateWriteHook hook) { m_hook = std::move(hook); }

 private:
  bool Store(KeyState state, const KeyState::PageMap& pages, const std::set<std::uint16_t>* changed, std::string* error);
  bool WriteWholeCopy(KeyState state, std::string* error);

  std::string m_path;
  std::optional<KeyState> m_stored;  // what the file holds
  std::uint64_t m_size = 0;          // the file's bytes up to its last checksum line
  std::uint64_t m_copySize = 0;      // of which the whole copy
  std::uint32_t m_crc = 0;           // the CRC-32 register over those bytes
  bool m_canAdd = false;             // a whole copy of this run's making ends the file
  StateWriteHook m_hook;
};

// Writes `bytes` to `path` through a new copy (PATH.new) that is flushed and renamed over the old
// file; on POSIX systems the folder is flushed too, so the rename itself survives a power cut.
bool ReplaceFileContents(const std::string& path, const std::string& bytes, std::string* error,
                         const StateWriteHook& hook = {});

}  // namespace emulated
