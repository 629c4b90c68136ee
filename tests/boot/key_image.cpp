#include "key_image.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <stdexcept>

std::string KeyImage::MtoolsDrive() const {
  return path.string() + "@@" + std::to_string(PartitionOffset());
}

KeyImage WriteKeyImage(const fs::path& path, int templateSet, std::uint32_t megabytes,
                       std::string_view label) {
  const FatKind kind = FatKindForAreaMb(megabytes);
  const std::uint32_t keySectors = megabytes * kTestSectorsPerMegabyte;
  KeyImage key{.path = path, .templateSet = templateSet};
  std::vector<std::pair<std::uint32_t, Sector>> writes;

  if (templateSet == 1) {
    TemplateSet1 set = MakeTemplateSet1();
    const std::uint8_t perFat =
        kind == FatKind::kFat12 ? kFat12SectorsPerFat : kSinglePartitionFat16SectorsPerFat;
    key.partitionStart = set1_sector::kPartitionStart;
    key.partitionSectors = keySectors - key.partitionStart;
    PatchPartitionSize(set.Mbr63Template, set.BootSector63Template, kind, key.partitionSectors,
                       perFat);
    key.rootSector = set1_sector::kFirstFat + 2u * perFat;
    writes = {{set1_sector::kMbr, set.Mbr63Template},
              {set1_sector::kSecondBootSector, set.BootSector32Template},
              {set1_sector::kPartitionStart, set.BootSector63Template},
              {set1_sector::kFirstFat, set.FatHeadSector},
              {set1_sector::kFirstFat + perFat, set.FatHeadSector}};
    if (!label.empty()) {
      FillLabelEntry(set.LabelSectorTemplate, label);
      writes.emplace_back(key.rootSector, set.LabelSectorTemplate);
    }
  } else {
    TemplateSet2 set = MakeTemplateSet2();
    const std::uint8_t perFat =
        kind == FatKind::kFat12 ? kFat12SectorsPerFat : kAreaFat16SectorsPerFat;
    key.partitionStart = set2_sector::kPartitionStart;
    key.partitionSectors = keySectors - key.partitionStart;
    set.AreaBootSectorTemplate[boot_sector_offset::kSectorsPerCluster] =
        SectorsPerClusterForAreaMb(megabytes);
    PatchPartitionSize(set.Mbr32Template, set.AreaBootSectorTemplate, kind, key.partitionSectors,
                       perFat);
    key.rootSector = set2_sector::kFirstFat + 2u * perFat;
    writes = {{set2_sector::kMbr, set.Mbr32Template},
              {set2_sector::kPartitionStart, set.AreaBootSectorTemplate},
              {set2_sector::kFirstFat, set.FatHeadSector},
              {set2_sector::kFirstFat + perFat, set.FatHeadSector}};
    if (!label.empty()) {
      FillLabelEntry(set.LabelSectorTemplate, label);
      writes.emplace_back(key.rootSector, set.LabelSectorTemplate);
    }
  }

  fs::remove(path);
  { std::ofstream create(path, std::ios::binary); }
  fs::resize_file(path, std::uint64_t{keySectors} * kSectorSize);  // sparse, reads as zeros
  for (const auto& [lba, sector] : writes) WriteSector(path, lba, sector);
  return key;
}

Sector ReadSector(const fs::path& image, std::uint32_t lba) {
  Sector sector{};
  std::ifstream in(image, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(std::uint64_t{lba} * kSectorSize));
  in.read(reinterpret_cast<char*>(sector.data()), kSectorSize);
  if (!in) throw std::runtime_error("cannot read sector " + std::to_string(lba));
  return sector;
}

void WriteSector(const fs::path& image, std::uint32_t lba, const Sector& sector) {
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(std::uint64_t{lba} * kSectorSize));
  out.write(reinterpret_cast<const char*>(sector.data()), kSectorSize);
  if (!out) throw std::runtime_error("cannot write sector " + std::to_string(lba));
}

namespace {

// fsck.fat checks a file system that starts at byte 0, so the partition is copied out,
// keeping the copy sparse.
void CopyPartition(const KeyImage& key, const fs::path& to) {
  std::ifstream in(key.path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(key.PartitionOffset()));
  fs::remove(to);
  { std::ofstream create(to, std::ios::binary); }
  const std::uint64_t size = std::uint64_t{key.partitionSectors} * kSectorSize;
  fs::resize_file(to, size);
  std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
  std::vector<char> chunk(1 << 20);
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
    in.read(chunk.data(), static_cast<std::streamsize>(n));
    if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n),
                    [](char c) { return c != 0; })) {
      out.seekp(static_cast<std::streamoff>(done));
      out.write(chunk.data(), static_cast<std::streamsize>(n));
    }
    done += n;
  }
}

}  // namespace

std::vector<std::string> FsckFindings(const KeyImage& key, const fs::path& scratch) {
  const fs::path partition = scratch / "partition.img";
  CopyPartition(key, partition);
  const CommandResult fsck = RunCommand(std::string(STELVARION_FSCK_FAT) + " -n " +
                                        Quote(partition.string()));
  std::vector<std::string> findings;
  std::size_t start = 0;
  while (start < fsck.output.size()) {
    std::size_t end = fsck.output.find('\n', start);
    if (end == std::string::npos) end = fsck.output.size();
    const std::string line = fsck.output.substr(start, end - start);
    start = end + 1;
    // The version banner, the closing summary and blank lines report nothing.
    if (line.empty() || line.starts_with("fsck.fat ") ||
        line.find(" files, ") != std::string::npos || line == "Leaving filesystem unchanged.") {
      continue;
    }
    findings.push_back(line);
  }
  if (fsck.exitCode != 0 && findings.empty()) {
    findings.push_back("fsck.fat exited with " + std::to_string(fsck.exitCode));
  }
  return findings;
}
