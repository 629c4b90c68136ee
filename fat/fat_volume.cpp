#include "fat/fat_volume.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "fat/fat_layout.h"

namespace emulated {

using namespace fat_error;
using namespace fat_layout;
using namespace fat_attribute;

// What one operation reads of the FAT and the root directory, and which sectors it changed.
struct FatVolume::Tables {
  std::vector<std::uint8_t> root;
  std::vector<bool> rootDirty;
  std::vector<std::uint8_t> fat;  // FAT copy 1, as far as it covers the clusters
  std::vector<bool> fatDirty;

  std::uint8_t* Entry(std::uint32_t slot) { return root.data() + std::size_t{slot} * kEntrySize; }
  const std::uint8_t* Entry(std::uint32_t slot) const {
    return root.data() + std::size_t{slot} * kEntrySize;
  }
  void Touch(std::uint32_t slot) { rootDirty[std::size_t{slot} * kEntrySize / kSectorSize] = true; }
};

namespace {

// Cluster counts that divide FAT12 from FAT16 and FAT16 from FAT32.
constexpr std::uint32_t kFat12Limit = 4085;
constexpr std::uint32_t kFat16Limit = 65525;

constexpr std::uint8_t kSettable = kReadOnly | kHidden | kSystem | kArchive;
constexpr std::uint8_t kVisible = kSettable | kDirectory;
constexpr char kNoName[] = "NO NAME    ";

bool IsLongName(const std::uint8_t* entry) { return (entry[kAttributes] & 0x3F) == kLongName; }
bool IsLabel(const std::uint8_t* entry) {
  return !IsLongName(entry) && (entry[kAttributes] & kVolumeLabel) != 0;
}

ShortName NameOf(const std::uint8_t* entry) {
  ShortName name;
  std::memcpy(name.data(), entry + kName, kNameSize);
  return name;
}

// The checks Windows makes before it takes a sector for a FAT boot sector, then the FAT12/16
// rules. `sectors` is what the volume may occupy from `start`.
bool ParseBootSector(const std::uint8_t* s, std::uint64_t start, std::uint64_t sectors,
                     FatGeometry* g) {
  const bool jump = s[kJump] == 0xE9 || (s[kJump] == 0xEB && s[kJump + 2] == 0x90);
  const std::uint32_t perCluster = s[kSectorsPerCluster];
  const std::uint8_t media = s[kMedia];
  if (!jump || GetLittleEndian16(s + kBytesPerSector) != kSectorSize || perCluster == 0 ||
      (perCluster & (perCluster - 1)) != 0 || (media != 0xF0 && media < 0xF8)) {
    return false;
  }
  const std::uint32_t reserved = GetLittleEndian16(s + kReservedSectors);
  const std::uint32_t fats = s[kFatCount];
  const std::uint32_t rootEntries = GetLittleEndian16(s + kRootEntries);
  const std::uint32_t fatSize = GetLittleEndian16(s + kSectorsPerFat);  // 0 on FAT32, which is not kept
  const std::uint32_t total =
      GetLittleEndian16(s + kTotalSectors16) != 0 ? GetLittleEndian16(s + kTotalSectors16) : GetLittleEndian32(s + kTotalSectors32);
  if (reserved == 0 || fats == 0 || rootEntries == 0 || fatSize == 0 || total > sectors) return false;

  const std::uint32_t rootSectors = (rootEntries * kEntrySize + kSectorSize - 1) / kSectorSize;
  const std::uint64_t dataStart = reserved + std::uint64_t{fats} * fatSize + rootSectors;
  if (dataStart >= total) return false;
  const std::uint32_t clusters = static_cast<std::uint32_t>((total - dataStart) / perCluster);
  if (clusters == 0 || clusters >= kFat16Limit) return false;

  g->volumeStart = start;
  g->type = clusters < kFat12Limit ? FatType::kFat12 : FatType::kFat16;
  // A FAT too short for the data area limits the clusters in use (Linux does the same).
  const std::uint64_t fatEntries = g->type == FatType::kFat12 ? std::uint64_t{fatSize} * kSectorSize * 2 / 3
                                                              : std::uint64_t{fatSize} * kSectorSize / 2;
  if (fatEntries <= 2) return false;
  g->clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, fatEntries - 2));
  g->sectorsPerCluster = perCluster;
  g->reservedSectors = reserved;
  g->fatCount = fats;
  g->sectorsPerFat = fatSize;
  g->rootEntries = rootEntries;
  g->totalSectors = total;
  g->firstFatSector = reserved;
  g->firstRootSector = reserved + fats * fatSize;
  g->rootSectors = rootSectors;
  g->firstDataSector = static_cast<std::uint32_t>(dataStart);
  g->hasExtendedBootRecord = s[kExtendedSignature] == kExtendedSignatureValue;
  g->volumeSerial = g->hasExtendedBootRecord ? GetLittleEndian32(s + kVolumeSerial) : 0;
  return true;
}

}  // namespace

