#include "fuzz/fuzz_targets.h"

#include <cctype>
#include <sstream>

namespace fuzz {

const std::vector<FuzzTarget>& AllTargets() {
  static const std::vector<FuzzTarget> kTargets = {
      {"info_block", FuzzInfoBlock, InfoBlockSeeds, 1024},
      {"registry_walk", FuzzRegistryWalk, RegistryWalkSeeds, 8192},
      {"helper_driver", FuzzHelperDriver, HelperDriverSeeds, 8192},
      {"fat_volume", FuzzFatVolume, FatVolumeSeeds, 65536},
      {"label_check", FuzzLabelCheck, LabelCheckSeeds, 512},
      {"key_commands", FuzzKeyCommands, KeyCommandsSeeds, 8192},
      {"usb_transport", FuzzUsbTransport, UsbTransportSeeds, 8192},
  };
  return kTargets;
}

const FuzzTarget* FindTarget(const std::string& name) {
  for (const FuzzTarget& target : AllTargets()) {
    if (name == target.name) return &target;
  }
  return nullptr;
}

bool ParseHexText(const std::string& text, std::vector<std::uint8_t>* bytes) {
  bytes->clear();
  int pending = -1;
  bool comment = false;
  for (const char c : text) {
    if (comment) {
      comment = c != '\n';
      continue;
    }
    if (c == '#') {
      comment = true;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c)) != 0) continue;
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    if (pending < 0) {
      pending = digit;
    } else {
      bytes->push_back(static_cast<std::uint8_t>(pending << 4 | digit));
      pending = -1;
    }
  }
  return pending < 0;
}

std::string FormatHexText(const std::vector<std::uint8_t>& bytes, const std::string& comment) {
  static const char kDigits[] = "0123456789abcdef";
  std::ostringstream out;
  std::istringstream lines(comment);
  for (std::string line; std::getline(lines, line);) out << "# " << line << '\n';
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out << kDigits[bytes[i] >> 4] << kDigits[bytes[i] & 15];
    out << ((i % 32 == 31 || i + 1 == bytes.size()) ? '\n' : ' ');
  }
  return out.str();
}

}  // namespace fuzz
