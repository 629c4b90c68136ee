#include "host/trace.h"

#include <cstdio>

namespace host {

std::string TraceEvent::Describe() const {
  char line[160];
  switch (kind) {
    case TraceKind::kPassThrough:
    case TraceKind::kHelperCommand: {
      std::string bytes;
      for (std::uint8_t b : cdb) {
        std::snprintf(line, sizeof line, "%s%02X", bytes.empty() ? "" : " ", b);
        bytes += line;
      }
      if (kind == TraceKind::kPassThrough) {
        std::snprintf(line, sizeof line, "scsi %c: %s %s %u status %u%s", letter ? letter : '?',
                      dataIn ? "in " : "out", bytes.c_str(), length, status,
                      !ok ? " (ioctl failed)" : delivered ? "" : " (not delivered)");
      } else {
        std::snprintf(line, sizeof line, "helper %d: %s %s %u status %u%s", helperIndex,
                      dataIn ? "in " : "out", bytes.c_str(), length, status,
                      !ok ? " (ioctl failed)" : delivered ? "" : " (no device answered)");
      }
      return line;
    }
    case TraceKind::kPause:
      std::snprintf(line, sizeof line, "pause %u ms", milliseconds);
      return line;
    case TraceKind::kOpenVolume:
      return "open " + text + (ok ? "" : " (failed)");
    case TraceKind::kOpenHelper:
      return "open helper " + text + (ok ? "" : " (failed)");
    case TraceKind::kCloseHandle:
      return "close";
    case TraceKind::kDriveType:
      return "drive type " + text;
    case TraceKind::kFreeSpace:
      return "free space " + text;
    case TraceKind::kRegistry:
      return "registry " + text;
    case TraceKind::kFile:
      return "file " + text + (ok ? "" : " (failed)");
    case TraceKind::kKeyState:
      return text;
  }
  return text;
}

std::vector<TraceEvent> Trace::OfKind(TraceKind kind) const {
  std::vector<TraceEvent> out;
  for (const TraceEvent& e : m_events) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

std::vector<TraceEvent> Trace::Commands() const {
  std::vector<TraceEvent> out;
  for (const TraceEvent& e : m_events) {
    if (e.kind == TraceKind::kPassThrough || e.kind == TraceKind::kHelperCommand) out.push_back(e);
  }
  return out;
}

std::uint64_t Trace::TotalPauseMs() const {
  std::uint64_t total = 0;
  for (const TraceEvent& e : m_events) {
    if (e.kind == TraceKind::kPause) total += e.milliseconds;
  }
  return total;
}

}  // namespace host
