// The FAT layer against mkfs.fat, mtools and fsck.fat on each layout the key may carry.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>

#include "fat/fat_volume.h"
#include "tests/fat/fat_image.h"

namespace {

using namespace emulated;
using namespace emulated::fat_error;
using namespace emulated::fat_attribute;
using fat_test::FileSectorDevice;
using fat_test::Image;
using fat_test::Layout;
using fat_test::Pattern;
using Bytes = std::vector<std::uint8_t>;

class FatVolumeOracle : public testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(fat_test::RequireTools());
    m_image = std::make_unique<Image>(GetParam());
    m_device = std::make_unique<FileSectorDevice>(m_image->path());
    std::uint32_t error = 0;
    m_volume = FatVolume::Mount(*m_device, &error);
    ASSERT_TRUE(m_volume) << "mount error " << error;
    m_volume->SetClock([this] { return m_now; });
  }

  std::uint32_t ClusterBytes() const { return m_volume->Geometry().sectorsPerCluster * 512; }

  std::uint64_t FreeBytes() {
    std::uint64_t toCaller = 0, total = 0, free = 0;
    EXPECT_EQ(m_volume->GetDiskFreeSpaceEx(&toCaller, &total, &free), ERROR_SUCCESS);
    EXPECT_EQ(toCaller, free);
    return free;
  }

  // CreateFileA, WriteFile in pieces of `chunk` bytes (all at once when 0), CloseHandle.
  std::uint32_t Put(const char* path, const Bytes& content, std::uint32_t attributes = kNormal,
                    std::size_t chunk = 0) {
    FatFileHandle handle = kInvalidFatFileHandle;
    if (const std::uint32_t error = m_volume->CreateAlways(path, attributes, &handle)) return error;
    if (chunk == 0) chunk = content.size() + 1;
    for (std::size_t at = 0; at < content.size(); at += chunk) {
      const auto part = static_cast<std::uint32_t>(std::min(chunk, content.size() - at));
      std::uint32_t written = 0;
      if (const std::uint32_t error = m_volume->Write(handle, content.data() + at, part, &written)) {
        m_volume->Close(handle);
        return error;
      }
      EXPECT_EQ(written, part);
    }
    return m_volume->Close(handle);
  }

  Bytes Mtype(const std::string& name) const {
    const std::string text = m_image->Mtools("mtype", "'::" + name + "'");
    return Bytes(text.begin(), text.end());
  }

  // The letters mattrib shows for a file.
  std::set<char> Mattrib(const std::string& name) const {
    const std::string line = m_image->Mtools("mattrib", "'::" + name + "'");
    std::set<char> flags;
    for (char c : line.substr(0, line.find("::"))) {
      if (c != ' ') flags.insert(c);
    }
    return flags;
  }

  void ExpectClean() {
    const fat_test::ToolResult fsck = m_image->Fsck();
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_EQ(std::count(fsck.output.begin(), fsck.output.end(), '\n'), 2) << fsck.output;
    EXPECT_EQ(m_image->MdirBytesFree(), FreeBytes());
  }

  LocalTime m_now{2024, 3, 5, 14, 7, 37, 250};
  std::unique_ptr<Image> m_image;
  std::unique_ptr<FileSectorDevice> m_device;
  std::unique_ptr<FatVolume> m_volume;
};

TEST_P(FatVolumeOracle, MountAgreesWithFsck) {
  const FatGeometry& g = m_volume->Geometry();
  EXPECT_EQ(g.volumeStart, GetParam().partitioned ? 63u : 0u);
  EXPECT_EQ(g.type, GetParam().fatBits == 12 ? FatType::kFat12 : FatType::kFat16);
  EXPECT_EQ(g.volumeSerial, 0x2116D518u);
  const std::string verbose = m_image->Fsck(true).output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(verbose, m, std::regex(R"((\d+) data clusters)"))) << verbose;
  EXPECT_EQ(std::stoul(m[1]), g.clusterCount);
  ASSERT_TRUE(std::regex_search(verbose, m, std::regex(R"((\d+) bytes per cluster)")));
  EXPECT_EQ(std::stoul(m[1]), ClusterBytes());
  ASSERT_TRUE(std::regex_search(verbose, m, std::regex(R"((\d+) bit entries)")));
  EXPECT_EQ(std::stoi(m[1]), GetParam().fatBits);

  std::uint32_t perCluster = 0, bytesPerSector = 0, free = 0, total = 0;
  ASSERT_EQ(m_volume->GetDiskFreeSpace(&perCluster, &bytesPerSector, &free, &total), ERROR_SUCCESS);
  EXPECT_EQ(perCluster * bytesPerSector, ClusterBytes());
  EXPECT_EQ(total, g.clusterCount);
  EXPECT_EQ(std::uint64_t{free} * ClusterBytes(), m_image->MdirBytesFree());
}

