#include "host/emulated/key_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace emulated {

namespace {

constexpr char kMagic[] = "stelvarion-key-state";
constexpr char kChecksumKey[] = "checksum ";
// A state file is a few tens of kilobytes; anything far larger is not one.
constexpr std::uintmax_t kLargestStateFile = 1u << 20;

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<std::uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
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
  std::string out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the fields back, each refusal naming the file.
class Reader {
 public:
  Reader(const std::string& text, const std::string& name) : m_in(text), m_name(name) {}

  [[noreturn]] void Damaged(const std::string& why) const {
    throw KeyStateError(m_name + " is damaged (" + why + "); delete the image and its state file to start over");
  }

  // The next line, which must begin with `key` and a space; returns the rest.
  std::string Field(const std::string& key) {
    std::string line;
    if (!std::getline(m_in, line)) Damaged("it ends before " + key);
    if (line.compare(0, key.size() + 1, key + " ") != 0) Damaged("\"" + key + "\" expected, found \"" + line.substr(0, 40) + "\"");
    return line.substr(key.size() + 1);
  }
  bool NextIs(const std::string& key) {
    const std::streampos at = m_in.tellg();
    std::string line;
    const bool is = static_cast<bool>(std::getline(m_in, line)) && line.compare(0, key.size() + 1, key + " ") == 0;
    m_in.clear();
    m_in.seekg(at);
    return is;
  }

  std::uint64_t Number(const std::string& key, std::uint64_t max) {
    const std::string value = Field(key);
    if (value.empty() || value.size() > 20 || value.find_first_not_of("0123456789") != std::string::npos) {
      Damaged(key + " is not a number");
    }
    const std::uint64_t n = std::stoull(value);
    if (n > max) Damaged(key + " is out of range");
    return n;
  }

  std::string Text(const std::string& key) { return Unquote(key, Field(key)); }

  std::string Unquote(const std::string& key, const std::string& value) {
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

  void Bytes(const std::string& key, const std::string& hex, std::uint8_t* out, std::size_t count) {
    if (hex.size() != count * 2) Damaged(key + " has the wrong length");
    for (std::size_t i = 0; i < count; ++i) {
      const int high = HexDigit(hex[2 * i]);
      const int low = HexDigit(hex[2 * i + 1]);
      if (high < 0 || low < 0) Damaged(key + " is not hexadecimal");
      out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
  }

  bool AtEnd() {
    return m_in.peek() == std::char_traits<char>::eof();
  }

 private:
  std::istringstream m_in;
  const std::string& m_name;
};

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
  out << "area-register " << s.areaRegister << '\n';
  out << "view " << ViewName(s.view) << '\n';
  for (std::size_t area = 0; area < s.areas.size(); ++area) {
    out << "area " << area << " password " << Quoted(s.areas[area].password) << " hint " << Quoted(s.areas[area].hint)
        << '\n';
  }
  out << "info-block " << Hex(s.infoBlock.data(), s.infoBlock.size()) << '\n';
  out << "parameter-block " << Hex(s.parameterBlock.data(), s.parameterBlock.size()) << '\n';
  out << "block-a3 " << Hex(s.blockA3.data(), s.blockA3.size()) << '\n';
  out << "bulk-area " << Hex(s.bulkArea.data(), s.bulkArea.size()) << '\n';
  for (const auto& [page, bytes] : s.pages) out << "page " << page << ' ' << Hex(bytes.data(), bytes.size()) << '\n';
  std::string text = out.str();
  char checksum[24];
  std::snprintf(checksum, sizeof checksum, "%s%08X\n", kChecksumKey, static_cast<unsigned>(Crc32(text)));
  return text + checksum;
}

KeyState ParseKeyState(const std::string& text, const std::string& name) {
  const std::string magicLine = std::string(kMagic) + ' ';
  if (text.compare(0, magicLine.size(), magicLine) != 0) {
    throw KeyStateError(name + " is not an emulated key's state file");
  }
  const std::size_t versionEnd = text.find('\n');
  const std::string version = text.substr(magicLine.size(), versionEnd - magicLine.size());
  if (version != std::to_string(kKeyStateVersion)) {
    throw KeyStateError(name + " is a key state of version " + version.substr(0, 20) + "; this program reads version " +
                        std::to_string(kKeyStateVersion));
  }
  // The checksum line is the last; everything before it is what it covers.
  const std::size_t checksumAt = text.rfind(std::string("\n") + kChecksumKey);
  Reader reader(text, name);
  if (checksumAt == std::string::npos) reader.Damaged("it has no checksum");
  const std::string body = text.substr(0, checksumAt + 1);
  char expected[24];
  std::snprintf(expected, sizeof expected, "%s%08X\n", kChecksumKey, static_cast<unsigned>(Crc32(body)));
  if (text.substr(checksumAt + 1) != expected) reader.Damaged("its checksum does not match");

  Reader in(body, name);
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
  const std::string view = in.Field("view");
  if (view == ViewName(KeyView::kFirstArea)) {
    s.view = KeyView::kFirstArea;
  } else if (view == ViewName(KeyView::kSecondArea)) {
    s.view = KeyView::kSecondArea;
  } else if (view == ViewName(KeyView::kWholeFlash)) {
    s.view = KeyView::kWholeFlash;
  } else {
    in.Damaged("unknown view " + view.substr(0, 20));
  }
  for (std::size_t area = 0; area < s.areas.size(); ++area) {
    const std::string line = in.Field("area");
    const std::string head = std::to_string(area) + " password ";
    const std::size_t hintAt = line.rfind("\" hint \"");
    if (line.compare(0, head.size(), head) != 0 || hintAt == std::string::npos || hintAt < head.size()) {
      in.Damaged("area " + std::to_string(area) + " is not what it should be");
    }
    s.areas[area].password = in.Unquote("password", line.substr(head.size(), hintAt + 1 - head.size()));
    s.areas[area].hint = in.Unquote("hint", line.substr(hintAt + 7));
  }
  in.Bytes("info-block", in.Field("info-block"), s.infoBlock.data(), s.infoBlock.size());
  in.Bytes("parameter-block", in.Field("parameter-block"), s.parameterBlock.data(), s.parameterBlock.size());
  in.Bytes("block-a3", in.Field("block-a3"), s.blockA3.data(), s.blockA3.size());
  s.bulkArea.resize(key_record::kBulkSize);
  in.Bytes("bulk-area", in.Field("bulk-area"), s.bulkArea.data(), s.bulkArea.size());
  while (in.NextIs("page")) {
    const std::string line = in.Field("page");
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space > 5 || line.find_first_not_of("0123456789") != space) {
      in.Damaged("a page line is not what it should be");
    }
    const unsigned long page = std::stoul(line.substr(0, space));
    if (page > 0xFFFF) in.Damaged("a page number is out of range");
    in.Bytes("page", line.substr(space + 1), s.pages[static_cast<std::uint16_t>(page)].data(), key_record::kPageSize);
  }
  if (!in.AtEnd()) in.Damaged("it holds lines this program does not know");
  return s;
}

std::string DescribeAreas(const KeyState& s) {
  const char* view = s.view == KeyView::kFirstArea    ? "first area"
                     : s.view == KeyView::kSecondArea ? "second area"
                                                      : "whole flash";
  return "area register " + std::to_string(s.areaRegister) + " sectors, " + view + " visible";
}

std::string KeyStatePath(const std::string& imagePath) { return imagePath + ".state"; }

std::optional<KeyState> KeyStateFile::Load() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(m_path, error);
  if (!fs::exists(status)) return std::nullopt;
  if (!fs::is_regular_file(status) || fs::file_size(m_path, error) > kLargestStateFile || error) {
    throw KeyStateError(m_path + " is not an emulated key's state file");
  }
  std::ifstream in(m_path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) throw KeyStateError("cannot read " + m_path);
  KeyState state = ParseKeyState(text, m_path);
  m_lastText = std::move(text);
  return state;
}

