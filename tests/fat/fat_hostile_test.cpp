// Damaged and hostile images: every one must give an error, never a read outside the device.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include "fat/fat_volume.h"
#include "tests/fat/fat_image.h"

namespace {

using namespace emulated;
using namespace emulated::fat_error;
using Bytes = std::vector<std::uint8_t>;

// A memory device that notes any request beyond its end and can fail on demand.
class BoundedDevice final : public SectorDevice {
 public:
  explicit BoundedDevice(Bytes bytes) : m_memory(std::move(bytes)) {}
  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) override {
    Check(lba, count);
    return !failReads && m_memory.ReadSectors(lba, count, out);
  }
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in) override {
    Check(lba, count);
    if (writesLeft == 0) return false;
    if (writesLeft > 0) --writesLeft;
    return m_memory.WriteSectors(lba, count, in);
  }
  std::uint64_t SectorCount() const override { return m_memory.SectorCount(); }
  bool IsWriteProtected() const override { return m_memory.IsWriteProtected(); }
  MemorySectorDevice& memory() { return m_memory; }

  bool strayed = false;
  bool failReads = false;
  int writesLeft = -1;  // negative: no limit

 private:
  void Check(std::uint64_t lba, std::uint32_t count) {
    strayed = strayed || count == 0 || lba >= SectorCount() || count > SectorCount() - lba;
  }
  MemorySectorDevice m_memory;
};

// A small volume holding one three-cluster file, A.TXT, written by mcopy.
struct Base {
  Bytes bytes;
  FatGeometry g;
  std::uint64_t volume = 0;  // byte offset of the boot sector
  std::uint64_t entry = 0;   // byte offset of A.TXT's directory entry
  std::uint16_t cluster = 0;

  void SetFat(std::uint32_t n, std::uint32_t value) {
    std::uint8_t* fat = bytes.data() + volume + g.firstFatSector * 512;
    if (g.type == FatType::kFat16) {
      fat[2 * n] = static_cast<std::uint8_t>(value);
      fat[2 * n + 1] = static_cast<std::uint8_t>(value >> 8);
    } else if (value &= 0xFFF; n % 2 == 0) {
      fat[n + n / 2] = static_cast<std::uint8_t>(value);
      fat[n + n / 2 + 1] = static_cast<std::uint8_t>((fat[n + n / 2 + 1] & 0xF0) | (value >> 8));
    } else {
      fat[n + n / 2] = static_cast<std::uint8_t>((fat[n + n / 2] & 0x0F) | (value << 4 & 0xF0));
      fat[n + n / 2 + 1] = static_cast<std::uint8_t>(value >> 4);
    }
  }
  void Poke(std::uint64_t at, std::initializer_list<std::uint8_t> values) {
    for (std::uint8_t v : values) bytes[at++] = v;
  }
};

const fat_test::Layout kSmall[] = {{"Small12", 12, 720, 0, false}, {"Small16", 16, 4400, 1, true}};

Base MakeBase(const fat_test::Layout& layout) {
  Base base;
  fat_test::Image image(layout);
  const Bytes content = fat_test::Pattern(3 * 512 - 5, 9);
  const std::string local = image.path() + ".src";
  std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), content.size());
  image.Mtools("mcopy", local + " ::A.TXT");
  base.bytes = image.Bytes();
  MemorySectorDevice device(base.bytes);
  const auto volume = FatVolume::Mount(device);
  if (volume == nullptr) {
    ADD_FAILURE() << layout.name << " does not mount";
    return base;
  }
  base.g = volume->Geometry();
  base.volume = base.g.volumeStart * 512;
  std::vector<FatEntryInfo> entries;
  volume->ListRoot(&entries);
  EXPECT_EQ(entries.size(), 1u);
  base.entry = base.volume + base.g.firstRootSector * 512 + entries.at(0).slot * 32;
  base.cluster = entries.at(0).firstCluster;
  return base;
}

std::uint32_t MountError(Bytes bytes) {
  BoundedDevice device(std::move(bytes));
  std::uint32_t error = 0;
  const auto volume = FatVolume::Mount(device, &error);
  EXPECT_FALSE(device.strayed);
  return volume == nullptr ? error : ERROR_SUCCESS;
}

class FatHostile : public testing::TestWithParam<fat_test::Layout> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(fat_test::RequireTools());
    m_base = MakeBase(GetParam());
  }
  Base m_base;
};

