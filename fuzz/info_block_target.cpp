// The information block as the key hands it over: any 512 bytes, read by the four decoding
// entry functions over either transport (with commands failing on the way, when the input asks
// for it), then written by the two encoding ones from arbitrary texts.
//
// Input: the block (512 bytes, zero-padded), then the choices read by FuzzInput.
#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <optional>

#include "devlib/commands/device_info.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "host/byte_order.h"
#include "host/emulated/emulated_host.h"

namespace fuzz {
namespace {

using Block = std::array<std::uint8_t, 512>;

constexpr char kDateText[] = "12/07/26";

std::string HexPair(std::uint8_t value) {
  static const char kDigits[] = "0123456789abcdef";
  return {kDigits[value >> 4], kDigits[value & 15]};
}

// The identifier text: high byte first, two lowercase digits each.
std::string IdText(const Block& b, std::size_t at) { return HexPair(b[at + 1]) + HexPair(b[at]); }

std::vector<std::uint8_t> Slice(const Block& b, std::size_t at, std::size_t n) {
  return std::vector<std::uint8_t>(b.begin() + static_cast<std::ptrdiff_t>(at),
                                   b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

std::vector<std::uint8_t> TextBytes(const std::string& text) { return {text.begin(), text.end()}; }

// A USB text copied out: as many bytes as its length byte says, at most the field; the rest of
// the caller's buffer is not touched.
void CheckUsbText(const GuardedBuffer& out, const Block& b, std::size_t lengthAt, std::size_t capacity,
                  std::uint8_t fill, const char* name) {
  const std::size_t n = std::min<std::size_t>(b[lengthAt], capacity);
  std::vector<std::uint8_t> expected = Slice(b, lengthAt + 2, n);
  expected.resize(capacity, fill);
  FUZZ_CHECK(out.Contents() == expected, std::string(name) + ": " + Hex(out.Contents()) + " expected " + Hex(expected));
}

constexpr std::uint8_t kFill = 0xA5;

// GetKeyDeviceInfo, GetKeySerialNumber, GetKeyUsbIdTexts and TestKeyInfoFlag. The block the
// library received is `block`, or, when commands may fail, possibly nothing (an all-zero block).
void CheckDecoders(const Block& block, bool faults) {
  const Block zero{};
  std::vector<const Block*> candidates = {&block};
  if (faults) candidates.push_back(&zero);
  const auto signed_ = [](const Block& b) { return b[110] == 0x55 && b[111] == 0xAA; };

  {
    GuardedBuffer vendorId(5, kFill), productId(5, kFill), manufacturer(20, kFill), product(20, kFill),
        serial(24, kFill), scsiVendor(8, kFill), scsiProduct(16, kFill), scsiRevision(4, kFill),
        configuration(3, kFill);
    const ResultCode result =
        GetKeyDeviceInfo(vendorId.chars(), productId.chars(), manufacturer.chars(), product.chars(),
                         serial.chars(), scsiVendor.chars(), scsiProduct.chars(), scsiRevision.chars(),
                         configuration.chars());
    for (const GuardedBuffer* b : {&vendorId, &productId, &manufacturer, &product, &serial, &scsiVendor,
                                   &scsiProduct, &scsiRevision, &configuration}) {
      b->CheckIntact("GetKeyDeviceInfo output");
    }
    if (!faults) {
      FUZZ_CHECK(result == (signed_(block) ? kResultSuccess : kResultGeneralFailure),
                 "GetKeyDeviceInfo answered " + std::to_string(result));
    } else {
      FUZZ_CHECK(result == kResultSuccess || result == kResultGeneralFailure || result == kResultKeyNotFound,
                 "GetKeyDeviceInfo answered " + std::to_string(result));
    }
    if (result != kResultSuccess) {
      // A refused block fills no output.
      for (const GuardedBuffer* b : {&vendorId, &productId, &manufacturer, &product, &serial, &scsiVendor,
                                     &scsiProduct, &scsiRevision, &configuration}) {
        FUZZ_CHECK(b->Contents() == std::vector<std::uint8_t>(b->size(), kFill),
                   "GetKeyDeviceInfo failed with " + std::to_string(result) + " yet wrote " + Hex(b->Contents()));
      }
    } else {
      // Only the key's own block carries a signature.
      FUZZ_CHECK(signed_(block), "GetKeyDeviceInfo accepted a block without the signature");
      FUZZ_CHECK(vendorId.Contents() == TextBytes(IdText(block, 0) + '\0'), "vendor id text " + Hex(vendorId.Contents()));
      FUZZ_CHECK(productId.Contents() == TextBytes(IdText(block, 2) + '\0'), "product id text " + Hex(productId.Contents()));
      CheckUsbText(manufacturer, block, 4, 20, kFill, "manufacturer");
      CheckUsbText(product, block, 26, 20, kFill, "product");
      CheckUsbText(serial, block, 48, 24, kFill, "serial");
      FUZZ_CHECK(scsiVendor.Contents() == Slice(block, 80, 8), "SCSI vendor " + Hex(scsiVendor.Contents()));
      FUZZ_CHECK(scsiProduct.Contents() == Slice(block, 88, 16), "SCSI product " + Hex(scsiProduct.Contents()));
      FUZZ_CHECK(scsiRevision.Contents() == Slice(block, 104, 4), "SCSI revision " + Hex(scsiRevision.Contents()));
      FUZZ_CHECK(configuration.Contents() == TextBytes(HexPair(block[74]) + '\0'),
                 "configuration text " + Hex(configuration.Contents()));
    }
  }

  {
    GuardedBuffer serial(14, kFill);
    const ResultCode result = GetKeySerialNumber(serial.chars());
    serial.CheckIntact("GetKeySerialNumber output");
    if (!faults) FUZZ_CHECK(result == kResultSuccess, "GetKeySerialNumber answered " + std::to_string(result));
    bool matched = false;
    for (const Block* b : candidates) {
      if (result != kResultSuccess && b != &zero) continue;  // a failed read leaves nothing to copy
      std::vector<std::uint8_t> expected = Slice(*b, 50, std::min<std::size_t>((*b)[48], 14));
      expected.resize(14, 0);
      matched = matched || serial.Contents() == expected;
    }
    FUZZ_CHECK(matched, "GetKeySerialNumber (" + std::to_string(result) + ") gave " + Hex(serial.Contents()));
  }

  {
    GuardedBuffer vendorId(4, kFill), productId(4, kFill);
    const ResultCode result = GetKeyUsbIdTexts(vendorId.chars(), productId.chars());
    vendorId.CheckIntact("GetKeyUsbIdTexts vendor output");
    productId.CheckIntact("GetKeyUsbIdTexts product output");
    if (!faults) FUZZ_CHECK(result == kResultSuccess, "GetKeyUsbIdTexts answered " + std::to_string(result));
    bool matched = false;
    for (const Block* b : candidates) {
      if (result != kResultSuccess && b != &zero) continue;
      matched = matched || (vendorId.Contents() == TextBytes(IdText(*b, 0)) &&
                            productId.Contents() == TextBytes(IdText(*b, 2)));
    }
    FUZZ_CHECK(matched, "GetKeyUsbIdTexts (" + std::to_string(result) + ") gave " + Hex(vendorId.Contents()) +
                            " / " + Hex(productId.Contents()));
  }

  {
    const ResultCode result = TestKeyInfoFlag();
    const auto flag = [](const Block& b) { return (b[76] & 0x80) != 0 ? kResultInfoFlagSet : kResultInfoFlagClear; };
    if (!faults) {
      FUZZ_CHECK(result == flag(block), "TestKeyInfoFlag answered " + std::to_string(result));
    } else {
      FUZZ_CHECK(result == flag(block) || result == kResultInfoFlagClear || result == kResultKeyNotFound ||
                     result == kResultGeneralFailure,
                 "TestKeyInfoFlag answered " + std::to_string(result));
    }
  }
}

// "%x" as the key's tools read it: blanks, a sign, an optional 0x, digits, low 32 bits kept;
// empty when no digit follows. Written out here rather than borrowed from the library.
std::optional<unsigned long> ReadHex(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] != '\0' && std::strchr(" \t\n\v\f\r", text[i]) != nullptr) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const auto digit = [&](std::size_t at) -> int {
    if (at >= text.size()) return -1;
    const char c = text[at];
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  // "0x" counts only when a digit follows it; otherwise the 0 is the number.
  if (digit(i) == 0 && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && digit(i + 2) >= 0) {
    i += 2;
  }
  if (digit(i) < 0) return std::nullopt;
  // An overlong text keeps its low bits, as "%x" leaves them in its unsigned target.
  std::uint32_t value = 0;
  for (; digit(i) >= 0; ++i) value = value << 4 | static_cast<std::uint32_t>(digit(i));
  return negative ? static_cast<unsigned long>(0u - value) : value;
}

struct Texts {
  std::string vendorId, productId, manufacturer, product, serial, scsiVendor, scsiProduct, scsiRevision,
      configuration;
  std::uint16_t absent = 0;  // bit i: argument i is a null pointer
};

std::string CText(const std::string& s) { return std::string(s.c_str()); }  // as strlen sees it

void PutUsb(Block& b, std::size_t lengthAt, std::size_t capacity, const std::string& text) {
  const std::string t = CText(text);
  const std::size_t n = std::min(t.size(), capacity);
  b[lengthAt] = static_cast<std::uint8_t>(n);
  b[lengthAt + 1] = 0x03;
  std::copy_n(t.begin(), n, b.begin() + static_cast<std::ptrdiff_t>(lengthAt + 2));
}

void PutPadded(Block& b, std::size_t at, std::size_t width, const std::string* text) {
  std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), width, ' ');
  if (text == nullptr) return;
  const std::string t = CText(*text);
  std::copy_n(t.begin(), std::min(t.size(), width), b.begin() + static_cast<std::ptrdiff_t>(at));
}

bool IsDigits(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t c) { return c >= '0' && c <= '9'; });
}