TEST_P(FatVolumeOracle, WrittenFilesReadBackByTheTools) {
  const std::uint64_t freeBefore = FreeBytes();
  const std::uint32_t cb = ClusterBytes();
  const std::uint32_t sizes[] = {0, 1, 511, 512, cb - 1, cb, cb + 1, 3 * cb + 100};
  std::uint64_t used = 0;
  for (std::uint32_t i = 0; i < std::size(sizes); ++i) {
    const std::string name = "F" + std::to_string(i) + ".BIN";
    // Odd files arrive in uneven pieces, so writes start inside sectors and clusters.
    ASSERT_EQ(Put(("E:\\" + name).c_str(), Pattern(sizes[i], i), kNormal, i % 2 ? 1000 : 0), ERROR_SUCCESS);
    used += (sizes[i] + cb - 1) / cb * cb;
  }
  for (std::uint32_t i = 0; i < std::size(sizes); ++i) {
    const std::string name = "F" + std::to_string(i) + ".BIN";
    EXPECT_EQ(Mtype(name), Pattern(sizes[i], i)) << name;
    Bytes back;
    EXPECT_EQ(m_volume->ReadFile(name.c_str(), &back), ERROR_SUCCESS);
    EXPECT_EQ(back, Pattern(sizes[i], i)) << name;
  }
  EXPECT_EQ(FreeBytes(), freeBefore - used);
  // mdir shows the clock's stamp; the entry keeps the odd second and the hundredths.
  EXPECT_NE(m_image->Mtools("mdir", "-a ::F7.BIN").find("2024-03-05  14:07"), std::string::npos);
  std::vector<FatEntryInfo> entries;
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), std::size(sizes));
  EXPECT_EQ(entries[7].writeTime, 14 << 11 | 7 << 5 | 18);
  EXPECT_EQ(entries[7].createTenths, 125);
  EXPECT_EQ(entries[7].attributes, kArchive);
  ExpectClean();
}

TEST_P(FatVolumeOracle, ReadsWhatMtoolsWrote) {
  const std::string local = m_image->path() + ".src";
  const Bytes hello = Pattern(ClusterBytes() * 3 / 2 + 7, 42);
  std::ofstream(local, std::ios::binary).write(reinterpret_cast<const char*>(hello.data()), hello.size());
  m_image->Mtools("mlabel", "::OLDLABEL");
  m_image->Mtools("mcopy", "'" + local + "' ::GONE.TXT");
  m_image->Mtools("mcopy", "'" + local + "' ::hello.txt");
  m_image->Mtools("mcopy", "'" + local + "' '::a long file name.txt'");
  std::vector<FatEntryInfo> entries;
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 4u);
  ASSERT_EQ(entries[1].name, "GONE.TXT");
  const std::uint32_t goneSlot = entries[1].slot;
  m_image->Mtools("mdel", "::GONE.TXT");

  Bytes back;
  EXPECT_EQ(m_volume->ReadFile("E:\\Hello.Txt", &back), ERROR_SUCCESS);
  EXPECT_EQ(back, hello);
  EXPECT_TRUE(m_volume->FileExists("e:\\HELLO.TXT"));
  EXPECT_FALSE(m_volume->FileExists("E:\\GONE.TXT"));
  EXPECT_FALSE(m_volume->FileExists("E:\\OLDLABEL"));
  std::string label;
  EXPECT_EQ(m_volume->GetVolumeLabel(&label), ERROR_SUCCESS);
  EXPECT_EQ(label, "OLDLABEL");

  // The long name's entries are skipped; its short alias is an ordinary file.
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  std::set<std::string> names;
  for (const FatEntryInfo& e : entries) names.insert(e.name);
  EXPECT_EQ(names, (std::set<std::string>{"HELLO.TXT", "ALONGF~1.TXT", "OLDLABEL"}));
  EXPECT_EQ(m_volume->ReadFile("ALONGF~1.TXT", &back), ERROR_SUCCESS);
  EXPECT_EQ(back, hello);

  // A new entry takes the first free slot, the deleted one, and leaves the long name alone.
  ASSERT_EQ(Put("E:\\NEW.TXT", Pattern(10, 1)), ERROR_SUCCESS);
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[1].slot, goneSlot);
  EXPECT_EQ(entries[1].name, "NEW.TXT");
  EXPECT_EQ(Mtype("a long file name.txt"), hello);
  EXPECT_EQ(Mtype("NEW.TXT"), Pattern(10, 1));
  ExpectClean();
}