TEST_P(FatHostile, BadBootSectorsAreNotMounted) {
  ASSERT_EQ(MountError(m_base.bytes), ERROR_SUCCESS);
  struct Damage {
    const char* what;
    std::uint64_t at;
    std::initializer_list<std::uint8_t> bytes;
  };
  const Damage damages[] = {
      {"no jump", 0x00, {0x00}},
      {"1024 bytes per sector", 0x0B, {0x00, 0x04}},
      {"3 sectors per cluster", 0x0D, {3}},
      {"0 sectors per cluster", 0x0D, {0}},
      {"no reserved sector", 0x0E, {0, 0}},
      {"no FAT", 0x10, {0}},
      {"no root entries", 0x11, {0, 0}},
      {"no size", 0x13, {0, 0, 0xF8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"bad media byte", 0x15, {0x12}},
      {"FAT32 form", 0x16, {0, 0}},
      {"larger than the device", 0x13, {0xFF, 0xFF, 0xF8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"FATs fill the volume", 0x16, {0xFF, 0x7F}},
  };
  for (const Damage& damage : damages) {
    Base damaged = m_base;
    damaged.Poke(m_base.volume + damage.at, damage.bytes);
    EXPECT_EQ(MountError(damaged.bytes), ERROR_UNRECOGNIZED_VOLUME) << damage.what;
  }
}

TEST_P(FatHostile, DamagedChainsAreReportedNotFollowed) {
  const std::uint32_t outside = m_base.g.clusterCount + 2;
  struct Damage {
    const char* what;
    std::function<void(Base&)> apply;
    bool replaceable;  // the chain itself is sound, only the size disagrees
  };
  const Damage damages[] = {
      {"loop", [](Base& b) { b.SetFat(b.cluster, b.cluster); }, false},
      {"link outside the data area", [&](Base& b) { b.SetFat(b.cluster, outside); }, false},
      {"free cluster inside", [](Base& b) { b.SetFat(b.cluster, 0); }, false},
      {"first cluster 1", [](Base& b) { b.Poke(b.entry + 26, {1, 0}); }, false},
      {"chain shorter than the size", [](Base& b) { b.SetFat(b.cluster, 0xFFFF); }, true},
      {"4 GB size", [](Base& b) { b.Poke(b.entry + 28, {0xFF, 0xFF, 0xFF, 0xFF}); }, true},
  };
  for (const Damage& damage : damages) {
    Base damaged = m_base;
    damage.apply(damaged);
    BoundedDevice device(damaged.bytes);
    auto volume = FatVolume::Mount(device);
    ASSERT_TRUE(volume);
    Bytes content;
    EXPECT_EQ(volume->ReadFile("A.TXT", &content), ERROR_FILE_CORRUPT) << damage.what;
    EXPECT_TRUE(content.empty());
    std::uint32_t spc = 0, bps = 0, free = 0, total = 0;
    EXPECT_EQ(volume->GetDiskFreeSpace(&spc, &bps, &free, &total), ERROR_SUCCESS);
    FatFileHandle handle = kInvalidFatFileHandle;
    const std::uint32_t replaced = volume->CreateAlways("A.TXT", 0, &handle);
    if (damage.replaceable) {
      EXPECT_EQ(replaced, ERROR_SUCCESS) << damage.what;
    } else {
      EXPECT_EQ(replaced, ERROR_FILE_CORRUPT) << damage.what;
      EXPECT_EQ(device.memory().Bytes(), damaged.bytes) << damage.what;
    }
    EXPECT_FALSE(device.strayed) << damage.what;
  }
}

TEST_P(FatHostile, RandomDamageNeverStraysOffTheDevice) {
  std::mt19937 random(20240305);
  const std::uint64_t metadataEnd = m_base.volume + std::uint64_t{m_base.g.firstDataSector} * 512;
  int mounted = 0;
  constexpr int kRounds = 1200;
  for (int round = 0; round < kRounds; ++round) {
    Bytes bytes = m_base.bytes;
    const int flips = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < flips; ++i) {
      // Mostly the boot sector and its parameter block, else anywhere up to the data area.
      const std::uint64_t at = random() % 3 == 0 ? random() % metadataEnd : m_base.volume + random() % 64;
      bytes[at] = static_cast<std::uint8_t>(random());
    }
    if (round % 2 == 1 && m_base.volume != 0) {
      bytes[0x1BE + 8 + random() % 8] = static_cast<std::uint8_t>(random());  // partition 1's extent
    }
    BoundedDevice device(bytes);
    auto volume = FatVolume::Mount(device);
    if (volume != nullptr) {
      ++mounted;
      const FatGeometry& g = volume->Geometry();
      ASSERT_LE(g.volumeStart + g.totalSectors, device.SectorCount());
      ASSERT_LE(g.firstDataSector + std::uint64_t{g.clusterCount} * g.sectorsPerCluster, g.totalSectors);
      std::vector<FatEntryInfo> entries;
      volume->ListRoot(&entries);
      Bytes content;
      for (std::size_t i = 0; i < entries.size() && i < 8; ++i) {
        volume->ReadFile(entries[i].name.c_str(), &content);
      }
      std::uint32_t spc = 0, bps = 0, free = 0, total = 0;
      volume->GetDiskFreeSpace(&spc, &bps, &free, &total);
      FatFileHandle handle = kInvalidFatFileHandle;
      if (volume->CreateAlways("A.TXT", 0, &handle) == ERROR_SUCCESS) {
        std::uint32_t written = 0;
        volume->Write(handle, bytes.data(), 2000, &written);
        volume->Close(handle);
      }
      volume->SetVolumeLabel("FUZZ");
      volume->SetAttributes("A.TXT", 0x07);
    }
    ASSERT_FALSE(device.strayed) << "round " << round;
  }
  // Damage that leaves the volume mountable must be common enough to exercise the operations.
  EXPECT_GT(mounted, kRounds / 5);
}

TEST_P(FatHostile, DeviceFailuresAreReported) {
  BoundedDevice device(m_base.bytes);
  auto volume = FatVolume::Mount(device);
  ASSERT_TRUE(volume);
  FatFileHandle handle = kInvalidFatFileHandle;
  device.writesLeft = 0;
  EXPECT_EQ(volume->CreateAlways("B.TXT", 0, &handle), ERROR_WRITE_FAULT);
  device.writesLeft = -1;
  device.memory().SetWriteProtected(true);
  EXPECT_EQ(volume->CreateAlways("B.TXT", 0, &handle), ERROR_WRITE_PROTECT);
  EXPECT_EQ(volume->SetVolumeLabel("X"), ERROR_WRITE_PROTECT);
  EXPECT_EQ(device.memory().Bytes(), m_base.bytes);
  device.failReads = true;
  EXPECT_FALSE(volume->FileExists("A.TXT"));
  std::uint32_t error = 0;
  EXPECT_EQ(FatVolume::Mount(device, &error), nullptr);
  EXPECT_EQ(error, ERROR_READ_FAULT);
}

INSTANTIATE_TEST_SUITE_P(Small, FatHostile, testing::ValuesIn(kSmall),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FatHostilePartition, BadPartitionTablesAreNotMounted) {
  ASSERT_NO_FATAL_FAILURE(fat_test::RequireTools());
  const Base base = MakeBase(kSmall[1]);
  ASSERT_EQ(MountError(base.bytes), ERROR_SUCCESS);
  struct Damage {
    const char* what;
    std::uint64_t at;
    std::initializer_list<std::uint8_t> bytes;
  };
  const Damage damages[] = {
      {"no partition type", 0x1C2, {0}},
      {"partition at sector 0", 0x1C6, {0, 0, 0, 0}},
      {"partition beyond the device", 0x1C6, {0x00, 0x20, 0x00, 0x00}},
      {"partition longer than the device", 0x1CA, {0xF0, 0xFF, 0xFF, 0xFF}},
      {"volume longer than the partition", 0x1CA, {0x00, 0x04, 0x00, 0x00}},
      {"no boot signature", 0x1FE, {0, 0}},
  };
  for (const Damage& damage : damages) {
    Base damaged = base;
    damaged.Poke(damage.at, damage.bytes);
    EXPECT_EQ(MountError(damaged.bytes), ERROR_UNRECOGNIZED_VOLUME) << damage.what;
  }
  EXPECT_EQ(MountError(Bytes(base.bytes.begin(), base.bytes.begin() + base.bytes.size() / 2)),
            ERROR_UNRECOGNIZED_VOLUME);
  EXPECT_EQ(MountError(Bytes(100, 0xF6)), ERROR_UNRECOGNIZED_VOLUME);
  EXPECT_EQ(MountError(Bytes{}), ERROR_UNRECOGNIZED_VOLUME);
}

TEST(FatHostilePartition, Fat32IsNotMounted) {
  ASSERT_NO_FATAL_FAILURE(fat_test::RequireTools());
  fat_test::Image image({"Fat32", 32, 140000, 0, true});
  EXPECT_EQ(MountError(image.Bytes()), ERROR_UNRECOGNIZED_VOLUME);
}

}  // namespace
