#include "key/key_state.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "key/emulated_key.h"

namespace emulated {

namespace {

namespace fs = std::filesystem;

constexpr char kMagic[] = "stelvarion-key-state";
constexpr char kChecksumKey[] = "checksum ";
constexpr std::size_t kChecksumLineSize = 18;  // "checksum 1A2B3C4D\n"

// What the options allow, and the key's own record sizes.
constexpr std::size_t kLongestModel = 16;
constexpr std::size_t kRevisionSize = 4;
constexpr std::size_t kLongestInquiryVendor = 8;
constexpr std::size_t kLongestInquiryProduct = 16;
constexpr std::size_t kPageCount = 0x10000;

// Each text at its longest with every byte escaped, each number at its widest.
constexpr std::uintmax_t QuotedLine(std::size_t key, std::size_t text) { return key + 1 + 2 + 4 * text + 1; }
constexpr std::uintmax_t HexLine(std::size_t key, std::size_t bytes) { return key + 1 + 2 * bytes + 1; }
constexpr std::uintmax_t kLargestCopy =
    sizeof kMagic + 2 + QuotedLine(5, kLongestModel) + 12 + 5 + 1 + QuotedLine(8, kRevisionSize) + 11 + 5 + 1 + 6 + 5 + 1 +
    QuotedLine(14, kLongestInquiryVendor) + QuotedLine(15, kLongestInquiryProduct) + 14 + 13 + 1 + 14 + 10 + 1 + 5 + 12 + 1 +
    KeyAreas::kAreaCount * (7 + QuotedLine(8, key_record::kPasswordCapacity) + QuotedLine(4, key_record::kHintCapacity)) +
    HexLine(10, key_record::kInfoBlockSize) + HexLine(15, key_record::kParameterBlockSize) +
    HexLine(8, key_record::kBlockA3Size) + HexLine(9, key_record::kBulkSize) +
    kPageCount * (5 + 5 + HexLine(0, key_record::kPageSize)) + kChecksumLineSize;

const std::array<std::uint32_t, 256>& CrcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[n] = c;
    }
    return t;
  }();
  return table;
}

// The CRC-32 register, fed in pieces: start from kCrcStart, finish with ~.
constexpr std::uint32_t kCrcStart = 0xFFFFFFFFu;
std::uint32_t CrcAdd(std::uint32_t crc, const char* bytes, std::size_t count) {
  const std::uint32_t* table = CrcTable().data();
  const auto* in = reinterpret_cast<const std::uint8_t*>(bytes);
  for (const std::uint8_t* end = in + count; in != end; ++in) crc = table[(crc ^ *in) & 0xFFu] ^ (crc >> 8);
  return crc;
}

std::string ChecksumLine(std::uint32_t crc) {
  char line[24];
  std::snprintf(line, sizeof line, "%s%08X\n", kChecksumKey, static_cast<unsigned>(~crc));
  return line;
}

