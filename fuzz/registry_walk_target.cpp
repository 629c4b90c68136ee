// The registry records behind the helper driver's drive letter, built from the input: device and
// instance keys under USBSTOR with any names, ParentIdPrefix values of any length and bytes,
// MountedDevices values with odd names and data, keys that refuse to open, missing keys. The walk
// must answer 0 with the letter of a removable drive, -6 or -8, close every key it opened, and
// agree with a model of the records whenever the tree is one the model can read unambiguously.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "host/emulated/emulated_host.h"

namespace fuzz {
namespace {

using Key = emulated::RegistryTree::Key;
using Value = emulated::RegistryTree::Value;

constexpr char kUsbStor[] = "SYSTEM\\CurrentControlSet\\Enum\\USBSTOR";
constexpr char kMounted[] = "SYSTEM\\MountedDevices";
constexpr char kTargetHead[] = "\\??\\STORAGE#RemovableMedia#";
constexpr char kDosDevices[] = "\\DosDevices\\";
constexpr char kVolumeTail[] = "&RM#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr std::size_t kBuffer = 255;  // the walk's name and data buffers

const char* const kDeviceNames[] = {
    "Disk&Ven_Varnok&Prod_Stelvarion_1GB",
    "Disk&Ven_Varnok&Prod_Stelvarion_512MB",
    "Disk&Ven_Varnok&Prod_Stelvarion_256MB",
};
const char* const kPrefixes[] = {"7&2f9e1c31&0", "7&2f9e1c32&0", "8&1&0", "", "7&2F9E1C31&0"};
const char* const kInstanceNames[] = {"AA00001001&0", "AA00001002&0", "0123456789&0"};

enum class DriveKindChoice { kUsbStick, kFixedDisk, kEmptyReader };

std::vector<std::uint8_t> Utf16(const std::string& text) { return emulated::Utf16LeOf(text); }

std::vector<std::uint8_t> Sz(const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return data;
}

bool SameNameAscii(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string CString(const std::string& s) { return std::string(s.c_str()); }
std::string CString(const std::vector<std::uint8_t>& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), 0);
  return std::string(bytes.begin(), end);
}

// What the input built, besides the tree itself.
struct Records {
  Key* usbStor = nullptr;  // null: missing
  Key* mounted = nullptr;
  std::map<char, DriveKindChoice> drives;  // by upper-case letter
};

Key& AddSubkey(Key& parent, const std::string& name) {
  parent.subkeys.push_back(std::make_unique<Key>());
  parent.subkeys.back()->name = name;
  return *parent.subkeys.back();
}

std::string DeviceName(FuzzInput& in) {
  const std::string known = kDeviceNames[in.Range(0, 2)];
  switch (in.Range(0, 5)) {
    case 0: return known + "&Rev_" + in.Pick<const char*>({"2.45", "1.00", "PMAP"});
    case 1: return known;
    case 2: return in.Text(300);
    case 3: return "Disk&Ven_Generic&Prod_USB_Flash_Disk&Rev_1.00";
    case 4: return known + std::string(in.Range(200, 260), 'x');  // near and past the buffer
    default: {
      std::string lower = known;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return lower;
    }
  }
}

std::string InstanceName(FuzzInput& in) {
  switch (in.Range(0, 4)) {
    case 0: return kInstanceNames[in.Range(0, 2)];
    case 1: return in.Text(300);
    case 2: return "";
    case 3: return std::string(in.Range(250, 260), 'A');
    default: return std::string(kInstanceNames[0]) + "\\" + kInstanceNames[1];
  }
}

void AddInstanceValues(Key& instance, FuzzInput& in, std::vector<std::string>* prefixes) {
  const std::uint32_t count = in.Range(0, 3);
  for (std::uint32_t i = 0; i < count; ++i) {
    Value value;
    switch (in.Range(0, 3)) {
      case 0: value.name = "ParentIdPrefix"; break;
      case 1: value.name = "parentidprefix"; break;
      case 2: value.name = "Driver"; break;
      default: value.name = in.Text(20); break;
    }
    std::string prefix;
    switch (in.Range(0, 4)) {
      case 0:
        prefix = kPrefixes[in.Range(0, 4)];
        value.type = host::kRegSz;
        value.data = Sz(prefix);
        break;
      case 1: {
        value.data = in.Bytes(in.Range(0, 300));
        prefix = CString(value.data);
        break;
      }
      case 2:
        prefix = kPrefixes[in.Range(0, 4)];
        value.data.assign(prefix.begin(), prefix.end());  // no terminator
        break;
      case 3: {
        // Around the 254 bytes the walk leaves room for.
        const std::uint32_t length = in.Range(90, 300);
        prefix = std::string(length, static_cast<char>(in.Range('0', 'z')));
        value.data = in.Bool() ? Sz(prefix) : std::vector<std::uint8_t>(prefix.begin(), prefix.end());
        break;
      }
      default:
        value.data = Sz(in.Text(12));
        prefix = CString(value.data);
        break;
    }
    prefixes->push_back(prefix);
    instance.values.push_back(std::move(value));
  }
}

void AddMountedValues(Key& mounted, FuzzInput& in, const std::vector<std::string>& prefixes) {
  const std::uint32_t count = in.Range(0, 8);
  for (std::uint32_t i = 0; i < count; ++i) {
    Value value;
    const int base = in.Pick<int>({'A', 'a'});
    const char letter = static_cast<char>(base + static_cast<int>(in.Range(0, 25)));
    switch (in.Range(0, 4)) {
      case 0: value.name = std::string(kDosDevices) + letter + ":"; break;
      case 1: value.name = std::string(kDosDevices) + in.Text(4); break;
      case 2: value.name = in.Text(300); break;
      case 3: value.name = "\\??\\Volume{1b2c3d4e-0000-0000-0000-100000000000}"; break;
      default: value.name = kDosDevices; break;
    }
    const std::string prefix = prefixes.empty() ? std::string(kPrefixes[0])
                                                : prefixes[in.Range(0, static_cast<std::uint32_t>(prefixes.size() - 1))];
    switch (in.Range(0, 5)) {
      case 0: value.data = Utf16(kTargetHead + prefix + kVolumeTail); break;
      case 1: value.data = in.Bytes(in.Range(0, 400)); break;
      case 2: value.data = Utf16(kTargetHead + prefix); break;
      case 3: value.data = {0x9A, 0x3C, 0x12, 0x7E, 0, 0x7E, 0, 0, 0, 0, 0, 0}; break;
      case 4: value.data = Utf16(kTargetHead + prefix + std::string(in.Range(60, 140), '#')); break;
      default: {
        value.data = Utf16(kTargetHead + prefix + kVolumeTail);
        value.data.resize(in.Range(0, static_cast<std::uint32_t>(value.data.size())));  // cut anywhere, odd too
        break;
      }
    }
    mounted.values.push_back(std::move(value));
  }
}

// GetDriveTypeA as the records' reader expects it: a letter, a colon, a backslash.
bool RemovableRoot(const Records& records, char letter, char colon) {
  if (letter == '\0' || colon != ':') return false;
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  const auto it = records.drives.find(upper);
  return it != records.drives.end() && it->second != DriveKindChoice::kFixedDisk;
}

// The device path a value's data spells: the low byte of each UTF-16 unit held by the buffer.
std::string NarrowedText(const std::vector<std::uint8_t>& data) {
  std::string text;
  const std::size_t units = std::min(data.size(), kBuffer) / 2;
  for (std::size_t i = 0; i < units && data[2 * i] != 0; ++i) text += static_cast<char>(data[2 * i]);
  return text;
}

// A MountedDevices value the walk can read whole that names a removable drive whose volume
// belongs to the given prefix: the letter, else nothing.
std::optional<char> LetterOf(const Records& records, const Value& value, const std::string& prefix) {
  if (value.name.size() + 1 > kBuffer || value.data.size() > kBuffer) return std::nullopt;
  if (NarrowedText(value.data).rfind(kTargetHead + prefix, 0) != 0) return std::nullopt;
  if (CString(value.name).rfind(kDosDevices, 0) != 0) return std::nullopt;
  const char letter = value.name.size() > 12 ? value.name[12] : '\0';
  const char colon = value.name.size() > 13 ? value.name[13] : '\0';
  if (!RemovableRoot(records, letter, colon)) return std::nullopt;
  return letter;
}

bool Openable(const Key* key) { return key != nullptr && !key->refuseOpen; }

// The prefix the walk reads from a key's ParentIdPrefix value, when it can.
std::optional<std::string> PrefixOf(const Key& key) {
  for (const Value& value : key.values) {
    if (!SameNameAscii(value.name, "ParentIdPrefix")) continue;
    if (value.data.size() > kBuffer - 1) return std::nullopt;
    return CString(value.data);
  }
  return std::nullopt;
}

bool IsKeyDeviceName(const std::string& name) {
  return std::any_of(std::begin(kDeviceNames), std::end(kDeviceNames),
                     [&](const char* prefix) { return CString(name).rfind(prefix, 0) == 0; });
}

// Names the model can follow: every key opened by the name it was enumerated under is that key.
bool PlainNames(const std::vector<std::unique_ptr<Key>>& keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string& name = keys[i]->name;
    if (name.empty() || name.size() + 1 > kBuffer || name.find('\\') != std::string::npos ||
        name.find('\0') != std::string::npos) {
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (SameNameAscii(keys[j]->name, name)) return false;
    }
  }
  return true;
}

