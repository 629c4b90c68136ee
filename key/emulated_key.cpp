#include "key/emulated_key.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

#include "key/scsi_decode.h"

namespace emulated {

using namespace key_record;

namespace {

// Sense keys.
constexpr std::uint8_t kNotReady = 0x02;
constexpr std::uint8_t kMediumError = 0x03;
constexpr std::uint8_t kHardwareError = 0x04;
constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kDataProtect = 0x07;
// Additional sense codes.
constexpr std::uint8_t kAscWriteError = 0x0C;
constexpr std::uint8_t kAscUnrecoveredRead = 0x11;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscInvalidFieldInParameters = 0x26;
constexpr std::uint8_t kAscWriteProtected = 0x27;
constexpr std::uint8_t kAscCommandSequence = 0x2C;
constexpr std::uint8_t kAscMediumNotPresent = 0x3A;
constexpr std::uint8_t kAscSecurity = 0x74;
constexpr std::uint8_t kAscqAccessNotAuthorised = 0x71;

constexpr std::uint8_t kVendorOpcode = 0xAD;
constexpr std::uint8_t kResetOpcode = 0xFF;
constexpr std::uint8_t kResetCode = 0x1D;
// INQUIRY: byte 1's EVPD bit asks for the vital product data page that byte 2 names.
constexpr std::uint8_t kInquiryEvpd = 0x01;
constexpr std::uint8_t kVpdSupportedPages = 0x00;
constexpr std::uint8_t kVpdUnitSerialNumber = 0x80;
// SubmitPassword byte 6: the host waits for the medium after unlocking, or it does not.
constexpr std::uint8_t kSubmitWait = 0x00;
constexpr std::uint8_t kSubmitNoWait = 0x88;
constexpr std::uint32_t kAnyLength = 0xFFFFFFFFu;
// Default diagnostic answers are this long; longer reads get zeros after them.
constexpr std::size_t kDiagnosticSize = 1024;

std::string PadTo(std::string text, std::size_t width) {
  text.resize(width, '\0');
  return text;
}

// Where the block's one-byte and multi-byte parameters are, per command.
void AreaAt5(const std::uint8_t* cdb, KeyCommandRecord& r) { r.fields["area"] = cdb[5]; }
void IndexAt4(const std::uint8_t* cdb, KeyCommandRecord& r) { r.fields["index"] = cdb[4]; }
void IndexAt5(const std::uint8_t* cdb, KeyCommandRecord& r) { r.fields["index"] = cdb[5]; }
void KindAt5(const std::uint8_t* cdb, KeyCommandRecord& r) { r.fields["kind"] = cdb[5]; }
void FlagAt7(const std::uint8_t* cdb, KeyCommandRecord& r) { r.fields["flag"] = cdb[7]; }
void PageAt8(const std::uint8_t* cdb, KeyCommandRecord& r) { r.fields["page"] = BigEndian16At(cdb + 8); }
void ModeAndAddress(const std::uint8_t* cdb, KeyCommandRecord& r) {
  r.fields["mode"] = cdb[5];
  r.fields["address"] = BigEndian32At(cdb + 6);
}
void AreaAndWait(const std::uint8_t* cdb, KeyCommandRecord& r) {
  r.fields["area"] = cdb[5];
  if (cdb[6] == kSubmitWait || cdb[6] == kSubmitNoWait) {
    r.fields["wait"] = cdb[6] == kSubmitWait ? 1 : 0;
  } else {
    r.fields["option"] = cdb[6];
  }
}

}  // namespace

enum class Phase : std::uint8_t { kNone, kIn, kOut };

struct EmulatedKey::VendorCommand {
  std::uint8_t subcode;
  Phase phase;
  std::uint32_t length;  // kAnyLength: the host chooses
  const char* name;
  void (*decode)(const std::uint8_t* cdb, KeyCommandRecord& record);
  Handler handler;
};

const EmulatedKey::VendorCommand* EmulatedKey::FindVendorCommand(std::uint8_t subcode, bool dataIn) {
  using K = EmulatedKey;
  static const VendorCommand kCatalogue[] = {
      {0x71, Phase::kNone, 0, "ProbeBlock", ModeAndAddress, &K::ProbeBlock},
      {0x72, Phase::kOut, kAnyLength, "WriteData72", nullptr, &K::StageData},
      {0x73, Phase::kOut, kAnyLength, "WriteData73", nullptr, &K::StageData},
      {0x74, Phase::kNone, 0, "SendCommand74", nullptr, &K::Accept},
      {0x75, Phase::kNone, 0, "SendCommand75", nullptr, &K::Accept},
      {0x77, Phase::kNone, 0, "SendCommand77", IndexAt4, &K::Select77},
      {0x78, Phase::kIn, kAnyLength, "ReadData78", IndexAt4, &K::ReadDiagnostic},
      {0x79, Phase::kIn, kAnyLength, "ReadData79", IndexAt4, &K::ReadDiagnostic},
      {0x79, Phase::kOut, kData79OutSize, "WriteData79", nullptr, &K::WriteData79},
      {0x7A, Phase::kIn, kFlashConfigSize, "ReadFlashConfig", nullptr, &K::ReadFlashConfig},
      {0x7B, Phase::kNone, 0, "SendCommand7B", KindAt5, &K::Command7B},
      {0x81, Phase::kIn, kBulkSize, "ReadBulkArea", nullptr, &K::ReadBulkArea},
      {0x82, Phase::kOut, kBulkSize, "WriteBulkArea", nullptr, &K::WriteBulkArea},
      {0x8B, Phase::kIn, kAnyLength, "ReadData8B", IndexAt4, &K::ReadDiagnostic},
      {0x8C, Phase::kIn, kAnyLength, "ReadData8C", IndexAt4, &K::ReadDiagnostic},
      {0x91, Phase::kOut, kParameterBlockSize, "WriteParameterBlock", nullptr, &K::WriteParameterBlock},
      {0x92, Phase::kIn, kParameterBlockSize, "ReadParameterBlock", nullptr, &K::ReadParameterBlock},
      {0x93, Phase::kOut, kPasswordRecordSize, "SubmitPassword", AreaAndWait, &K::SubmitPassword},
      {0x95, Phase::kIn, kIdentitySize, "ReadIdentityString", nullptr, &K::ReadIdentity},
      {0x96, Phase::kOut, kChangeSize, "ChangePassword", AreaAt5, &K::ChangePassword},
      {0x97, Phase::kNone, 0, "SendCommand97", nullptr, &K::Accept},
      {0x98, Phase::kNone, 0, "QueryState98", nullptr, &K::QueryState98},
      {0x99, Phase::kOut, kRefreshSize, "RefreshMedium", nullptr, &K::RefreshMedium},
      {0x9A, Phase::kIn, kCapacitySize, "ReadCapacityMb", nullptr, &K::ReadCapacity},
      {0x9B, Phase::kOut, kInfoBlockSize, "WriteInfoBlock", nullptr, &K::WriteInfoBlock},
      {0x9C, Phase::kIn, kInfoBlockSize, "ReadInfoBlock", nullptr, &K::ReadInfoBlock},
      {0x9E, Phase::kNone, 0, "SendCommand9E", IndexAt5, &K::Command9E},
      {0x9F, Phase::kNone, 0, "SendCommand9F", nullptr, &K::Command9F},
      {0xA1, Phase::kOut, kPageSize, "WritePage", PageAt8, &K::WritePage},
      {0xA2, Phase::kIn, kPageSize, "ReadPage", PageAt8, &K::ReadPage},
      {0xA3, Phase::kOut, kBlockA3Size, "WriteBlockA3", nullptr, &K::WriteBlockA3},
      {0xA4, Phase::kIn, kBlockA3Size, "ReadBlockA4", nullptr, &K::ReadBlockA4},
      {0xB0, Phase::kNone, 0, "ProbeArea", AreaAt5, &K::ProbeArea},
      {0xB1, Phase::kIn, kHintRecordSize, "ReadHint", AreaAt5, &K::ReadHint},
      {0xB2, Phase::kOut, kHintRecordSize, "WriteHint", AreaAt5, &K::WriteHint},
      {0xB3, Phase::kOut, kSetSize, "SetPasswordAndHint", AreaAt5, &K::SetPasswordAndHint},
      {0xB4, Phase::kOut, kAreaSizePayload, "SetAreaSize", nullptr, &K::SetAreaSize},
      {0xB5, Phase::kIn, kAreaSizePayload, "GetAreaSize", nullptr, &K::GetAreaSize},
      {0xB6, Phase::kNone, 0, "SwitchMedium", FlagAt7, &K::SwitchMedium},
      {0xFF, Phase::kIn, kAnyLength, "ReadDataFF", IndexAt4, &K::ReadDiagnostic},
  };
  const VendorCommand* first = nullptr;
  for (const VendorCommand& entry : kCatalogue) {
    if (entry.subcode != subcode) continue;
    // 0x79 is two commands told apart by the direction of the data.
    if (entry.phase == Phase::kNone || (entry.phase == Phase::kIn) == dataIn) return &entry;
    if (first == nullptr) first = &entry;
  }
  return first;
}

// ---- Configuration -------------------------------------------------------------------------

std::string IdentityOfModel(const std::string& model) {
  if (model == "KV 2 Zarno P3") return "QUILKV2ZARNOP3";
  if (model == "KV 2 Zarno P9") return "QUILKV2ZARNOP9";
  if (model == "Varnok Key") return PadTo("VARNOKSTELVA", 14);
  return {};
}

std::uint32_t KeySectorsPerMegabyte(const KeyConfig& config) {
  const std::string& r = config.revision;
  const auto any = [&r](std::initializer_list<const char*> list) {
    return std::any_of(list.begin(), list.end(), [&r](const char* s) { return r == s; });
  };
  const std::uint16_t t = config.flashType;
  if (any({"W2.1", "1.00", "1.10", "2.60", "2.61"})) return 2048;
  if (any({"1.15", "1.20", "1.21"})) return t == 2 ? 1972 : 2048;
  if (any({"3.12", "2.42", "2.43", "2.44", "2.45", "2.46", "2.47", "2.48", "2.49", "2.50"})) {
    return t == 3 ? 1936 : 1972;
  }
  const std::uint32_t perBank = config.bankCount != 0 ? config.capacityMb / config.bankCount : 0;
  if (perBank == 64 && t == 2) return 1896;
  if (t == 1 || t == 3) return 1988;
  return 1972;
}

std::string InquiryVendorOf(const KeyConfig& config) {
  return config.inquiryVendor.empty() ? "Varnok" : config.inquiryVendor;
}

std::string InquiryProductOf(const KeyConfig& config) {
  return config.inquiryProduct.empty() ? config.model : config.inquiryProduct;
}

// Firmware 2.00 of the P3 model keeps one sector more than its megabytes say whenever they
// come to a whole number of bank-sized blocks (512 sectors with two banks, 256 with one).
std::uint64_t KeyFlashSectors(const KeyConfig& config) {
  const std::uint64_t sectors = std::uint64_t{config.capacityMb} * KeySectorsPerMegabyte(config);
  const bool spareSector = config.model == "KV 2 Zarno P3" && config.revision == "2.00" &&
                           ((config.bankCount == 2 && sectors % 512 == 0) || (config.bankCount == 1 && sectors % 256 == 0));
  return spareSector ? sectors + 1 : sectors;
}

namespace {

InfoContents FactoryInfo(const KeyConfig& config) {
  InfoContents info;
  info.vendorId = 0x1B0A;
  // One USB product identifier per model; keys outside the table answer a generic one.
  if (config.model == "KV 2 Zarno P3") {
    info.productId = 0x0C03;
  } else if (config.model == "KV 2 Zarno P9") {
    info.productId = 0x0C09;
  } else if (config.model == "Varnok Key") {
    info.productId = 0x0C10;
  } else {
    info.productId = 0x0C00;
  }
  info.manufacturer = "Varnok";
  info.product = config.model.empty() ? "Stelvarion" : config.model;
  char serial[24];
  std::snprintf(serial, sizeof serial, "010125%08u", info.productId * 10000u + config.capacityMb % 10000u);
  info.serial = serial;
  info.scsiVendor = InquiryVendorOf(config);
  info.scsiProduct = InquiryProductOf(config);
  info.scsiRevision = config.revision;
  return info;
}

std::unique_ptr<FlashImage> MakeFlash(const KeyConfig& config, std::unique_ptr<FlashImage> flash) {
  if (flash) return flash;
  const std::uint64_t sectors = KeyFlashSectors(config);
  if (config.imagePath.empty()) return std::make_unique<MemoryFlashImage>(sectors);
  return std::make_unique<FileFlashImage>(config.imagePath, sectors);
}

}  // namespace

EmulatedKey::EmulatedKey(KeyConfig config) : EmulatedKey(std::move(config), nullptr) {}

EmulatedKey::EmulatedKey(KeyConfig config, std::unique_ptr<FlashImage> flash)
    : m_config(std::move(config)),
      m_identity(IdentityOfModel(m_config.model)),
      m_flash(MakeFlash(m_config, std::move(flash))),
      m_areas(m_flash->SectorCount()),
      m_infoBlock(BuildInfoBlock(FactoryInfo(m_config))),
      m_parameterBlock(FactoryParameterBlock()),
      m_bulkArea(kBulkSize, 0xFF) {
  m_blockA3.fill(0xFF);
}

EmulatedKey::~EmulatedKey() = default;

// ---- Kept state ----------------------------------------------------------------------------

KeyState EmulatedKey::StateNow() const {
  KeyState s = StateWithoutPages();
  s.pages = m_pages;
  return s;
}

KeyState EmulatedKey::StateWithoutPages() const {
  KeyState s;
  s.model = m_config.model;
  s.capacityMb = m_config.capacityMb;
  s.revision = m_config.revision;
  s.flashType = m_config.flashType;
  s.bankCount = m_config.bankCount;
  s.inquiryVendor = m_config.inquiryVendor;
  s.inquiryProduct = m_config.inquiryProduct;
  s.flashSectors = m_flash->SectorCount();
  s.areaRegister = m_areas.Register();
  s.view = m_areas.View();
  for (int area = 0; area < KeyAreas::kAreaCount; ++area) {
    s.areas[static_cast<std::size_t>(area)] = {m_areas.Password(area), m_areas.Hint(area)};
  }
  s.infoBlock = m_infoBlock;
  s.parameterBlock = m_parameterBlock;
  s.blockA3 = m_blockA3;
  s.bulkArea = m_bulkArea;
  return s;
}

void EmulatedKey::RestoreState(const KeyState& s) {
  m_areas.SetRegister(s.areaRegister);
  m_areas.SetView(s.view);
  for (int area = 0; area < KeyAreas::kAreaCount; ++area) {
    const KeyState::AreaSecret& secret = s.areas[static_cast<std::size_t>(area)];
    m_areas.SetPassword(area, secret.password, secret.hint);
  }
  m_areas.LockAll();
  m_infoBlock = s.infoBlock;
  m_parameterBlock = s.parameterBlock;
  m_blockA3 = s.blockA3;
  m_bulkArea = s.bulkArea;
  m_bulkArea.resize(kBulkSize, 0xFF);
  m_pages = s.pages;
  m_pagesChanged.clear();
}

void EmulatedKey::KeepStateIn(std::unique_ptr<KeyStateFile> file) {
  std::string error;
  if (file && !file->Save(StateNow(), &error)) throw std::runtime_error(error);
  m_stateFile = std::move(file);
  m_pagesChanged.clear();
}

std::uint8_t EmulatedKey::KeepState(const KeyCommandRecord& record, std::uint8_t status) {
  if (m_stateFile == nullptr) return status;
  // Sector transfers and the standard queries change nothing the controller keeps.
  switch (record.opcode) {
    case 0x00:
    case 0x12:
    case 0x28:
    case 0x2A:
    case 0x5A:
      return status;
    default:
      break;
  }
  std::string error;
  if (m_stateFile->Save(StateWithoutPages(), m_pages, m_pagesChanged, &error)) {
    m_pagesChanged.clear();
    return status;
  }
  if (m_storageFailure.empty()) m_storageFailure = error;
  return Fail(kHardwareError, kAscWriteError);
}

// ---- Inspection ----------------------------------------------------------------------------

std::array<std::uint8_t, kPageSize> EmulatedKey::Page(std::uint16_t page) const {
  const auto it = m_pages.find(page);
  if (it != m_pages.end()) return it->second;
  std::array<std::uint8_t, kPageSize> erased;
  erased.fill(0xFF);
  return erased;
}

void EmulatedKey::SetPage(std::uint16_t page, const std::array<std::uint8_t, kPageSize>& bytes) {
  m_pages[page] = bytes;
  m_pagesChanged.insert(page);
}

const std::vector<std::uint8_t>& EmulatedKey::DiagnosticData(std::uint8_t subcode, std::uint8_t index) {
  auto [it, added] = m_diagnostic.try_emplace({subcode, index});
  if (added) {
    // Something recognisable per table: which command, which index, then a running pattern.
    std::vector<std::uint8_t>& data = it->second;
    data.resize(kDiagnosticSize);
    data[0] = subcode;
    data[1] = index;
    for (std::size_t i = 2; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + subcode + index * 31);
    }
  }
  return it->second;
}