TEST_P(FatVolumeOracle, ReplacingAFileFreesItsOldChain) {
  const std::uint64_t freeBefore = FreeBytes();
  ASSERT_EQ(Put("E:\\BIG.BIN", Pattern(5 * ClusterBytes() + 1, 1)), ERROR_SUCCESS);
  EXPECT_EQ(FreeBytes(), freeBefore - 6 * ClusterBytes());
  FatFileHandle handle = kInvalidFatFileHandle;
  bool existed = false;
  ASSERT_EQ(m_volume->CreateAlways("E:\\BIG.BIN", kNormal, &handle, &existed), ERROR_SUCCESS);
  EXPECT_TRUE(existed);
  EXPECT_EQ(FreeBytes(), freeBefore);
  const Bytes small = Pattern(10, 2);
  std::uint32_t written = 0;
  ASSERT_EQ(m_volume->Write(handle, small.data(), 10, &written), ERROR_SUCCESS);
  ASSERT_EQ(m_volume->Close(handle), ERROR_SUCCESS);
  EXPECT_EQ(FreeBytes(), freeBefore - ClusterBytes());
  EXPECT_EQ(Mtype("BIG.BIN"), small);
  ExpectClean();
}

// The program's own copy: clear the attributes of an existing file, create it anew, write it,
// then set its attributes. A second run must replace what the first left hidden or read-only.
TEST_P(FatVolumeOracle, SystemFileCopyRunsTwice) {
  struct SystemFile {
    const char* name;
    std::uint32_t attributes;
    std::size_t size;
  };
  const SystemFile files[] = {{"IBMBIO.COM", kHidden | kSystem, 40726},
                              {"IBMDOS.COM", kHidden | kSystem, 37066},
                              {"COMMAND.COM", kReadOnly | kHidden, 52965}};
  for (std::uint32_t run = 0; run < 2; ++run) {
    for (const SystemFile& file : files) {
      const std::string path = std::string("E:\\") + file.name;
      if (m_volume->FileExists(path.c_str())) {
        ASSERT_EQ(m_volume->SetAttributes(path.c_str(), kNormal), ERROR_SUCCESS);
      }
      ASSERT_EQ(Put(path.c_str(), Pattern(file.size, run * 7 + file.size)), ERROR_SUCCESS) << file.name;
      ASSERT_EQ(m_volume->SetAttributes(path.c_str(), file.attributes), ERROR_SUCCESS);
    }
  }
  std::vector<FatEntryInfo> entries;
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].slot, i);
    EXPECT_EQ(entries[i].name, files[i].name);
    EXPECT_EQ(entries[i].attributes, files[i].attributes);
    EXPECT_EQ(Mtype(files[i].name), Pattern(files[i].size, 7 + files[i].size));
  }
  EXPECT_EQ(entries[0].firstCluster, 2);  // the boot program loads IBMBIO.COM from here
  EXPECT_EQ(Mattrib("IBMBIO.COM"), (std::set<char>{'S', 'H'}));
  EXPECT_EQ(Mattrib("COMMAND.COM"), (std::set<char>{'R', 'H'}));
  ExpectClean();
}