// The walk's answer, read off the records: first device, first instance, first value.
ResultCode Model(const Records& records, char* letter) {
  if (!Openable(records.usbStor)) return kResultGeneralFailure;
  for (const auto& device : records.usbStor->subkeys) {
    if (!IsKeyDeviceName(device->name) || !Openable(device.get())) continue;
    for (const auto& instance : device->subkeys) {
      if (!Openable(instance.get())) continue;
      const std::optional<std::string> prefix = PrefixOf(*instance);
      if (!prefix || !Openable(records.mounted)) continue;
      for (const Value& value : records.mounted->values) {
        if (const auto found = LetterOf(records, value, *prefix)) {
          *letter = *found;
          return kResultSuccess;
        }
      }
    }
  }
  return kResultKeyNotFound;
}

void CollectPrefixes(const Key& key, std::vector<std::string>* prefixes) {
  if (const auto prefix = PrefixOf(key)) prefixes->push_back(*prefix);
  for (const auto& sub : key.subkeys) CollectPrefixes(*sub, prefixes);
}

}  // namespace

void FuzzRegistryWalk(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  ResetDeviceLibraryForTests();
  emulated::EmulatedHost host;
  emulated::RegistryTree tree;
  Records records;

  const std::uint8_t flags = in.Byte();
  const std::uint32_t driveCount = in.Range(0, 4);
  for (std::uint32_t i = 0; i < driveCount; ++i) {
    const char letter = static_cast<char>('A' + in.Range(0, 25));
    const auto kind = static_cast<DriveKindChoice>(in.Range(0, 2));
    host.Attach(letter, kind == DriveKindChoice::kUsbStick    ? emulated::MakeUsbStick()
                        : kind == DriveKindChoice::kFixedDisk ? emulated::MakeFixedDisk()
                                                              : emulated::MakeEmptyReader());
    records.drives[letter] = kind;
  }

  std::vector<std::string> prefixes;
  if ((flags & 1) == 0) {
    records.usbStor = &tree.CreateKey(kUsbStor);
    records.usbStor->refuseOpen = (flags & 2) != 0;
    const std::uint32_t devices = in.Range(0, 4);
    for (std::uint32_t d = 0; d < devices; ++d) {
      Key& device = AddSubkey(*records.usbStor, DeviceName(in));
      device.refuseOpen = in.Byte() == 0xFF;
      AddInstanceValues(device, in, &prefixes);  // a device key's own values, read only by mistake
      const std::uint32_t instances = in.Range(0, 3);
      for (std::uint32_t i = 0; i < instances; ++i) {
        Key& instance = AddSubkey(device, InstanceName(in));
        instance.refuseOpen = in.Byte() == 0xFF;
        AddInstanceValues(instance, in, &prefixes);
      }
    }
  }
  if ((flags & 4) == 0) {
    records.mounted = &tree.CreateKey(kMounted);
    records.mounted->refuseOpen = (flags & 8) != 0;
    AddMountedValues(*records.mounted, in, prefixes);
  }

  host.Install();
  host::Ports ports = host::Installed();
  ports.registry = &tree;
  host::Install(ports);

  GuardedBuffer letter(1, 0xA5);
  ResultCode result = 0;
  {
    ScsiFlashDevice device;
    TransportKind = kTransportHelperDriver;  // GetDriveLetter takes the registry branch
    result = static_cast<FlashDevice&>(device).GetDriveLetter(letter.chars());
  }
  ResetDeviceLibraryForTests();
  letter.CheckIntact("GetDriveLetter output");

  FUZZ_CHECK(result == kResultSuccess || result == kResultKeyNotFound || result == kResultGeneralFailure,
             "the walk answered " + std::to_string(result));
  FUZZ_CHECK((result == kResultGeneralFailure) == !Openable(records.usbStor),
             "USBSTOR " + std::string(Openable(records.usbStor) ? "opens" : "does not open") + " yet the walk answered " +
                 std::to_string(result));
  FUZZ_CHECK(tree.OpenHandles() == 0, std::to_string(tree.OpenHandles()) + " registry key(s) left open");

  const char answer = letter.chars()[0];
  if (result != kResultSuccess) {
    FUZZ_CHECK(static_cast<std::uint8_t>(answer) == 0xA5, "a failed walk wrote the letter " + Hex(letter.Contents()));
  } else {
    const char root[4] = {answer, ':', '\\', '\0'};
    FUZZ_CHECK(host.GetDriveType(root) == host::win32::DRIVE_REMOVABLE,
               "the walk answered drive " + Hex(letter.Contents()) + ", which is not removable");
    // Some record must say so: a value naming that drive whose volume carries the prefix of a
    // key below USBSTOR.
    std::vector<std::string> readable;
    CollectPrefixes(*records.usbStor, &readable);
    bool witnessed = false;
    for (const Value& value : records.mounted != nullptr ? records.mounted->values : std::vector<Value>{}) {
      for (const std::string& prefix : readable) {
        const auto found = LetterOf(records, value, prefix);
        witnessed = witnessed || (found && *found == answer);
      }
    }
    FUZZ_CHECK(witnessed, "no record names drive " + Hex(letter.Contents()) + " with a key's prefix");
  }

  // Where every key is reached by the name it is listed under, the walk's order is known too.
  bool plain = records.usbStor == nullptr || PlainNames(records.usbStor->subkeys);
  if (plain && records.usbStor != nullptr) {
    for (const auto& device : records.usbStor->subkeys) plain = plain && PlainNames(device->subkeys);
  }
  if (plain) {
    char expectedLetter = 0;
    const ResultCode expected = Model(records, &expectedLetter);
    FUZZ_CHECK(result == expected, "the walk answered " + std::to_string(result) + ", the records say " +
                                       std::to_string(expected));
    if (expected == kResultSuccess) {
      FUZZ_CHECK(answer == expectedLetter, "the walk chose drive " + Hex(letter.Contents()) + ", the records say " +
                                               Hex(reinterpret_cast<const std::uint8_t*>(&expectedLetter), 1));
    }
  }
}