void EmulatedKey::SetDiagnosticData(std::uint8_t subcode, std::uint8_t index,
                                    std::vector<std::uint8_t> bytes) {
  m_diagnostic[{subcode, index}] = std::move(bytes);
}

const std::vector<std::uint8_t>& EmulatedKey::StagedData(std::uint8_t subcode) const {
  static const std::vector<std::uint8_t> kNone;
  const auto it = m_staged.find(subcode);
  return it == m_staged.end() ? kNone : it->second;
}

// ---- Dispatch ------------------------------------------------------------------------------

std::uint8_t EmulatedKey::Execute(const ScsiCommand& command) {
  KeyCommandRecord record;
  record.dataIn = command.dataIn;
  record.length = command.length;
  std::uint8_t status = kStatusCheckCondition;
  ++m_commands;
  if (command.cdb == nullptr || command.cdbLength < 10 || (command.length > 0 && command.data == nullptr)) {
    record.name = "Malformed";
    status = InvalidField();
  } else {
    record.opcode = command.cdb[0];
    const bool vendor = record.opcode == kVendorOpcode;
    if (vendor) record.subcode = command.cdb[3];
    // Data-out commands with no data phase come through the helper driver flagged as data in.
    if (!command.dataIn && command.length > 0 && (vendor || m_logPayloads)) {
      record.dataOut.assign(command.data, command.data + command.length);
    }
    status = KeepState(record, Dispatch(command, record));
  }
  record.status = status;
  m_log.Add(std::move(record));
  return status;
}

