#include "tests/sweep/key_check.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "boot/boot_images.h"
#include "fat/fat_volume.h"
#include "tests/support/shell_command.h"
#include "host/byte_order.h"

namespace sweep {
namespace {

namespace fs = std::filesystem;
using emulated::EmulatedKey;
using emulated::Sector;

constexpr std::uint32_t kSectorSize = 512;
constexpr char kSinglePartitionModel[] = "KV 2 Zarno P9";

// On-key offsets, read here without the program's own layout code.
constexpr std::size_t kSignature = 510;
constexpr std::size_t kPartition1 = 446;
constexpr std::size_t kBootProgramStart = 0x3E;
constexpr std::size_t kDirtyFlag = 0x25;
constexpr std::size_t kEntrySize = 32;

// Where each layout puts its volume, and how large its FATs are.
struct Layout {
  std::uint32_t partitionStart;
  std::uint32_t sectorsPerFat;
  std::uint32_t RootStart() const { return partitionStart + 1 + 2 * sectorsPerFat; }
  std::uint32_t SystemAreaSectors() const { return RootStart() + 32; }  // 512 entries
};

Layout LayoutOf(const std::string& model) {
  return model == kSinglePartitionModel ? Layout{63, 250} : Layout{32, 255};
}

std::uint32_t Le16(const Sector& s, std::size_t at) { return GetLittleEndian16(s.data() + at); }
std::uint32_t Le32(const Sector& s, std::size_t at) { return GetLittleEndian32(s.data() + at); }

Sector ReadFlash(EmulatedKey& key, std::uint64_t lba) {
  Sector sector{};
  if (!key.Flash().Read(lba, 1, sector.data())) sector.fill(0xEE);
  return sector;
}

// The first area, read only: what Windows mounts once the key is plugged in again.
class FirstAreaSectors final : public emulated::SectorDevice {
 public:
  explicit FirstAreaSectors(EmulatedKey& key) : m_key(key), m_sectors(key.Areas().FirstAreaSectors()) {}
  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override {
    return lba + count <= m_sectors && m_key.Flash().Read(lba, count, out);
  }
  bool WriteSectors(std::uint64_t, std::uint32_t, const std::uint8_t*) override { return false; }
  std::uint64_t SectorCount() const override { return m_sectors; }

