// The emulated host's FAT layer over a hostile image: FatVolume::Mount over sectors made from the
// input, then a sequence of every operation. Besides what the sanitizers see, the layer's own
// promises are checked: no sector outside the device is asked for, nothing outside the volume
// is written, nothing at all while the volume is write-protected, a write that does not fit
// writes nothing, a new file reads back as written and costs exactly its clusters, a label set
// reads back, and the free-space figures agree with each other.
//
// Input: a mode byte, the length of the operations (16 bits), the operations, then the image:
// raw bytes (mode bit 0 clear), or a sector count and patches over zeros (set), so that FAT16
// volumes of a few megabytes fit in a small input.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "fat/fat_layout.h"
#include "fat/fat_volume.h"

namespace fuzz {
namespace {

using emulated::FatVolume;
namespace fe = emulated::fat_error;
namespace fl = emulated::fat_layout;

constexpr std::size_t kSector = 512;
constexpr std::uint32_t kMaxSparseSectors = 8192;

// Forwards to the memory device and remembers every transfer asked for.
class WatchedDevice : public emulated::SectorDevice {
 public:
  explicit WatchedDevice(emulated::MemorySectorDevice& inner) : m_inner(inner) {}
  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override {
    Check("read", lba, count);
    return m_inner.ReadSectors(lba, count, out);
  }
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override {
    Check("write", lba, count);
    ++writes;
    FUZZ_CHECK(lba >= writableFrom && lba + count <= writableTo,
               "write of sectors " + std::to_string(lba) + "+" + std::to_string(count) + " outside the volume [" +
                   std::to_string(writableFrom) + ", " + std::to_string(writableTo) + ")");
    FUZZ_CHECK(!protectedVolume, "a write reached a write-protected volume");
    return m_inner.WriteSectors(lba, count, in);
  }
  std::uint64_t SectorCount() const override { return m_inner.SectorCount(); }
  bool IsWriteProtected() const override { return m_inner.IsWriteProtected(); }

  int writes = 0;
  std::uint64_t writableFrom = 0;
  std::uint64_t writableTo = 0;
  bool protectedVolume = false;

 private:
  void Check(const char* what, std::uint64_t lba, std::uint32_t count) const {
    FUZZ_CHECK(count > 0 && lba + count <= m_inner.SectorCount(),
               std::string(what) + " of sectors " + std::to_string(lba) + "+" + std::to_string(count) +
                   " on a device of " + std::to_string(m_inner.SectorCount()));
  }
  emulated::MemorySectorDevice& m_inner;
};

std::vector<std::uint8_t> ImageFrom(FuzzInput& image, bool sparse) {
  if (!sparse) return image.Rest();
  const std::uint32_t sectors = image.Range(1, kMaxSparseSectors);
  std::vector<std::uint8_t> bytes(std::size_t{sectors} * kSector, 0);
  while (!image.Empty()) {
    const std::size_t at = image.U32() % bytes.size();
    const std::vector<std::uint8_t> patch = image.Bytes(image.Range(1, 512));
    std::copy_n(patch.begin(), std::min(patch.size(), bytes.size() - at), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return bytes;
}

const char* const kKnownPaths[] = {"IBMBIO.COM", "IBMDOS.COM", "COMMAND.COM", "E:\\AUTOEXEC.BAT", "\\CONFIG.SYS",
                                   "command.com. ", "DIR\\INNER.TXT", "Long File Name.txt", "E:", ("\xE5" "ABC.TXT")};

std::string PickPath(FuzzInput& in, const std::vector<emulated::FatEntryInfo>& root) {
  switch (in.Range(0, 3)) {
    case 0:
      if (!root.empty()) return root[in.Range(0, static_cast<std::uint32_t>(root.size() - 1))].name;
      return kKnownPaths[0];
    case 1: return kKnownPaths[in.Range(0, std::size(kKnownPaths) - 1)];
    case 2: return in.Text(16);
    default: {
      // A short name from the characters FAT takes.
      static const char kLegal[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789$%'-_@~`!(){}^#&";
      std::string name;
      const std::uint32_t base = in.Range(1, 8);
      for (std::uint32_t i = 0; i < base; ++i) name += kLegal[in.Range(0, sizeof kLegal - 2)];
      const std::uint32_t ext = in.Range(0, 3);
      if (ext > 0) name += '.';
      for (std::uint32_t i = 0; i < ext; ++i) name += kLegal[in.Range(0, sizeof kLegal - 2)];
      return name;
    }
  }
}

// SetVolumeLabelA's rules, written out: trailing blanks dropped, at most 11 characters, none of
// those FAT forbids in a label.
bool LabelAcceptable(const std::string& label, std::string* stored) {
  std::string text(label.c_str());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.size() > 11) return false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr) return false;
  }
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  *stored = text;
  return true;
}

struct Session {
  FatVolume& volume;
  WatchedDevice& device;
  emulated::MemorySectorDevice& memory;
  emulated::FatFaults faults;
  std::vector<emulated::FatFileHandle> open;

