// The emulated key's command decoder under sequences of arbitrary commands: any block (10 or 12
// bytes, now and then shorter or longer), either direction, any length up to 64 KiB, any data.
// A small key in memory keeps its state across the sequence, and a model of what the key's
// documentation promises runs beside it: which view the host sees, passwords and locks, and
// that every block, page and sector reads back as last written. Each answer is checked against
// the model, and data going to the key is never changed by it.
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "host/byte_order.h"
#include "key/emulated_key.h"

namespace fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheck = 0x02;
constexpr std::uint32_t kAny = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxLength = 65536;

// The vendor commands by subcode, with the direction and length of their data, as the key's
// command table documents them. 'n': no data, 'i': from the key, 'o': to the key.
struct Shape {
  std::uint8_t subcode;
  char phase;
  std::uint32_t length;
};
constexpr Shape kShapes[] = {
    {0x71, 'n', 0},   {0x72, 'o', kAny}, {0x73, 'o', kAny}, {0x74, 'n', 0},   {0x75, 'n', 0},   {0x77, 'n', 0},
    {0x78, 'i', kAny}, {0x79, 'i', kAny}, {0x79, 'o', 1024}, {0x7A, 'i', 4},   {0x7B, 'n', 0},   {0x81, 'i', 16384},
    {0x82, 'o', 16384}, {0x8B, 'i', kAny}, {0x8C, 'i', kAny}, {0x91, 'o', 512}, {0x92, 'i', 512}, {0x93, 'o', 16},
    {0x95, 'i', 14},  {0x96, 'o', 512}, {0x97, 'n', 0},   {0x98, 'n', 0},   {0x99, 'o', 2},   {0x9A, 'i', 2},
    {0x9B, 'o', 512}, {0x9C, 'i', 512}, {0x9E, 'n', 0},   {0x9F, 'n', 0},   {0xA1, 'o', 64},  {0xA2, 'i', 64},
    {0xA3, 'o', 512}, {0xA4, 'i', 512}, {0xB0, 'n', 0},   {0xB1, 'i', 129}, {0xB2, 'o', 129}, {0xB3, 'o', 145},
    {0xB4, 'o', 4},   {0xB5, 'i', 4},   {0xB6, 'n', 0},   {0xFF, 'i', kAny},
};

const Shape* FindShape(std::uint8_t subcode, bool dataIn) {
  const Shape* first = nullptr;
  for (const Shape& shape : kShapes) {
    if (shape.subcode != subcode) continue;
    if (shape.phase == 'n' || (shape.phase == 'i') == dataIn) return &shape;
    if (first == nullptr) first = &shape;
  }
  return first;
}

bool PhaseFits(const Shape& shape, bool dataIn, std::uint32_t length) {
  switch (shape.phase) {
    case 'n': return length == 0;
    case 'i': return dataIn && (shape.length == kAny || length == shape.length);
    default: return shape.length == kAny ? (!dataIn || length == 0) : !dataIn && length == shape.length;
  }
}

std::string TextField(const std::uint8_t* field, std::size_t capacity, std::uint8_t lengthByte) {
  return std::string(reinterpret_cast<const char*>(field), std::min<std::size_t>(lengthByte, capacity));
}

enum class View { kFirst, kSecond, kWhole };

// What the key's documentation says its state is.
struct Model {
  std::uint64_t flash = 0;
  std::uint32_t areaRegister = 0;
  View view = View::kFirst;
  struct Area {
    std::string password, hint;
    bool unlocked = true;
  };
  std::array<Area, 2> areas;
  bool writeProtected = false;

  std::uint64_t First() const { return std::min<std::uint64_t>(areaRegister, flash); }
  std::pair<std::uint64_t, std::uint64_t> Window(View v) const {
    if (v == View::kFirst) return {0, First()};
    if (v == View::kSecond) return {First(), flash - First()};
    return {0, flash};
  }
  std::pair<std::uint64_t, std::uint64_t> Visible() const { return Window(view); }
  bool Locked(int area) const { return !areas[area].password.empty() && !areas[area].unlocked; }
  bool TouchesLocked(std::uint64_t first, std::uint64_t count) const {
    for (int a = 0; a < 2; ++a) {
      const auto w = Window(a == 0 ? View::kFirst : View::kSecond);
      if (Locked(a) && count > 0 && first < w.first + w.second && w.first < first + count) return true;
    }
    return false;
  }
  void SetPassword(int area, std::string password, std::string hint) {
    if (password.empty()) hint.clear();
    areas[area] = Area{std::move(password), std::move(hint), true};
  }
};

