// The key an image keeps: its state file read back, refused when damaged, the key taken from it
// by the front ends' one path, options that contradict it, files that are not its image, and the
// lock that keeps a second run away.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>  // getpid

#include "key/emulated_key.h"
#include "key/key_state.h"
#include "key/stored_key.h"

namespace {

namespace fs = std::filesystem;
using emulated::EmulatedKey;
using emulated::KeyConfig;
using emulated::KeyPropertiesGiven;
using emulated::KeyState;
using emulated::KeyStateError;
using emulated::KeyView;
using emulated::OpenStoredKey;
using emulated::StoredKeyRefused;
using Kind = StoredKeyRefused::Kind;

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheck = 0x02;

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Spit(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

// Which file a name stands for; Windows gives no inode numbers, and every file the same.
ino_t Inode(const std::string& path) {
#if defined(_WIN32)
  (void)path;
  return 0;
#else
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
#endif
}

// A vendor block with a data phase, straight to the key.
std::uint8_t Send(EmulatedKey& key, std::uint8_t subcode, std::vector<std::uint8_t> data, bool dataIn = false,
                  std::uint8_t byte5 = 0) {
  std::array<std::uint8_t, 10> cdb{0xAD, 0x0A, 0x16, subcode, 0x5C, byte5, 0x5C, 0x5C, 0x5C, 0x5C};
  emulated::ScsiCommand command;
  command.cdb = cdb.data();
  command.cdbLength = 10;
  command.dataIn = dataIn;
  command.data = data.empty() ? nullptr : data.data();
  command.length = static_cast<std::uint32_t>(data.size());
  return key.Execute(command);
}

std::vector<std::uint8_t> AreaSize(std::uint32_t sectors) {
  return {static_cast<std::uint8_t>(sectors >> 24), static_cast<std::uint8_t>(sectors >> 16),
          static_cast<std::uint8_t>(sectors >> 8), static_cast<std::uint8_t>(sectors)};
}

// The first password and hint of an area (0xB3).
std::vector<std::uint8_t> PasswordAndHint(const std::string& password, const std::string& hint) {
  std::vector<std::uint8_t> payload(145, 0);
  std::copy(password.begin(), password.end(), payload.begin());
  payload[15] = static_cast<std::uint8_t>(password.size());
  std::copy(hint.begin(), hint.end(), payload.begin() + 16);
  payload[144] = static_cast<std::uint8_t>(hint.size());
  return payload;
}

class StoredKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    m_folder = fs::temp_directory_path() / ("stored-key-" + std::string(test->name()) + "-" + std::to_string(::getpid()));
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
    m_image = (m_folder / "key.img").string();
    m_state = m_image + ".state";
  }
  void TearDown() override { fs::remove_all(m_folder); }

  KeyConfig Config(const std::string& model = "KV 2 Zarno P3", std::uint32_t capacityMb = 64) const {
    KeyConfig config;
    config.model = model;
    config.capacityMb = capacityMb;
    config.imagePath = m_image;
    return config;
  }

  // The refusal an attempt meets; fails the test when it is not refused.
  StoredKeyRefused Refusal(const KeyConfig& config, const KeyPropertiesGiven& given = {}) {
    try {
      OpenStoredKey(config, given);
    } catch (const StoredKeyRefused& refused) {
      return refused;
    }
    ADD_FAILURE() << "not refused";
    return StoredKeyRefused(Kind::kUnusable, "");
  }

  fs::path m_folder;
  std::string m_image;
  std::string m_state;
};

