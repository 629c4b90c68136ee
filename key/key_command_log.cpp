#include "key/key_command_log.h"

#include <iterator>

namespace emulated {

void KeyCommandLog::Add(KeyCommandRecord record) {
  if (m_capacity > 0 && m_records.size() >= m_capacity) {
    const std::size_t drop = m_records.size() - m_capacity / 2;
    m_records.erase(m_records.begin(), m_records.begin() + static_cast<std::ptrdiff_t>(drop));
    m_dropped += drop;
  }
  m_records.push_back(std::move(record));
}

}  // namespace emulated