TEST_P(FatVolumeOracle, OverwriteFollowsWindowsRules) {
  ASSERT_EQ(Put("E:\\HS.SYS", Pattern(100, 1), kHidden | kSystem), ERROR_SUCCESS);
  ASSERT_EQ(Put("E:\\RO.TXT", Pattern(100, 2), kReadOnly), ERROR_SUCCESS);
  ASSERT_EQ(Put("E:\\PLAIN.TXT", Pattern(100, 3)), ERROR_SUCCESS);
  std::uint32_t attributes = 0;
  ASSERT_EQ(m_volume->GetAttributes("E:\\PLAIN.TXT", &attributes), ERROR_SUCCESS);
  EXPECT_EQ(attributes, kArchive);
  EXPECT_EQ(Mattrib("HS.SYS"), (std::set<char>{'A', 'S', 'H'}));
  EXPECT_EQ(Mattrib("RO.TXT"), (std::set<char>{'A', 'R'}));

  FatFileHandle handle = kInvalidFatFileHandle;
  EXPECT_EQ(m_volume->CreateAlways("E:\\HS.SYS", kNormal, &handle), ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_volume->CreateAlways("E:\\HS.SYS", kHidden, &handle), ERROR_ACCESS_DENIED);
  EXPECT_EQ(handle, kInvalidFatFileHandle);
  EXPECT_EQ(m_volume->CreateAlways("E:\\RO.TXT", kReadOnly, &handle), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Mtype("RO.TXT"), Pattern(100, 2));
  ASSERT_EQ(m_volume->CreateAlways("E:\\HS.SYS", kHidden | kSystem | kReadOnly, &handle), ERROR_SUCCESS);
  FatFileHandle second = kInvalidFatFileHandle;
  EXPECT_EQ(m_volume->CreateAlways("E:\\hs.sys", kHidden | kSystem, &second), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(m_volume->Close(handle), ERROR_SUCCESS);
  EXPECT_EQ(m_volume->Close(handle), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Mattrib("HS.SYS"), (std::set<char>{'A', 'S', 'H', 'R'}));
  EXPECT_TRUE(Mtype("HS.SYS").empty());

  m_image->Mtools("mmd", "::SUBDIR");
  EXPECT_TRUE(m_volume->FileExists("E:\\SUBDIR"));
  ASSERT_EQ(m_volume->GetAttributes("E:\\SUBDIR", &attributes), ERROR_SUCCESS);
  EXPECT_NE(attributes & kDirectory, 0u);
  EXPECT_EQ(m_volume->CreateAlways("E:\\SUBDIR", kNormal, &handle), ERROR_ACCESS_DENIED);
  EXPECT_EQ(m_volume->CreateAlways("E:\\SUBDIR\\X.TXT", kNormal, &handle), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(m_volume->CreateAlways("E:\\LONGFILENAME.TXT", kNormal, &handle), ERROR_INVALID_NAME);
  EXPECT_EQ(m_volume->SetAttributes("E:\\NONE.TXT", kNormal), ERROR_FILE_NOT_FOUND);
  ExpectClean();
}

TEST_P(FatVolumeOracle, LabelReachesRootEntryAndBootSector) {
  for (const char* name : {"E:\\IBMBIO.COM", "E:\\IBMDOS.COM", "E:\\COMMAND.COM"}) {
    ASSERT_EQ(Put(name, Pattern(700, 1)), ERROR_SUCCESS);
  }
  auto bootLabel = [this] {
    const Bytes boot = m_image->VolumeSector(0);
    return std::string(boot.begin() + 0x2B, boot.begin() + 0x36);
  };
  ASSERT_EQ(m_volume->SetVolumeLabel("my key"), ERROR_SUCCESS);
  EXPECT_NE(m_image->Mtools("mlabel", "-s ::").find("Volume label is MY KEY"), std::string::npos);
  EXPECT_EQ(bootLabel(), "MY KEY     ");
  ASSERT_EQ(m_volume->SetVolumeLabel("Second"), ERROR_SUCCESS);
  std::vector<FatEntryInfo> entries;
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[3].slot, 3u);  // the slot the program later writes the label into by sector
  EXPECT_EQ(entries[3].name, "SECOND");
  EXPECT_EQ(entries[3].attributes, kVolumeLabel);
  EXPECT_EQ(bootLabel(), "SECOND     ");
  ExpectClean();

  const Bytes before = m_image->Bytes();
  for (const char* bad : {"A.B", "A*B", "TWELVE CHARS", "TAB\tX"}) {
    EXPECT_EQ(m_volume->SetVolumeLabel(bad), ERROR_LABEL_TOO_LONG) << bad;
  }
  EXPECT_EQ(m_image->Bytes(), before);

  // A label that begins with 0xE5 (a letter in the code pages) would read as a deleted entry:
  // the entry stores 0x05 there, the boot sector's field the byte itself.
  ASSERT_EQ(m_volume->SetVolumeLabel("\xE5X"), ERROR_SUCCESS);
  ASSERT_EQ(m_volume->ListRoot(&entries), ERROR_SUCCESS);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[3].rawName[0], 0x05);
  EXPECT_EQ(entries[3].name, "\xE5X");
  EXPECT_EQ(bootLabel(), "\xE5X         ");
  EXPECT_EQ(m_image->Mtools("mlabel", "-s ::").find("has no label"), std::string::npos);

  ASSERT_EQ(m_volume->SetVolumeLabel(""), ERROR_SUCCESS);
  EXPECT_NE(m_image->Mtools("mlabel", "-s ::").find("has no label"), std::string::npos);
  EXPECT_EQ(bootLabel(), "NO NAME    ");
  std::string label = "?";
  EXPECT_EQ(m_volume->GetVolumeLabel(&label), ERROR_SUCCESS);
  EXPECT_EQ(label, "");
  ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatVolumeOracle, testing::ValuesIn(fat_test::kLayouts),
                         [](const testing::TestParamInfo<Layout>& info) { return info.param.name; });