  bool WriteProtected() const { return faults.writeProtected || memory.IsWriteProtected(); }
  std::uint64_t ClusterBytes() const { return std::uint64_t{volume.Geometry().sectorsPerCluster} * kSector; }

  std::vector<emulated::FatEntryInfo> Root() {
    std::vector<emulated::FatEntryInfo> entries;
    const std::uint32_t error = volume.ListRoot(&entries);
    FUZZ_CHECK(error == fe::ERROR_SUCCESS, "listing the root failed with " + std::to_string(error));
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      FUZZ_CHECK(entries[i].slot < volume.Geometry().rootEntries && (i == 0 || entries[i].slot > previous),
                 "root slot " + std::to_string(entries[i].slot));
      previous = entries[i].slot;
    }
    return entries;
  }

  // The free entries of the first FAT, read from the device here, not by the layer.
  std::uint32_t CountFreeInFat() {
    const emulated::FatGeometry& g = volume.Geometry();
    std::vector<std::uint8_t> fat(std::size_t{g.sectorsPerFat} * kSector);
    FUZZ_CHECK(memory.ReadSectors(g.volumeStart + g.firstFatSector, g.sectorsPerFat, fat.data()), "FAT unreadable");
    std::uint32_t free = 0;
    for (std::uint32_t c = 2; c < g.clusterCount + 2; ++c) {
      std::uint32_t entry = 0;
      if (g.type == emulated::FatType::kFat16) {
        entry = GetLittleEndian16(fat.data() + std::size_t{c} * 2);
      } else {
        const std::uint32_t pair = GetLittleEndian16(fat.data() + c + c / 2);
        entry = (c & 1) != 0 ? pair >> 4 : pair & 0xFFF;
      }
      free += entry == 0 ? 1 : 0;
    }
    return free;
  }

  // Free clusters, checked against the totals, the byte figures and the FAT itself.
  std::uint32_t FreeClusters() {
    std::uint32_t perCluster = 0, bytesPerSector = 0, free = 0, total = 0;
    const std::uint32_t error = volume.GetDiskFreeSpace(&perCluster, &bytesPerSector, &free, &total);
    FUZZ_CHECK(error == fe::ERROR_SUCCESS, "GetDiskFreeSpace failed with " + std::to_string(error));
    FUZZ_CHECK(perCluster == volume.Geometry().sectorsPerCluster && bytesPerSector == kSector &&
                   total == volume.Geometry().clusterCount && free <= total,
               "free space " + std::to_string(free) + " of " + std::to_string(total));
    if (faults.full) {
      FUZZ_CHECK(free == 0, "a full volume reports free clusters");
    } else {
      FUZZ_CHECK(free == CountFreeInFat(), "free clusters " + std::to_string(free) + ", the FAT holds " +
                                               std::to_string(CountFreeInFat()));
    }
    std::uint64_t toCaller = 0, bytes = 0, freeBytes = 0;
    FUZZ_CHECK(volume.GetDiskFreeSpaceEx(&toCaller, &bytes, &freeBytes) == fe::ERROR_SUCCESS, "GetDiskFreeSpaceEx failed");
    FUZZ_CHECK(toCaller == free * ClusterBytes() && freeBytes == toCaller && bytes == total * ClusterBytes(),
               "GetDiskFreeSpaceEx disagrees with GetDiskFreeSpace");
    return free;
  }