FatVolume::FatVolume(SectorDevice& device, const FatGeometry& geometry)
    : m_pDevice(&device), m_geometry(geometry) {}

std::unique_ptr<FatVolume> FatVolume::Mount(SectorDevice& device, std::uint32_t* error) {
  std::uint32_t ignored = 0;
  std::uint32_t& result = error != nullptr ? *error : ignored;
  result = ERROR_UNRECOGNIZED_VOLUME;
  const std::uint64_t deviceSectors = device.SectorCount();
  std::array<std::uint8_t, kSectorSize> sector{};
  if (deviceSectors == 0) return nullptr;
  if (!device.ReadSectors(0, 1, sector.data())) {
    result = ERROR_READ_FAULT;
    return nullptr;
  }
  FatGeometry geometry;
  // Windows takes a boot sector at sector 0 as a volume without partition table; otherwise only
  // partition 1 counts, as for every removable disk.
  if (!ParseBootSector(sector.data(), 0, deviceSectors, &geometry)) {
    if (GetLittleEndian16(sector.data() + kBootSignature) != 0xAA55) return nullptr;
    const std::uint8_t* entry = sector.data() + kPartitionTable;
    const std::uint64_t first = GetLittleEndian32(entry + kPartitionFirstLba);
    const std::uint64_t length = GetLittleEndian32(entry + kPartitionSectorCount);
    if (entry[kPartitionType] == 0 || first == 0 || length == 0 || first >= deviceSectors ||
        length > deviceSectors - first) {
      return nullptr;
    }
    if (!device.ReadSectors(first, 1, sector.data())) {
      result = ERROR_READ_FAULT;
      return nullptr;
    }
    if (!ParseBootSector(sector.data(), first, length, &geometry)) return nullptr;
  }
  result = ERROR_SUCCESS;
  return std::unique_ptr<FatVolume>(new FatVolume(device, geometry));
}

// ---- Sectors, tables and chains

std::uint32_t FatVolume::WritableError() const {
  return m_faults.writeProtected || m_pDevice->IsWriteProtected() ? ERROR_WRITE_PROTECT : ERROR_SUCCESS;
}

std::uint64_t FatVolume::ClusterSector(std::uint32_t cluster) const {
  return m_geometry.volumeStart + m_geometry.firstDataSector +
         std::uint64_t{cluster - 2} * m_geometry.sectorsPerCluster;
}

std::uint32_t FatVolume::LoadRoot(Tables& tables) {
  tables.root.assign(std::size_t{m_geometry.rootSectors} * kSectorSize, 0);
  tables.rootDirty.assign(m_geometry.rootSectors, false);
  return m_pDevice->ReadSectors(m_geometry.volumeStart + m_geometry.firstRootSector,
                                m_geometry.rootSectors, tables.root.data())
             ? ERROR_SUCCESS
             : ERROR_READ_FAULT;
}