void CheckSetSerialNumber(emulated::EmulatedKey& key, FuzzInput& in) {
  const Block before = key.InfoBlock();
  const bool absent = in.Byte() % 8 == 0;
  const std::string digits = in.Text(40);
  const std::uint32_t length = absent ? in.Range(0, 40) : in.Range(0, static_cast<std::uint32_t>(digits.size()));
  // Exactly the bytes the length covers, so that a read past them is seen.
  std::vector<char> argument(digits.begin(), digits.begin() + (absent ? 0 : length));
  const std::vector<std::uint8_t> argumentBytes(argument.begin(), argument.end());
  const ResultCode result = SetKeySerialNumber(absent ? nullptr : argument.data(), length);
  FUZZ_CHECK(result == kResultSuccess, "SetKeySerialNumber answered " + std::to_string(result));

  const Block& after = key.InfoBlock();
  const bool generated = absent || length == 0;
  const std::size_t n = generated ? 14 : std::min<std::size_t>(length, 14);
  FUZZ_CHECK(after[48] == n, "serial length byte " + std::to_string(after[48]));
  if (generated) {
    FUZZ_CHECK(IsDigits(after.data() + 50, 14), "generated serial " + Hex(after.data() + 50, 14));
  } else {
    FUZZ_CHECK(std::equal(after.begin() + 50, after.begin() + 50 + static_cast<std::ptrdiff_t>(n), argumentBytes.begin()),
               "stored serial " + Hex(after.data() + 50, n));
  }
  for (std::size_t i = 50 + n; i < 64; ++i) FUZZ_CHECK(after[i] == 0, "serial field not cleared at " + std::to_string(i));
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (i == 48 || (i >= 50 && i < 64)) continue;
    FUZZ_CHECK(after[i] == before[i], "SetKeySerialNumber changed block byte " + std::to_string(i));
  }
}