const char* ViewName(KeyView view) {
  switch (view) {
    case KeyView::kFirstArea:
      return "first-area";
    case KeyView::kSecondArea:
      return "second-area";
    case KeyView::kWholeFlash:
      break;
  }
  return "whole-flash";
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b < 0x20 || b > 0x7E || c == '"' || c == '\\') {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", b);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(count * 2, '0');
  char* to = &out[0];
  for (std::size_t i = 0; i < count; ++i) {
    *to++ = kDigits[bytes[i] >> 4];
    *to++ = kDigits[bytes[i] & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A stored text in a message: quoted, and cut short when long.
std::string Shown(const std::string& text) {
  if (text.size() <= 20) return Quoted(text);
  return Quoted(text.substr(0, 20)) + "... (" + std::to_string(text.size()) + " bytes)";
}

bool Printable(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The lines of the fields the host sets, one at a time, as the whole copy holds them.
std::string AreaRegisterLine(const KeyState& s) { return "area-register " + std::to_string(s.areaRegister) + "\n"; }
std::string ViewLine(const KeyState& s) { return std::string("view ") + ViewName(s.view) + "\n"; }
std::string AreaLine(const KeyState& s, std::size_t area) {
  return "area " + std::to_string(area) + " password " + Quoted(s.areas[area].password) + " hint " +
         Quoted(s.areas[area].hint) + "\n";
}
std::string BlockLine(const char* key, const std::uint8_t* bytes, std::size_t count) {
  return std::string(key) + " " + Hex(bytes, count) + "\n";
}
std::string PageLine(std::uint16_t page, const std::array<std::uint8_t, key_record::kPageSize>& bytes) {
  return "page " + std::to_string(page) + " " + Hex(bytes.data(), bytes.size()) + "\n";
}

bool SameIdentity(const KeyState& a, const KeyState& b) {
  return a.model == b.model && a.capacityMb == b.capacityMb && a.revision == b.revision && a.flashType == b.flashType &&
         a.bankCount == b.bankCount && a.inquiryVendor == b.inquiryVendor && a.inquiryProduct == b.inquiryProduct &&
         a.flashSectors == b.flashSectors;
}

// The lines that take `before` to `after` with `pages`, of which only those in `changed` when it
// is given; false when only a whole copy can (the key's identity changed, or a page went).
bool ChangedLines(const KeyState& before, const KeyState& after, const KeyState::PageMap& pages,
                  const std::set<std::uint16_t>* changed, std::string* lines) {
  if (!SameIdentity(before, after) || before.pages.size() > pages.size()) return false;
  if (before.areaRegister != after.areaRegister) *lines += AreaRegisterLine(after);
  if (before.view != after.view) *lines += ViewLine(after);
  for (std::size_t area = 0; area < after.areas.size(); ++area) {
    if (before.areas[area].password != after.areas[area].password || before.areas[area].hint != after.areas[area].hint) {
      *lines += AreaLine(after, area);
    }
  }
  if (before.infoBlock != after.infoBlock) *lines += BlockLine("info-block", after.infoBlock.data(), after.infoBlock.size());
  if (before.parameterBlock != after.parameterBlock) {
    *lines += BlockLine("parameter-block", after.parameterBlock.data(), after.parameterBlock.size());
  }
  if (before.blockA3 != after.blockA3) *lines += BlockLine("block-a3", after.blockA3.data(), after.blockA3.size());
  if (before.bulkArea != after.bulkArea) *lines += BlockLine("bulk-area", after.bulkArea.data(), after.bulkArea.size());
  if (changed != nullptr) {
    for (const std::uint16_t page : *changed) {
      const auto now = pages.find(page);
      if (now == pages.end()) return false;
      const auto old = before.pages.find(page);
      if (old == before.pages.end() || old->second != now->second) *lines += PageLine(page, now->second);
    }
    return true;
  }
  auto old = before.pages.begin();
  for (const auto& [page, bytes] : pages) {
    if (old != before.pages.end() && old->first == page) {
      if (old->second != bytes) *lines += PageLine(page, bytes);
      ++old;
    } else if (old != before.pages.end() && old->first < page) {
      return false;  // a page went
    } else {
      *lines += PageLine(page, bytes);
    }
  }
  return old == before.pages.end();
}

// Reads the fields back, each refusal naming the file.
class Reader {
 public:
  explicit Reader(const std::string& name) : m_name(name) {}

  [[noreturn]] void Damaged(const std::string& why) const {
    throw KeyStateError(m_name + " is damaged (" + why + "); delete the image and its state file to start over");
  }

  // The rest of `line` after `key` and a space.
  std::string Value(const std::string& line, const std::string& key) const {
    if (line.compare(0, key.size() + 1, key + " ") != 0) {
      Damaged("\"" + key + "\" expected, found \"" + line.substr(0, 40) + "\"");
    }
    return line.substr(key.size() + 1);
  }

  std::uint64_t Number(const std::string& key, const std::string& value, std::uint64_t max) const {
    if (value.empty() || value.size() > 20 || value.find_first_not_of("0123456789") != std::string::npos) {
      Damaged(key + " is not a number");
    }
    const std::uint64_t n = std::stoull(value);
    if (n > max) Damaged(key + " is out of range");
    return n;
  }

  std::string Unquote(const std::string& key, const std::string& value) const {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') Damaged(key + " is not a quoted text");
    std::string out;
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
      if (value[i] != '\\') {
        out += value[i];
        continue;
      }
      if (i + 4 >= value.size() || value[i + 1] != 'x' || HexDigit(value[i + 2]) < 0 || HexDigit(value[i + 3]) < 0) {
        Damaged(key + " holds a bad escape");
      }
      out += static_cast<char>(HexDigit(value[i + 2]) * 16 + HexDigit(value[i + 3]));
      i += 3;
    }
    return out;
  }

  void Bytes(const std::string& key, const std::string& hex, std::uint8_t* out, std::size_t count) const {
    if (hex.size() != count * 2) Damaged(key + " has the wrong length");
    for (std::size_t i = 0; i < count; ++i) {
      const int high = HexDigit(hex[2 * i]);
      const int low = HexDigit(hex[2 * i + 1]);
      if (high < 0 || low < 0) Damaged(key + " is not hexadecimal");
      out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
  }

  KeyView View(const std::string& value) const {
    for (const KeyView view : {KeyView::kFirstArea, KeyView::kSecondArea, KeyView::kWholeFlash}) {
      if (value == ViewName(view)) return view;
    }
    Damaged("unknown view " + value.substr(0, 20));
  }

  // "N password "…" hint "…"" into area N; any area when `only` is negative.
  void Area(const std::string& value, KeyState& s, int only) const {
    const std::size_t space = value.find(' ');
    const std::string number = value.substr(0, space);
    const bool known = number.size() == 1 && number[0] >= '0' && number[0] < '0' + KeyAreas::kAreaCount;
    const int area = known ? number[0] - '0' : -1;
    const std::string head = number + " password ";
    const std::size_t hintAt = value.rfind("\" hint \"");
    if (!known || (only >= 0 && area != only) || value.compare(0, head.size(), head) != 0 ||
        hintAt == std::string::npos || hintAt < head.size()) {
      Damaged("area " + (only >= 0 ? std::to_string(only) : number.substr(0, 8)) + " is not what it should be");
    }
    KeyState::AreaSecret& secret = s.areas[static_cast<std::size_t>(area)];
    secret.password = Unquote("password", value.substr(head.size(), hintAt + 1 - head.size()));
    secret.hint = Unquote("hint", value.substr(hintAt + 7));
  }

  void Page(const std::string& value, KeyState& s) const {
    const std::size_t space = value.find(' ');
    if (space == std::string::npos || space == 0 || space > 5 || value.find_first_not_of("0123456789") != space) {
      Damaged("a page line is not what it should be");
    }
    const unsigned long page = std::stoul(value.substr(0, space));
    if (page >= kPageCount) Damaged("a page number is out of range");
    Bytes("page", value.substr(space + 1), s.pages[static_cast<std::uint16_t>(page)].data(), key_record::kPageSize);
  }

  // One line of an addition: any field the host sets.
  void Change(const std::string& line, KeyState& s) const {
    const std::string key = line.substr(0, line.find(' '));
    const std::string value = line.size() > key.size() ? line.substr(key.size() + 1) : std::string();
    if (key == "area-register") {
      s.areaRegister = static_cast<std::uint32_t>(Number(key, value, 0xFFFFFFFFu));
    } else if (key == "view") {
      s.view = View(value);
    } else if (key == "area") {
      Area(value, s, -1);
    } else if (key == "info-block") {
      Bytes(key, value, s.infoBlock.data(), s.infoBlock.size());
    } else if (key == "parameter-block") {
      Bytes(key, value, s.parameterBlock.data(), s.parameterBlock.size());
    } else if (key == "block-a3") {
      Bytes(key, value, s.blockA3.data(), s.blockA3.size());
    } else if (key == "bulk-area") {
      Bytes(key, value, s.bulkArea.data(), s.bulkArea.size());
    } else if (key == "page") {
      Page(value, s);
    } else {
      Damaged("it holds lines this program does not know");
    }
  }

  // The values the front ends' options would refuse, and what the key's records cannot hold.
  void CheckValues(const KeyState& s) const {
    if (IdentityOfModel(s.model).empty()) Damaged("model " + Shown(s.model) + " is no key this program knows");
    if (s.capacityMb == 0) Damaged("capacity-mb is 0");
    if (s.revision.size() != kRevisionSize || !Printable(s.revision)) {
      Damaged("revision " + Shown(s.revision) + " is not four characters of printable ASCII");
    }
    if (s.bankCount == 0) Damaged("banks is 0");
    if (s.inquiryVendor.size() > kLongestInquiryVendor || !Printable(s.inquiryVendor)) {
      Damaged("inquiry-vendor is not up to 8 characters of printable ASCII");
    }
    if (s.inquiryProduct.size() > kLongestInquiryProduct || !Printable(s.inquiryProduct)) {
      Damaged("inquiry-product is not up to 16 characters of printable ASCII");
    }
    for (std::size_t area = 0; area < s.areas.size(); ++area) {
      if (s.areas[area].password.size() > key_record::kPasswordCapacity) {
        Damaged("the password of area " + std::to_string(area) + " is longer than 15 bytes");
      }
      if (s.areas[area].hint.size() > key_record::kHintCapacity) {
        Damaged("the hint of area " + std::to_string(area) + " is longer than 128 bytes");
      }
    }
  }

 private:
  const std::string& m_name;
};

// The whole copy's lines in their order, then the additions.
class StateLines {
 public:
  StateLines(const std::vector<std::string>& lines, const Reader& reader) : m_lines(lines), m_reader(reader) {}
  bool More() const { return m_next < m_lines.size(); }
  const std::string& Peek() const { return m_lines[m_next]; }
  std::string Field(const std::string& key) {
    if (!More()) m_reader.Damaged("it ends before " + key);
    return m_reader.Value(m_lines[m_next++], key);
  }
  std::string Text(const std::string& key) { return m_reader.Unquote(key, Field(key)); }
  std::uint64_t Number(const std::string& key, std::uint64_t max) { return m_reader.Number(key, Field(key), max); }

 private:
  const std::vector<std::string>& m_lines;
  const Reader& m_reader;
  std::size_t m_next = 0;
};

KeyState ParseWholeCopy(const std::vector<std::string>& lines, const Reader& reader) {
  StateLines in(lines, reader);
  in.Field(kMagic);
  KeyState s;
  s.model = in.Text("model");
  s.capacityMb = static_cast<std::uint32_t>(in.Number("capacity-mb", 0xFFFF));
  s.revision = in.Text("revision");
  s.flashType = static_cast<std::uint16_t>(in.Number("flash-type", 0xFFFF));
  s.bankCount = static_cast<std::uint16_t>(in.Number("banks", 0xFFFF));
  s.inquiryVendor = in.Text("inquiry-vendor");
  s.inquiryProduct = in.Text("inquiry-product");
  s.flashSectors = in.Number("flash-sectors", std::uint64_t{1} << 40);
  s.areaRegister = static_cast<std::uint32_t>(in.Number("area-register", 0xFFFFFFFFu));
  s.view = reader.View(in.Field("view"));
  for (std::size_t area = 0; area < s.areas.size(); ++area) reader.Area(in.Field("area"), s, static_cast<int>(area));
  reader.Bytes("info-block", in.Field("info-block"), s.infoBlock.data(), s.infoBlock.size());
  reader.Bytes("parameter-block", in.Field("parameter-block"), s.parameterBlock.data(), s.parameterBlock.size());
  reader.Bytes("block-a3", in.Field("block-a3"), s.blockA3.data(), s.blockA3.size());
  s.bulkArea.resize(key_record::kBulkSize);
  reader.Bytes("bulk-area", in.Field("bulk-area"), s.bulkArea.data(), s.bulkArea.size());
  while (in.More() && in.Peek().rfind("page ", 0) == 0) reader.Page(in.Field("page"), s);
  if (in.More()) reader.Damaged("it holds lines this program does not know");
  return s;
}

// A state file read: the state, and where its last checksum line ends.
struct ParsedState {
  KeyState state;
  std::size_t committed = 0;  // bytes up to the end of the last checksum line
  std::size_t copySize = 0;   // bytes of the whole copy
  std::uint32_t crc = kCrcStart;  // the CRC-32 register over those bytes
};

ParsedState Parse(const std::string& text, const std::string& name) {
  const std::string magicLine = std::string(kMagic) + ' ';
  if (text.compare(0, magicLine.size(), magicLine) != 0) {
    throw KeyStateError(name + " is not an emulated key's state file");
  }
  const Reader reader(name);
  const std::size_t versionEnd = text.find('\n');
  if (versionEnd == std::string::npos) reader.Damaged("it ends in its first line");
  std::string version = text.substr(magicLine.size(), versionEnd - magicLine.size());
  if (!version.empty() && version.back() == '\r') {
    reader.Damaged("its lines end in CR LF, as a Windows editor saves text; a key's state has LF line ends only");
  }
  if (version != "1" && version != std::to_string(kKeyStateVersion)) {
    throw KeyStateError(name + " is a key state of version " + Shown(version) +
                        "; this program reads versions 1 to " + std::to_string(kKeyStateVersion));
  }

  // Line by line; each checksum line closes the whole copy or an addition, and covers every byte
  // before it.
  ParsedState parsed;
  std::vector<std::string> lines;
  std::uint32_t crc = kCrcStart;
  bool copyRead = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line never finished
    std::string line = text.substr(at, end - at);
    if (line.rfind(kChecksumKey, 0) == 0) {
      if (line + "\n" != ChecksumLine(crc)) reader.Damaged("its checksum does not match");
      if (!copyRead) {
        parsed.state = ParseWholeCopy(lines, reader);
        copyRead = true;
        parsed.copySize = end + 1;
      } else {
        for (const std::string& change : lines) reader.Change(change, parsed.state);
      }
      lines.clear();
      crc = CrcAdd(crc, text.data() + at, end + 1 - at);
      parsed.committed = end + 1;
      parsed.crc = crc;
    } else {
      crc = CrcAdd(crc, text.data() + at, end + 1 - at);
      lines.push_back(std::move(line));
    }
    at = end + 1;
  }
  // What follows the last checksum line is an addition a killed run did not finish.
  if (!copyRead) reader.Damaged("it ends before its checksum");
  reader.CheckValues(parsed.state);
  return parsed;
}

}  // namespace

bool KeyState::operator==(const KeyState& o) const { return FormatKeyState(*this) == FormatKeyState(o); }

std::string FormatKeyState(const KeyState& s) {
  std::ostringstream out;
  out << kMagic << ' ' << kKeyStateVersion << '\n';
  out << "model " << Quoted(s.model) << '\n';
  out << "capacity-mb " << s.capacityMb << '\n';
  out << "revision " << Quoted(s.revision) << '\n';
  out << "flash-type " << s.flashType << '\n';
  out << "banks " << s.bankCount << '\n';
  out << "inquiry-vendor " << Quoted(s.inquiryVendor) << '\n';
  out << "inquiry-product " << Quoted(s.inquiryProduct) << '\n';
  out << "flash-sectors " << s.flashSectors << '\n';
  out << AreaRegisterLine(s) << ViewLine(s);
  for (std::size_t area = 0; area < s.areas.size(); ++area) out << AreaLine(s, area);
  out << BlockLine("info-block", s.infoBlock.data(), s.infoBlock.size());
  out << BlockLine("parameter-block", s.parameterBlock.data(), s.parameterBlock.size());
  out << BlockLine("block-a3", s.blockA3.data(), s.blockA3.size());
  out << BlockLine("bulk-area", s.bulkArea.data(), s.bulkArea.size());
  for (const auto& [page, bytes] : s.pages) out << PageLine(page, bytes);
  std::string text = out.str();
  return text + ChecksumLine(CrcAdd(kCrcStart, text.data(), text.size()));
}

KeyState ParseKeyState(const std::string& text, const std::string& name) { return Parse(text, name).state; }

std::uintmax_t LargestKeyStateFile() { return 2 * kLargestCopy; }

std::string DescribeAreas(const KeyState& s) {
  const char* view = s.view == KeyView::kFirstArea    ? "first area"
                     : s.view == KeyView::kSecondArea ? "second area"
                                                      : "whole flash";
  return "area register " + std::to_string(s.areaRegister) + " sectors, " + view + " visible";
}

std::string KeyStatePath(const std::string& imagePath) { return imagePath + ".state"; }

namespace {

#if defined(_WIN32)
int OpenForWriting(const std::string& path, bool fresh) {
  return ::_open(path.c_str(), _O_WRONLY | _O_BINARY | (fresh ? _O_CREAT | _O_TRUNC : 0), _S_IREAD | _S_IWRITE);
}
int Flush(int fd) { return ::_commit(fd); }
int Close(int fd) { return ::_close(fd); }
bool Seek(int fd, std::uint64_t offset) { return ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0; }
long WriteSome(int fd, const char* bytes, std::size_t count) {
  return ::_write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 16)));
}
#else
int OpenForWriting(const std::string& path, bool fresh) {
  return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | (fresh ? O_CREAT | O_TRUNC : 0), 0666);
}
int Flush(int fd) { return ::fdatasync(fd); }
int Close(int fd) { return ::close(fd); }
bool Seek(int fd, std::uint64_t offset) { return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }
long WriteSome(int fd, const char* bytes, std::size_t count) {
  return static_cast<long>(::write(fd, bytes, std::min<std::size_t>(count, 1u << 16)));
}
#endif