  void Exists(const std::string& path) {
    const bool exists = volume.FileExists(path.c_str());
    std::uint32_t attributes = 0;
    const std::uint32_t error = volume.GetAttributes(path.c_str(), &attributes);
    FUZZ_CHECK(exists == (error == fe::ERROR_SUCCESS), "FileExists and GetAttributes disagree on " + path);
    if (error == fe::ERROR_SUCCESS) {
      FUZZ_CHECK(attributes == emulated::fat_attribute::kNormal || (attributes & ~0x37u) == 0,
                 "attributes " + std::to_string(attributes));
    }
  }

  void SetAttributes(const std::string& path, std::uint32_t attributes) {
    std::uint32_t before = 0;
    const bool existed = volume.GetAttributes(path.c_str(), &before) == fe::ERROR_SUCCESS;
    const int writesBefore = device.writes;
    const std::uint32_t error = volume.SetAttributes(path.c_str(), attributes);
    if (error != fe::ERROR_SUCCESS) {
      FUZZ_CHECK(device.writes == writesBefore, "a refused SetAttributes wrote");
      if (existed && WriteProtected()) FUZZ_CHECK(error == fe::ERROR_WRITE_PROTECT, "write-protected SetAttributes: " + std::to_string(error));
      return;
    }
    FUZZ_CHECK(existed, "SetAttributes succeeded on a missing file");
    std::uint32_t after = 0;
    FUZZ_CHECK(volume.GetAttributes(path.c_str(), &after) == fe::ERROR_SUCCESS, "file gone after SetAttributes");
    const std::uint32_t bits = ((before == emulated::fat_attribute::kNormal ? 0 : before) & 0x10) | (attributes & 0x27);
    FUZZ_CHECK(after == (bits != 0 ? bits : emulated::fat_attribute::kNormal),
               "attributes " + std::to_string(after) + " after setting " + std::to_string(attributes));
  }

  void CreateWriteClose(FuzzInput& in, const std::string& path) {
    const bool existed = volume.FileExists(path.c_str());
    const std::uint32_t freeBefore = FreeClusters();
    const std::uint32_t attributes = in.Byte();
    emulated::FatFileHandle handle = 0;
    bool alreadyExisted = false;
    const int writesBefore = device.writes;
    const std::uint32_t error = volume.CreateAlways(path.c_str(), attributes, &handle, &alreadyExisted);
    if (error != fe::ERROR_SUCCESS) {
      FUZZ_CHECK(handle == emulated::kInvalidFatFileHandle, "a failed create handed out a handle");
      FUZZ_CHECK(device.writes == writesBefore, "a refused create wrote");
      return;
    }
    FUZZ_CHECK(!WriteProtected(), "a file was created on a write-protected volume");
    FUZZ_CHECK(handle != emulated::kInvalidFatFileHandle, "create succeeded without a handle");
    FUZZ_CHECK(alreadyExisted == existed, "create misreports whether the file existed");

    std::vector<std::uint8_t> written;
    const std::uint32_t chunks = in.Range(0, 3);
    const std::uint8_t seed = in.Byte();
    for (std::uint32_t c = 0; c < chunks; ++c) {
      const std::uint32_t size = in.Range(0, 5000);
      std::vector<std::uint8_t> chunk(size);
      for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>((written.size() + i) * 31 + seed);
      std::uint32_t done = 0xDEAD;
      const int before = device.writes;
      const std::uint32_t result = volume.Write(handle, chunk.data(), size, &done);
      if (result == fe::ERROR_SUCCESS) {
        FUZZ_CHECK(done == size, "wrote " + std::to_string(done) + " of " + std::to_string(size));
        written.insert(written.end(), chunk.begin(), chunk.end());
      } else {
        FUZZ_CHECK(done == 0, "a failed write reports bytes written");
        if (result == fe::ERROR_DISK_FULL) FUZZ_CHECK(device.writes == before, "a write that did not fit wrote");
      }
    }
    if (in.Range(0, 7) == 0) {
      open.push_back(handle);  // left open; closed later, or never
      return;
    }
    FUZZ_CHECK(volume.Close(handle) == fe::ERROR_SUCCESS, "closing a file just written failed");
    FUZZ_CHECK(volume.Close(handle) == fe::ERROR_INVALID_HANDLE, "a handle closed twice");

    std::vector<std::uint8_t> content;
    const std::uint32_t read = volume.ReadFile(path.c_str(), &content);
    FUZZ_CHECK(read == fe::ERROR_SUCCESS, "the file just written cannot be read: " + std::to_string(read));
    FUZZ_CHECK(content == written, "the file reads back " + std::to_string(content.size()) + " bytes, " +
                                       std::to_string(written.size()) + " written");
    if (!existed && !faults.full) {
      const std::uint64_t clusters = (written.size() + ClusterBytes() - 1) / ClusterBytes();
      FUZZ_CHECK(freeBefore - FreeClusters() == clusters,
                 "a new file of " + std::to_string(clusters) + " clusters cost " + std::to_string(freeBefore - FreeClusters()));
    }
  }

