// What the emulated key made of each command it received, decoded by the key itself, so that
// tests can assert on parameters by name instead of on block bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace emulated {

struct KeyCommandRecord {
  std::uint8_t opcode = 0;   // byte 0
  std::uint8_t subcode = 0;  // byte 3 of vendor commands (0xAD prefix), else 0
  std::string name;          // the key's name for it: "ProbeBlock", "SubmitPassword", "Read10", ...
  bool dataIn = false;
  std::uint32_t length = 0;
  // Decoded parameters: "area", "wait", "option", "index", "mode", "address", "kind", "page",
  // "flag", "lba", "count", "sectors", "allocation", "pageCode", "passwordLength",
  // "newPasswordLength", "hintLength". Length fields hold the length byte as sent, unclamped.
  std::map<std::string, std::uint32_t> fields;
  std::vector<std::uint8_t> dataOut;  // what the host sent (READ/WRITE(10) data only on request)
  std::uint8_t status = 0;

  bool Has(const std::string& field) const { return fields.count(field) != 0; }
};

// A bounded log: once full, the older half is dropped, so a long session costs bounded memory.
class KeyCommandLog {
 public:
  explicit KeyCommandLog(std::size_t capacity = std::size_t{1} << 16) : m_capacity(capacity) {}

  void Add(KeyCommandRecord record);
  const std::vector<KeyCommandRecord>& Records() const { return m_records; }
  void Clear() { m_records.clear(); }
  // Records dropped to keep the bound since the key was made.
  std::uint64_t Dropped() const { return m_dropped; }

 private:
  std::size_t m_capacity;
  std::vector<KeyCommandRecord> m_records;
  std::uint64_t m_dropped = 0;
};

}  // namespace emulated