std::uint8_t EmulatedKey::Dispatch(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::uint8_t* cdb = command.cdb;
  switch (cdb[0]) {
    case 0x00:
      record.name = "TestUnitReady";
      return TestUnitReady(command);
    case 0x12:
      record.name = "Inquiry";
      return Inquiry(command, record);
    case 0x5A:
      record.name = "ModeSense10";
      return ModeSense10(command, record);
    case 0x28:
      record.name = "Read10";
      return ReadWrite10(command, record);
    case 0x2A:
      record.name = "Write10";
      return ReadWrite10(command, record);
    case kVendorOpcode:
      return ExecuteVendor(command, record);
    case kResetOpcode:
      if (cdb[1] == kResetCode) {
        record.name = "DeviceReset";
        return DeviceReset(command);
      }
      break;
    default:
      break;
  }
  record.name = "Unknown";
  return Fail(kIllegalRequest, kAscInvalidOpcode);
}

std::uint8_t EmulatedKey::ExecuteVendor(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::uint8_t* cdb = command.cdb;
  if (cdb[1] != 0x0A || cdb[2] != 0x16) {
    record.name = "Unknown";
    return Fail(kIllegalRequest, kAscInvalidFieldInCdb);
  }
  const VendorCommand* entry = FindVendorCommand(cdb[3], command.dataIn);
  if (entry == nullptr) {
    record.name = "Unknown";
    return Fail(kIllegalRequest, kAscInvalidOpcode);
  }
  record.name = entry->name;
  if (entry->decode != nullptr) entry->decode(cdb, record);

  bool phaseOk = false;
  switch (entry->phase) {
    case Phase::kNone:
      phaseOk = command.length == 0;
      break;
    case Phase::kIn:
      phaseOk = command.dataIn && (entry->length == kAnyLength || command.length == entry->length);
      break;
    case Phase::kOut:
      // An empty host-sized transfer has no direction to check.
      phaseOk = entry->length == kAnyLength ? (!command.dataIn || command.length == 0)
                                            : !command.dataIn && command.length == entry->length;
      break;
  }
  if (!phaseOk) return InvalidField();
  return (this->*entry->handler)(command, record);
}

