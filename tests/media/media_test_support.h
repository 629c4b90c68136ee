// What the media tests share: a progress bar that records what it is told, the commands a key
// received told as short lines, and sector access to the key's flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/emulated/emulated_host.h"
#include "key/emulated_key.h"
#include "media/boot_templates.h"
#include "media/progress_sink.h"

namespace media_test {

// A progress receiver that keeps every call it gets, with the virtual time it came at.
class RecordingBar : public ProgressReceiver {
 public:
  struct Call {
    bool isRange = false;
    std::uint16_t low = 0;
    std::uint16_t high = 0;
    std::int32_t position = 0;
    std::uint64_t atMs = 0;
  };

  explicit RecordingBar(const emulated::EmulatedHost& clock) : m_clock(clock) {}
  void SetRange(std::uint16_t low, std::uint16_t high) override;
  void SetPosition(std::int32_t position) override;

  std::vector<std::pair<int, int>> Ranges() const;
  std::vector<std::int32_t> Positions() const;
  std::vector<Call> calls;

 private:
  const emulated::EmulatedHost& m_clock;
};

// first, first + 1, ..., last.
std::vector<std::int32_t> Steps(std::int32_t first, std::int32_t last);

// The commands the host sent from command index `from` on, one short line each, decoded here
// from the block bytes:
//   "capacity" (0x9A), "convert" (0x9A, 0x7A, INQUIRY in a row: one size conversion),
//   "setarea 001ED000" (0xB4 with its payload), "getarea" (0xB5), "refresh" (0x99 with the
//   identification before it and the TEST UNIT READY after it, as the library settles the
//   volume), "reset" (device reset, the same around it),
//   "9E 5", "9F", "identify" (0x95), "write 576+20" (WRITE(10) lba+count), "tur", "inquiry",
//   "flashconfig", and "cdb XX YY" for anything else.
std::vector<std::string> Story(const emulated::EmulatedHost& host, std::size_t from = 0);

// The "write" lines of a clear: 32-sector writes from `first` while below first + sectors.
std::vector<std::string> ClearLines(std::uint32_t first, std::uint32_t sectors);
std::string WriteLine(std::uint32_t lba, std::uint32_t count);

// Appends the lines of `more` to `story`.
void Append(std::vector<std::string>& story, const std::vector<std::string>& more);

// Command index of the n-th (from 0) command at or after `from` whose story line is `line`
// (lines as Story tells them, before the pairs and triples are folded); -1 when there is none.
long IndexOfCommand(const emulated::EmulatedHost& host, std::size_t from, const std::string& line,
                    int occurrence = 0);

// The key's flash, by flat sector number.
Sector FlashSector(emulated::EmulatedKey& key, std::uint64_t lba);
// Fills flash sectors with a recognisable non-zero pattern, so that a clear shows.
void Scribble(emulated::EmulatedKey& key, std::uint64_t first, std::uint32_t count);
bool IsScribble(const Sector& sector, std::uint64_t lba);
bool IsZero(const Sector& sector);

// Little-endian fields of an on-key sector, read here without the library's helpers.
std::uint32_t Le16(const Sector& sector, std::size_t offset);
std::uint32_t Le32(const Sector& sector, std::size_t offset);
std::vector<std::uint8_t> BytesAt(const Sector& sector, std::size_t offset, std::size_t count);
std::string TextAt(const Sector& sector, std::size_t offset, std::size_t count);

// A key configuration in one line.
emulated::KeyConfig Key(const std::string& model, std::uint32_t capacityMb, const std::string& revision,
                        std::uint16_t flashType, std::uint16_t bankCount = 1);

inline constexpr char kModelP3[] = "KV 2 Zarno P3";
inline constexpr char kModelP9[] = "KV 2 Zarno P9";
inline constexpr char kModelVarnok[] = "Varnok Key";

}  // namespace media_test