TEST(KeyStateFormat, EveryFieldComesBackAndAnyChangeToTheFileIsRefused) {
  KeyState s;
  s.model = "Varnok Key";
  s.capacityMb = 512;
  s.revision = "1.15";
  s.flashType = 3;
  s.bankCount = 2;
  s.inquiryProduct = "Odd \"Key\"\\";
  s.flashSectors = 1009664;
  s.areaRegister = 4000;
  s.view = KeyView::kSecondArea;
  s.areas[1] = {"pass\nword", std::string("h\x00\xE5int", 6)};
  s.infoBlock[0] = 0x0A;
  s.infoBlock[511] = 0xFE;
  s.parameterBlock[149] = 7;
  s.blockA3.fill(0xA3);
  s.bulkArea.assign(16384, 0x5A);
  s.pages[65535].fill(0x11);
  s.pages[3].fill(0x33);
  const std::string text = emulated::FormatKeyState(s);
  EXPECT_EQ(text.rfind("stelvarion-key-state 2\nmodel \"Varnok Key\"\n", 0), 0u) << text.substr(0, 80);
  EXPECT_NE(text.find("\narea 1 password \"pass\\x0Aword\" hint \"h\\x00\\xE5int\"\n"), std::string::npos);
  const KeyState back = emulated::ParseKeyState(text, "k.state");
  EXPECT_TRUE(back == s);
  EXPECT_EQ(back.areas[1].hint, s.areas[1].hint);
  EXPECT_EQ(back.view, KeyView::kSecondArea);
  EXPECT_EQ(back.pages.size(), 2u);

  const auto refusal = [](const std::string& changed) {
    try {
      emulated::ParseKeyState(changed, "k.state");
    } catch (const KeyStateError& error) {
      return std::string(error.what());
    }
    return std::string("(read)");
  };
  // One byte changed anywhere, or the file cut short: the checksum no longer holds.
  std::string flipped = text;
  flipped[text.find("area-register 4000") + 14] = '5';
  EXPECT_EQ(refusal(flipped),
            "k.state is damaged (its checksum does not match); delete the image and its state file to start over");
  EXPECT_NE(refusal(text.substr(0, text.size() / 2)).find("k.state is damaged"), std::string::npos);
  EXPECT_EQ(refusal(""), "k.state is not an emulated key's state file");
  EXPECT_EQ(refusal("some text file\n"), "k.state is not an emulated key's state file");
  EXPECT_EQ(refusal("stelvarion-key-state 3\nmodel \"x\"\n"),
            "k.state is a key state of version \"3\"; this program reads versions 1 to 2");
  const std::string damaged = "k.state is damaged (";
  const std::string startOver = "); delete the image and its state file to start over";
  EXPECT_EQ(refusal(text.substr(0, 21)), damaged + "it ends in its first line" + startOver);
  std::string crlf;
  for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(refusal(crlf),
            damaged + "its lines end in CR LF, as a Windows editor saves text; a key's state has LF line ends only" + startOver);

  // Every value the front ends' options refuse, stored with a right checksum.
  struct Bad {
    const char* field;
    void (*change)(KeyState&);
    const char* why;
  };
  const Bad bad[] = {
      {"model", [](KeyState& k) { k.model = "Bogus Key"; }, "model \"Bogus Key\" is no key this program knows"},
      {"capacity", [](KeyState& k) { k.capacityMb = 0; }, "capacity-mb is 0"},
      {"banks", [](KeyState& k) { k.bankCount = 0; }, "banks is 0"},
      {"empty revision", [](KeyState& k) { k.revision.clear(); }, "revision \"\" is not four characters of printable ASCII"},
      {"revision with ESC", [](KeyState& k) { k.revision = "2.4\x1B"; },
       "revision \"2.4\\x1B\" is not four characters of printable ASCII"},
      {"revision with NUL", [](KeyState& k) { k.revision = std::string("2.\0" "5", 4); },
       "revision \"2.\\x005\" is not four characters of printable ASCII"},
      {"65-character revision", [](KeyState& k) { k.revision.assign(65, '7'); },
       "revision \"77777777777777777777\"... (65 bytes) is not four characters of printable ASCII"},
      {"16-byte password", [](KeyState& k) { k.areas[0].password.assign(16, 'p'); },
       "the password of area 0 is longer than 15 bytes"},
      {"129-byte hint", [](KeyState& k) { k.areas[1] = {"p", std::string(129, 'h')}; },
       "the hint of area 1 is longer than 128 bytes"},
      {"inquiry vendor with ESC", [](KeyState& k) { k.inquiryVendor = "Var\x1Bnok"; },
       "inquiry-vendor is not up to 8 characters of printable ASCII"},
      {"17-character inquiry product", [](KeyState& k) { k.inquiryProduct.assign(17, 'P'); },
       "inquiry-product is not up to 16 characters of printable ASCII"},
  };
  for (const Bad& b : bad) {
    KeyState changed = s;
    b.change(changed);
    EXPECT_EQ(refusal(emulated::FormatKeyState(changed)), damaged + b.why + startOver) << b.field;
  }
  KeyState longest = s;
  longest.areas[0] = {std::string(15, '\x01'), std::string(128, '\xFF')};
  longest.inquiryVendor.assign(8, 'V');
  longest.inquiryProduct.assign(16, 'P');
  EXPECT_EQ(refusal(emulated::FormatKeyState(longest)), "(read)");
}

