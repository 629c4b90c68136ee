#include "tests/media/media_test_support.h"

#include <cstdio>
#include <stdexcept>

#include "host/byte_order.h"

namespace media_test {

void RecordingBar::SetRange(std::uint16_t low, std::uint16_t high) {
  calls.push_back(Call{.isRange = true, .low = low, .high = high, .atMs = m_clock.ElapsedMs()});
}

void RecordingBar::SetPosition(std::int32_t position) {
  calls.push_back(Call{.isRange = false, .position = position, .atMs = m_clock.ElapsedMs()});
}

std::vector<std::pair<int, int>> RecordingBar::Ranges() const {
  std::vector<std::pair<int, int>> out;
  for (const Call& call : calls) {
    if (call.isRange) out.emplace_back(call.low, call.high);
  }
  return out;
}

std::vector<std::int32_t> RecordingBar::Positions() const {
  std::vector<std::int32_t> out;
  for (const Call& call : calls) {
    if (!call.isRange) out.push_back(call.position);
  }
  return out;
}

std::vector<std::int32_t> Steps(std::int32_t first, std::int32_t last) {
  std::vector<std::int32_t> out;
  for (std::int32_t i = first; i <= last; ++i) out.push_back(i);
  return out;
}

namespace {

// A field of 2 or 4 bytes, which must lie within the bytes.
std::uint32_t BigEndian(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t size) {
  bytes.at(at + size - 1);
  return size == 2 ? GetBigEndian16(bytes.data() + at) : GetBigEndian32(bytes.data() + at);
}

// One command as a line, from the ten block bytes as the device received them.
std::string Describe(const emulated::TraceEvent& command) {
  const std::vector<std::uint8_t>& cdb = command.cdb;
  char line[64];
  if (cdb.empty()) return "cdb (none)";
  switch (cdb[0]) {
    case 0x00:
      return "tur";
    case 0x12:
      return "inquiry";
    case 0x28:
    case 0x2A:
      std::snprintf(line, sizeof line, "%s %u+%u", cdb[0] == 0x2A ? "write" : "read", BigEndian(cdb, 2, 4),
                    BigEndian(cdb, 7, 2));
      return line;
    case 0xFF:
      if (cdb.size() > 1 && cdb[1] == 0x1D) return "reset";
      break;
    case 0xAD:
      switch (cdb.at(3)) {
        case 0x7A:
          return "flashconfig";
        case 0x95:
          return "identify";
        case 0x99:
          return "refresh";
        case 0x9A:
          return "capacity";
        case 0x9E:
          std::snprintf(line, sizeof line, "9E %u", cdb.at(5));
          return line;
        case 0x9F:
          return "9F";
        case 0xB4:
          if (command.dataOut.size() != 4) return "setarea (payload of " + std::to_string(command.dataOut.size()) + ")";
          std::snprintf(line, sizeof line, "setarea %08X", BigEndian(command.dataOut, 0, 4));
          return line;
        case 0xB5:
          return "getarea";
        default:
          break;
      }
      break;
    default:
      break;
  }
  std::snprintf(line, sizeof line, "cdb %02X %02X", cdb[0], cdb.size() > 3 && cdb[0] == 0xAD ? cdb[3] : cdb[1]);
  return line;
}

std::vector<std::string> RawLines(const emulated::EmulatedHost& host) {
  std::vector<std::string> lines;
  for (const emulated::TraceEvent& command : host.trace.Commands()) lines.push_back(Describe(command));
  return lines;
}

}  // namespace

std::vector<std::string> Story(const emulated::EmulatedHost& host, std::size_t from) {
  const std::vector<std::string> raw = RawLines(host);
  std::vector<std::string> story;
  for (std::size_t i = from; i < raw.size(); ++i) {
    if (raw[i] == "capacity" && i + 2 < raw.size() && raw[i + 1] == "flashconfig" && raw[i + 2] == "inquiry") {
      story.push_back("convert");
      i += 2;
    } else if (raw[i] == "identify" && i + 1 < raw.size() && (raw[i + 1] == "refresh" || raw[i + 1] == "reset")) {
      continue;  // the refresh looks the key's drive letter up first
    } else if ((raw[i] == "refresh" || raw[i] == "reset") && i + 1 < raw.size() && raw[i + 1] == "tur") {
      story.push_back(raw[i]);
      i += 1;
    } else {
      story.push_back(raw[i]);
    }
  }
  return story;
}

std::string WriteLine(std::uint32_t lba, std::uint32_t count) {
  return "write " + std::to_string(lba) + "+" + std::to_string(count);
}

std::vector<std::string> ClearLines(std::uint32_t first, std::uint32_t sectors) {
  std::vector<std::string> lines;
  for (std::uint32_t s = first; s < first + sectors; s += 32) lines.push_back(WriteLine(s, 32));
  return lines;
}

void Append(std::vector<std::string>& story, const std::vector<std::string>& more) {
  story.insert(story.end(), more.begin(), more.end());
}

long IndexOfCommand(const emulated::EmulatedHost& host, std::size_t from, const std::string& line, int occurrence) {
  const std::vector<std::string> raw = RawLines(host);
  for (std::size_t i = from; i < raw.size(); ++i) {
    if (raw[i] == line && occurrence-- == 0) return static_cast<long>(i);
  }
  return -1;
}

Sector FlashSector(emulated::EmulatedKey& key, std::uint64_t lba) {
  Sector sector{};
  if (!key.Flash().Read(lba, 1, sector.data())) throw std::runtime_error("flash sector out of range");
  return sector;
}

namespace {

Sector ScribbleFor(std::uint64_t lba) {
  Sector sector;
  for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(0xA5 ^ (lba * 7 + i));
  sector[0] = 0xE5;  // never zero, whatever the sector number
  return sector;
}

}  // namespace

void Scribble(emulated::EmulatedKey& key, std::uint64_t first, std::uint32_t count) {
  for (std::uint64_t lba = first; lba < first + count; ++lba) {
    const Sector sector = ScribbleFor(lba);
    if (!key.Flash().Write(lba, 1, sector.data())) throw std::runtime_error("cannot scribble");
  }
}

bool IsScribble(const Sector& sector, std::uint64_t lba) { return sector == ScribbleFor(lba); }

bool IsZero(const Sector& sector) {
  for (std::uint8_t b : sector) {
    if (b != 0) return false;
  }
  return true;
}

std::uint32_t Le16(const Sector& sector, std::size_t offset) {
  sector.at(offset + 1);  // within the sector
  return GetLittleEndian16(sector.data() + offset);
}

std::uint32_t Le32(const Sector& sector, std::size_t offset) {
  sector.at(offset + 3);
  return GetLittleEndian32(sector.data() + offset);
}

std::vector<std::uint8_t> BytesAt(const Sector& sector, std::size_t offset, std::size_t count) {
  return std::vector<std::uint8_t>(sector.begin() + static_cast<std::ptrdiff_t>(offset),
                                   sector.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

std::string TextAt(const Sector& sector, std::size_t offset, std::size_t count) {
  return std::string(sector.begin() + static_cast<std::ptrdiff_t>(offset),
                     sector.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

emulated::KeyConfig Key(const std::string& model, std::uint32_t capacityMb, const std::string& revision,
                        std::uint16_t flashType, std::uint16_t bankCount) {
  emulated::KeyConfig config;
  config.model = model;
  config.capacityMb = capacityMb;
  config.revision = revision;
  config.flashType = flashType;
  config.bankCount = bankCount;
  return config;
}

}  // namespace media_test