std::uint8_t EmulatedKey::InvalidField() { return Fail(kIllegalRequest, kAscInvalidFieldInCdb); }
std::uint8_t EmulatedKey::WrongState() { return Fail(kIllegalRequest, kAscCommandSequence); }
std::uint8_t EmulatedKey::NotAuthorised() {
  return Fail(kDataProtect, kAscSecurity, kAscqAccessNotAuthorised);
}

// ---- Standard blocks -----------------------------------------------------------------------

std::uint8_t EmulatedKey::TestUnitReady(const ScsiCommand& command) {
  if (command.length != 0) return InvalidField();
  if (m_areas.Visible().sectors == 0) return Fail(kNotReady, kAscMediumNotPresent);
  return Good();
}

std::uint8_t EmulatedKey::Inquiry(const ScsiCommand& command, KeyCommandRecord& record) {
  // The pass-through INQUIRY asks for 36 bytes, the helper driver's for 56.
  const std::uint32_t allocation = command.cdb[4];
  const bool vitalProductData = (command.cdb[1] & kInquiryEvpd) != 0;
  const std::uint8_t page = command.cdb[2];
  record.fields["allocation"] = allocation;
  if (vitalProductData) record.fields["page"] = page;
  if (!command.dataIn || command.length < allocation) return InvalidField();
  if (!vitalProductData) {
    // Byte 2 is read only with EVPD: the library's own INQUIRY carries filler there.
    // The standard data is 36 bytes: a longer allocation gets those and no more.
    FillInquiryData(command.data, allocation, true, InquiryVendorOf(m_config), InquiryProductOf(m_config),
                    m_config.revision);
    command.answered = std::min<std::uint32_t>(allocation, 36);
    return Good();
  }
  // Two vital product data pages: the list of pages, and the serial number the information
  // block holds (the one the USB device descriptor names too).
  std::vector<std::uint8_t> data = {0x00, page, 0x00, 0x00};
  if (page == kVpdSupportedPages) {
    data.insert(data.end(), {kVpdSupportedPages, kVpdUnitSerialNumber});
  } else if (page == kVpdUnitSerialNumber) {
    const std::string serial = ReadText(m_infoBlock.data() + kInfoSerialAt + 2, 24, m_infoBlock[kInfoSerialAt]).text;
    data.insert(data.end(), serial.begin(), serial.end());
  } else {
    return InvalidField();
  }
  data[3] = static_cast<std::uint8_t>(data.size() - 4);
  command.answered = std::min<std::uint32_t>(allocation, static_cast<std::uint32_t>(data.size()));
  std::copy_n(data.begin(), command.answered, command.data);
  return Good();
}