// Limits and injected faults, on the small floppy layout.
class FatVolumeLimits : public FatVolumeOracle {};

TEST_P(FatVolumeLimits, FullDiskWritesNothing) {
  ASSERT_EQ(Put("E:\\KEEP.TXT", Pattern(1000, 1)), ERROR_SUCCESS);
  const Bytes fill = Pattern(FreeBytes(), 2);
  ASSERT_EQ(Put("E:\\FILL.BIN", fill), ERROR_SUCCESS);
  EXPECT_EQ(FreeBytes(), 0u);
  FatFileHandle handle = kInvalidFatFileHandle;
  ASSERT_EQ(m_volume->CreateAlways("E:\\MORE.TXT", kNormal, &handle), ERROR_SUCCESS);
  std::uint32_t written = 99;
  EXPECT_EQ(m_volume->Write(handle, fill.data(), 1, &written), ERROR_DISK_FULL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(m_volume->Close(handle), ERROR_SUCCESS);
  EXPECT_EQ(Mtype("KEEP.TXT"), Pattern(1000, 1));
  EXPECT_EQ(Mtype("FILL.BIN"), fill);
  ExpectClean();

  // The root directory has a fixed size: once every slot is taken no file can be made.
  std::uint32_t made = 3;
  for (; made < m_volume->Geometry().rootEntries; ++made) {
    ASSERT_EQ(Put(("E:\\E" + std::to_string(made)).c_str(), {}), ERROR_SUCCESS);
  }
  EXPECT_EQ(m_volume->CreateAlways("E:\\ONEMORE", kNormal, &handle), ERROR_CANNOT_MAKE);
  EXPECT_EQ(m_volume->SetVolumeLabel("NOROOM"), ERROR_CANNOT_MAKE);
  ExpectClean();
}

TEST_P(FatVolumeLimits, InjectedFaultsChangeNothing) {
  ASSERT_EQ(Put("E:\\A.TXT", Pattern(100, 1)), ERROR_SUCCESS);
  const Bytes before = m_image->Bytes();
  m_volume->SetFaults({true, false});
  FatFileHandle handle = kInvalidFatFileHandle;
  EXPECT_EQ(m_volume->CreateAlways("E:\\A.TXT", kNormal, &handle), ERROR_WRITE_PROTECT);
  EXPECT_EQ(m_volume->CreateAlways("E:\\B.TXT", kNormal, &handle), ERROR_WRITE_PROTECT);
  EXPECT_EQ(m_volume->SetAttributes("E:\\A.TXT", kHidden), ERROR_WRITE_PROTECT);
  EXPECT_EQ(m_volume->SetVolumeLabel("X"), ERROR_WRITE_PROTECT);
  EXPECT_TRUE(m_volume->FileExists("E:\\A.TXT"));
  EXPECT_EQ(m_image->Bytes(), before);

  m_volume->SetFaults({false, true});
  EXPECT_EQ(FreeBytes(), 0u);
  ASSERT_EQ(m_volume->CreateAlways("E:\\B.TXT", kNormal, &handle), ERROR_SUCCESS);
  std::uint32_t written = 0;
  EXPECT_EQ(m_volume->Write(handle, before.data(), 1, &written), ERROR_DISK_FULL);
  EXPECT_EQ(m_volume->Close(handle), ERROR_SUCCESS);
  m_volume->SetFaults({});
  ExpectClean();
}

INSTANTIATE_TEST_SUITE_P(Floppy, FatVolumeLimits, testing::Values(fat_test::kLayouts[2]),
                         [](const testing::TestParamInfo<Layout>& info) { return info.param.name; });

}  // namespace
