// An emulated key of the family: it decodes every command block itself and keeps real state
// over a flash image.
//
// The key's model
// ---------------
// Flash. One flat run of capacityMb x sectors-per-megabyte sectors; an image file stays a plain
// disk image. The area-size register (0xB4 stores a big-endian sector count, 0xB5 answers it)
// splits it: the first area is flash [0, R), the second [R, end). A key leaves the factory with R
// covering the whole flash (one area). A register beyond the end makes the first area the whole
// flash. Changing R moves and erases nothing.
//
// Kept state. With a state file (KeepStateIn) the key keeps R, the view, passwords, hints and its
// blocks and pages across runs, as its controller would across unplugging: a key plugged in again
// shows the view it showed, with every area that has a password locked.
//
// What the host sees. READ/WRITE(10) address LBA n = flash sector base + n of the current view:
//   first area   from the factory, device reset, SwitchMedium (0xB6) flag 0, 0x9E index 0
//   second area  SwitchMedium flag 1, 0x9E index 1, 0x9F from the first area (0x9F toggles)
//   whole flash  0x9E index 5, and 0xB4 until the next refresh: while its layout changes the key
//                shows every sector at its flat address, so both areas can be laid out
// A refresh (0x99, data 0xFF 0xFF) ends a whole-flash view by showing the first area and leaves
// an area view alone. An empty view answers TEST UNIT READY with NOT READY (medium not present).
// Capacity (0x9A) always reports the whole key.
//
// Passwords. Areas 0 and 1 may carry a password (1 to 15 bytes) and a hint. ProbeArea (0xB0)
// answers GOOD when the area has a password; reading a hint (0xB1) needs one; writing a hint
// (0xB2) needs the area unlocked. 0xB3 sets a first password and hint and is refused while the
// area has one. 0x96 changes it: the current password must match (empty for an area without
// one); an empty new password removes password and hint. SubmitPassword (0x93) answers GOOD
// only for the right password and unlocks the area. Device reset locks every area with a
// password (a key as plugged in: Areas().SetPassword, then LockAll); READ/WRITE(10) touching a
// locked area fail (DATA PROTECT). The key
// never writes the hint copy in the parameter block itself: that is the host's job.
//
// Write protection refuses WRITE(10) and 0xB4 (DATA PROTECT, write protected); the key's
// controller state (passwords, blocks, pages) stays writable.
//
// The diagnostic commands (0x72 to 0x79, 0x7B, 0x8B, 0x8C, 0xFF vendor) keep what they are sent
// and answer reads from per-(subcode, index) stored data; 0x79 out stores the data 0x79 in
// index 0 reads. 0x74, 0x75, 0x97 change nothing.
//
// Every failure answers CHECK CONDITION with sense: ILLEGAL REQUEST / invalid field in CDB for a
// wrong direction or length, a bad index or flag; invalid command operation code for an unknown
// command; invalid field in parameter list for a bad payload; command sequence error for a
// password command in the wrong state; DATA PROTECT / access not authorised for a wrong
// password or a locked area; MEDIUM ERROR for a flagged block.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "key/emulated_device.h"
#include "key/flash_image.h"
#include "key/key_areas.h"
#include "key/key_command_log.h"
#include "key/key_records.h"
#include "key/key_state.h"

namespace emulated {

struct KeyConfig {
  std::string model = "KV 2 Zarno P9";  // display name; selects identity and information block
  std::uint32_t capacityMb = 1024;
  std::string revision = "2.45";         // INQUIRY product revision, four characters
  std::uint16_t flashType = 2;
  std::uint16_t bankCount = 1;
  std::string imagePath;                 // empty: the flash lives in memory
  bool writeProtected = false;
  std::string inquiryVendor;   // empty: "Varnok"
  std::string inquiryProduct;  // empty: the model's display name
};

// The 14-byte identity a model answers to the identity command; empty for an unknown model.
std::string IdentityOfModel(const std::string& model);

// How many 512-byte sectors one reported megabyte holds on a key with this firmware and flash.
// The key's own reckoning, written apart from the library's.
std::uint32_t KeySectorsPerMegabyte(const KeyConfig& config);

// The key's flash in sectors: its megabytes at its own reckoning (one spare on some firmware).
std::uint64_t KeyFlashSectors(const KeyConfig& config);

// The INQUIRY texts the key answers with.
std::string InquiryVendorOf(const KeyConfig& config);
std::string InquiryProductOf(const KeyConfig& config);

class EmulatedKey : public EmulatedDevice {
 public:
  using Block512 = key_record::Block512;

  explicit EmulatedKey(KeyConfig config);
  // Uses the given image instead of one made from the configuration.
  EmulatedKey(KeyConfig config, std::unique_ptr<FlashImage> flash);
  ~EmulatedKey() override;

  DriveKind Kind() const override { return DriveKind::kKey; }
  std::uint8_t Execute(const ScsiCommand& command) override;

  const KeyConfig& Config() const { return m_config; }
  FlashImage& Flash() { return *m_flash; }
  // What the key keeps while unplugged (its identity from the configuration, the rest as the
  // host has set it), and the same put back, as a key plugged in again: every area with a
  // password locked.
  KeyState StateNow() const;
  void RestoreState(const KeyState& state);
  // From now on the key keeps its state in this file: it is written at once, and again after
  // every command that changes it. Throws std::runtime_error when the first write fails.
  void KeepStateIn(std::unique_ptr<KeyStateFile> file);
  KeyStateFile* StateFile() { return m_stateFile.get(); }
  // Why the key could not keep something it was sent (its image or its state file could not be
  // written), with the system's reason; empty while it kept everything. The first failure stays.
  const std::string& StorageFailure() const { return m_storageFailure; }
  // Commands executed so far, the one being executed included.
  std::uint64_t CommandsExecuted() const { return m_commands; }

