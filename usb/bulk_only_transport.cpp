#include "usb/bulk_only_transport.h"

#include <algorithm>

#include "key/scsi_decode.h"

namespace usb {

namespace {

using Direction = DataPhase::Direction;

}  // namespace

Transfer BulkOnlyTransport::BulkOut(const std::uint8_t* data, std::size_t size) {
  if (m_outHalted) return Transfer::kStall;
  switch (m_state) {
    case State::kCommand: {
      // A CBW that is not valid (size or signature) or not meaningful (block length): the
      // device stalls both pipes and keeps them stalled until the host's reset recovery.
      if (size != kCbwSize || emulated::LittleEndian32At(data + kCbwSignatureAt) != kCbwSignature ||
          data[kCbwCdbLengthAt] == 0 || data[kCbwCdbLengthAt] > KeyScsiUnit::kCdbSize) {
        m_state = State::kNeedsReset;
        m_inHalted = m_outHalted = true;
        return Transfer::kStall;
      }
      Accept(data);
      return Transfer::kDone;
    }
    case State::kDataOut: {
      // Only what the device means to use is kept; the rest is taken and dropped.
      const std::size_t taken = std::min<std::size_t>(size, m_hostLength - m_dataOutReceived);
      const std::size_t keep = m_phase.direction == Direction::kOut && m_dataOut.size() < m_phase.length
                                   ? std::min<std::size_t>(taken, m_phase.length - m_dataOut.size())
                                   : 0;
      m_dataOut.insert(m_dataOut.end(), data, data + keep);
      m_dataOutReceived += taken;
      if (m_dataOutReceived == m_hostLength) Run();
      return Transfer::kDone;
    }
    default:
      // The host sends while the device has data or status for it: out of step.
      m_outHalted = true;
      return Transfer::kStall;
  }
}

Transfer BulkOnlyTransport::BulkIn(std::size_t maxLength, std::vector<std::uint8_t>& out) {
  out.clear();
  if (m_inHalted) return Transfer::kStall;
  switch (m_state) {
    case State::kDataIn: {
      const std::size_t left = m_dataIn.size() - m_dataInSent;
      if (left == 0) {
        // The device has less than the host asked for and the last packet was full: it ends
        // the data phase with a stall, and the CSW follows once the host clears it.
        m_inHalted = true;
        m_state = State::kStatus;
        return Transfer::kStall;
      }
      const std::size_t n = std::min(left, maxLength);
      out.assign(m_dataIn.begin() + static_cast<std::ptrdiff_t>(m_dataInSent),
                 m_dataIn.begin() + static_cast<std::ptrdiff_t>(m_dataInSent + n));
      m_dataInSent += n;
      // A short transfer ends the data phase by itself; so does the host's whole length.
      if (m_dataInSent == m_hostLength || (m_dataInSent == m_dataIn.size() && n < maxLength)) {
        m_state = State::kStatus;
      }
      return Transfer::kDone;
    }
    case State::kStatus:
      out.assign(m_csw.begin(), m_csw.end());
      m_state = State::kCommand;
      return Transfer::kDone;
    case State::kNeedsReset:
      return Transfer::kStall;
    default:
      return Transfer::kPending;
  }
}

void BulkOnlyTransport::MassStorageReset() {
  m_state = State::kCommand;
  m_dataOut.clear();
  m_dataIn.clear();
}

void BulkOnlyTransport::ClearHalt(bool in) {
  if (m_state == State::kNeedsReset) return;
  (in ? m_inHalted : m_outHalted) = false;
}

void BulkOnlyTransport::BusReset() {
  MassStorageReset();
  m_inHalted = m_outHalted = false;
}

void BulkOnlyTransport::Accept(const std::uint8_t* cbw) {
  m_tag = emulated::LittleEndian32At(cbw + kCbwTagAt);
  m_hostLength = emulated::LittleEndian32At(cbw + kCbwTransferLengthAt);
  m_hostIn = (cbw[kCbwFlagsAt] & kCbwFlagDataIn) != 0;
  m_lun = cbw[kCbwLunAt] & 0x0F;
  m_cdb.fill(0);
  std::copy_n(cbw + kCbwCdbAt, cbw[kCbwCdbLengthAt], m_cdb.begin());
  m_dataOut.clear();
  m_dataOutReceived = 0;
  m_dataIn.clear();
  m_dataInSent = 0;
  // A unit that does not exist means no data phase at all.
  m_phase = m_lun > kMaxLun ? DataPhase{} : m_unit.IntendedPhase(m_cdb.data(), m_hostIn, m_hostLength);
  if (m_hostLength > 0 && !m_hostIn) {
    // The host's data comes first, whatever the device makes of it: it is taken and judged
    // once complete (a device may accept and discard what it does not want).
    m_state = State::kDataOut;
    return;
  }
  Run();
}

// The command with its data phase checked against the host's, as the thirteen cases say.
void BulkOnlyTransport::Run() {
  const Direction device = m_phase.direction;
  const std::uint32_t d = m_phase.length;
  const std::uint32_t h = m_hostLength;
  const bool hostNone = h == 0;
  // Cases 2, 3 (the host expects no data), 7, 13 (the host expects less than the device has),
  // 8, 10 (the directions differ): phase error, the command is not run.
  if ((hostNone && device != Direction::kNone) ||
      (!hostNone && device != Direction::kNone && ((device == Direction::kIn) != m_hostIn || d > h))) {
    PhaseError();
    return;
  }
  ScsiResult result = m_lun > kMaxLun ? m_unit.RefuseLun() : m_unit.Execute(m_cdb.data(), m_phase, m_dataOut);
  const CswStatus status = result.status == emulated::kStatusGood ? CswStatus::kPassed : CswStatus::kFailed;
  if (hostNone || !m_hostIn) {
    // Cases 1, 9, 11, 12: the residue is what the device did not take of the host's data.
    Finish(status, h - result.dataOutUsed);
    return;
  }
  // Cases 4, 5, 6: the data, then the status with what was not sent.
  m_dataIn = std::move(result.dataIn);
  m_dataInSent = 0;
  Finish(status, h - static_cast<std::uint32_t>(m_dataIn.size()));
  m_state = State::kDataIn;
}

void BulkOnlyTransport::Finish(CswStatus status, std::uint32_t residue) {
  auto put32 = [this](std::size_t at, std::uint32_t v) { emulated::StoreLittleEndian32(m_csw.data() + at, v); };
  put32(kCswSignatureAt, kCswSignature);
  put32(kCswTagAt, m_tag);
  put32(kCswResidueAt, residue);
  m_csw[kCswStatusAt] = static_cast<std::uint8_t>(status);
  m_state = State::kStatus;
}

void BulkOnlyTransport::PhaseError() {
  m_dataIn.clear();
  m_dataInSent = 0;
  Finish(CswStatus::kPhaseError, m_hostLength);
  // A host waiting for data gets a stall first; the status follows after it clears the halt.
  if (m_hostIn && m_hostLength > 0) m_state = State::kDataIn;
}

}  // namespace usb