bool WriteAll(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const long wrote = WriteSome(fd, bytes, count);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = ENOSPC;
      return false;
    }
    bytes += wrote;
    count -= static_cast<std::size_t>(wrote);
  }
  return true;
}

// Writes the bytes in two halves, the hook called between them; then flushes them.
bool WriteAndFlush(int fd, const std::string& bytes, const StateWriteHook& hook) {
  const std::size_t half = bytes.size() / 2;
  if (!WriteAll(fd, bytes.data(), half)) return false;
  if (hook) hook(StateWritePoint::kHalfWritten);
  return WriteAll(fd, bytes.data() + half, bytes.size() - half) && Flush(fd) == 0;
}

std::string Reason() { return std::strerror(errno); }

}  // namespace

std::optional<KeyState> KeyStateFile::Load() {
  std::error_code error;
  // A new copy that a killed run never renamed: not the state, and no longer wanted.
  fs::remove(m_path + ".new", error);
  const fs::file_status status = fs::status(m_path, error);
  if (!fs::exists(status)) return std::nullopt;
  if (!fs::is_regular_file(status)) throw KeyStateError(m_path + " is not an emulated key's state file: it is not a plain file");
  const std::uintmax_t size = fs::file_size(m_path, error);
  if (!error && size > LargestKeyStateFile()) {
    throw KeyStateError(m_path + " is not an emulated key's state file: it holds " + std::to_string(size) +
                        " bytes, and a key's state takes at most " + std::to_string(LargestKeyStateFile()));
  }
  std::string text;
  {
    errno = 0;
    std::FILE* in = std::fopen(m_path.c_str(), "rb");
    if (in == nullptr) throw KeyStateError("cannot read " + m_path + ": " + Reason());
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0 && text.size() <= LargestKeyStateFile()) {
      text.append(buffer, got);
    }
    const bool failed = std::ferror(in) != 0;
    const int saved = errno;
    std::fclose(in);
    errno = saved;
    if (failed) throw KeyStateError("cannot read " + m_path + ": " + Reason());
  }
  ParsedState parsed = Parse(text, m_path);
  m_size = parsed.committed;
  m_copySize = parsed.copySize;
  m_crc = parsed.crc;
  m_canAdd = false;
  m_stored = parsed.state;
  return std::move(parsed.state);
}