  void SetLabel(const std::string& label) {
    std::string stored;
    const bool acceptable = LabelAcceptable(label, &stored);
    const int writesBefore = device.writes;
    const std::uint32_t error = volume.SetVolumeLabel(label.c_str());
    if (!acceptable) {
      FUZZ_CHECK(error == fe::ERROR_LABEL_TOO_LONG, "label refused with " + std::to_string(error));
    } else if (WriteProtected()) {
      FUZZ_CHECK(error == fe::ERROR_WRITE_PROTECT, "label on a write-protected volume: " + std::to_string(error));
    }
    if (error != fe::ERROR_SUCCESS) {
      FUZZ_CHECK(device.writes == writesBefore || error == fe::ERROR_READ_FAULT || error == fe::ERROR_WRITE_FAULT,
                 "a refused label wrote");
      return;
    }
    FUZZ_CHECK(acceptable, "an unacceptable label was taken");
    if (stored.empty()) return;  // removal; another label entry further on may still show
    std::string now;
    FUZZ_CHECK(volume.GetVolumeLabel(&now) == fe::ERROR_SUCCESS && now == stored,
               "label reads back as \"" + now + "\", set \"" + stored + "\"");
    if (volume.Geometry().hasExtendedBootRecord) {
      std::vector<std::uint8_t> boot(kSector);
      FUZZ_CHECK(memory.ReadSectors(volume.Geometry().volumeStart, 1, boot.data()), "boot sector unreadable");
      std::string field(reinterpret_cast<const char*>(boot.data() + fl::kLabelField), 11);
      const std::string expected = stored + std::string(11 - stored.size(), ' ');
      FUZZ_CHECK(field == expected, "boot sector label field " + Hex(boot.data() + fl::kLabelField, 11));
    }
  }

  void Read(const std::string& path) {
    std::vector<std::uint8_t> content;
    const std::uint32_t error = volume.ReadFile(path.c_str(), &content);
    if (error != fe::ERROR_SUCCESS) {
      FUZZ_CHECK(content.empty(), "a failed read returned content");
      return;
    }
    FUZZ_CHECK(content.size() <= std::uint64_t{volume.Geometry().clusterCount} * ClusterBytes(),
               "a file larger than the volume");
  }
};

void CheckGeometry(const FatVolume& volume, std::uint64_t deviceSectors) {
  const emulated::FatGeometry& g = volume.Geometry();
  const std::string what = "geometry: start " + std::to_string(g.volumeStart) + ", total " +
                           std::to_string(g.totalSectors) + ", data " + std::to_string(g.firstDataSector) +
                           ", clusters " + std::to_string(g.clusterCount);
  FUZZ_CHECK(g.volumeStart + g.totalSectors <= deviceSectors, what);
  FUZZ_CHECK(g.sectorsPerCluster > 0 && g.clusterCount > 0 && g.firstDataSector < g.totalSectors, what);
  FUZZ_CHECK(std::uint64_t{g.clusterCount} * g.sectorsPerCluster <= g.totalSectors - g.firstDataSector, what);
  FUZZ_CHECK(g.firstRootSector == g.firstFatSector + std::uint64_t{g.fatCount} * g.sectorsPerFat &&
                 g.firstDataSector == g.firstRootSector + g.rootSectors && g.rootSectors * 16 >= g.rootEntries,
             what);
  const std::uint64_t entries = std::uint64_t{g.clusterCount} + 2;
  const std::uint64_t fatBytes = g.type == emulated::FatType::kFat12 ? (entries * 3 + 1) / 2 : entries * 2;
  FUZZ_CHECK(fatBytes <= std::uint64_t{g.sectorsPerFat} * kSector, what + ": the FAT cannot map every cluster");
  FUZZ_CHECK(g.type == emulated::FatType::kFat12 ? g.clusterCount < 4085 : g.clusterCount < 65525, what);
}

}  // namespace