void CheckSetDeviceInfo(emulated::EmulatedKey& key, FuzzInput& in) {
  Texts t;
  t.absent = static_cast<std::uint16_t>(in.U16() & in.U16());  // mostly present
  for (std::string* s : {&t.vendorId, &t.productId, &t.manufacturer, &t.product, &t.serial, &t.scsiVendor,
                         &t.scsiProduct, &t.scsiRevision, &t.configuration}) {
    *s = in.Text(40);
  }
  const auto arg = [&](int i, const std::string& s) { return (t.absent >> i & 1) != 0 ? nullptr : s.c_str(); };
  // The serial buffer is the caller's, at least 15 bytes, and receives a generated number.
  const std::size_t serialSize = std::max<std::size_t>(15, CText(t.serial).size() + 1);
  GuardedBuffer serial(serialSize, 0);
  serial.Fill(TextBytes(CText(t.serial)));
  const bool serialAbsent = (t.absent >> 4 & 1) != 0;

  const Block before = key.InfoBlock();
  const ResultCode result =
      SetKeyDeviceInfo(arg(0, t.vendorId), arg(1, t.productId), arg(2, t.manufacturer), arg(3, t.product),
                       serialAbsent ? nullptr : serial.chars(), arg(5, t.scsiVendor), arg(6, t.scsiProduct),
                       arg(7, t.scsiRevision), arg(8, t.configuration));
  serial.CheckIntact("SetKeyDeviceInfo serial buffer");

  Block expected{};
  bool refused = false;
  bool generated = false;
  if (arg(0, t.vendorId) != nullptr && arg(1, t.productId) != nullptr) {
    const auto vendor = ReadHex(CText(t.vendorId));
    const auto product = ReadHex(CText(t.productId));
    const bool haveConfiguration = arg(8, t.configuration) != nullptr && !CText(t.configuration).empty();
    const auto configuration = haveConfiguration ? ReadHex(CText(t.configuration)) : std::optional<unsigned long>(0x80);
    refused = !vendor || !product || !configuration;
    if (!refused) {
      PutLittleEndian16(&expected[0], static_cast<std::uint16_t>(*vendor));
      PutLittleEndian16(&expected[2], static_cast<std::uint16_t>(*product));
      PutUsb(expected, 4, 20, arg(2, t.manufacturer) != nullptr ? t.manufacturer : "");
      PutUsb(expected, 26, 20, arg(3, t.product) != nullptr ? t.product : "");
      generated = serialAbsent || CText(t.serial).empty();
      if (!generated) PutUsb(expected, 48, 24, t.serial);
      expected[74] = static_cast<std::uint8_t>(*configuration);
      PutPadded(expected, 80, 8, arg(5, t.scsiVendor) != nullptr ? &t.scsiVendor : nullptr);
      PutPadded(expected, 88, 16, arg(6, t.scsiProduct) != nullptr ? &t.scsiProduct : nullptr);
      PutPadded(expected, 104, 4, arg(7, t.scsiRevision) != nullptr ? &t.scsiRevision : nullptr);
      expected[110] = 0x55;
      expected[111] = 0xAA;
    }
  }

  const Block& after = key.InfoBlock();
  if (refused) {
    FUZZ_CHECK(result == kResultGeneralFailure, "SetKeyDeviceInfo took a text without a number: " + std::to_string(result));
    FUZZ_CHECK(after == before, "a refused SetKeyDeviceInfo changed the block");
    return;
  }
  FUZZ_CHECK(result == kResultSuccess, "SetKeyDeviceInfo answered " + std::to_string(result));
  if (generated) {
    // Day, month and year of the date text, then eight random digits.
    FUZZ_CHECK(after[48] == 14 && after[49] == 0x03, "generated serial header " + Hex(after.data() + 48, 2));
    FUZZ_CHECK(std::memcmp(after.data() + 50, "071226", 6) == 0 && IsDigits(after.data() + 56, 8),
               "generated serial " + Hex(after.data() + 50, 14));
    expected[48] = 14;
    expected[49] = 0x03;
    std::copy_n(after.begin() + 50, 14, expected.begin() + 50);
    if (!serialAbsent) {
      std::vector<std::uint8_t> handedBack(after.begin() + 50, after.begin() + 64);
      handedBack.push_back(0);
      handedBack.resize(serialSize, 0);
      FUZZ_CHECK(serial.Contents() == handedBack, "serial handed back: " + Hex(serial.Contents()));
    }
  } else if (!serialAbsent) {
    std::vector<std::uint8_t> unchanged = TextBytes(CText(t.serial));
    unchanged.resize(serialSize, 0);
    FUZZ_CHECK(serial.Contents() == unchanged, "SetKeyDeviceInfo wrote into a given serial");
  }
  for (std::size_t i = 0; i < after.size(); ++i) {
    FUZZ_CHECK(after[i] == expected[i], "SetKeyDeviceInfo block byte " + std::to_string(i) + " is " +
                                            HexPair(after[i]) + ", expected " + HexPair(expected[i]));
  }
  CheckDecoders(after, false);
}

}  // namespace

