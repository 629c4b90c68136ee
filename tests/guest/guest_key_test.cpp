// The emulated key on a real USB bus: two keys served by stelvarion-usb-key through qemu's
// usb-redir, driven by the guest's own kernel (usb-storage, sd, sg) and by sg3-utils. What the
// kernel and the tools see must be what the device library reads from the same key over the
// emulated host, and the kernel must attach the keys without a reset or an error.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/guest/guest_run.h"
#include "tests/support/shell_command.h"

namespace guest_test {
namespace {

using test_support::Quote;
using test_support::RunCommand;

constexpr std::size_t kSectorSize = 512;

struct TestKey {
  std::string model;
  std::string capacityMb;
  bool writeProtected = false;
  std::string image;       // set up by the suite
  std::string firstSector; // written into the image before the guest starts
  std::string probe;       // stelvarion-probe's report over the emulated host
};

// For every SCSI generic node, by the model the kernel read: sg_inq, sg_readcap, the information
// block read by sg_raw (vendor command 9C, filler bytes zero) and the first sector by dd; then
// the whole kernel log. Each part starts with a line "== MODEL PART".
constexpr char kGuestScript[] = R"(for node in /sys/class/scsi_generic/sg*; do
  sg=/dev/${node##*/}
  model=$(cat $node/device/model | sed 's/ *$//')
  disk=/dev/$(ls $node/device/block)
  echo "== $model inq"; sg_inq $sg 2>/dev/null; echo "status $?"
  echo "== $model readcap"; sg_readcap $sg 2>/dev/null; echo "status $?"
  echo "== $model raw"
  sg_raw -r 512 -o /tmp/block $sg AD 0A 16 9C 00 00 00 00 00 00 >/dev/null 2>&1; echo "status $?"
  od -An -tx1 -v /tmp/block
  echo "== $model dd"; dd if=$disk bs=512 count=1 2>/dev/null | od -An -tx1 -v
done
echo "== kernel log"; dmesg
)";

// "xx xx ..." lines as bytes.
std::string HexBytes(const std::string& text) {
  std::istringstream in(text);
  std::string bytes;
  for (std::string word; in >> word;) {
    if (word.size() != 2 || word.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
    bytes.push_back(static_cast<char>(std::stoi(word, nullptr, 16)));
  }
  return bytes;
}

std::string ValueAfter(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return {};
  const std::size_t start = at + label.size();
  return text.substr(start, text.find('\n', start) - start);
}

class GuestKeyTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_scratch = new fs::path(ScratchFolder());
    s_keys = new std::vector<TestKey>{{"KV 2 Zarno P3", "512", false, {}, {}, {}}, {"Varnok Key", "256", true, {}, {}, {}}};
    std::vector<std::string> options;
    for (TestKey& key : *s_keys) {
      key.image = (*s_scratch / (key.capacityMb + ".img")).string();
      const std::string keyOptions = "--image " + Quote(key.image) + " --model " + Quote(key.model) +
                                     " --capacity " + key.capacityMb;
      // The first use makes the image; then its first sector gets bytes of its own.
      const auto made = RunCommand(std::string(STELVARION_PROBE) + " " + keyOptions);
      ASSERT_EQ(made.exitCode, 0) << made.output;
      key.firstSector = WriteRandomSector(key.image);
      const auto probe = RunCommand(std::string(STELVARION_PROBE) + " " + keyOptions + " --info-block");
      ASSERT_EQ(probe.exitCode, 0) << probe.output;
      key.probe = probe.output;
      options.insert(options.end(), {"--key", key.image, "--model", key.model, "--capacity", key.capacityMb});
      if (key.writeProtected) options.push_back("--write-protected");
    }
    s_guest = new GuestResult(GuestRun(options, {"sh", "-c", kGuestScript},
                                       "STELVARION_USB_KEY=" + Quote(STELVARION_USB_KEY)));
    s_parts = new std::map<std::string, std::string>;
    std::string name;
    for (const std::string& line : Lines(s_guest->out)) {
      if (line.rfind("== ", 0) == 0) {
        name = line.substr(3);
      } else {
        (*s_parts)[name] += line + "\n";
      }
    }
  }

  static void TearDownTestSuite() {
    fs::remove_all(*s_scratch);
    delete s_scratch;
    delete s_keys;
    delete s_guest;
    delete s_parts;
  }

  static std::string WriteRandomSector(const std::string& image) {
    const fs::path sector = *s_scratch / "sector";
    const std::string bytes = WriteRandomImage(sector, kSectorSize);
    const auto written = RunCommand("dd if=" + Quote(sector.string()) + " of=" + Quote(image) +
                                    " bs=512 count=1 conv=notrunc");
    EXPECT_EQ(written.exitCode, 0) << written.output;
    return bytes;
  }

  static std::string Part(const TestKey& key, const std::string& part) {
    const auto found = s_parts->find(key.model + " " + part);
    return found == s_parts->end() ? std::string() : found->second;
  }

  static void ExpectGuestRan() {
    ASSERT_EQ(s_guest->exitCode, 0) << s_guest->err;
  }