struct Expect {
  std::optional<std::uint8_t> status;  // when the model knows it
  std::optional<std::uint8_t> senseKey;
  std::optional<std::uint8_t> asc;
};

class KeySession {
 public:
  KeySession(emulated::EmulatedKey& key, const emulated::KeyConfig& config) : m_key(key), m_config(config) {
    m_model.flash = key.Flash().SectorCount();
    m_model.areaRegister = static_cast<std::uint32_t>(std::min<std::uint64_t>(m_model.flash, 0xFFFFFFFFu));
    m_model.writeProtected = config.writeProtected;
    const auto info = key.InfoBlock();
    m_blocks[0x9C] = Bytes(info.begin(), info.end());
    const auto parameters = key.ParameterBlock();
    m_blocks[0x92] = Bytes(parameters.begin(), parameters.end());
    m_blocks[0xA4] = Bytes(512, 0xFF);
    m_blocks[0x81] = Bytes(16384, 0xFF);
  }

  // Sends one command and checks the key's answer and state against the model.
  void Run(const Bytes& cdb, bool dataIn, Bytes* data, bool nullData) {
    const Bytes sent = *data;
    const std::uint32_t length = static_cast<std::uint32_t>(data->size());
    emulated::ScsiCommand command{cdb.data(), cdb.size(), dataIn, nullData ? nullptr : (data->empty() ? nullptr : data->data()),
                                  length};
    const std::size_t logBefore = m_key.Log().size();
    const Expect expect = Predict(cdb, dataIn, length, nullData);
    const std::uint8_t status = m_key.Execute(command);
    const std::string what = "command " + Hex(cdb) + (dataIn ? " in " : " out ") + std::to_string(length);

    FUZZ_CHECK(status == kGood || status == kCheck, what + ": status " + std::to_string(status));
    const emulated::Sense& sense = m_key.LastSense();
    if (status == kGood) {
      FUZZ_CHECK(sense.key == 0 && sense.asc == 0, what + ": sense left after GOOD");
    } else {
      FUZZ_CHECK(sense.key == 0x02 || sense.key == 0x03 || sense.key == 0x05 || sense.key == 0x07,
                 what + ": sense key " + std::to_string(sense.key));
    }
    if (expect.status) {
      FUZZ_CHECK(status == *expect.status, what + ": status " + std::to_string(status) + ", the model says " +
                                               std::to_string(*expect.status) + " (sense " + std::to_string(sense.key) +
                                               "/" + Hex(&sense.asc, 1) + ")");
    }
    if (status == kCheck && expect.senseKey) {
      FUZZ_CHECK(sense.key == *expect.senseKey && (!expect.asc || sense.asc == *expect.asc),
                 what + ": sense " + std::to_string(sense.key) + "/" + Hex(&sense.asc, 1));
    }
    FUZZ_CHECK(m_key.Log().size() == std::min<std::size_t>(logBefore + 1, std::size_t{1} << 16),
               what + ": not logged once");
    const emulated::KeyCommandRecord& record = m_key.Log().back();
    FUZZ_CHECK(record.status == status && record.length == length && record.dataIn == dataIn, what + ": log record");
    if (!dataIn) FUZZ_CHECK(*data == sent, what + ": the key changed the data it was sent");

    if (status == kGood && !nullData) After(cdb, *data, sent);
    if (status == kCheck && !nullData) CheckRefusal(cdb, dataIn, sent);
    const auto visible = m_key.Areas().Visible();
    FUZZ_CHECK(visible.base == m_model.Visible().first && visible.sectors == m_model.Visible().second,
               what + ": the key shows sectors " + std::to_string(visible.base) + "+" + std::to_string(visible.sectors) +
                   ", the model " + std::to_string(m_model.Visible().first) + "+" + std::to_string(m_model.Visible().second));
    FUZZ_CHECK(m_key.Areas().Register() == m_model.areaRegister, what + ": area register");
  }

 private:
  static Expect Fails(std::uint8_t key, std::uint8_t asc) { return Expect{kCheck, key, asc}; }
  static Expect Good() { return Expect{kGood, std::nullopt, std::nullopt}; }

