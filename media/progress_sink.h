// The progress protocol of the long layout operations: a progress receiver (may be absent) and
// the caller's step counter.
#pragma once

#include <cstdint>

// Where the layout writers report their progress: the two calls of a progress-bar control, a
// range (PBM_SETRANGE's bounds) and a position (PBM_SETPOS's), in the order the writers make them.
class ProgressReceiver {
 public:
  virtual ~ProgressReceiver() = default;
  virtual void SetRange(std::uint16_t low, std::uint16_t high) = 0;
  virtual void SetPosition(std::int32_t position) = 0;
};

class ProgressSink {
 public:
  ProgressSink(ProgressReceiver* control, std::int32_t* counter) : m_control(control), m_counter(counter) {}

  // Takes the bar over when nobody has counted on it yet: a caller that owns the bar starts its
  // counter above 0, and then the range stays the caller's.
  void Claim(std::uint16_t total) {
    if (m_control != nullptr && *m_counter == 0) {
      m_control->SetRange(0, total);
      m_claimed = true;
    }
  }

  // Shows the counter, then counts it. Without a control nothing happens.
  void Advance() {
    if (m_control == nullptr) return;
    m_control->SetPosition(*m_counter);
    ++*m_counter;
  }

  // On success only the operation that claimed the bar returns it to 0.
  void ReleaseAfterSuccess() {
    if (m_claimed) m_control->SetPosition(0);
  }

  bool HasControl() const { return m_control != nullptr; }
  std::int32_t Count() const { return m_counter != nullptr ? *m_counter : 0; }
  ProgressReceiver* Control() const { return m_control; }
  std::int32_t* Counter() const { return m_counter; }

 private:
  ProgressReceiver* m_control;
  std::int32_t* m_counter;
  bool m_claimed = false;
};
