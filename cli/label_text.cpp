#include "cli/label_text.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr char32_t kUndefined = 0xFFFD;
constexpr std::uint8_t kFirstHighByte = 0x80;
constexpr std::uint8_t kFirstLatin1Byte = 0xA0;  // from here on the byte is the code point

// 0x80 to 0x9F: where code page 1252 differs from Latin-1. Five bytes are undefined.
constexpr char32_t kHighRow[32] = {
    0x20AC, kUndefined, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030,     0x0160, 0x2039, 0x0152, kUndefined, 0x017D, kUndefined,
    kUndefined, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122,     0x0161, 0x203A, 0x0153, kUndefined, 0x017E, 0x0178,
};

char32_t CodePointOf(std::uint8_t byte) {
  if (byte >= kFirstHighByte && byte < kFirstLatin1Byte) return kHighRow[byte - kFirstHighByte];
  return byte;
}

std::optional<std::uint8_t> ByteOf(char32_t c) {
  if (c < kFirstHighByte || (c >= kFirstLatin1Byte && c <= 0xFF)) return static_cast<std::uint8_t>(c);
  for (std::uint8_t i = 0; i < 32; ++i) {
    if (kHighRow[i] == c && c != kUndefined) return static_cast<std::uint8_t>(kFirstHighByte + i);
  }
  return std::nullopt;
}

// C0, DEL and C1: what a terminal sends for keys that are not characters.
bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < kFirstLatin1Byte); }

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code points of well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool DecodeUtf8(std::string_view text, std::vector<char32_t>* out) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      length = 1, c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, c = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out->push_back(c);
    i += length;
  }
  return true;
}

std::string CodePointName(char32_t c) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(c));
  return name;
}

}  // namespace

std::string LabelFromTerminal(std::string_view utf8, std::string* bytes) {
  bytes->clear();
  std::vector<char32_t> text;
  if (!DecodeUtf8(utf8, &text)) return "a volume label is read as UTF-8, and this one is not UTF-8";
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsControl(text[i])) {
      return "a volume label cannot hold control characters (" + CodePointName(text[i]) + " is character " +
             std::to_string(i + 1) + ")";
    }
  }
  std::string missing;
  for (const char32_t c : text) {
    const std::optional<std::uint8_t> byte = ByteOf(c);
    if (byte) {
      *bytes += static_cast<char>(*byte);
    } else {
      if (!missing.empty()) missing += ", ";
      AppendUtf8(missing, c);
      missing += " (" + CodePointName(c) + ")";
    }
  }
  if (!missing.empty()) {
    bytes->clear();
    return "a volume label is written in the Windows code page 1252, which has no " + missing;
  }
  if (!bytes->empty() && bytes->find_first_not_of(' ') == std::string::npos) {
    bytes->clear();
    return "a volume label cannot be all spaces (--label '' gives none)";
  }
  if (!bytes->empty() && bytes->front() == ' ') {
    bytes->clear();
    return "a volume label cannot begin with a space";
  }
  if (bytes->size() > kLabelMaxBytes) {
    const std::size_t stored = bytes->size();
    bytes->clear();
    return "a volume label has at most 11 characters, counted as the bytes stored (one per character of "
           "code page 1252); this one has " + std::to_string(stored);
  }
  return {};
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  std::string out;
  for (const char b : bytes) AppendUtf8(out, CodePointOf(static_cast<std::uint8_t>(b)));
  return out;
}