  Expect Predict(const Bytes& cdb, bool dataIn, std::uint32_t length, bool nullData) const {
    if (cdb.size() < 10 || (length > 0 && nullData)) return Fails(0x05, 0x24);
    const std::uint8_t* c = cdb.data();
    switch (c[0]) {
      case 0x00:
        if (length != 0) return Fails(0x05, 0x24);
        return m_model.Visible().second == 0 ? Fails(0x02, 0x3A) : Good();
      case 0x12:
        // With EVPD set, only the list of pages (00) and the serial number page (80) exist.
        if ((c[1] & 0x01) != 0 && c[2] != 0x00 && c[2] != 0x80) return Fails(0x05, 0x24);
        return dataIn && length >= c[4] ? Good() : Fails(0x05, 0x24);
      case 0x5A:
        return dataIn && length >= GetBigEndian16(c + 7) ? Good() : Fails(0x05, 0x24);
      case 0x28:
      case 0x2A: {
        const bool write = c[0] == 0x2A;
        const std::uint64_t lba = GetBigEndian32(c + 2);
        const std::uint32_t count = GetBigEndian16(c + 7);
        if (count == 0 && length == 0) return Good();
        if (dataIn == write || length != count * 512) return Fails(0x05, 0x24);
        const auto visible = m_model.Visible();
        if (visible.second == 0) return Fails(0x02, 0x3A);
        if (lba > visible.second || count > visible.second - lba) return Fails(0x05, 0x21);
        if (m_model.TouchesLocked(visible.first + lba, count)) return Fails(0x07, 0x74);
        if (write && m_model.writeProtected) return Fails(0x07, 0x27);
        return Good();
      }
      case 0xFF:
        if (c[1] == 0x1D) return length == 0 ? Good() : Fails(0x05, 0x24);
        return Fails(0x05, 0x20);
      case 0xAD:
        return PredictVendor(c, dataIn, length);
      default:
        return Fails(0x05, 0x20);
    }
  }

  Expect PredictVendor(const std::uint8_t* c, bool dataIn, std::uint32_t length) const {
    if (c[1] != 0x0A || c[2] != 0x16) return Fails(0x05, 0x24);
    const Shape* shape = FindShape(c[3], dataIn);
    if (shape == nullptr) return Fails(0x05, 0x20);
    if (!PhaseFits(*shape, dataIn, length)) return Fails(0x05, 0x24);
    const int area = c[5];
    const bool validArea = area == 0 || area == 1;
    switch (c[3]) {
      case 0x93:
        if (c[6] != 0x00 && c[6] != 0x88) return Fails(0x05, 0x24);
        if (!validArea) return Fails(0x05, 0x24);
        if (m_model.areas[area].password.empty()) return Fails(0x05, 0x2C);
        return Expect{};  // right or wrong password: settled by the data, see After
      case 0x96:
      case 0xB3:
        return validArea ? Expect{} : Fails(0x05, 0x24);
      case 0xB0:
        if (!validArea) return Fails(0x05, 0x24);
        return m_model.areas[area].password.empty() ? Fails(0x05, 0x2C) : Good();
      case 0xB1:
        if (!validArea) return Fails(0x05, 0x24);
        return m_model.areas[area].password.empty() ? Fails(0x05, 0x2C) : Good();
      case 0xB2:
        if (!validArea) return Fails(0x05, 0x24);
        if (m_model.areas[area].password.empty()) return Fails(0x05, 0x2C);
        return m_model.Locked(area) ? Fails(0x07, 0x74) : Good();
      case 0x9E:
        return c[5] == 0 || c[5] == 1 || c[5] == 5 ? Good() : Fails(0x05, 0x24);
      case 0xB6:
        return c[7] <= 1 ? Good() : Fails(0x05, 0x24);
      case 0x79:
        return dataIn || c[5] == 0x01 ? Good() : Fails(0x05, 0x24);
      case 0x99:
      case 0xB4:
        return Expect{};  // the data decides, see After and CheckRefusal
      default:
        return Good();
    }
  }