void FuzzFatVolume(const std::uint8_t* data, std::size_t size) {
  FuzzInput header(data, std::min<std::size_t>(size, 3));
  const std::uint8_t mode = header.Byte();
  const std::size_t opsLength = std::min<std::size_t>(header.U16(), size > 3 ? size - 3 : 0);
  FuzzInput ops(data + std::min<std::size_t>(size, 3), opsLength);
  const std::size_t imageAt = std::min(size, 3 + opsLength);
  FuzzInput image(data + imageAt, size - imageAt);

  emulated::MemorySectorDevice memory(ImageFrom(image, (mode & 1) != 0));
  memory.SetWriteProtected((mode & 2) != 0);
  WatchedDevice device(memory);
  device.writableTo = memory.SectorCount();
  device.protectedVolume = true;  // nothing is written while mounting

  std::uint32_t error = 0xDEAD;
  std::unique_ptr<FatVolume> volume = FatVolume::Mount(device, &error);
  if (!volume) {
    FUZZ_CHECK(error == fe::ERROR_UNRECOGNIZED_VOLUME || error == fe::ERROR_READ_FAULT,
               "mount failed with " + std::to_string(error));
    FUZZ_CHECK(device.writes == 0, "a failed mount wrote");
    return;
  }
  FUZZ_CHECK(error == fe::ERROR_SUCCESS, "mounted with error " + std::to_string(error));
  CheckGeometry(*volume, memory.SectorCount());
  device.writableFrom = volume->Geometry().volumeStart;
  device.writableTo = volume->Geometry().volumeStart + volume->Geometry().totalSectors;

  Session session{*volume, device, memory, {}, {}};
  const std::uint32_t count = ops.Range(0, 24);
  for (std::uint32_t i = 0; i < count; ++i) {
    device.protectedVolume = session.WriteProtected();
    const std::vector<emulated::FatEntryInfo> root = session.Root();
    switch (ops.Range(0, 9)) {
      case 0: session.Exists(PickPath(ops, root)); break;
      case 1: {
        const std::string path = PickPath(ops, root);
        session.SetAttributes(path, ops.Byte());
        break;
      }
      case 2:
      case 3: session.CreateWriteClose(ops, PickPath(ops, root)); break;
      case 4: {
        const std::string label = ops.Range(0, 1) == 0 ? ops.Text(14)
                                                       : ops.Pick<const char*>({"STELVARION", "", "   ", "a.b", "boot disk",
                                                                                "\xE5XYZ", "ABCDEFGHIJKL"});
        session.SetLabel(label);
        break;
      }
      case 5: session.FreeClusters(); break;
      case 6: session.Read(PickPath(ops, root)); break;
      case 7: {
        std::string label;
        FUZZ_CHECK(volume->GetVolumeLabel(&label) == fe::ERROR_SUCCESS, "GetVolumeLabel failed");
        FUZZ_CHECK(label.size() <= 11, "label of " + std::to_string(label.size()) + " characters");
        break;
      }
      case 8: {
        const std::uint8_t choice = ops.Byte();
        session.faults = emulated::FatFaults{(choice & 1) != 0, (choice & 2) != 0};
        volume->SetFaults(session.faults);
        memory.SetWriteProtected((choice & 4) != 0);
        break;
      }
      default: {
        // Handles: a stale one, or one left open.
        const std::uint8_t bytes[4] = {1, 2, 3, 4};
        if (!session.open.empty() && ops.Bool()) {
          const emulated::FatFileHandle handle = session.open.back();
          session.open.pop_back();
          const std::uint32_t written = volume->Write(handle, bytes, sizeof bytes, nullptr);
          FUZZ_CHECK(written != fe::ERROR_INVALID_HANDLE, "an open handle was refused");
          const std::uint32_t closed = volume->Close(handle);
          FUZZ_CHECK(closed != fe::ERROR_INVALID_HANDLE, "an open handle could not be closed");
        } else {
          const emulated::FatFileHandle stale = 1000 + ops.Byte();
          FUZZ_CHECK(volume->Write(stale, bytes, sizeof bytes, nullptr) == fe::ERROR_INVALID_HANDLE, "stale handle written");
          FUZZ_CHECK(volume->Close(stale) == fe::ERROR_INVALID_HANDLE, "stale handle closed");
        }
        break;
      }
    }
  }
}

