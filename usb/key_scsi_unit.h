// The key as one SCSI logical unit on a USB bus: what a BIOS and a kernel send to a stick,
// answered over the emulated key. Everything the key decodes itself (READ/WRITE(10), INQUIRY,
// TEST UNIT READY, MODE SENSE(10), the vendor commands, the device reset) goes to the key as it
// is; the few standard commands a bus needs beside them are answered here from the key's own
// state (its visible area, its write-protect switch, the sense of its last failure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "key/emulated_key.h"

namespace usb {

// The direction and length of the data phase the device means to have for a command.
struct DataPhase {
  enum class Direction : std::uint8_t { kNone, kIn, kOut };
  Direction direction = Direction::kNone;
  std::uint32_t length = 0;
};

struct ScsiResult {
  std::uint8_t status = emulated::kStatusGood;
  std::vector<std::uint8_t> dataIn;  // what the device sends (at most the intended length)
  std::uint32_t dataOutUsed = 0;     // how many of the host's bytes the command took
};

class KeyScsiUnit {
 public:
  static constexpr std::size_t kCdbSize = 16;  // the command block field of a CBW

  explicit KeyScsiUnit(emulated::EmulatedKey& key) : m_key(key) {}

  // The data phase the device intends for this block, given what the host announced: standard
  // commands have their own length, the key's vendor commands and anything unknown take the
  // host's (the key then judges the length itself).
  DataPhase IntendedPhase(const std::uint8_t* cdb, bool hostIn, std::uint32_t hostLength) const;

  // Runs a command whose phase matched. `dataOut` holds the host's bytes for a data-out command.
  ScsiResult Execute(const std::uint8_t* cdb, const DataPhase& phase, const std::vector<std::uint8_t>& dataOut);

  // A command addressed to a logical unit that does not exist.
  ScsiResult RefuseLun();

  // The sense REQUEST SENSE answers next.
  const emulated::Sense& PendingSense() const { return m_sense; }

  // When on, a reset, refresh or medium switch that the key carried out leaves a UNIT ATTENTION
  // (medium may have changed) for the next command but INQUIRY, as a removable disk reports a
  // new medium: the host's own disk driver then finds out that the volume changed under it.
  void ReportMediumChanges(bool on) { m_reportMediumChanges = on; }

 private:
  ScsiResult Fail(std::uint8_t key, std::uint8_t asc);
  ScsiResult Good(std::vector<std::uint8_t> data = {});
  ScsiResult ThroughKey(const std::uint8_t* cdb, const DataPhase& phase, const std::vector<std::uint8_t>& dataOut);
  ScsiResult RequestSense(std::uint32_t length);
  ScsiResult ReadCapacity10();
  ScsiResult ModeSense6(const std::uint8_t* cdb, std::uint32_t length);

  emulated::EmulatedKey& m_key;
  emulated::Sense m_sense;
  bool m_reportMediumChanges = false;
  bool m_mediumChanged = false;
};

}  // namespace usb