  // The model follows a command the key accepted, and checks what the key answered.
  void After(const Bytes& cdb, const Bytes& data, const Bytes& sent) {
    const std::uint8_t* c = cdb.data();
    const std::string what = "command " + Hex(cdb);
    if (c[0] == 0xFF && c[1] == 0x1D) {
      m_model.view = View::kFirst;
      for (auto& area : m_model.areas) area.unlocked = area.password.empty();
      return;
    }
    if (c[0] == 0x28 || c[0] == 0x2A) {
      const std::uint32_t count = GetBigEndian16(c + 7);
      const std::uint64_t base = m_model.Visible().first + GetBigEndian32(c + 2);
      for (std::uint32_t i = 0; i < count; ++i) {
        const auto at = data.begin() + static_cast<std::ptrdiff_t>(i) * 512;
        if (c[0] == 0x2A) {
          m_sectors[base + i] = Bytes(at, at + 512);
        } else {
          const auto known = m_sectors.find(base + i);
          const Bytes expected = known != m_sectors.end() ? known->second : Bytes(512, 0);
          FUZZ_CHECK(std::equal(expected.begin(), expected.end(), at),
                     what + ": flash sector " + std::to_string(base + i) + " reads differently from what was written");
        }
      }
      return;
    }
    if (c[0] == 0x12) {
      const std::uint32_t allocation = c[4];
      const bool vitalProductData = (c[1] & 0x01) != 0;
      // The standard data is 36 bytes, a page its 4-byte header and its length; the key writes
      // no further than those and the allocation.
      const std::size_t answer = vitalProductData ? 4u + (allocation >= 4 ? data[3] : 0u) : 36u;
      const std::size_t answered = std::min<std::size_t>(allocation, answer);
      FUZZ_CHECK(std::equal(data.begin() + answered, data.end(), sent.begin() + answered),
                 what + ": INQUIRY wrote past its answer");
      if (vitalProductData) {
        if (allocation >= 2) FUZZ_CHECK(data[1] == c[2], what + ": INQUIRY page code");
      } else if (allocation >= 16) {
        std::string vendor = emulated::InquiryVendorOf(m_config);
        vendor.resize(8, ' ');
        FUZZ_CHECK(Bytes(data.begin() + 8, data.begin() + 16) == Bytes(vendor.begin(), vendor.end()), what + ": INQUIRY vendor");
      }
      return;
    }
    if (c[0] == 0x5A) {
      const std::uint32_t allocation = GetBigEndian16(c + 7);
      if (allocation >= 4) FUZZ_CHECK(((data[3] & 0x80) != 0) == m_model.writeProtected, what + ": write-protect bit");
      return;
    }
    if (c[0] != 0xAD) return;

    const std::uint8_t subcode = c[3];
    const int area = c[5];
    switch (subcode) {
      case 0x9B: case 0x91: case 0xA3: case 0x82:
        // Stores that the matching read hands back.
        m_blocks[static_cast<std::uint8_t>(subcode == 0x82 ? 0x81 : subcode + 1)] = data;
        return;
      case 0x9C: case 0x92: case 0xA4: case 0x81:
        FUZZ_CHECK(data == m_blocks[subcode], what + ": block reads back differently");
        return;
      case 0xA1:
        m_pages[GetBigEndian16(c + 8)] = data;
        return;
      case 0xA2: {
        const auto page = m_pages.find(GetBigEndian16(c + 8));
        FUZZ_CHECK(data == (page != m_pages.end() ? page->second : Bytes(64, 0xFF)), what + ": page reads back differently");
        return;
      }
      case 0x9A:
        FUZZ_CHECK(GetLittleEndian16(data.data()) == (m_config.capacityMb & 0xFFFF),
                   what + ": capacity " + Hex(data));
        return;
      case 0x95: {
        std::string identity = emulated::IdentityOfModel(m_config.model);
        identity.resize(14, '\0');
        FUZZ_CHECK(data == Bytes(identity.begin(), identity.end()), what + ": identity " + Hex(data));
        return;
      }
      case 0x7A:
        FUZZ_CHECK(data[0] == (m_config.flashType & 0xFF) && data[2] == (m_config.bankCount & 0xFF), what + ": flash config");
        return;
      case 0xB5:
        FUZZ_CHECK(GetBigEndian32(data.data()) == m_model.areaRegister, what + ": area size " + Hex(data));
        return;
      case 0xB1: {
        const std::string& hint = m_model.areas[area].hint;
        Bytes expected(129, 0);
        std::copy_n(hint.begin(), std::min<std::size_t>(hint.size(), 128), expected.begin());
        expected[128] = static_cast<std::uint8_t>(std::min<std::size_t>(hint.size(), 128));
        FUZZ_CHECK(data == expected, what + ": hint record " + Hex(data));
        return;
      }
      case 0xB2:
        m_model.areas[area].hint = TextField(data.data(), 128, data[128]);
        return;
      case 0xB3: {
        // Accepted only for an area without a password, with a password given.
        const std::string password = TextField(data.data(), 15, data[15]);
        FUZZ_CHECK(m_model.areas[area].password.empty() && !password.empty(), what + ": first password accepted");
        m_model.SetPassword(area, password, TextField(data.data() + 16, 128, data[144]));
        return;
      }
      case 0x96: {
        const std::string current = TextField(data.data(), 15, data[15]);
        FUZZ_CHECK(current == m_model.areas[area].password, what + ": a wrong current password was accepted");
        m_model.SetPassword(area, TextField(data.data() + 16, 15, data[31]), TextField(data.data() + 32, 128, data[160]));
        return;
      }
      case 0x93:
        FUZZ_CHECK(TextField(data.data(), 15, data[15]) == m_model.areas[area].password, what + ": a wrong password unlocked");
        m_model.areas[area].unlocked = true;
        return;
      case 0x99:
        FUZZ_CHECK(data[0] == 0xFF && data[1] == 0xFF, what + ": refresh took data " + Hex(data));
        if (m_model.view == View::kWhole) m_model.view = View::kFirst;
        return;
      case 0x9E:
        m_model.view = c[5] == 0 ? View::kFirst : c[5] == 1 ? View::kSecond : View::kWhole;
        return;
      case 0x9F:
        m_model.view = m_model.view == View::kSecond ? View::kFirst : View::kSecond;
        return;
      case 0xB6:
        m_model.view = c[7] == 0 ? View::kFirst : View::kSecond;
        return;
      case 0xB4: {
        const std::uint32_t sectors = GetBigEndian32(data.data());
        FUZZ_CHECK(sectors != 0 && !m_model.writeProtected, what + ": area size " + Hex(data) + " accepted");
        m_model.areaRegister = sectors;
        m_model.view = View::kWhole;
        return;
      }
      default:
        return;
    }
  }