bool KeyStateFile::Save(const KeyState& state, std::string* error) {
  std::string text = FormatKeyState(state);
  if (text == m_lastText) return true;
  if (!ReplaceFileContents(m_path, text, error)) return false;
  m_lastText = std::move(text);
  return true;
}

void KeyStateFile::Remove() {
  std::error_code ignored;
  std::filesystem::remove(m_path, ignored);
  std::filesystem::remove(m_path + ".new", ignored);
  m_lastText.clear();
}

bool ReplaceFileContents(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string fresh = path + ".new";
  const auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = "cannot " + what + " " + fresh + ": " + std::strerror(errno);
    std::remove(fresh.c_str());
    return false;
  };
#if defined(_WIN32)
  const int fd = ::_open(fresh.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
#endif
  if (fd < 0) return fail("create");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1u << 16);
#if defined(_WIN32)
    const int wrote = ::_write(fd, bytes.data() + done, static_cast<unsigned>(chunk));
#else
    const ssize_t wrote = ::write(fd, bytes.data() + done, chunk);
#endif
    if (wrote <= 0) {
      if (wrote < 0 && errno == EINTR) continue;
      const int saved = errno;
#if defined(_WIN32)
      ::_close(fd);
#else
      ::close(fd);
#endif
      errno = saved;
      return fail("write");
    }
    done += static_cast<std::size_t>(wrote);
  }
#if defined(_WIN32)
  const bool flushed = ::_commit(fd) == 0;
  ::_close(fd);
#else
  const bool flushed = ::fsync(fd) == 0;
  ::close(fd);
#endif
  if (!flushed) return fail("flush");
  std::error_code renamed;
  std::filesystem::rename(fresh, path, renamed);
  if (renamed) {
    errno = renamed.value();
    return fail("rename");
  }
#if !defined(_WIN32)
  // The rename lives in the folder: flush it too.
  std::string folder = std::filesystem::path(path).parent_path().string();
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