std::uint32_t FatVolume::LoadFat(Tables& tables) {
  const std::uint64_t entries = std::uint64_t{m_geometry.clusterCount} + 2;
  const std::uint64_t bytes = m_geometry.type == FatType::kFat12 ? (entries * 3 + 1) / 2 : entries * 2;
  const auto sectors = static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
  tables.fat.assign(std::size_t{sectors} * kSectorSize, 0);
  tables.fatDirty.assign(sectors, false);
  return m_pDevice->ReadSectors(m_geometry.volumeStart + m_geometry.firstFatSector, sectors,
                                tables.fat.data())
             ? ERROR_SUCCESS
             : ERROR_READ_FAULT;
}

std::uint32_t FatVolume::FlushRoot(Tables& tables) {
  for (std::uint32_t i = 0; i < tables.rootDirty.size(); ++i) {
    if (!tables.rootDirty[i]) continue;
    if (!m_pDevice->WriteSectors(m_geometry.volumeStart + m_geometry.firstRootSector + i, 1,
                                 tables.root.data() + std::size_t{i} * kSectorSize)) {
      return ERROR_WRITE_FAULT;
    }
    tables.rootDirty[i] = false;
  }
  return ERROR_SUCCESS;
}

// Every FAT copy receives the same sectors, so the copies stay identical.
std::uint32_t FatVolume::FlushFat(Tables& tables) {
  for (std::uint32_t i = 0; i < tables.fatDirty.size(); ++i) {
    if (!tables.fatDirty[i]) continue;
    for (std::uint32_t copy = 0; copy < m_geometry.fatCount; ++copy) {
      const std::uint64_t lba = m_geometry.volumeStart + m_geometry.firstFatSector +
                                std::uint64_t{copy} * m_geometry.sectorsPerFat + i;
      if (!m_pDevice->WriteSectors(lba, 1, tables.fat.data() + std::size_t{i} * kSectorSize)) {
        return ERROR_WRITE_FAULT;
      }
    }
    tables.fatDirty[i] = false;
  }
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::FatEntry(const Tables& tables, std::uint32_t cluster) const {
  if (m_geometry.type == FatType::kFat16) return GetLittleEndian16(tables.fat.data() + std::size_t{cluster} * 2);
  const std::uint32_t pair = GetLittleEndian16(tables.fat.data() + cluster + cluster / 2);
  return (cluster & 1) != 0 ? pair >> 4 : pair & 0xFFF;
}

void FatVolume::SetFatEntry(Tables& tables, std::uint32_t cluster, std::uint32_t value) const {
  if (m_geometry.type == FatType::kFat16) {
    PutLittleEndian16(tables.fat.data() + std::size_t{cluster} * 2, static_cast<std::uint16_t>(value));
    tables.fatDirty[std::size_t{cluster} * 2 / kSectorSize] = true;
    return;
  }
  const std::size_t at = cluster + cluster / 2;
  std::uint16_t pair = GetLittleEndian16(tables.fat.data() + at);
  pair = (cluster & 1) != 0 ? static_cast<std::uint16_t>((pair & 0x000F) | value << 4)
                            : static_cast<std::uint16_t>((pair & 0xF000) | (value & 0xFFF));
  PutLittleEndian16(tables.fat.data() + at, pair);
  tables.fatDirty[at / kSectorSize] = true;
  tables.fatDirty[(at + 1) / kSectorSize] = true;
}

std::uint32_t FatVolume::EndOfChain() const { return m_geometry.type == FatType::kFat12 ? 0xFFF : 0xFFFF; }

std::uint32_t FatVolume::WalkChain(const Tables& tables, std::uint32_t first, std::uint32_t limit,
                                   std::vector<std::uint16_t>* chain) const {
  chain->clear();
  const std::uint32_t endMarks = EndOfChain() & ~7u;  // 0xFF8.. or 0xFFF8..
  std::vector<bool> seen(std::size_t{m_geometry.clusterCount} + 2, false);
  for (std::uint32_t cluster = first;;) {
    // A link outside the data area (free, reserved and bad marks among them) or back into the
    // chain is damage.
    if (cluster < 2 || cluster > m_geometry.clusterCount + 1 || seen[cluster]) return ERROR_FILE_CORRUPT;
    seen[cluster] = true;
    chain->push_back(static_cast<std::uint16_t>(cluster));
    if (chain->size() == limit) return ERROR_SUCCESS;
    cluster = FatEntry(tables, cluster);
    if (cluster >= endMarks) return ERROR_SUCCESS;
  }
}

std::uint32_t FatVolume::CountFreeClusters(const Tables& tables) const {
  if (m_faults.full) return 0;
  std::uint32_t free = 0;
  for (std::uint32_t c = 2; c < m_geometry.clusterCount + 2; ++c) free += FatEntry(tables, c) == 0 ? 1 : 0;
  return free;
}

void FatVolume::Stamp(std::uint8_t* entry, bool created) {
  const LocalTime now = m_clock ? m_clock() : LocalTime{};
  if (created) {
    entry[kCreateTenths] = DosTenths(now);
    PutLittleEndian16(entry + kCreateTime, DosTime(now));
    PutLittleEndian16(entry + kCreateDate, DosDate(now));
  }
  PutLittleEndian16(entry + kAccessDate, DosDate(now));
  PutLittleEndian16(entry + kWriteTime, DosTime(now));
  PutLittleEndian16(entry + kWriteDate, DosDate(now));
}

std::uint32_t FatVolume::FindFile(const char* path, Tables& tables, int* slot) {
  const RootPath parsed = ParseRootPath(path);
  if (parsed.error != ERROR_SUCCESS) return parsed.error;
  if (!parsed.isShortName) return ERROR_FILE_NOT_FOUND;
  if (const std::uint32_t error = LoadRoot(tables)) return error;
  for (std::uint32_t i = 0; i < m_geometry.rootEntries; ++i) {
    const std::uint8_t* entry = tables.Entry(i);
    if (entry[0] == kEndOfDirectory) break;
    if (entry[0] == kDeleted || IsLongName(entry) || IsLabel(entry)) continue;
    if (SameShortName(NameOf(entry), parsed.name)) {
      *slot = static_cast<int>(i);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

// ---- Files

bool FatVolume::FileExists(const char* path) {
  Tables tables;
  int slot = -1;
  return FindFile(path, tables, &slot) == ERROR_SUCCESS;
}

std::uint32_t FatVolume::GetAttributes(const char* path, std::uint32_t* attributes) {
  Tables tables;
  int slot = -1;
  if (const std::uint32_t error = FindFile(path, tables, &slot)) return error;
  const std::uint32_t bits = tables.Entry(static_cast<std::uint32_t>(slot))[kAttributes] & kVisible;
  *attributes = bits != 0 ? bits : kNormal;
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::SetAttributes(const char* path, std::uint32_t attributes) {
  Tables tables;
  int slot = -1;
  if (const std::uint32_t error = FindFile(path, tables, &slot)) return error;
  if (const std::uint32_t error = WritableError()) return error;
  std::uint8_t* entry = tables.Entry(static_cast<std::uint32_t>(slot));
  entry[kAttributes] =
      static_cast<std::uint8_t>((entry[kAttributes] & kDirectory) | (attributes & kSettable));
  tables.Touch(static_cast<std::uint32_t>(slot));
  return FlushRoot(tables);
}

std::uint32_t FatVolume::CreateAlways(const char* path, std::uint32_t attributes, FatFileHandle* handle,
                                      bool* alreadyExisted) {
  *handle = kInvalidFatFileHandle;
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  const RootPath parsed = ParseRootPath(path);
  if (parsed.error != ERROR_SUCCESS) return parsed.error;
  if (const std::uint32_t error = WritableError()) return error;
  if (!parsed.isShortName) return ERROR_INVALID_NAME;  // this layer writes no long-name entries

  Tables tables;
  int slot = -1;
  const std::uint32_t found = FindFile(path, tables, &slot);
  if (found != ERROR_SUCCESS && found != ERROR_FILE_NOT_FOUND) return found;
  const std::uint8_t requested = static_cast<std::uint8_t>(attributes & kSettable);

  if (found == ERROR_SUCCESS) {
    const auto at = static_cast<std::uint32_t>(slot);
    std::uint8_t* entry = tables.Entry(at);
    const std::uint8_t present = entry[kAttributes];
    for (const auto& open : m_openFiles) {
      if (open.second.slot == at) return ERROR_SHARING_VIOLATION;
    }
    // Windows refuses to overwrite a read-only file, and a hidden or system one unless the caller
    // asks for those bits again.
    if ((present & (kDirectory | kReadOnly)) != 0 || (present & kHidden & ~requested) != 0 ||
        (present & kSystem & ~requested) != 0) {
      return ERROR_ACCESS_DENIED;
    }
    std::vector<std::uint16_t> chain;
    if (const std::uint16_t first = GetLittleEndian16(entry + kFirstCluster); first != 0) {
      if (const std::uint32_t error = LoadFat(tables)) return error;
      if (const std::uint32_t error = WalkChain(tables, first, 0, &chain)) return error;
    }
    PutLittleEndian16(entry + kFirstCluster, 0);
    PutLittleEndian32(entry + kFileSize, 0);
    entry[kAttributes] = static_cast<std::uint8_t>(present | requested | kArchive);
    Stamp(entry, false);
    tables.Touch(at);
    // The entry lets go of the chain before the chain is freed: an interrupted replace leaves
    // lost clusters, never an entry pointing into free ones.
    if (const std::uint32_t error = FlushRoot(tables)) return error;
    for (std::uint16_t cluster : chain) SetFatEntry(tables, cluster, 0);
    if (const std::uint32_t error = FlushFat(tables)) return error;
    if (alreadyExisted != nullptr) *alreadyExisted = true;
  } else {
    for (std::uint32_t i = 0; i < m_geometry.rootEntries && slot < 0; ++i) {
      const std::uint8_t lead = tables.Entry(i)[0];
      if (lead == kEndOfDirectory || lead == kDeleted) slot = static_cast<int>(i);
    }
    if (slot < 0) return ERROR_CANNOT_MAKE;  // the root directory of FAT12/16 cannot grow
    const auto at = static_cast<std::uint32_t>(slot);
    std::uint8_t* entry = tables.Entry(at);
    std::memset(entry, 0, kEntrySize);
    std::memcpy(entry + kName, parsed.name.data(), kNameSize);
    entry[kAttributes] = static_cast<std::uint8_t>(requested | kArchive);
    Stamp(entry, true);
    tables.Touch(at);
    if (const std::uint32_t error = FlushRoot(tables)) return error;
  }

  OpenFile file;
  file.slot = static_cast<std::uint32_t>(slot);
  file.name = NameOf(tables.Entry(file.slot));
  if (m_nextHandle == kInvalidFatFileHandle) ++m_nextHandle;
  *handle = m_nextHandle++;
  m_openFiles[*handle] = file;
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::WriteData(const std::vector<std::uint16_t>& clusters, std::uint32_t offset,
                                   const std::uint8_t* data, std::uint32_t size) {
  const std::uint32_t clusterBytes = m_geometry.sectorsPerCluster * kSectorSize;
  std::vector<std::uint8_t> buffer;
  std::uint32_t done = 0;
  for (std::size_t i = 0; i < clusters.size() && done < size; ++i, offset = 0) {
    const std::uint32_t part = std::min(clusterBytes - offset, size - done);
    const std::uint32_t firstSector = offset / kSectorSize;
    const std::uint32_t sectors = (offset + part - 1) / kSectorSize - firstSector + 1;
    const std::uint64_t lba = ClusterSector(clusters[i]) + firstSector;
    buffer.assign(std::size_t{sectors} * kSectorSize, 0);
    // A write starting inside a sector keeps the bytes in front of it.
    if (offset % kSectorSize != 0 && !m_pDevice->ReadSectors(lba, 1, buffer.data())) return ERROR_READ_FAULT;
    std::memcpy(buffer.data() + offset % kSectorSize, data + done, part);
    if (!m_pDevice->WriteSectors(lba, sectors, buffer.data())) return ERROR_WRITE_FAULT;
    done += part;
  }
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::Write(FatFileHandle handle, const void* data, std::uint32_t size,
                               std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  const auto it = m_openFiles.find(handle);
  if (it == m_openFiles.end()) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  if (const std::uint32_t error = WritableError()) return error;
  if (size == 0) return ERROR_SUCCESS;
  OpenFile& file = it->second;

  Tables tables;
  if (const std::uint32_t error = LoadRoot(tables)) return error;
  if (const std::uint32_t error = LoadFat(tables)) return error;
  std::uint8_t* entry = tables.Entry(file.slot);
  if (NameOf(entry) != file.name) return ERROR_FILE_CORRUPT;  // rewritten underneath the handle

  const std::uint64_t clusterBytes = std::uint64_t{m_geometry.sectorsPerCluster} * kSectorSize;
  const std::uint64_t newSize = std::uint64_t{file.size} + size;
  if (newSize > 0xFFFFFFFFu) return ERROR_DISK_FULL;
  const std::uint64_t have = (file.size + clusterBytes - 1) / clusterBytes;
  const std::uint64_t need = (newSize + clusterBytes - 1) / clusterBytes - have;

  // Clusters are found before anything is written, so a write that does not fit changes nothing.
  std::vector<std::uint16_t> fresh;
  for (std::uint32_t c = 2; c < m_geometry.clusterCount + 2 && fresh.size() < need && !m_faults.full; ++c) {
    if (FatEntry(tables, c) == 0) fresh.push_back(static_cast<std::uint16_t>(c));
  }
  if (fresh.size() < need) return ERROR_DISK_FULL;

  std::vector<std::uint16_t> targets;
  const auto offset = static_cast<std::uint32_t>(file.size % clusterBytes);
  if (offset != 0) targets.push_back(file.lastCluster);
  targets.insert(targets.end(), fresh.begin(), fresh.end());
  // Data first, then the FAT, then the entry: an interruption leaves at worst lost clusters.
  if (const std::uint32_t error = WriteData(targets, offset, static_cast<const std::uint8_t*>(data), size)) {
    return error;
  }
  if (!fresh.empty()) {
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      SetFatEntry(tables, fresh[i], i + 1 < fresh.size() ? fresh[i + 1] : EndOfChain());
    }
    if (file.lastCluster != 0) SetFatEntry(tables, file.lastCluster, fresh.front());
    if (const std::uint32_t error = FlushFat(tables)) return error;
    if (file.firstCluster == 0) file.firstCluster = fresh.front();
    file.lastCluster = fresh.back();
  }
  file.size = static_cast<std::uint32_t>(newSize);
  file.written = true;
  PutLittleEndian16(entry + kFirstCluster, file.firstCluster);
  PutLittleEndian32(entry + kFileSize, file.size);
  tables.Touch(file.slot);
  if (const std::uint32_t error = FlushRoot(tables)) return error;
  if (written != nullptr) *written = size;
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::Close(FatFileHandle handle) {
  const auto it = m_openFiles.find(handle);
  if (it == m_openFiles.end()) return ERROR_INVALID_HANDLE;
  const OpenFile file = it->second;
  m_openFiles.erase(it);
  if (!file.written) return ERROR_SUCCESS;
  Tables tables;
  if (const std::uint32_t error = LoadRoot(tables)) return error;
  std::uint8_t* entry = tables.Entry(file.slot);
  if (NameOf(entry) != file.name) return ERROR_FILE_CORRUPT;
  if (const std::uint32_t error = WritableError()) return error;
  Stamp(entry, false);
  tables.Touch(file.slot);
  return FlushRoot(tables);
}

std::uint32_t FatVolume::ReadFile(const char* path, std::vector<std::uint8_t>* content) {
  content->clear();
  Tables tables;
  int slot = -1;
  if (const std::uint32_t error = FindFile(path, tables, &slot)) return error;
  const std::uint8_t* entry = tables.Entry(static_cast<std::uint32_t>(slot));
  if ((entry[kAttributes] & kDirectory) != 0) return ERROR_ACCESS_DENIED;
  const std::uint32_t size = GetLittleEndian32(entry + kFileSize);
  if (size == 0) return ERROR_SUCCESS;
  const std::uint64_t clusterBytes = std::uint64_t{m_geometry.sectorsPerCluster} * kSectorSize;
  const std::uint64_t need = (size + clusterBytes - 1) / clusterBytes;
  if (need > m_geometry.clusterCount) return ERROR_FILE_CORRUPT;
  if (const std::uint32_t error = LoadFat(tables)) return error;
  std::vector<std::uint16_t> chain;
  if (const std::uint32_t error =
          WalkChain(tables, GetLittleEndian16(entry + kFirstCluster), static_cast<std::uint32_t>(need), &chain)) {
    return error;
  }
  if (chain.size() < need) return ERROR_FILE_CORRUPT;  // the chain ends before the file does
  content->resize(need * clusterBytes);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (!m_pDevice->ReadSectors(ClusterSector(chain[i]), m_geometry.sectorsPerCluster,
                                content->data() + i * clusterBytes)) {
      content->clear();
      return ERROR_READ_FAULT;
    }
  }
  content->resize(size);
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::ListRoot(std::vector<FatEntryInfo>* entries) {
  entries->clear();
  Tables tables;
  if (const std::uint32_t error = LoadRoot(tables)) return error;
  for (std::uint32_t i = 0; i < m_geometry.rootEntries; ++i) {
    const std::uint8_t* entry = tables.Entry(i);
    if (entry[0] == kEndOfDirectory) break;
    if (entry[0] == kDeleted || IsLongName(entry)) continue;
    FatEntryInfo info;
    info.slot = i;
    info.rawName = NameOf(entry);
    info.name = IsLabel(entry) ? LabelText(info.rawName) : ShortNameText(info.rawName);
    info.attributes = entry[kAttributes];
    info.createTenths = entry[kCreateTenths];
    info.createTime = GetLittleEndian16(entry + kCreateTime);
    info.createDate = GetLittleEndian16(entry + kCreateDate);
    info.accessDate = GetLittleEndian16(entry + kAccessDate);
    info.writeTime = GetLittleEndian16(entry + kWriteTime);
    info.writeDate = GetLittleEndian16(entry + kWriteDate);
    info.firstCluster = GetLittleEndian16(entry + kFirstCluster);
    info.size = GetLittleEndian32(entry + kFileSize);
    entries->push_back(info);
  }
  return ERROR_SUCCESS;
}

// ---- Volume

std::uint32_t FatVolume::SetVolumeLabel(const char* label) {
  ShortName name;
  bool remove = false;
  if (const std::uint32_t error = MakeVolumeLabel(label, &name, &remove)) return error;
  if (const std::uint32_t error = WritableError()) return error;
  Tables tables;
  if (const std::uint32_t error = LoadRoot(tables)) return error;

  int labelSlot = -1;
  int freeSlot = -1;
  for (std::uint32_t i = 0; i < m_geometry.rootEntries; ++i) {
    const std::uint8_t* entry = tables.Entry(i);
    const bool end = entry[0] == kEndOfDirectory;
    if ((end || entry[0] == kDeleted) && freeSlot < 0) freeSlot = static_cast<int>(i);
    if (end) break;
    if (entry[0] != kDeleted && IsLabel(entry)) {
      labelSlot = static_cast<int>(i);
      break;
    }
  }
  if (remove) {
    if (labelSlot >= 0) {
      tables.Entry(static_cast<std::uint32_t>(labelSlot))[0] = kDeleted;
      tables.Touch(static_cast<std::uint32_t>(labelSlot));
    }
  } else {
    // An existing label entry is renamed in place; otherwise the first free slot takes it.
    if (labelSlot < 0 && freeSlot < 0) return ERROR_CANNOT_MAKE;
    const auto at = static_cast<std::uint32_t>(labelSlot >= 0 ? labelSlot : freeSlot);
    std::uint8_t* entry = tables.Entry(at);
    if (labelSlot < 0) {
      std::memset(entry, 0, kEntrySize);
      entry[kAttributes] = kVolumeLabel;
    }
    std::memcpy(entry + kName, name.data(), kNameSize);
    const LocalTime now = m_clock ? m_clock() : LocalTime{};
    PutLittleEndian16(entry + kWriteTime, DosTime(now));
    PutLittleEndian16(entry + kWriteDate, DosDate(now));
    tables.Touch(at);
  }
  if (const std::uint32_t error = FlushRoot(tables)) return error;

  if (!m_geometry.hasExtendedBootRecord) return ERROR_SUCCESS;  // no label field to keep
  std::array<std::uint8_t, kSectorSize> boot{};
  if (!m_pDevice->ReadSectors(m_geometry.volumeStart, 1, boot.data())) return ERROR_READ_FAULT;
  if (remove) {
    std::memcpy(boot.data() + kLabelField, kNoName, kNameSize);
  } else {
    std::memcpy(boot.data() + kLabelField, name.data(), kNameSize);
    if (name[0] == kLeadE5) boot[kLabelField] = kDeleted;
  }
  return m_pDevice->WriteSectors(m_geometry.volumeStart, 1, boot.data()) ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

std::uint32_t FatVolume::GetVolumeLabel(std::string* label) {
  label->clear();
  std::vector<FatEntryInfo> entries;
  if (const std::uint32_t error = ListRoot(&entries)) return error;
  for (const FatEntryInfo& entry : entries) {
    if ((entry.attributes & kVolumeLabel) != 0) {
      *label = entry.name;
      break;
    }
  }
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::GetDiskFreeSpace(std::uint32_t* sectorsPerCluster, std::uint32_t* bytesPerSector,
                                          std::uint32_t* freeClusters, std::uint32_t* totalClusters) {
  Tables tables;
  if (const std::uint32_t error = LoadFat(tables)) return error;
  *sectorsPerCluster = m_geometry.sectorsPerCluster;
  *bytesPerSector = kSectorSize;
  *freeClusters = CountFreeClusters(tables);
  *totalClusters = m_geometry.clusterCount;
  return ERROR_SUCCESS;
}

std::uint32_t FatVolume::GetDiskFreeSpaceEx(std::uint64_t* freeBytesToCaller, std::uint64_t* totalBytes,
                                            std::uint64_t* totalFreeBytes) {
  std::uint32_t perCluster = 0, bytesPerSector = 0, free = 0, total = 0;
  if (const std::uint32_t error = GetDiskFreeSpace(&perCluster, &bytesPerSector, &free, &total)) return error;
  const std::uint64_t clusterBytes = std::uint64_t{perCluster} * bytesPerSector;
  *freeBytesToCaller = free * clusterBytes;
  *totalBytes = total * clusterBytes;
  *totalFreeBytes = free * clusterBytes;
  return ERROR_SUCCESS;
}

}  // namespace emulated