  // Refusals that only the data explains: the model checks that the data does explain them.
  void CheckRefusal(const Bytes& cdb, bool dataIn, const Bytes& data) {
    if (cdb.size() < 10 || cdb[0] != 0xAD || cdb[1] != 0x0A || cdb[2] != 0x16) return;
    const Shape* shape = FindShape(cdb[3], dataIn);
    if (shape == nullptr || !PhaseFits(*shape, dataIn, static_cast<std::uint32_t>(data.size())) || data.empty()) return;
    const int area = cdb[5];
    if (area > 1) return;
    const std::string what = "command " + Hex(cdb);
    switch (cdb[3]) {
      case 0x93:
        if (!m_model.areas[area].password.empty() && (cdb[6] == 0x00 || cdb[6] == 0x88)) {
          FUZZ_CHECK(TextField(data.data(), 15, data[15]) != m_model.areas[area].password, what + ": right password refused");
        }
        return;
      case 0x96:
        FUZZ_CHECK(TextField(data.data(), 15, data[15]) != m_model.areas[area].password, what + ": password change refused");
        return;
      case 0xB3:
        FUZZ_CHECK(!m_model.areas[area].password.empty() || TextField(data.data(), 15, data[15]).empty(),
                   what + ": first password refused");
        return;
      case 0x99:
        FUZZ_CHECK(data[0] != 0xFF || data[1] != 0xFF, what + ": refresh refused");
        return;
      case 0xB4:
        FUZZ_CHECK(GetBigEndian32(data.data()) == 0 || m_model.writeProtected, what + ": area size refused");
        return;
      default:
        return;
    }
  }

  emulated::EmulatedKey& m_key;
  emulated::KeyConfig m_config;
  Model m_model;
  std::map<std::uint8_t, Bytes> m_blocks;  // by the subcode that reads them
  std::map<std::uint16_t, Bytes> m_pages;
  std::map<std::uint64_t, Bytes> m_sectors;
};

std::uint32_t NaturalLength(const Bytes& cdb, bool dataIn) {
  switch (cdb[0]) {
    case 0x12: return cdb[4];
    case 0x5A: return GetBigEndian16(cdb.data() + 7);
    case 0x28:
    case 0x2A: return std::uint32_t{GetBigEndian16(cdb.data() + 7)} * 512;
    case 0xAD: {
      const Shape* shape = FindShape(cdb[3], dataIn);
      return shape == nullptr || shape->length == kAny ? 64 : shape->length;
    }
    default: return 0;
  }
}