TEST_F(StoredKeyTest, FirstUseMakesTheKeyFromTheOptionsAndLaterUseTakesTheStoredOne) {
  {
    auto key = OpenStoredKey(Config("Varnok Key", 32), {});
    EXPECT_EQ(fs::file_size(m_image), emulated::KeyFlashSectors(key->Config()) * 512);
    ASSERT_TRUE(fs::exists(m_state));
    // What the host sets is stored as the command is answered: areas, passwords, blocks.
    EXPECT_EQ(Send(*key, 0xB4, AreaSize(20000)), kGood);
    EXPECT_EQ(Send(*key, 0xB3, PasswordAndHint("secret", "the usual"), false, 1), kGood);
    std::vector<std::uint8_t> info(512, 0x42);
    EXPECT_EQ(Send(*key, 0x9B, info), kGood);
    const std::string state = Slurp(m_state);
    EXPECT_NE(state.find("\narea-register 20000\nview whole-flash\n"), std::string::npos);
    EXPECT_NE(state.find("\narea 1 password \"secret\" hint \"the usual\"\n"), std::string::npos);
    EXPECT_NE(state.find("\ninfo-block 424242"), std::string::npos);
  }
  // Plugged in again, with none of the key's options: the same key, its second area locked.
  KeyConfig plain;
  plain.imagePath = m_image;
  auto key = OpenStoredKey(plain, {});
  EXPECT_EQ(key->Config().model, "Varnok Key");
  EXPECT_EQ(key->Config().capacityMb, 32u);
  EXPECT_EQ(key->Areas().Register(), 20000u);
  EXPECT_EQ(key->Areas().View(), KeyView::kWholeFlash);
  EXPECT_EQ(key->Areas().Password(1), "secret");
  EXPECT_EQ(key->Areas().Hint(1), "the usual");
  EXPECT_FALSE(key->Areas().Unlocked(1));
  EXPECT_EQ(key->InfoBlock()[0], 0x42);
  // The write-protect switch is the options', not the key's.
  KeyConfig protectedConfig = plain;
  protectedConfig.writeProtected = true;
  key.reset();
  EXPECT_TRUE(OpenStoredKey(protectedConfig, {})->WriteProtected());
}

TEST_F(StoredKeyTest, AnOptionThatContradictsTheStoredKeyIsAUsageErrorNamingTheStoredValue) {
  OpenStoredKey(Config("KV 2 Zarno P3", 64), {}).reset();
  struct Case {
    KeyConfig config;
    KeyPropertiesGiven given;
    std::string message;
  };
  const std::string startOver = " (delete " + m_image + " and " + m_state + " to start over with a fresh key)";
  KeyConfig model = Config("Varnok Key", 64), capacity = Config("KV 2 Zarno P3", 128), revision = Config(),
            flashType = Config(), banks = Config();
  revision.revision = "2.61";
  flashType.flashType = 3;
  banks.bankCount = 2;
  const Case cases[] = {
      {model, {true, false, false, false, false}, "--model \"Varnok Key\" contradicts the key in " + m_image + ": it is a \"KV 2 Zarno P3\""},
      {capacity, {false, true, false, false, false}, "--capacity 128 contradicts the key in " + m_image + ": it has 64 MB"},
      {revision, {false, false, true, false, false}, "--revision 2.61 contradicts the key in " + m_image + ": its firmware is 2.45"},
      {flashType, {false, false, false, true, false}, "--flash-type 3 contradicts the key in " + m_image + ": its flash type is 2"},
      {banks, {false, false, false, false, true}, "--banks 2 contradicts the key in " + m_image + ": it has 1 bank"},
  };
  const std::string stateBefore = Slurp(m_state);
  for (const Case& c : cases) {
    const StoredKeyRefused refused = Refusal(c.config, c.given);
    EXPECT_EQ(refused.WhatKind(), Kind::kContradicted);
    EXPECT_EQ(refused.what(), c.message + startOver);
  }
  // The same values typed again, or not typed at all, are no contradiction.
  EXPECT_NO_THROW(OpenStoredKey(Config("KV 2 Zarno P3", 64), {true, true, true, true, true}));
  EXPECT_NO_THROW(OpenStoredKey(model, {}));
  EXPECT_EQ(Slurp(m_state), stateBefore);
}