  // Replaces the identity the key answers with (for unknown or odd identities).
  void SetIdentity(const std::string& identity14) { m_identity = identity14; }

  // The decoded command log.
  const std::vector<KeyCommandRecord>& Log() const { return m_log.Records(); }
  void ClearLog() { m_log.Clear(); }
  std::uint64_t LogDropped() const { return m_log.Dropped(); }
  // Whether WRITE(10) data is copied into the log (off by default: a format moves megabytes).
  void SetLogPayloads(bool on) { m_logPayloads = on; }

  // Areas, views and passwords.
  // A key whose hint record answers this length byte, whatever the hint's length.
  std::optional<std::uint8_t> hintLengthAnswered;

  KeyAreas& Areas() { return m_areas; }
  const KeyAreas& Areas() const { return m_areas; }

  void SetWriteProtected(bool on) { m_config.writeProtected = on; }
  bool WriteProtected() const { return m_config.writeProtected; }

  // Block addresses that ProbeBlock (0x71) reports as bad, in any mode.
  std::set<std::uint32_t>& FlaggedBlocks() { return m_flaggedBlocks; }
  // The status QueryState98 answers: GOOD (default) or CHECK CONDITION.
  void SetState98Good(bool good) { m_state98Good = good; }

  const Block512& InfoBlock() const { return m_infoBlock; }
  void SetInfoBlock(const Block512& block) { m_infoBlock = block; }
  const Block512& ParameterBlock() const { return m_parameterBlock; }
  void SetParameterBlock(const Block512& block) { m_parameterBlock = block; }
  const Block512& BlockA3() const { return m_blockA3; }
  const std::vector<std::uint8_t>& BulkArea() const { return m_bulkArea; }
  // A 64-byte page; pages never written read as erased flash (0xFF).
  std::array<std::uint8_t, key_record::kPageSize> Page(std::uint16_t page) const;
  void SetPage(std::uint16_t page, const std::array<std::uint8_t, key_record::kPageSize>& bytes);

  // What the diagnostic reads (0x78, 0x79, 0x8B, 0x8C, 0xFF) answer for an index; a read longer
  // than the stored data gets zeros after it.
  const std::vector<std::uint8_t>& DiagnosticData(std::uint8_t subcode, std::uint8_t index);
  void SetDiagnosticData(std::uint8_t subcode, std::uint8_t index, std::vector<std::uint8_t> bytes);
  // The last data 0x72 or 0x73 received (empty before the first).
  const std::vector<std::uint8_t>& StagedData(std::uint8_t subcode) const;
  std::uint8_t Selected77() const { return m_selected77; }
  std::uint8_t Kind7B() const { return m_kind7B; }

 private:
  struct VendorCommand;
  using Handler = std::uint8_t (EmulatedKey::*)(const ScsiCommand&, KeyCommandRecord&);
  static const VendorCommand* FindVendorCommand(std::uint8_t subcode, bool dataIn);

  std::uint8_t Dispatch(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ExecuteVendor(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t InvalidField();

  // Standard blocks.
  std::uint8_t TestUnitReady(const ScsiCommand& command);
  std::uint8_t Inquiry(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ModeSense10(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadWrite10(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t DeviceReset(const ScsiCommand& command);

  // Vendor commands, by subcode.
  std::uint8_t ProbeBlock(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t StageData(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t Accept(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t Select77(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadDiagnostic(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WriteData79(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadFlashConfig(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t Command7B(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadBulkArea(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WriteBulkArea(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WriteParameterBlock(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadParameterBlock(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t SubmitPassword(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadIdentity(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ChangePassword(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t QueryState98(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t RefreshMedium(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadCapacity(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WriteInfoBlock(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadInfoBlock(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t Command9E(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t Command9F(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WritePage(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadPage(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WriteBlockA3(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadBlockA4(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ProbeArea(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t ReadHint(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t WriteHint(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t SetPasswordAndHint(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t SetAreaSize(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t GetAreaSize(const ScsiCommand& command, KeyCommandRecord& record);
  std::uint8_t SwitchMedium(const ScsiCommand& command, KeyCommandRecord& record);

  // Stores the state after a command that may have changed it; CHECK CONDITION when the
  // controller could not keep it.
  std::uint8_t KeepState(const KeyCommandRecord& record, std::uint8_t status);
  KeyState StateWithoutPages() const;

  // Answers shared by the password commands.
  std::uint8_t WrongState();
  std::uint8_t NotAuthorised();

  KeyConfig m_config;
  std::string m_identity;
  std::unique_ptr<FlashImage> m_flash;
  std::unique_ptr<KeyStateFile> m_stateFile;
  KeyAreas m_areas;
  KeyCommandLog m_log;
  bool m_logPayloads = false;
  bool m_state98Good = true;
  std::set<std::uint32_t> m_flaggedBlocks;
  Block512 m_infoBlock{};
  Block512 m_parameterBlock{};
  Block512 m_blockA3{};
  std::vector<std::uint8_t> m_bulkArea;
  KeyState::PageMap m_pages;
  std::set<std::uint16_t> m_pagesChanged;  // since the state was last stored
  std::map<std::pair<std::uint8_t, std::uint8_t>, std::vector<std::uint8_t>> m_diagnostic;
  std::map<std::uint8_t, std::vector<std::uint8_t>> m_staged;
  std::uint8_t m_selected77 = 0;
  std::uint8_t m_kind7B = 0;
  std::string m_storageFailure;
  std::uint64_t m_commands = 0;
};

}  // namespace emulated