Bytes ReadCdb(FuzzInput& in, std::uint64_t flashSectors) {
  const std::uint32_t size = in.Pick<std::uint32_t>({10, 10, 10, 12, 12, 12, 6, 16});
  Bytes cdb = in.Bytes(size);
  cdb.resize(size, 0);
  if (size < 10) return cdb;
  switch (in.Range(0, 7)) {
    case 0: cdb[0] = 0x00; break;
    case 1: cdb[0] = 0x12; break;
    case 2: cdb[0] = 0x5A; break;
    case 3:
    case 4: {
      cdb[0] = in.Bool() ? 0x28 : 0x2A;
      // Near the start, at the very end of the address space, or anywhere on the key.
      const std::uint32_t near = in.Pick<std::uint32_t>({0, 1, 7, 64, 0xFFFFFFFFu});
      const bool anywhere = in.Bool();
      const std::uint32_t chosen = anywhere ? in.Range(0, static_cast<std::uint32_t>(flashSectors + 2)) : near;
      PutBigEndian32(cdb.data() + 2, chosen);
      const std::uint32_t count = in.Range(0, 40);
      PutBigEndian16(cdb.data() + 7, static_cast<std::uint16_t>(count));
      break;
    }
    case 5: {
      cdb[0] = 0xAD;
      if (in.Range(0, 15) != 0) {
        cdb[1] = 0x0A;
        cdb[2] = 0x16;
      }
      if (in.Range(0, 7) != 0) cdb[3] = kShapes[in.Range(0, std::size(kShapes) - 1)].subcode;
      if (in.Bool()) cdb[5] = static_cast<std::uint8_t>(in.Range(0, 5));
      break;
    }
    case 6:
      cdb[0] = 0xFF;
      if (in.Range(0, 3) != 0) cdb[1] = 0x1D;
      break;
    default:
      break;
  }
  return cdb;
}

}  // namespace

void FuzzKeyCommands(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  emulated::KeyConfig config;
  config.capacityMb = in.Pick<std::uint32_t>({2, 4, 1});
  config.revision = in.Pick<const char*>({"2.45", "1.00", "1.20", "9.99"});
  config.flashType = static_cast<std::uint16_t>(in.Range(1, 3));
  config.bankCount = static_cast<std::uint16_t>(in.Range(0, 2));
  config.model = in.Pick<const char*>({"KV 2 Zarno P9", "KV 2 Zarno P3", "Varnok Key", "Something Else"});
  config.writeProtected = in.Range(0, 7) == 0;
  emulated::EmulatedKey key(config);
  KeySession session(key, config);

  const std::uint32_t commands = in.Range(1, 32);
  for (std::uint32_t i = 0; i < commands && !(i > 0 && in.Empty()); ++i) {
    const Bytes cdb = ReadCdb(in, key.Flash().SectorCount());
    const bool natural = cdb.size() >= 4 && cdb[0] == 0xAD && FindShape(cdb[3], true) != nullptr &&
                         FindShape(cdb[3], true)->phase == 'i';
    bool dataIn = in.Range(0, 3) == 0 ? in.Bool() : (natural || cdb[0] == 0x12 || cdb[0] == 0x5A || cdb[0] == 0x28);
    std::uint32_t length = 0;
    switch (in.Range(0, 5)) {
      case 0: length = 0; break;
      case 1:
      case 2: length = cdb.size() >= 10 ? NaturalLength(cdb, dataIn) : 0; break;
      case 3: length = in.Range(0, 1024); break;
      case 4: length = in.Range(0, kMaxLength); break;
      default: length = cdb.size() >= 10 ? NaturalLength(cdb, dataIn) + in.Range(0, 2) - 1 : 0; break;
    }
    length = std::min(length, kMaxLength);
    // Data from the input first, then a pattern; room to fill for data in.
    Bytes buffer(length, 0xEE);
    if (!dataIn) {
      const Bytes head = in.Bytes(in.Range(0, std::min<std::uint32_t>(length, 600)));
      const std::uint8_t seed = in.Byte();
      for (std::size_t k = 0; k < buffer.size(); ++k) {
        buffer[k] = k < head.size() ? head[k] : static_cast<std::uint8_t>(k * 3 + seed);
      }
    }
    const bool nullData = length > 0 && in.Range(0, 31) == 0;
    session.Run(cdb, dataIn, &buffer, nullData);
  }
}

