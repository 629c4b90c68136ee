// Bulk-Only Transport, the device's side: command block wrappers in on bulk-out, data and
// command status wrappers out on bulk-in, with the residues, phase errors and stalls of the
// transport's thirteen host/device cases. It knows nothing of the wire: each call is one
// transfer as the host controller hands it over, so the layer runs the same under a test, a
// fuzzer or the usbredir server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "usb/key_scsi_unit.h"

namespace usb {

// Command block wrapper (31 bytes) and command status wrapper (13 bytes), little-endian.
inline constexpr std::size_t kCbwSize = 31;
inline constexpr std::size_t kCbwSignatureAt = 0;
inline constexpr std::size_t kCbwTagAt = 4;
inline constexpr std::size_t kCbwTransferLengthAt = 8;
inline constexpr std::size_t kCbwFlagsAt = 12;
inline constexpr std::size_t kCbwLunAt = 13;
inline constexpr std::size_t kCbwCdbLengthAt = 14;
inline constexpr std::size_t kCbwCdbAt = 15;
inline constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
inline constexpr std::uint8_t kCbwFlagDataIn = 0x80;

inline constexpr std::size_t kCswSize = 13;
inline constexpr std::size_t kCswSignatureAt = 0;
inline constexpr std::size_t kCswTagAt = 4;
inline constexpr std::size_t kCswResidueAt = 8;
inline constexpr std::size_t kCswStatusAt = 12;
inline constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
static_assert(kCbwCdbAt + KeyScsiUnit::kCdbSize == kCbwSize);
static_assert(kCswStatusAt + 1 == kCswSize);

enum class CswStatus : std::uint8_t { kPassed = 0, kFailed = 1, kPhaseError = 2 };

// What the device does with one transfer.
enum class Transfer {
  kDone,     // completed (for bulk-in: with the bytes given)
  kStall,    // the endpoint is halted
  kPending,  // nothing to give yet: the device NAKs until it has
};

class BulkOnlyTransport {
 public:
  explicit BulkOnlyTransport(KeyScsiUnit& unit) : m_unit(unit) {}

  // One bulk-out transfer from the host.
  Transfer BulkOut(const std::uint8_t* data, std::size_t size);
  // One bulk-in transfer of at most maxLength bytes; `out` receives what the device sends.
  Transfer BulkIn(std::size_t maxLength, std::vector<std::uint8_t>& out);

  // Bulk-Only Mass Storage Reset: ready for the next CBW. Halts stay until cleared.
  void MassStorageReset();
  // CLEAR_FEATURE(ENDPOINT_HALT); refused (the halt stays) while a bad CBW waits for the reset.
  void ClearHalt(bool in);
  void SetHalt(bool in) { (in ? m_inHalted : m_outHalted) = true; }
  bool Halted(bool in) const { return in ? m_inHalted : m_outHalted; }
  // A bus reset: the transport as at power-on.
  void BusReset();

  static constexpr std::uint8_t kMaxLun = 0;

 private:
  enum class State { kCommand, kDataOut, kDataIn, kStatus, kNeedsReset };

  void Accept(const std::uint8_t* cbw);
  void Run();
  void Finish(CswStatus status, std::uint32_t residue);
  void PhaseError();

  KeyScsiUnit& m_unit;
  State m_state = State::kCommand;
  bool m_inHalted = false;
  bool m_outHalted = false;

  // The command in progress.
  std::uint32_t m_tag = 0;
  std::uint32_t m_hostLength = 0;
  bool m_hostIn = false;
  std::uint8_t m_lun = 0;
  std::array<std::uint8_t, KeyScsiUnit::kCdbSize> m_cdb{};
  DataPhase m_phase;
  std::vector<std::uint8_t> m_dataOut;
  std::uint64_t m_dataOutReceived = 0;
  std::vector<std::uint8_t> m_dataIn;
  std::size_t m_dataInSent = 0;
  std::array<std::uint8_t, kCswSize> m_csw{};
};

}  // namespace usb