// ---- Seeds: volumes laid out here, byte by byte, not by the layer under test.

namespace {

struct SeedFile {
  const char* name;  // 11 bytes as stored
  std::uint8_t attributes;
  std::uint32_t size;
};

void SetFatEntry(std::vector<std::uint8_t>& fat, bool fat12, std::uint32_t cluster, std::uint32_t value) {
  if (!fat12) {
    fat[cluster * 2] = static_cast<std::uint8_t>(value);
    fat[cluster * 2 + 1] = static_cast<std::uint8_t>(value >> 8);
    return;
  }
  const std::size_t at = cluster + cluster / 2;
  if ((cluster & 1) != 0) {
    fat[at] = static_cast<std::uint8_t>((fat[at] & 0x0F) | (value << 4 & 0xF0));
    fat[at + 1] = static_cast<std::uint8_t>(value >> 4);
  } else {
    fat[at] = static_cast<std::uint8_t>(value);
    fat[at + 1] = static_cast<std::uint8_t>((fat[at + 1] & 0xF0) | (value >> 8 & 0x0F));
  }
}

// A FAT12 or FAT16 volume with two FATs, a label, a long-name entry, a deleted entry, a
// directory and the given files, preceded by an MBR when partitionStart is not zero.
std::vector<std::uint8_t> MakeImage(std::uint32_t totalSectors, std::uint8_t perCluster, std::uint16_t rootEntries,
                                    std::uint16_t fatSectors, bool fat12, std::uint32_t partitionStart,
                                    const std::vector<SeedFile>& files) {
  std::vector<std::uint8_t> image(std::size_t{partitionStart + totalSectors} * kSector, 0);
  if (partitionStart != 0) {
    std::uint8_t* mbr = image.data();
    std::uint8_t* entry = mbr + 0x1BE;
    entry[0] = 0x80;
    entry[4] = fat12 ? 0x01 : 0x06;
    PutLittleEndian32(entry + 8, partitionStart);
    PutLittleEndian32(entry + 12, totalSectors);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
  }
  std::uint8_t* boot = image.data() + std::size_t{partitionStart} * kSector;
  const std::uint8_t jump[3] = {0xEB, 0x3C, 0x90};
  std::memcpy(boot, jump, 3);
  std::memcpy(boot + 3, "MSWIN4.1", 8);
  PutLittleEndian16(boot + 0x0B, 512);
  boot[0x0D] = perCluster;
  PutLittleEndian16(boot + 0x0E, 1);
  boot[0x10] = 2;
  PutLittleEndian16(boot + 0x11, rootEntries);
  if (totalSectors < 0x10000) PutLittleEndian16(boot + 0x13, static_cast<std::uint16_t>(totalSectors));
  else PutLittleEndian32(boot + 0x20, totalSectors);
  boot[0x15] = 0xF8;
  PutLittleEndian16(boot + 0x16, fatSectors);
  PutLittleEndian16(boot + 0x18, 32);
  PutLittleEndian16(boot + 0x1A, 2);
  PutLittleEndian32(boot + 0x1C, partitionStart);
  boot[0x24] = 0x80;
  boot[0x26] = 0x29;
  PutLittleEndian32(boot + 0x27, 0x1234ABCD);
  std::memcpy(boot + 0x2B, "SEED VOLUME", 11);
  std::memcpy(boot + 0x36, fat12 ? "FAT12   " : "FAT16   ", 8);
  boot[510] = 0x55;
  boot[511] = 0xAA;

  std::vector<std::uint8_t> fat(std::size_t{fatSectors} * kSector, 0);
  SetFatEntry(fat, fat12, 0, fat12 ? 0xFF8 : 0xFFF8);
  SetFatEntry(fat, fat12, 1, fat12 ? 0xFFF : 0xFFFF);
  std::vector<std::uint8_t> root(std::size_t{rootEntries} * 32, 0);
  std::size_t slot = 0;
  const auto addEntry = [&](const char* name11, std::uint8_t attributes, std::uint16_t cluster, std::uint32_t size) {
    std::uint8_t* e = root.data() + slot++ * 32;
    std::memcpy(e, name11, 11);
    e[11] = attributes;
    PutLittleEndian16(e + 24, 0x5A87);  // 2025-04-07
    PutLittleEndian16(e + 26, cluster);
    PutLittleEndian32(e + 28, size);
  };
  addEntry("SEED VOLUME", 0x08, 0, 0);
  {
    std::uint8_t* e = root.data() + slot++ * 32;  // a long-name entry
    e[0] = 0x41;
    e[11] = 0x0F;
    for (int i = 0; i < 5; ++i) e[1 + 2 * i] = static_cast<std::uint8_t>('a' + i);
  }
  addEntry("\xE5" "ELETEDTXT", 0x20, 0, 10);
  const std::uint32_t dataStart = 1 + 2 * fatSectors + (rootEntries * 32 + 511) / 512;
  std::uint32_t next = 2;
  const std::uint32_t clusterBytes = perCluster * kSector;
  const auto allocate = [&](std::uint32_t bytes, std::uint8_t fillSeed) -> std::uint16_t {
    if (bytes == 0) return 0;
    const std::uint32_t count = (bytes + clusterBytes - 1) / clusterBytes;
    const std::uint32_t first = next;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t cluster = next++;
      SetFatEntry(fat, fat12, cluster, i + 1 < count ? cluster + 1 : (fat12 ? 0xFFF : 0xFFFF));
      std::uint8_t* at = boot + std::size_t{dataStart + (cluster - 2) * perCluster} * kSector;
      for (std::uint32_t b = 0; b < clusterBytes && i * clusterBytes + b < bytes; ++b) {
        at[b] = static_cast<std::uint8_t>(fillSeed + b);
      }
    }
    return static_cast<std::uint16_t>(first);
  };
  addEntry("DIR        ", 0x10, allocate(clusterBytes, 0), 0);
  for (const SeedFile& file : files) {
    addEntry(file.name, file.attributes, allocate(file.size, static_cast<std::uint8_t>(file.name[0])), file.size);
  }
  for (int copy = 0; copy < 2; ++copy) {
    std::memcpy(boot + (1 + std::size_t{fatSectors} * static_cast<std::size_t>(copy)) * kSector, fat.data(), fat.size());
  }
  std::memcpy(boot + (1 + 2 * std::size_t{fatSectors}) * kSector, root.data(), root.size());
  return image;
}