TEST_F(StoredKeyTest, AFileThatIsNotTheKeysImageIsRefusedAndLeftAsItWas) {
  const std::uint64_t flashBytes = emulated::KeyFlashSectors(Config()) * 512;
  // Some other file: refused by its size, with both sizes named.
  Spit(m_image, std::string(10000, 'x'));
  StoredKeyRefused refused = Refusal(Config());
  EXPECT_EQ(refused.WhatKind(), Kind::kNotTheKeyImage);
  EXPECT_EQ(std::string(refused.what()),
            m_image + " is not a key image: it holds 10000 bytes, the key's flash " + std::to_string(flashBytes) + " bytes");
  EXPECT_EQ(fs::file_size(m_image), 10000u);
  EXPECT_FALSE(fs::exists(m_state));
#if !defined(_WIN32)
  // A symbolic link to it as well.
  const std::string link = (m_folder / "link.img").string();
  fs::create_symlink(m_image, link);
  KeyConfig viaLink = Config();
  viaLink.imagePath = link;
  EXPECT_EQ(Refusal(viaLink).WhatKind(), Kind::kNotTheKeyImage);
  EXPECT_EQ(fs::file_size(m_image), 10000u);
  EXPECT_FALSE(fs::exists(link + ".state"));
  EXPECT_FALSE(fs::exists(m_state));
#endif
  // A folder is no image either.
  KeyConfig folder = Config();
  folder.imagePath = m_folder.string();
  EXPECT_EQ(Refusal(folder).WhatKind(), Kind::kUnusable);

  // An image of the right size without a state (made before keys kept one) is the options' key;
  // an empty file holds nothing to lose.
  fs::resize_file(m_image, flashBytes);
  EXPECT_NO_THROW(OpenStoredKey(Config(), {}));
  EXPECT_TRUE(fs::exists(m_state));
  // Once the key is stored, its image must keep the flash's size.
  fs::resize_file(m_image, flashBytes + 512);
  refused = Refusal(Config());
  EXPECT_EQ(refused.WhatKind(), Kind::kNotTheKeyImage);
  EXPECT_NE(std::string(refused.what()).find("is not this key's image: it holds " + std::to_string(flashBytes + 512)),
            std::string::npos)
      << refused.what();

  // A state whose image is gone is not made into a fresh key, and no image appears.
  fs::remove(m_image);
  refused = Refusal(Config());
  EXPECT_EQ(refused.WhatKind(), Kind::kNotTheKeyImage);
  EXPECT_EQ(std::string(refused.what()), m_state + " holds the state of a key whose image " + m_image +
                                             " is missing; delete " + m_state + " to start over with a fresh key");
  EXPECT_FALSE(fs::exists(m_image));
  fs::remove(m_state);
  Spit(m_image, "");
  EXPECT_NO_THROW(OpenStoredKey(Config(), {}));
  EXPECT_EQ(fs::file_size(m_image), flashBytes);
}