std::uint8_t EmulatedKey::ModeSense10(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::uint16_t allocation = BigEndian16At(command.cdb + 7);
  record.fields["allocation"] = allocation;
  record.fields["pageCode"] = command.cdb[2];
  if (!command.dataIn || command.length < allocation) return InvalidField();
  // The header alone: no block descriptor, no page.
  std::uint8_t header[8] = {};
  header[1] = 6;  // mode data length
  header[3] = m_config.writeProtected ? 0x80 : 0x00;
  std::fill_n(command.data, command.length, std::uint8_t{0});
  std::copy_n(header, std::min<std::size_t>(allocation, sizeof header), command.data);
  return Good();
}

std::uint8_t EmulatedKey::ReadWrite10(const ScsiCommand& command, KeyCommandRecord& record) {
  const bool write = command.cdb[0] == 0x2A;
  const std::uint32_t lba = BigEndian32At(command.cdb + 2);
  const std::uint16_t count = BigEndian16At(command.cdb + 7);
  record.fields["lba"] = lba;
  record.fields["count"] = count;
  if (count == 0 && command.length == 0) return Good();
  if (command.dataIn == write || command.length != std::uint32_t{count} * kSectorSize) {
    return InvalidField();
  }
  const FlashWindow visible = m_areas.Visible();
  if (visible.sectors == 0) return Fail(kNotReady, kAscMediumNotPresent);
  if (lba > visible.sectors || count > visible.sectors - lba) return Fail(kIllegalRequest, kAscLbaOutOfRange);
  const std::uint64_t flashLba = visible.base + lba;
  if (m_areas.TouchesLockedArea(flashLba, count)) return NotAuthorised();
  if (write && m_config.writeProtected) return Fail(kDataProtect, kAscWriteProtected);
  // Straight between the caller's buffer and the image: a 32-block transfer touches 32 sectors.
  const bool ok = write ? m_flash->Write(flashLba, count, command.data)
                        : m_flash->Read(flashLba, count, command.data);
  if (ok) return Good();
  if (m_storageFailure.empty()) m_storageFailure = m_flash->FailureReason();
  return Fail(kMediumError, kAscUnrecoveredRead);
}