 private:
  EmulatedKey& m_key;
  std::uint64_t m_sectors;
};

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

void Expect(std::vector<std::string>& problems, bool ok, const std::string& what) {
  if (!ok) problems.push_back(what);
}

// Sector 0 and the partition's boot sector; true when the volume can be looked at further.
bool CheckBootRecords(EmulatedKey& key, const BootableKey& expected, std::vector<std::string>& problems) {
  const Layout layout = LayoutOf(expected.model);
  const std::uint64_t area = key.Areas().FirstAreaSectors();
  Expect(problems, area == key.Areas().FlashSectors(),
         "the key is split into areas: first area " + std::to_string(area) + " of " +
             std::to_string(key.Areas().FlashSectors()) + " sectors");

  const Sector mbr = ReadFlash(key, 0);
  const std::size_t entry = kPartition1;
  const std::uint32_t start = Le32(mbr, entry + 8);
  const std::uint32_t count = Le32(mbr, entry + 12);
  Expect(problems, mbr[kSignature] == 0x55 && mbr[kSignature + 1] == 0xAA, "sector 0 has no boot signature");
  Expect(problems, mbr[entry + 4] == 0x06, "partition 1 has type " + Hex(mbr[entry + 4]) + ", not FAT16 (0x06)");
  Expect(problems, start == layout.partitionStart, "partition 1 starts at " + std::to_string(start));
  Expect(problems, std::uint64_t{start} + count == area,
         "partition 1 ends at " + std::to_string(std::uint64_t{start} + count) + ", the area at " + std::to_string(area));
  if (!problems.empty()) return false;

  const Sector boot = ReadFlash(key, start);
  Expect(problems, boot[kSignature] == 0x55 && boot[kSignature + 1] == 0xAA, "the boot sector has no signature");
  Expect(problems, Le16(boot, 0x0B) == kSectorSize, "bytes per sector " + std::to_string(Le16(boot, 0x0B)));
  Expect(problems, Le16(boot, 0x0E) == 1, "reserved sectors " + std::to_string(Le16(boot, 0x0E)));
  Expect(problems, boot[0x10] == 2, "FAT count " + std::to_string(boot[0x10]));
  Expect(problems, Le16(boot, 0x11) == 512, "root entries " + std::to_string(Le16(boot, 0x11)));
  Expect(problems, Le16(boot, 0x16) == layout.sectorsPerFat, "sectors per FAT " + std::to_string(Le16(boot, 0x16)));
  Expect(problems, Le32(boot, 0x1C) == start, "hidden sectors " + std::to_string(Le32(boot, 0x1C)));
  Expect(problems, Le16(boot, 0x13) == 0 && Le32(boot, 0x20) == count,
         "the boot sector counts " + std::to_string(Le32(boot, 0x20)) + " sectors, the partition " + std::to_string(count));
  Expect(problems, boot[kDirtyFlag] == 0, "the volume is marked dirty");
  Expect(problems, std::memcmp(boot.data() + 0x36, "FAT16   ", 8) == 0, "the boot sector does not name FAT16");
  const auto program = FatBootProgram();
  Expect(problems, std::equal(program.begin(), program.end(), boot.begin() + kBootProgramStart),
         "the boot sector does not carry the boot program");
  std::string field(11, ' ');
  field.replace(0, expected.label.size(), expected.label);
  Expect(problems, std::memcmp(boot.data() + 0x2B, field.data(), 11) == 0, "the boot sector's label field is not \"" + field + "\"");

  for (std::uint32_t i = 0; i < layout.sectorsPerFat; ++i) {
    if (ReadFlash(key, start + 1 + i) != ReadFlash(key, start + 1 + layout.sectorsPerFat + i)) {
      problems.push_back("the two FATs differ in their sector " + std::to_string(i));
      break;
    }
  }
  const Sector fat = ReadFlash(key, start + 1);
  Expect(problems, fat[0] == 0xF8 && fat[1] == 0xFF && fat[2] == 0xFF && fat[3] == 0xFF,
         "the FAT does not begin F8 FF FF FF");
  return problems.empty();
}

void CheckRoot(EmulatedKey& key, const BootableKey& expected, std::vector<std::string>& problems) {
  FirstAreaSectors sectors(key);
  std::uint32_t error = 0;
  const auto volume = emulated::FatVolume::Mount(sectors, &error);
  if (!volume) {
    problems.push_back("the FAT layer does not mount the volume (error " + std::to_string(error) + ")");
    return;
  }
  std::vector<emulated::FatEntryInfo> root;
  volume->ListRoot(&root);
  struct Slot {
    std::string name;
    std::uint8_t attributes;
  };
  const Slot slots[] = {{"IBMBIO.COM", 0x06}, {"IBMDOS.COM", 0x06}, {"COMMAND.COM", 0x03}, {expected.label, 0x08}};
  Expect(problems, root.size() == std::size(slots), "the root directory holds " + std::to_string(root.size()) + " entries, not 4");
  for (std::size_t i = 0; i < root.size() && i < std::size(slots); ++i) {
    const auto& entry = root[i];
    Expect(problems, entry.slot == i && entry.name == slots[i].name && entry.attributes == slots[i].attributes,
           "root slot " + std::to_string(entry.slot) + " holds \"" + entry.name + "\" with attributes " +
               Hex(entry.attributes) + "; slot " + std::to_string(i) + " should hold \"" + slots[i].name +
               "\" with " + Hex(slots[i].attributes));
  }
  if (root.size() == std::size(slots)) {
    Expect(problems, root[3].writeTime == root[0].writeTime && root[3].writeDate == root[0].writeDate,
           "the label entry does not carry IBMBIO.COM's time stamp");
  }
  for (const auto& [name, bytes] : expected.files) {
    std::vector<std::uint8_t> content;
    const std::uint32_t read = volume->ReadFile(name.c_str(), &content);
    Expect(problems, read == 0 && content == bytes,
           name + " reads back " + std::to_string(content.size()) + " bytes (error " + std::to_string(read) +
               "), not its " + std::to_string(bytes.size()) + " bytes");
  }
  std::string label;
  volume->GetVolumeLabel(&label);
  Expect(problems, label == expected.label, "the volume label is \"" + label + "\"");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The partition alone, sparse: only the sectors the key holds data in are written.
bool WritePartition(EmulatedKey& key, std::uint32_t start, std::uint32_t count, const fs::path& to) {
  auto* memory = dynamic_cast<emulated::MemoryFlashImage*>(&key.Flash());
  if (memory == nullptr) return false;
  fs::remove(to);
  std::ofstream out(to, std::ios::binary);
  for (const auto& [lba, sector] : memory->WrittenSectors()) {
    if (lba < start || lba >= std::uint64_t{start} + count) continue;
    out.seekp(static_cast<std::streamoff>((lba - start) * kSectorSize));
    out.write(reinterpret_cast<const char*>(sector.data()), kSectorSize);
  }
  out.close();
  fs::resize_file(to, std::uint64_t{count} * kSectorSize);
  return static_cast<bool>(out);
}

}  // namespace

void MakeUsedKey(EmulatedKey& key) {
  auto& areas = key.Areas();
  const auto half = static_cast<std::uint32_t>(areas.FlashSectors() / 2);
  areas.SetRegister(half);
  // Old contents over everything the layouts write or clear, in both areas, and no zero byte
  // in it: a clear that did not happen cannot pass for one.
  Sector old{};
  for (std::uint64_t base : {std::uint64_t{0}, std::uint64_t{half}}) {
    for (std::uint64_t lba = base; lba < base + 1200; ++lba) {
      for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<std::uint8_t>(0x80 | ((lba + i) & 0x7F));
      key.Flash().Write(lba, 1, old.data());
    }
  }
}

std::vector<std::string> BootableKeyProblems(EmulatedKey& key, const BootableKey& expected) {
  std::vector<std::string> problems;
  if (CheckBootRecords(key, expected, problems)) CheckRoot(key, expected, problems);
  return problems;
}

KeySnapshot TakeSnapshot(EmulatedKey& key) {
  KeySnapshot snapshot;
  const Layout layout = LayoutOf(key.Config().model);
  snapshot.firstAreaSectors = key.Areas().FirstAreaSectors();
  snapshot.systemArea.resize(std::size_t{layout.SystemAreaSectors()} * kSectorSize);
  for (std::uint32_t lba = 0; lba < layout.SystemAreaSectors(); ++lba) {
    const Sector sector = ReadFlash(key, lba);
    std::memcpy(snapshot.systemArea.data() + std::size_t{lba} * kSectorSize, sector.data(), kSectorSize);
  }
  std::uint8_t* root = snapshot.systemArea.data() + std::size_t{layout.RootStart()} * kSectorSize;
  for (std::size_t entry = 0; entry < 512; ++entry) {
    std::uint8_t* e = root + entry * kEntrySize;
    std::memset(e + 13, 0, 7);  // creation tenths, time and date, last access date
    std::memset(e + 22, 0, 4);  // last write time and date
  }
  return snapshot;
}

std::vector<std::string> SnapshotDifferences(const KeySnapshot& expected, const KeySnapshot& actual) {
  std::vector<std::string> differences;
  if (expected.firstAreaSectors != actual.firstAreaSectors) {
    differences.push_back("first area of " + std::to_string(actual.firstAreaSectors) + " sectors, not " +
                          std::to_string(expected.firstAreaSectors));
  }
  const std::size_t sectors = std::min(expected.systemArea.size(), actual.systemArea.size()) / kSectorSize;
  for (std::size_t lba = 0; lba < sectors && differences.size() < 8; ++lba) {
    if (std::memcmp(expected.systemArea.data() + lba * kSectorSize, actual.systemArea.data() + lba * kSectorSize,
                    kSectorSize) != 0) {
      differences.push_back("sector " + std::to_string(lba) + " differs from the fault-free key's");
    }
  }
  return differences;
}

std::vector<std::string> ToolFindings(EmulatedKey& key, const BootableKey& expected,
                                      const std::string& scratchDirectory) {
  const Sector mbr = ReadFlash(key, 0);
  const std::uint32_t start = Le32(mbr, kPartition1 + 8);
  const std::uint32_t count = Le32(mbr, kPartition1 + 12);
  const fs::path image = fs::path(scratchDirectory) / "partition.img";
  if (count == 0 || !WritePartition(key, start, count, image)) return {"the partition could not be copied out"};

  std::vector<std::string> findings;
  const test_support::CommandResult fsck = test_support::RunCommand(std::string(STELVARION_FSCK_FAT) + " -n '" + image.string() + "'");
  for (const std::string& line : Lines(fsck.output)) {
    // The banner, the closing summary and blank lines report nothing.
    if (line.empty() || line.starts_with("fsck.fat ") || line.find(" files, ") != std::string::npos ||
        line == "Leaving filesystem unchanged.") {
      continue;
    }
    findings.push_back("fsck.fat: " + line);
  }
  if (fsck.exitCode != 0) findings.push_back("fsck.fat exited with " + std::to_string(fsck.exitCode));

  const test_support::CommandResult mdir = test_support::RunCommand("MTOOLS_SKIP_CHECK=1 " + std::string(STELVARION_MDIR) + " -a -i '" +
                                  image.string() + "' ::");
  if (mdir.exitCode != 0) findings.push_back("mdir exited with " + std::to_string(mdir.exitCode) + ": " + mdir.output);
  if (mdir.output.find("Volume in drive : is " + expected.label) == std::string::npos) {
    findings.push_back("mdir does not show the label " + expected.label);
  }
  const std::vector<std::string> listing = Lines(mdir.output);
  for (const auto& [name, bytes] : expected.files) {
    // "IBMBIO   COM     40726 2001-09-09  12:00": name, extension, size.
    const std::string base = name.substr(0, name.find('.'));
    const std::string extension = name.substr(name.find('.') + 1);
    const bool listed = std::any_of(listing.begin(), listing.end(), [&](const std::string& line) {
      return line.starts_with(base + ' ') && line.find(' ' + extension + ' ') != std::string::npos &&
             line.find(' ' + std::to_string(bytes.size()) + ' ') != std::string::npos;
    });
    if (!listed) findings.push_back("mdir does not list " + name + " with " + std::to_string(bytes.size()) + " bytes");
  }
  fs::remove(image);
  return findings;
}

std::map<std::uint64_t, Sector> MediumContents(emulated::EmulatedDevice& drive) {
  auto* bystander = dynamic_cast<emulated::BystanderDrive*>(&drive);
  if (bystander == nullptr) return {};
  return bystander->Media().WrittenSectors();
}

}  // namespace sweep