TEST_F(StoredKeyTest, ADamagedStateIsAnErrorAndNeverAFreshKey) {
  OpenStoredKey(Config(), {}).reset();
  std::string state = Slurp(m_state);
  state[state.find("capacity-mb 64") + 12] = '5';
  Spit(m_state, state);
  const StoredKeyRefused refused = Refusal(Config());
  EXPECT_EQ(refused.WhatKind(), Kind::kBadState);
  EXPECT_EQ(std::string(refused.what()),
            m_state + " is damaged (its checksum does not match); delete the image and its state file to start over");
  EXPECT_EQ(Slurp(m_state), state);

  // Nor does a damaged state beside a missing image leave an image behind.
  fs::remove(m_image);
  EXPECT_EQ(Refusal(Config()).WhatKind(), Kind::kBadState);
  EXPECT_FALSE(fs::exists(m_image));
}

// Every checksum line holds the CRC-32 of all the bytes before it, as the format says.
bool EveryChecksumHolds(const std::string& file) {
  std::uint32_t crc = 0xFFFFFFFFu;
  int lines = 0;
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t end = file.find('\n', at);
    if (end == std::string::npos) break;
    if (file.compare(at, 9, "checksum ") == 0) {
      char expected[24];
      std::snprintf(expected, sizeof expected, "checksum %08X", static_cast<unsigned>(~crc));
      if (file.substr(at, end - at) != expected) return false;
      ++lines;
    }
    for (std::size_t i = at; i <= end; ++i) {
      crc ^= static_cast<std::uint8_t>(file[i]);
      for (int bit = 0; bit < 8; ++bit) crc = crc & 1u ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    at = end + 1;
  }
  return lines > 0;
}

// A page stored costs one line and its checksum, however many the key holds; a change a killed
// run left unfinished, and a new copy it never renamed, are ignored and cleaned away.
TEST_F(StoredKeyTest, AChangeIsAddedToTheFileAndAnUnfinishedOneIsIgnored) {
  OpenStoredKey(Config(), {}).reset();
  KeyState many = emulated::ParseKeyState(Slurp(m_state), m_state);
  for (std::uint16_t page = 100; page < 1100; ++page) many.pages[page].fill(0x3C);
  Spit(m_state, emulated::FormatKeyState(many));
  // Send's blocks carry 5C in every free byte: the page is 5C5C.
  constexpr std::uint16_t kPage = 0x5C5C;
  {
    auto key = OpenStoredKey(Config(), {});
    // The run's first change writes a whole copy (dropping whatever a killed run left)...
    EXPECT_EQ(Send(*key, 0xB4, AreaSize(20000)), kGood);
    const ino_t copy = Inode(m_state);
    const std::string before = Slurp(m_state);
    // ...and each later one adds its lines to it, the same file.
    for (std::uint8_t n = 1; n <= 3; ++n) EXPECT_EQ(Send(*key, 0xA1, std::vector<std::uint8_t>(64, n)), kGood);
    const std::string after = Slurp(m_state);
    EXPECT_EQ(Inode(m_state), copy);
    ASSERT_EQ(after.compare(0, before.size(), before), 0);
    const std::string added = after.substr(before.size());
    EXPECT_EQ(added.size(), 3 * (std::string("page 23644 \nchecksum 01234567\n").size() + 128)) << added.substr(0, 300);
    EXPECT_EQ(added.rfind("page 23644 0101", 0), 0u) << added.substr(0, 40);
    EXPECT_TRUE(EveryChecksumHolds(after));
  }
  // Cut off in its next change: the state before it is read; the next change writes a whole copy.
  std::string state = Slurp(m_state);
  Spit(m_state, state + "area-register 7\nview first-ar");
  Spit(m_state + ".new", state.substr(0, 100));
  KeyConfig plain;
  plain.imagePath = m_image;
  auto key = OpenStoredKey(plain, {});
  EXPECT_EQ(key->Areas().Register(), 20000u);
  EXPECT_EQ(key->Page(kPage)[63], 3);
  EXPECT_EQ(key->Page(1099)[0], 0x3C);
  EXPECT_FALSE(fs::exists(m_state + ".new"));
  const ino_t before = Inode(m_state);
  EXPECT_EQ(Send(*key, 0xB4, AreaSize(30000)), kGood);
  if (before != 0) {
    EXPECT_NE(Inode(m_state), before) << "a whole copy is a new file";
  }
  state = Slurp(m_state);
  EXPECT_EQ(state.find("area-register 7\n"), std::string::npos);
  EXPECT_EQ(state.substr(state.size() - 18, 9), "checksum ");
  EXPECT_TRUE(EveryChecksumHolds(state));
}