std::uint8_t EmulatedKey::DeviceReset(const ScsiCommand& command) {
  if (command.length != 0) return InvalidField();
  m_areas.SetView(KeyView::kFirstArea);
  m_areas.LockAll();
  return Good();
}

// ---- Vendor commands -----------------------------------------------------------------------

std::uint8_t EmulatedKey::ProbeBlock(const ScsiCommand&, KeyCommandRecord& record) {
  if (m_flaggedBlocks.count(record.fields["address"]) != 0) return Fail(kMediumError, kAscUnrecoveredRead);
  return Good();
}

std::uint8_t EmulatedKey::StageData(const ScsiCommand& command, KeyCommandRecord& record) {
  m_staged[record.subcode].assign(command.data, command.data + command.length);
  return Good();
}

std::uint8_t EmulatedKey::Accept(const ScsiCommand&, KeyCommandRecord&) { return Good(); }

std::uint8_t EmulatedKey::Select77(const ScsiCommand& command, KeyCommandRecord&) {
  m_selected77 = command.cdb[4];
  return Good();
}

std::uint8_t EmulatedKey::ReadDiagnostic(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::vector<std::uint8_t>& stored = DiagnosticData(record.subcode, command.cdb[4]);
  const std::size_t n = std::min<std::size_t>(stored.size(), command.length);
  std::copy_n(stored.data(), n, command.data);
  std::fill_n(command.data + n, command.length - n, std::uint8_t{0});
  return Good();
}

std::uint8_t EmulatedKey::WriteData79(const ScsiCommand& command, KeyCommandRecord&) {
  if (command.cdb[5] != 0x01) return InvalidField();
  SetDiagnosticData(0x79, 0, std::vector<std::uint8_t>(command.data, command.data + command.length));
  return Good();
}