  static fs::path* s_scratch;
  static std::vector<TestKey>* s_keys;
  static GuestResult* s_guest;
  static std::map<std::string, std::string>* s_parts;
};

fs::path* GuestKeyTest::s_scratch = nullptr;
std::vector<TestKey>* GuestKeyTest::s_keys = nullptr;
GuestResult* GuestKeyTest::s_guest = nullptr;
std::map<std::string, std::string>* GuestKeyTest::s_parts = nullptr;

TEST_F(GuestKeyTest, SgInqPrintsTheKeysInquiryTexts) {
  ExpectGuestRan();
  for (const TestKey& key : *s_keys) {
    const std::string inq = Part(key, "inq");
    EXPECT_NE(inq.find("status 0"), std::string::npos) << inq;
    // The probe prints "Inquiry:    VENDOR / PRODUCT / REVISION".
    std::string texts = ValueAfter(key.probe, "Inquiry:    ");
    ASSERT_FALSE(texts.empty()) << key.probe;
    const std::size_t first = texts.find(" / ");
    const std::size_t second = texts.find(" / ", first + 3);
    EXPECT_EQ(ValueAfter(inq, "Vendor identification: ").substr(0, first), texts.substr(0, first)) << inq;
    EXPECT_EQ(ValueAfter(inq, "Product identification: ").rfind(texts.substr(first + 3, second - first - 3), 0), 0u)
        << inq;
    EXPECT_EQ(ValueAfter(inq, "Product revision level: "), texts.substr(second + 3)) << inq;
    EXPECT_NE(inq.find("Product identification: " + key.model), std::string::npos) << inq;
  }
}

TEST_F(GuestKeyTest, SgReadcapPrintsTheVisibleSize) {
  ExpectGuestRan();
  for (const TestKey& key : *s_keys) {
    const std::string readcap = Part(key, "readcap");
    EXPECT_NE(readcap.find("status 0"), std::string::npos) << readcap;
    // A fresh key shows its whole flash, which is the image the key made.
    const std::uintmax_t sectors = fs::file_size(key.image) / kSectorSize;
    EXPECT_NE(readcap.find("Last LBA=" + std::to_string(sectors - 1) + " "), std::string::npos) << readcap;
    EXPECT_NE(readcap.find("Number of logical blocks=" + std::to_string(sectors) + "\n"), std::string::npos)
        << readcap;
    EXPECT_NE(readcap.find("Logical block length=512 bytes"), std::string::npos) << readcap;
  }
}

TEST_F(GuestKeyTest, SgRawReadsTheInformationBlockTheLibraryReads) {
  ExpectGuestRan();
  for (const TestKey& key : *s_keys) {
    const std::string raw = Part(key, "raw");
    EXPECT_EQ(raw.rfind("status 0\n", 0), 0u) << raw;
    const std::string overBus = HexBytes(raw.substr(raw.find('\n') + 1));
    const std::size_t at = key.probe.find("Info block:\n");
    ASSERT_NE(at, std::string::npos) << key.probe;
    const std::string overHost = HexBytes(key.probe.substr(at + 12));
    ASSERT_EQ(overHost.size(), kSectorSize) << key.probe;
    EXPECT_EQ(overBus.size(), kSectorSize) << raw;
    EXPECT_TRUE(overBus == overHost) << "over the bus:\n" << raw << "over the emulated host:\n" << key.probe;
  }
}

TEST_F(GuestKeyTest, DdReadsTheFirstSector) {
  ExpectGuestRan();
  for (const TestKey& key : *s_keys) {
    EXPECT_TRUE(HexBytes(Part(key, "dd")) == key.firstSector) << key.model << ":\n" << Part(key, "dd");
  }
}

TEST_F(GuestKeyTest, TheKernelAttachesEachKeyWithoutResetOrError) {
  ExpectGuestRan();
  const std::string log = (*s_parts)["kernel log"];
  for (const TestKey& key : *s_keys) {
    EXPECT_NE(log.find("Product: " + key.model + "\n"), std::string::npos) << key.model;
    EXPECT_NE(log.find("Direct-Access     Varnok   " + key.model), std::string::npos) << key.model;
  }
  std::size_t massStorage = 0, attached = 0, writeProtectOn = 0, writeProtectOff = 0;
  for (const std::string& line : Lines(log)) {
    massStorage += line.find("USB Mass Storage device detected") != std::string::npos;
    attached += line.find("Attached SCSI removable disk") != std::string::npos;
    writeProtectOn += line.find("Write Protect is on") != std::string::npos;
    writeProtectOff += line.find("Write Protect is off") != std::string::npos;
    const bool storageLine = line.find("usb") != std::string::npos || line.find(" sd ") != std::string::npos ||
                             line.find("scsi") != std::string::npos;
    if (!storageLine) continue;
    for (const char* trouble : {"reset", "rror", "fail", "timeout", "abort", "Sense Key"}) {
      EXPECT_EQ(line.find(trouble), std::string::npos) << line;
    }
  }
  EXPECT_EQ(massStorage, s_keys->size()) << log;
  EXPECT_EQ(attached, s_keys->size()) << log;
  EXPECT_EQ(writeProtectOn, 1u) << log;
  EXPECT_EQ(writeProtectOff, 1u) << log;
}

}  // namespace
}  // namespace guest_test