std::vector<std::vector<std::uint8_t>> KeyCommandsSeeds() {
  // A command written out whole: its ten bytes as they are, its direction and length, its data.
  const auto command = [](InputWriter& w, const Bytes& cdb, bool dataIn, std::uint32_t length, const Bytes& data) {
    w.Range(0, 7, 0).Bytes(cdb).Range(0, 7, 7);
    w.Range(0, 3, 0).Bool(dataIn);
    w.Range(0, 5, 3).Range(0, 1024, length);
    if (!dataIn) w.Range(0, std::min<std::uint32_t>(length, 600), static_cast<std::uint32_t>(data.size())).Bytes(data).Byte(0);
    if (length > 0) w.Range(0, 31, 1);
  };
  const auto vendor = [](std::uint8_t subcode, std::uint8_t byte5 = 0) {
    return Bytes{0xAD, 0x0A, 0x16, subcode, 0, byte5, 0, 0, 0, 0};
  };
  // A 4 MB key of firmware 2.45, model P9, not write-protected, then the commands.
  const auto key = [](InputWriter& w, std::uint32_t commands) {
    w.Range(0, 2, 1).Range(0, 3, 0).Range(1, 3, 2).Range(0, 2, 1).Range(0, 3, 0).Range(0, 7, 1);
    w.Range(1, 32, commands);
  };
  const Bytes read0 = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  const Bytes write0 = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  std::vector<std::vector<std::uint8_t>> seeds;

  // The information block written and read back, a refresh, capacity, identity, area size.
  {
    InputWriter w;
    key(w, 6);
    command(w, vendor(0x9B), false, 512, {0x0A, 0x1B, 0x09, 0x0C});
    command(w, vendor(0x9C), true, 512, {});
    command(w, vendor(0x99), false, 2, {0xFF, 0xFF});
    command(w, vendor(0x9A), true, 2, {});
    command(w, vendor(0x95), true, 14, {});
    command(w, vendor(0xB5), true, 4, {});
    seeds.push_back(w.Data());
  }
  // A sector written and read back; the area split, the second area shown, toggled, refreshed.
  {
    InputWriter w;
    key(w, 8);
    command(w, write0, false, 512, {1, 2, 3});
    command(w, read0, true, 512, {});
    command(w, vendor(0xB4), false, 4, {0, 0, 0x03, 0xE8});  // 1000 sectors
    command(w, vendor(0x99), false, 2, {0xFF, 0xFF});
    command(w, vendor(0x9E, 1), false, 0, {});
    command(w, Bytes{0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, {});
    command(w, vendor(0x9F), false, 0, {});
    command(w, read0, true, 512, {});
    seeds.push_back(w.Data());
  }
  // A password on area 0; after a reset the area is locked until the password is given.
  {
    Bytes set(145, 0);
    const std::string password = "secret", hint = "the usual";
    std::copy(password.begin(), password.end(), set.begin());
    set[15] = static_cast<std::uint8_t>(password.size());
    std::copy(hint.begin(), hint.end(), set.begin() + 16);
    set[144] = static_cast<std::uint8_t>(hint.size());
    Bytes wrong(16, 0), right(16, 0);
    wrong[0] = 'x';
    wrong[15] = 1;
    std::copy(password.begin(), password.end(), right.begin());
    right[15] = static_cast<std::uint8_t>(password.size());
    Bytes newHint(129, 0);
    newHint[0] = 'h';
    newHint[128] = 1;
    InputWriter w;
    key(w, 12);
    command(w, vendor(0xB3, 0), false, 145, set);
    command(w, Bytes{0xFF, 0x1D, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, {});
    command(w, vendor(0xB0, 0), false, 0, {});
    command(w, read0, true, 512, {});
    command(w, write0, false, 512, {9});
    command(w, vendor(0xB2, 0), false, 129, newHint);
    command(w, vendor(0xB1, 0), true, 129, {});
    command(w, vendor(0x93, 0), false, 16, wrong);
    command(w, vendor(0x93, 0), false, 16, right);
    command(w, read0, true, 512, {});
    command(w, vendor(0xB2, 0), false, 129, newHint);
    command(w, vendor(0xB1, 0), true, 129, {});
    seeds.push_back(w.Data());
  }
  return seeds;
}

}  // namespace fuzz