std::uint8_t EmulatedKey::ReadFlashConfig(const ScsiCommand& command, KeyCommandRecord&) {
  command.data[0] = static_cast<std::uint8_t>(m_config.flashType);
  command.data[1] = static_cast<std::uint8_t>(m_config.flashType >> 8);
  command.data[2] = static_cast<std::uint8_t>(m_config.bankCount);
  command.data[3] = static_cast<std::uint8_t>(m_config.bankCount >> 8);
  return Good();
}

std::uint8_t EmulatedKey::Command7B(const ScsiCommand& command, KeyCommandRecord&) {
  m_kind7B = command.cdb[5];
  return Good();
}

std::uint8_t EmulatedKey::ReadBulkArea(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(command.data, m_bulkArea.data(), kBulkSize);
  return Good();
}

std::uint8_t EmulatedKey::WriteBulkArea(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(m_bulkArea.data(), command.data, kBulkSize);
  return Good();
}

std::uint8_t EmulatedKey::WriteParameterBlock(const ScsiCommand& command, KeyCommandRecord& record) {
  record.fields["hintLength"] = command.data[kParameterHintLengthAt];
  std::memcpy(m_parameterBlock.data(), command.data, kParameterBlockSize);
  return Good();
}

std::uint8_t EmulatedKey::ReadParameterBlock(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(command.data, m_parameterBlock.data(), kParameterBlockSize);
  return Good();
}

std::uint8_t EmulatedKey::SubmitPassword(const ScsiCommand& command, KeyCommandRecord& record) {
  const TextField password = ReadPasswordRecord(command.data);
  record.fields["passwordLength"] = password.lengthByte;
  if (record.Has("option")) return InvalidField();
  const int area = command.cdb[5];
  if (!KeyAreas::ValidArea(area)) return InvalidField();
  if (!m_areas.HasPassword(area)) return WrongState();
  if (password.text != m_areas.Password(area)) return NotAuthorised();
  m_areas.Unlock(area);
  return Good();
}

std::uint8_t EmulatedKey::ReadIdentity(const ScsiCommand& command, KeyCommandRecord&) {
  const std::string identity = PadTo(m_identity, kIdentitySize);
  std::memcpy(command.data, identity.data(), kIdentitySize);
  return Good();
}

std::uint8_t EmulatedKey::ChangePassword(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::uint8_t* p = command.data;
  const TextField current = ReadPasswordRecord(p + kChangeCurrentAt);
  const TextField fresh = ReadPasswordRecord(p + kChangeNewAt);
  const TextField hint = ReadText(p + kChangeHintAt, kHintCapacity, p[kChangeHintLengthAt]);
  record.fields["passwordLength"] = current.lengthByte;
  record.fields["newPasswordLength"] = fresh.lengthByte;
  record.fields["hintLength"] = hint.lengthByte;
  const int area = command.cdb[5];
  if (!KeyAreas::ValidArea(area)) return InvalidField();
  // An area without a password takes its first one here with an empty current password.
  if (current.text != m_areas.Password(area)) return NotAuthorised();
  m_areas.SetPassword(area, fresh.text, hint.text);
  return Good();
}

std::uint8_t EmulatedKey::QueryState98(const ScsiCommand&, KeyCommandRecord&) {
  return m_state98Good ? Good() : WrongState();
}

std::uint8_t EmulatedKey::RefreshMedium(const ScsiCommand& command, KeyCommandRecord&) {
  if (command.data[0] != 0xFF || command.data[1] != 0xFF) {
    return Fail(kIllegalRequest, kAscInvalidFieldInParameters);
  }
  if (m_areas.View() == KeyView::kWholeFlash) m_areas.SetView(KeyView::kFirstArea);
  return Good();
}

std::uint8_t EmulatedKey::ReadCapacity(const ScsiCommand& command, KeyCommandRecord&) {
  command.data[0] = static_cast<std::uint8_t>(m_config.capacityMb);
  command.data[1] = static_cast<std::uint8_t>(m_config.capacityMb >> 8);
  return Good();
}

std::uint8_t EmulatedKey::WriteInfoBlock(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(m_infoBlock.data(), command.data, kInfoBlockSize);
  return Good();
}

std::uint8_t EmulatedKey::ReadInfoBlock(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(command.data, m_infoBlock.data(), kInfoBlockSize);
  return Good();
}

std::uint8_t EmulatedKey::Command9E(const ScsiCommand& command, KeyCommandRecord&) {
  switch (command.cdb[5]) {
    case 0:
      m_areas.SetView(KeyView::kFirstArea);
      return Good();
    case 1:
      m_areas.SetView(KeyView::kSecondArea);
      return Good();
    case 5:
      m_areas.SetView(KeyView::kWholeFlash);
      return Good();
    default:
      return InvalidField();
  }
}

