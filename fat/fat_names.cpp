#include "fat/fat_names.h"

#include <cstring>
#include <string_view>

#include "fat/fat_errors.h"
#include "fat/fat_layout.h"

namespace emulated {

namespace {

using namespace fat_error;

std::uint8_t Upper(std::uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool ForbiddenInPath(std::uint8_t c) { return c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr; }

// Characters a short name may hold; anything else makes Windows write a long-name entry.
bool LegalInShortName(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80 ||
         std::strchr("$%'-_@~`!(){}^#&", c) != nullptr;
}

bool ForbiddenInLabel(std::uint8_t c) {
  return c < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr;
}

void StoreLeadByte(ShortName& name) {
  if (name[0] == fat_layout::kDeleted) name[0] = fat_layout::kLeadE5;
}

std::string Trimmed(const std::uint8_t* bytes, std::size_t size) {
  while (size > 0 && bytes[size - 1] == ' ') --size;
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

std::string WithLeadByte(std::string text) {
  if (!text.empty() && static_cast<std::uint8_t>(text[0]) == fat_layout::kLeadE5) {
    text[0] = static_cast<char>(fat_layout::kDeleted);
  }
  return text;
}

}  // namespace

RootPath ParseRootPath(const char* path) {
  RootPath result;
  result.error = ERROR_INVALID_NAME;
  if (path == nullptr) return result;
  std::string_view p(path);
  if (p.size() >= 2 && p[1] == ':' && Upper(static_cast<std::uint8_t>(p[0])) >= 'A' &&
      Upper(static_cast<std::uint8_t>(p[0])) <= 'Z') {
    p.remove_prefix(2);
  }
  while (!p.empty() && IsSeparator(p.front())) p.remove_prefix(1);
  // Win32 drops trailing dots and spaces from a path before the file system sees it.
  while (!p.empty() && (p.back() == '.' || p.back() == ' ')) p.remove_suffix(1);
  if (p.empty()) return result;
  for (char c : p) {
    if (ForbiddenInPath(static_cast<std::uint8_t>(c))) return result;
  }
  for (char c : p) {
    if (IsSeparator(c)) {
      result.error = ERROR_PATH_NOT_FOUND;  // only the root directory is kept
      return result;
    }
  }
  result.error = ERROR_SUCCESS;

  const std::size_t dot = p.find('.');
  const std::string_view base = p.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : p.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string_view::npos) {
    return result;
  }
  for (char c : p) {
    if (c != '.' && !LegalInShortName(static_cast<std::uint8_t>(c))) return result;
  }
  result.name.fill(' ');
  for (std::size_t i = 0; i < base.size(); ++i) result.name[i] = Upper(static_cast<std::uint8_t>(base[i]));
  for (std::size_t i = 0; i < ext.size(); ++i) result.name[8 + i] = Upper(static_cast<std::uint8_t>(ext[i]));
  StoreLeadByte(result.name);
  result.isShortName = true;
  return result;
}

std::uint32_t MakeVolumeLabel(const char* label, ShortName* out, bool* remove) {
  std::string_view text = label != nullptr ? std::string_view(label) : std::string_view{};
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() > out->size()) return ERROR_LABEL_TOO_LONG;
  for (char c : text) {
    // Windows reports a forbidden character with the same code as a label too long.
    if (ForbiddenInLabel(static_cast<std::uint8_t>(c))) return ERROR_LABEL_TOO_LONG;
  }
  out->fill(' ');
  for (std::size_t i = 0; i < text.size(); ++i) (*out)[i] = Upper(static_cast<std::uint8_t>(text[i]));
  StoreLeadByte(*out);
  *remove = text.empty();
  return ERROR_SUCCESS;
}

bool SameShortName(const ShortName& a, const ShortName& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

std::string ShortNameText(const ShortName& name) {
  std::string text = WithLeadByte(Trimmed(name.data(), 8));
  const std::string ext = Trimmed(name.data() + 8, 3);
  if (!ext.empty()) text += "." + ext;
  return text;
}

std::string LabelText(const ShortName& name) {
  return WithLeadByte(Trimmed(name.data(), name.size()));
}

}  // namespace emulated