// All a key can hold (every page, every text at its longest and escaped) comes back; a file
// larger than any key's state is refused by its size.
TEST_F(StoredKeyTest, TheLargestStateIsReadBackAndALargerFileIsRefused) {
  KeyState s = emulated::ParseKeyState(emulated::FormatKeyState([] {
                                         KeyState k;
                                         k.model = "Varnok Key";
                                         k.capacityMb = 65535;
                                         k.revision = "2.45";
                                         k.flashType = 65535;
                                         k.bankCount = 65535;
                                         k.bulkArea.assign(16384, 0);
                                         return k;
                                       }()),
                                       "largest");
  s.areaRegister = 0xFFFFFFFFu;
  for (auto& area : s.areas) area = {std::string(15, '\x01'), std::string(128, '"')};
  s.inquiryVendor.assign(8, 'V');
  s.inquiryProduct.assign(16, 'P');
  for (std::uint32_t page = 0; page < 0x10000; ++page) s.pages[static_cast<std::uint16_t>(page)].fill(0xEE);
  std::string error;
  emulated::KeyStateFile file(m_state);
  ASSERT_TRUE(file.Save(s, &error)) << error;
  EXPECT_LE(fs::file_size(m_state) * 2, emulated::LargestKeyStateFile());
  const std::optional<KeyState> back = emulated::KeyStateFile(m_state).Load();
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->pages, s.pages);
  EXPECT_EQ(back->areas[1].password, s.areas[1].password);
  EXPECT_EQ(back->areas[1].hint, s.areas[1].hint);
  EXPECT_EQ(back->inquiryProduct, s.inquiryProduct);

  fs::resize_file(m_state, emulated::LargestKeyStateFile() + 1);
  try {
    emulated::KeyStateFile(m_state).Load();
    ADD_FAILURE() << "read";
  } catch (const KeyStateError& refused) {
    EXPECT_EQ(std::string(refused.what()), m_state + " is not an emulated key's state file: it holds " +
                                               std::to_string(emulated::LargestKeyStateFile() + 1) +
                                               " bytes, and a key's state takes at most " +
                                               std::to_string(emulated::LargestKeyStateFile()));
  }
}

TEST_F(StoredKeyTest, ASecondRunOnTheSameImageIsRefusedAtOnceWhileTheFirstHoldsIt) {
  auto first = OpenStoredKey(Config(), {});
  const std::string stateBefore = Slurp(m_state);
  const StoredKeyRefused refused = Refusal(Config());
  EXPECT_EQ(refused.WhatKind(), Kind::kInUse);
  EXPECT_EQ(std::string(refused.what()), "the key in " + m_image + " is in use by another program; wait for it to finish");
#if !defined(_WIN32)
  // Through another name of the same file too.
  const std::string link = (m_folder / "link.img").string();
  fs::create_symlink(m_image, link);
  KeyConfig viaLink = Config();
  viaLink.imagePath = link;
  EXPECT_EQ(Refusal(viaLink).WhatKind(), Kind::kInUse);
#endif
  EXPECT_EQ(Slurp(m_state), stateBefore);
  // The lock goes with the key.
  first.reset();
  EXPECT_NO_THROW(OpenStoredKey(Config(), {}));
}

// A key in memory keeps nothing and takes no lock.
TEST_F(StoredKeyTest, AKeyWithoutAnImageLivesInMemory) {
  KeyConfig memory = Config();
  memory.imagePath.clear();
  auto one = OpenStoredKey(memory, {});
  auto two = OpenStoredKey(memory, {});
  EXPECT_EQ(Send(*one, 0xB4, AreaSize(100)), kGood);
  EXPECT_EQ(one->StateFile(), nullptr);
  EXPECT_FALSE(fs::exists(m_image));
  EXPECT_EQ(Send(*two, 0xB4, AreaSize(0)), kCheck);
}

}  // namespace