std::uint8_t EmulatedKey::Command9F(const ScsiCommand&, KeyCommandRecord&) {
  m_areas.SetView(m_areas.View() == KeyView::kSecondArea ? KeyView::kFirstArea : KeyView::kSecondArea);
  return Good();
}

std::uint8_t EmulatedKey::WritePage(const ScsiCommand& command, KeyCommandRecord& record) {
  const auto number = static_cast<std::uint16_t>(record.fields["page"]);
  std::memcpy(m_pages[number].data(), command.data, kPageSize);
  m_pagesChanged.insert(number);
  return Good();
}

std::uint8_t EmulatedKey::ReadPage(const ScsiCommand& command, KeyCommandRecord& record) {
  const auto page = Page(static_cast<std::uint16_t>(record.fields["page"]));
  std::memcpy(command.data, page.data(), kPageSize);
  return Good();
}

std::uint8_t EmulatedKey::WriteBlockA3(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(m_blockA3.data(), command.data, kBlockA3Size);
  return Good();
}

std::uint8_t EmulatedKey::ReadBlockA4(const ScsiCommand& command, KeyCommandRecord&) {
  std::memcpy(command.data, m_blockA3.data(), kBlockA3Size);
  return Good();
}

std::uint8_t EmulatedKey::ProbeArea(const ScsiCommand& command, KeyCommandRecord&) {
  const int area = command.cdb[5];
  if (!KeyAreas::ValidArea(area)) return InvalidField();
  return m_areas.HasPassword(area) ? Good() : WrongState();
}

std::uint8_t EmulatedKey::ReadHint(const ScsiCommand& command, KeyCommandRecord&) {
  const int area = command.cdb[5];
  if (!KeyAreas::ValidArea(area)) return InvalidField();
  if (!m_areas.HasPassword(area)) return WrongState();
  WriteHintRecord(m_areas.Hint(area), command.data);
  if (hintLengthAnswered) command.data[kHintLengthAt] = *hintLengthAnswered;
  return Good();
}

std::uint8_t EmulatedKey::WriteHint(const ScsiCommand& command, KeyCommandRecord& record) {
  const TextField hint = ReadText(command.data, kHintCapacity, command.data[kHintLengthAt]);
  record.fields["hintLength"] = hint.lengthByte;
  const int area = command.cdb[5];
  if (!KeyAreas::ValidArea(area)) return InvalidField();
  if (!m_areas.HasPassword(area)) return WrongState();
  if (!m_areas.Unlocked(area)) return NotAuthorised();
  m_areas.SetHint(area, hint.text);
  return Good();
}

std::uint8_t EmulatedKey::SetPasswordAndHint(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::uint8_t* p = command.data;
  const TextField password = ReadPasswordRecord(p + kSetPasswordAt);
  const TextField hint = ReadText(p + kSetHintAt, kHintCapacity, p[kSetHintLengthAt]);
  record.fields["passwordLength"] = password.lengthByte;
  record.fields["hintLength"] = hint.lengthByte;
  const int area = command.cdb[5];
  if (!KeyAreas::ValidArea(area)) return InvalidField();
  if (m_areas.HasPassword(area)) return WrongState();
  if (password.text.empty()) return Fail(kIllegalRequest, kAscInvalidFieldInParameters);
  m_areas.SetPassword(area, password.text, hint.text);
  return Good();
}

std::uint8_t EmulatedKey::SetAreaSize(const ScsiCommand& command, KeyCommandRecord& record) {
  const std::uint32_t sectors = BigEndian32At(command.data);
  record.fields["sectors"] = sectors;
  if (sectors == 0) return Fail(kIllegalRequest, kAscInvalidFieldInParameters);
  if (m_config.writeProtected) return Fail(kDataProtect, kAscWriteProtected);
  m_areas.SetRegister(sectors);
  m_areas.SetView(KeyView::kWholeFlash);
  return Good();
}

std::uint8_t EmulatedKey::GetAreaSize(const ScsiCommand& command, KeyCommandRecord&) {
  const std::uint32_t sectors = m_areas.Register();
  for (int i = 0; i < 4; ++i) command.data[i] = static_cast<std::uint8_t>(sectors >> (24 - 8 * i));
  return Good();
}

std::uint8_t EmulatedKey::SwitchMedium(const ScsiCommand& command, KeyCommandRecord&) {
  switch (command.cdb[7]) {
    case 0:
      m_areas.SetView(KeyView::kFirstArea);
      return Good();
    case 1:
      m_areas.SetView(KeyView::kSecondArea);
      return Good();
    default:
      return InvalidField();
  }
}

}  // namespace emulated
