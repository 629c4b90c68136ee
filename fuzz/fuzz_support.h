// What every fuzz target shares: a reader that turns the input into choices, the check that
// ends the run with a readable reason, and caller buffers fenced by canary bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace fuzz {

// Reads the input front to back. An exhausted input reads as zeros, so every input, however
// short, is a complete run.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  std::size_t Remaining() const { return m_size - m_offset; }
  bool Empty() const { return m_offset >= m_size; }

  std::uint8_t Byte();
  std::uint16_t U16();  // little-endian
  std::uint32_t U32();  // little-endian
  bool Bool() { return (Byte() & 1) != 0; }
  // A value in [low, high], both included.
  std::uint32_t Range(std::uint32_t low, std::uint32_t high);
  // Up to count bytes, fewer when the input ends.
  std::vector<std::uint8_t> Bytes(std::size_t count);
  // A length byte (or two, for long texts), then that many bytes, any values.
  std::string Text(std::size_t maxLength);
  // Everything not read yet.
  std::vector<std::uint8_t> Rest();

  // One of the values, or (the choice after the last) any 32-bit value.
  std::uint32_t PickOrAny(std::initializer_list<std::uint32_t> choices);

  template <typename T>
  T Pick(std::initializer_list<T> choices) {
    return choices.begin()[Range(0, static_cast<std::uint32_t>(choices.size() - 1))];
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_offset = 0;
};

// Builds inputs in the format FuzzInput reads back; used by the seed generators.
class InputWriter {
 public:
  InputWriter& Byte(std::uint8_t value);
  InputWriter& U16(std::uint16_t value);
  InputWriter& U32(std::uint32_t value);
  InputWriter& Bool(bool value) { return Byte(value ? 1 : 0); }
  // The byte that makes Range(low, high) answer value.
  InputWriter& Range(std::uint32_t low, std::uint32_t high, std::uint32_t value);
  InputWriter& Bytes(const std::vector<std::uint8_t>& bytes);
  InputWriter& Text(const std::string& text, std::size_t maxLength);
  const std::vector<std::uint8_t>& Data() const { return m_data; }

 private:
  std::vector<std::uint8_t> m_data;
};

// Reports a broken expectation and aborts, so that libFuzzer saves the input and a replaying
// test fails.
[[noreturn]] void CheckFailed(const char* file, int line, const char* condition, const std::string& detail);

#define FUZZ_CHECK(condition, detail)                                          \
  do {                                                                         \
    if (!(condition)) ::fuzz::CheckFailed(__FILE__, __LINE__, #condition, (detail)); \
  } while (false)

// A caller's output buffer of a documented size with canary bytes on both sides. Under
// AddressSanitizer the canaries are also poisoned, so a stray write is reported where it
// happens; without it, CheckIntact finds it afterwards.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t size, std::uint8_t fill = 0xA5);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  std::uint8_t* data() { return m_storage.data() + kGuard; }
  char* chars() { return reinterpret_cast<char*>(data()); }
  std::size_t size() const { return m_size; }
  std::vector<std::uint8_t> Contents() const;
  void Fill(const std::vector<std::uint8_t>& bytes);  // the first bytes; the rest keep the fill

  // Aborts, naming the buffer, when a canary byte changed.
  void CheckIntact(const char* name) const;

  static constexpr std::size_t kGuard = 32;

 private:
  void Poison(bool on);
  std::vector<std::uint8_t> m_storage;
  std::size_t m_size;
};

std::string Hex(const std::uint8_t* bytes, std::size_t size);
inline std::string Hex(const std::vector<std::uint8_t>& bytes) { return Hex(bytes.data(), bytes.size()); }

}  // namespace fuzz