// The image as patches over zeros: each run of non-zero sectors' bytes.
std::vector<std::uint8_t> SparseInput(const std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& ops) {
  InputWriter w;
  w.Byte(1).U16(static_cast<std::uint16_t>(ops.size())).Bytes(ops);
  w.Range(1, kMaxSparseSectors, static_cast<std::uint32_t>(image.size() / kSector));
  for (std::size_t at = 0; at < image.size(); at += kSector) {
    const auto begin = image.begin() + static_cast<std::ptrdiff_t>(at);
    std::size_t last = kSector;
    while (last > 0 && begin[static_cast<std::ptrdiff_t>(last - 1)] == 0) --last;
    if (last == 0) continue;
    w.U32(static_cast<std::uint32_t>(at)).Range(1, 512, static_cast<std::uint32_t>(last));
    w.Bytes(std::vector<std::uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(last)));
  }
  return w.Data();
}

std::vector<std::uint8_t> RawInput(const std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& ops) {
  InputWriter w;
  w.Byte(0).U16(static_cast<std::uint16_t>(ops.size())).Bytes(ops).Bytes(image);
  return w.Data();
}

// Create, write and read back a file, set a label, then the queries.
std::vector<std::uint8_t> TypicalOperations() {
  InputWriter w;
  w.Range(0, 24, 7);
  w.Range(0, 9, 2).Range(0, 3, 1).Range(0, 9, 3).Byte(0x07).Range(0, 3, 2).Byte(9);  // AUTOEXEC.BAT, hidden+system+ro
  w.Range(0, 5000, 700).Range(0, 5000, 1300).Range(0, 7, 1);
  w.Range(0, 9, 4).Range(0, 1, 1).Range(0, 6, 0);  // label STELVARION
  w.Range(0, 9, 5);
  w.Range(0, 9, 0).Range(0, 3, 1).Range(0, 9, 2);  // COMMAND.COM exists?
  w.Range(0, 9, 6).Range(0, 3, 1).Range(0, 9, 0);  // read IBMBIO.COM
  w.Range(0, 9, 1).Range(0, 3, 1).Range(0, 9, 1).Byte(0x21);
  w.Range(0, 9, 7);
  return w.Data();
}

}  // namespace