std::vector<std::vector<std::uint8_t>> RegistryWalkSeeds() {
  std::vector<std::vector<std::uint8_t>> seeds;
  // The records Windows keeps for one key at E: and a fixed disk at C:, with variations.
  for (int variant = 0; variant < 6; ++variant) {
    InputWriter w;
    w.Byte(variant == 4 ? 1 : 0);  // 4: no USBSTOR key
    w.Range(0, 4, 2);
    w.Range(0, 25, 'E' - 'A').Range(0, 2, variant == 3 ? 1 : 0);  // 3: E: is a fixed disk
    w.Range(0, 25, 'C' - 'A').Range(0, 2, 1);
    w.Range(0, 4, 1);                                                      // one device
    w.Range(0, 2, static_cast<std::uint32_t>(variant % 3)).Range(0, 5, 0).Range(0, 2, 0);  // known name + "&Rev_2.45"
    w.Byte(0).Range(0, 3, 0);                                              // opens; no values of its own
    w.Range(0, 3, 1);                                                      // one instance
    w.Range(0, 4, 0).Range(0, 2, 0).Byte(0);                               // "AA00001001&0", opens
    w.Range(0, 3, 1).Range(0, 3, 0).Range(0, 4, variant == 5 ? 3 : 0);    // ParentIdPrefix
    if (variant == 5) {
      w.Range(90, 300, 254).Range('0', 'z', 'q').Bool(false);             // 254 bytes, no terminator
    } else {
      w.Range(0, 4, 0);
    }
    w.Range(0, 8, 2);  // two mounted values: the fixed disk's, then the key's
    w.Range(0, 1, 0).Range(0, 25, 'C' - 'A').Range(0, 4, 0).Range(0, 5, 3);
    w.Range(0, 1, 0).Range(0, 25, 'E' - 'A').Range(0, 4, 0).Range(0, 5, 0);
    seeds.push_back(w.Data());
  }
  return seeds;
}

}  // namespace fuzz