void FuzzInfoBlock(const std::uint8_t* data, std::size_t size) {
  Block block{};
  std::copy_n(data, std::min(size, block.size()), block.begin());
  FuzzInput in(data + std::min(size, block.size()), size - std::min(size, block.size()));

  ResetDeviceLibraryForTests();
  {
    emulated::EmulatedHost host;
    host.SetTime(1000000000);
    host.SetDateText(kDateText);
    host.Install();

    const bool helper = in.Bool();
    host.administrator = !helper;
    emulated::KeyConfig config;
    config.capacityMb = 8;
    config.model = in.Pick<const char*>({"KV 2 Zarno P9", "KV 2 Zarno P3", "Varnok Key", "Unknown"});
    const int helperIndex = helper ? static_cast<int>(in.Range(0, 25)) : -1;
    emulated::EmulatedKey& key = host.AttachKey('E', config, helperIndex);
    key.SetInfoBlock(block);

    // A fault on one command from the first identification on.
    const std::uint32_t fault = in.Range(0, 7);
    const std::uint64_t at = in.Range(0, 40);
    switch (fault) {
      case 1: host.faults.failingIoctls.insert(at); break;
      case 2: host.faults.forcedStatus[at] = emulated::kStatusCheckCondition; break;
      case 3: host.faults.keyRemovedFrom = at; break;
      case 4: host.faults.volumesThatDoNotOpen.insert('E'); break;
      default: break;
    }
    // A key of unknown identity is not found on the pass-through transport: as if it failed.
    const bool unreachable = !helper && std::strcmp(config.model.c_str(), "Unknown") == 0;
    const bool faults = (fault >= 1 && fault <= 4) || unreachable;

    CheckDecoders(block, faults);
    FUZZ_CHECK(key.InfoBlock() == block, "reading the information block changed it");

    if (!faults) {
      switch (in.Range(0, 3)) {
        case 1: CheckSetSerialNumber(key, in); break;
        case 2: CheckSetDeviceInfo(key, in); break;
        default: break;
      }
    }
    ResetDeviceLibraryForTests();
  }
}