std::vector<std::vector<std::uint8_t>> FatVolumeSeeds() {
  const std::vector<SeedFile> files = {
      {"IBMBIO  COM", 0x07, 1500}, {"IBMDOS  COM", 0x07, 700}, {"COMMAND COM", 0x20, 2600}, {"EMPTY   TXT", 0x20, 0}};
  const std::vector<std::uint8_t> ops = TypicalOperations();
  std::vector<std::vector<std::uint8_t>> seeds;
  // FAT12: a floppy-sized volume of 96 sectors, bare and behind an MBR.
  seeds.push_back(RawInput(MakeImage(96, 1, 64, 1, true, 0, files), ops));
  seeds.push_back(RawInput(MakeImage(95, 2, 32, 1, true, 1, files), ops));
  // FAT16: just above the FAT12 limit, as patches, bare and behind an MBR at 32.
  seeds.push_back(SparseInput(MakeImage(4200, 1, 512, 17, false, 0, files), ops));
  seeds.push_back(SparseInput(MakeImage(4400, 1, 512, 17, false, 32, files), ops));
  // Write-protected, and a full volume.
  std::vector<std::uint8_t> protectedInput = RawInput(MakeImage(96, 1, 64, 1, true, 0, files), ops);
  protectedInput[0] |= 2;
  seeds.push_back(protectedInput);
  // Damaged chains: a file whose chain loops back on itself, one that runs into another file's,
  // and one that leaves the data area; each is replaced, read and listed.
  {
    std::vector<std::uint8_t> image = MakeImage(96, 1, 64, 1, true, 0, files);
    std::uint8_t* fat = image.data() + kSector;
    // Clusters: DIR 2, IBMBIO 3-5, IBMDOS 6-7, COMMAND 8-13.
    const auto link = [&](std::uint32_t cluster, std::uint32_t value) {
      std::vector<std::uint8_t> copy(fat, fat + kSector);
      SetFatEntry(copy, true, cluster, value);
      std::copy(copy.begin(), copy.end(), fat);
      std::copy(copy.begin(), copy.end(), fat + kSector);  // the second FAT alike
    };
    link(13, 8);    // COMMAND.COM loops
    link(7, 4);     // IBMDOS.COM runs into IBMBIO.COM
    link(5, 0xFF0); // IBMBIO.COM ends on a reserved value
    InputWriter w;
    w.Range(0, 24, 7);
    w.Range(0, 9, 2).Range(0, 3, 1).Range(0, 9, 2).Byte(0).Range(0, 3, 1).Byte(4).Range(0, 5000, 100).Range(0, 7, 1);
    w.Range(0, 9, 6).Range(0, 3, 1).Range(0, 9, 1);
    w.Range(0, 9, 6).Range(0, 3, 1).Range(0, 9, 0);
    w.Range(0, 9, 1).Range(0, 3, 1).Range(0, 9, 1).Byte(0x20);  // IBMDOS.COM writable
    w.Range(0, 9, 2).Range(0, 3, 1).Range(0, 9, 1).Byte(0).Range(0, 3, 1).Byte(5).Range(0, 5000, 3000).Range(0, 7, 1);
    w.Range(0, 9, 5);
    w.Range(0, 9, 6).Range(0, 3, 1).Range(0, 9, 1);
    seeds.push_back(RawInput(image, w.Data()));
  }
  InputWriter full;
  full.Range(0, 24, 2).Range(0, 9, 8).Byte(2).Range(0, 9, 2).Range(0, 3, 1).Range(0, 9, 4).Byte(0).Range(0, 3, 1).Byte(1).Range(0, 5000, 10).Range(0, 7, 1);
  seeds.push_back(RawInput(MakeImage(96, 1, 64, 1, true, 0, files), full.Data()));
  return seeds;
}

}  // namespace fuzz
