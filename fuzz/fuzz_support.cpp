#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STELVARION_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define STELVARION_FUZZ_ASAN 1
#endif
#if defined(STELVARION_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace fuzz {

namespace {
constexpr std::uint8_t kCanary = 0xCB;
}

std::uint8_t FuzzInput::Byte() { return m_offset < m_size ? m_data[m_offset++] : 0; }

std::uint16_t FuzzInput::U16() {
  const std::uint16_t low = Byte();
  return static_cast<std::uint16_t>(low | Byte() << 8);
}

std::uint32_t FuzzInput::U32() {
  const std::uint32_t low = U16();
  return low | std::uint32_t{U16()} << 16;
}

std::uint32_t FuzzInput::Range(std::uint32_t low, std::uint32_t high) {
  if (high <= low) return low;
  const std::uint64_t span = std::uint64_t{high} - low + 1;
  const std::uint32_t raw = span <= 0x100 ? Byte() : span <= 0x10000 ? U16() : U32();
  return static_cast<std::uint32_t>(low + raw % span);
}

std::uint32_t FuzzInput::PickOrAny(std::initializer_list<std::uint32_t> choices) {
  const std::uint32_t index = Range(0, static_cast<std::uint32_t>(choices.size()));
  return index < choices.size() ? choices.begin()[index] : U32();
}

std::vector<std::uint8_t> FuzzInput::Bytes(std::size_t count) {
  const std::size_t n = std::min(count, Remaining());
  std::vector<std::uint8_t> out(m_data + m_offset, m_data + m_offset + n);
  m_offset += n;
  return out;
}

std::string FuzzInput::Text(std::size_t maxLength) {
  const std::size_t length = Range(0, static_cast<std::uint32_t>(maxLength));
  const std::vector<std::uint8_t> bytes = Bytes(length);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> FuzzInput::Rest() { return Bytes(Remaining()); }

InputWriter& InputWriter::Byte(std::uint8_t value) {
  m_data.push_back(value);
  return *this;
}

InputWriter& InputWriter::U16(std::uint16_t value) {
  Byte(static_cast<std::uint8_t>(value));
  return Byte(static_cast<std::uint8_t>(value >> 8));
}

InputWriter& InputWriter::U32(std::uint32_t value) {
  U16(static_cast<std::uint16_t>(value));
  return U16(static_cast<std::uint16_t>(value >> 16));
}

InputWriter& InputWriter::Range(std::uint32_t low, std::uint32_t high, std::uint32_t value) {
  if (high <= low) return *this;
  const std::uint64_t span = std::uint64_t{high} - low + 1;
  const std::uint32_t raw = value - low;
  if (span <= 0x100) return Byte(static_cast<std::uint8_t>(raw));
  if (span <= 0x10000) return U16(static_cast<std::uint16_t>(raw));
  return U32(raw);
}

InputWriter& InputWriter::Bytes(const std::vector<std::uint8_t>& bytes) {
  m_data.insert(m_data.end(), bytes.begin(), bytes.end());
  return *this;
}

InputWriter& InputWriter::Text(const std::string& text, std::size_t maxLength) {
  const std::size_t n = std::min(text.size(), maxLength);
  Range(0, static_cast<std::uint32_t>(maxLength), static_cast<std::uint32_t>(n));
  m_data.insert(m_data.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
  return *this;
}

void CheckFailed(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n==== fuzz check failed at %s:%d\n     %s\n     %s\n", file, line, condition,
               detail.c_str());
  std::fflush(stderr);
  std::abort();
}

GuardedBuffer::GuardedBuffer(std::size_t size, std::uint8_t fill)
    : m_storage(size + 2 * kGuard, kCanary), m_size(size) {
  std::fill_n(m_storage.begin() + kGuard, size, fill);
  Poison(true);
}

GuardedBuffer::~GuardedBuffer() { Poison(false); }

void GuardedBuffer::Poison([[maybe_unused]] bool on) {
#if defined(STELVARION_FUZZ_ASAN)
  std::uint8_t* base = m_storage.data();
  if (on) {
    ASAN_POISON_MEMORY_REGION(base, kGuard);
    ASAN_POISON_MEMORY_REGION(base + kGuard + m_size, kGuard);
  } else {
    ASAN_UNPOISON_MEMORY_REGION(base, m_storage.size());
  }
#endif
}

std::vector<std::uint8_t> GuardedBuffer::Contents() const {
  const auto begin = m_storage.begin() + kGuard;
  return std::vector<std::uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(m_size));
}

void GuardedBuffer::Fill(const std::vector<std::uint8_t>& bytes) {
  std::copy_n(bytes.begin(), std::min(bytes.size(), m_size), m_storage.begin() + kGuard);
}

void GuardedBuffer::CheckIntact(const char* name) const {
  // The canaries are poisoned: look at them only after lifting the poison.
  const_cast<GuardedBuffer*>(this)->Poison(false);
  for (std::size_t i = 0; i < kGuard; ++i) {
    FUZZ_CHECK(m_storage[i] == kCanary,
               std::string(name) + ": written " + std::to_string(kGuard - i) + " byte(s) before its start");
    FUZZ_CHECK(m_storage[kGuard + m_size + i] == kCanary,
               std::string(name) + " (" + std::to_string(m_size) + " bytes): written at offset " +
                   std::to_string(m_size + i));
  }
  const_cast<GuardedBuffer*>(this)->Poison(true);
}

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace fuzz