std::vector<std::vector<std::uint8_t>> InfoBlockSeeds() {
  std::vector<std::vector<std::uint8_t>> seeds;
  const auto blockOf = [](const std::string& manufacturer, const std::string& product, const std::string& serial) {
    emulated::key_record::InfoContents contents;
    contents.vendorId = 0x1B0A;
    contents.productId = 0x0C09;
    contents.manufacturer = manufacturer;
    contents.product = product;
    contents.serial = serial;
    contents.scsiVendor = "Varnok";
    contents.scsiProduct = product;
    contents.scsiRevision = "2.45";
    const Block b = emulated::key_record::BuildInfoBlock(contents);
    return std::vector<std::uint8_t>(b.begin(), b.end());
  };
  for (int transport = 0; transport < 2; ++transport) {
    for (std::uint32_t encode = 0; encode < 3; ++encode) {
      InputWriter w;
      w.Bytes(blockOf("Varnok", "KV 2 Zarno P9", "01012512345678"));
      w.Bool(transport == 1).Range(0, 3, 0);
      if (transport == 1) w.Range(0, 25, 3);
      w.Range(0, 7, 0).Range(0, 40, 0).Range(0, 3, encode);
      if (encode == 1) w.Byte(1).Text("20261207", 40).Range(0, 8, 8);
      if (encode == 2) {
        w.U16(0).U16(0);
        for (const char* text : {"1b0a", "0x0c09", "Varnok", "KV 2 Zarno P9", "", "Varnok", "Stelvarion", "2.45", "80"}) {
          w.Text(text, 40);
        }
      }
      seeds.push_back(w.Data());
    }
  }
  // Length bytes beyond their fields, a missing signature, the flag set, a fault.
  std::vector<std::uint8_t> wide = blockOf("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "product", "serial");
  wide[4] = 0xFF;
  wide[26] = 200;
  wide[48] = 0xFF;
  wide[76] = 0x80;
  seeds.push_back(wide);
  std::vector<std::uint8_t> unsigned_ = blockOf("Varnok", "Key", "1");
  unsigned_[111] = 0;
  seeds.push_back(unsigned_);
  InputWriter faulted;
  faulted.Bytes(blockOf("Varnok", "KV", "2")).Bool(false).Range(0, 3, 1).Range(0, 7, 2).Range(0, 40, 1);
  seeds.push_back(faulted.Data());
  return seeds;
}

}  // namespace fuzz