bool KeyStateFile::WriteWholeCopy(KeyState state, std::string* error) {
  const std::string text = FormatKeyState(state);
  if (!ReplaceFileContents(m_path, text, error, m_hook)) return false;
  m_size = m_copySize = text.size();
  m_crc = CrcAdd(kCrcStart, text.data(), text.size());
  m_canAdd = true;
  m_stored = std::move(state);
  return true;
}

bool KeyStateFile::Save(KeyState state, std::string* error) {
  const KeyState::PageMap pages = std::move(state.pages);
  return Store(std::move(state), pages, nullptr, error);
}

bool KeyStateFile::Save(KeyState state, const KeyState::PageMap& pages, const std::set<std::uint16_t>& changed,
                        std::string* error) {
  return Store(std::move(state), pages, &changed, error);
}

bool KeyStateFile::Store(KeyState state, const KeyState::PageMap& pages, const std::set<std::uint16_t>* changed,
                         std::string* error) {
  std::string lines;
  const bool addable = m_stored && ChangedLines(*m_stored, state, pages, changed, &lines);
  if (addable && lines.empty()) return true;
  // A run's first change, and one that would make the additions outgrow the whole copy, write a
  // whole copy: the file stays within twice the largest copy.
  if (!addable || !m_canAdd || m_size - m_copySize + lines.size() + kChecksumLineSize > m_copySize) {
    state.pages = pages;
    return WriteWholeCopy(std::move(state), error);
  }
  const std::uint32_t crc = CrcAdd(m_crc, lines.data(), lines.size());
  const std::string addition = lines + ChecksumLine(crc);
  const int fd = OpenForWriting(m_path, false);
  bool written = fd >= 0 && Seek(fd, m_size) && WriteAndFlush(fd, addition, m_hook);
  const int saved = errno;
  if (fd >= 0) written = Close(fd) == 0 && written;
  if (!written) {
    // Whatever part of it reached the file lies after the last checksum line and is not read;
    // the next change writes a whole copy.
    if (error != nullptr) *error = "cannot write " + m_path + ": " + std::strerror(saved);
    m_canAdd = false;
    return false;
  }
  m_size += addition.size();
  m_crc = CrcAdd(crc, addition.data() + lines.size(), kChecksumLineSize);
  KeyState::PageMap stored = std::move(m_stored->pages);
  if (changed == nullptr) {
    stored = pages;
  } else {
    for (const std::uint16_t page : *changed) stored[page] = pages.at(page);
  }
  *m_stored = std::move(state);
  m_stored->pages = std::move(stored);
  return true;
}

void KeyStateFile::Remove() {
  std::error_code ignored;
  fs::remove(m_path, ignored);
  fs::remove(m_path + ".new", ignored);
  m_stored.reset();
  m_canAdd = false;
}

bool ReplaceFileContents(const std::string& path, const std::string& bytes, std::string* error,
                         const StateWriteHook& hook) {
  const std::string fresh = path + ".new";
  const auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = "cannot " + what + " " + fresh + ": " + Reason();
    const int saved = errno;
    std::remove(fresh.c_str());
    errno = saved;
    return false;
  };
  const int fd = OpenForWriting(fresh, true);
  if (fd < 0) return fail("create");
  if (!WriteAndFlush(fd, bytes, hook)) {
    const int saved = errno;
    Close(fd);
    errno = saved;
    return fail("write");
  }
  if (Close(fd) != 0) return fail("write");
  if (hook) hook(StateWritePoint::kBeforeRename);
  std::error_code renamed;
  fs::rename(fresh, path, renamed);
  if (renamed) {
    errno = renamed.value();
    return fail("rename");
  }
#if !defined(_WIN32)
  // The rename lives in the folder: flush it too.
  std::string folder = fs::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
#endif
  return true;
}

}  // namespace emulated
