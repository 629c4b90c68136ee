// What crosses a host's ports, in order: every port of the emulated host; the commands and
// pauses of the Linux host. One vocabulary, so that both hosts' trace files read alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum class TraceKind {
  kOpenVolume,     // text: path; ok
  kCloseHandle,    // handle
  kPassThrough,    // a command over IOCTL_SCSI_PASS_THROUGH_DIRECT
  kOpenHelper,     // text: path; ok
  kHelperCommand,  // a command through the helper driver
  kPause,          // milliseconds
  kDriveType,      // text: root path
  kFreeSpace,      // text: root path and which query
  kRegistry,       // text: what was read
  kFile,           // text: the file-system call and its path; ok
  kKeyState,       // text: what a key attached from its image starts with
};

struct TraceEvent {
  TraceKind kind{};
  std::string text;
  bool ok = false;
  std::uint64_t handle = 0;

  // Commands.
  char letter = 0;          // pass-through: the volume's drive letter
  int helperIndex = -1;     // helper driver: the device index in the request
  std::vector<std::uint8_t> cdb;   // as the device received it (10 bytes, 12 through the helper)
  bool dataIn = false;
  std::uint32_t length = 0;
  std::uint8_t status = 0;  // SCSI status the device answered
  bool delivered = false;   // the device saw the command
  std::vector<std::uint8_t> request;  // the pass-through image or the helper block's first 60 bytes
  std::vector<std::uint8_t> reply;    // the same after the system answered
  std::uint32_t inSize = 0;
  std::uint32_t outSize = 0;
  std::vector<std::uint8_t> dataOut;  // data sent to the device, as it arrived
  bool dataBufferIsNull = false;      // pass-through: the DataBuffer pointer was null
  const void* dataBuffer = nullptr;   // pass-through: the DataBuffer pointer itself

  std::uint32_t milliseconds = 0;

  // Volume opens: what CreateFileA was asked for.
  std::uint32_t access = 0;
  std::uint32_t share = 0;
  std::uint32_t disposition = 0;
  std::uint32_t flags = 0;

  // One line: direction, length, block bytes and status for commands; the pause; the text.
  std::string Describe() const;
};

class Trace {
 public:
  void Add(TraceEvent event) { m_events.push_back(std::move(event)); }
  const std::vector<TraceEvent>& Events() const { return m_events; }
  std::vector<TraceEvent> OfKind(TraceKind kind) const;
  // Commands in the order the devices received them (both transports).
  std::vector<TraceEvent> Commands() const;
  std::uint64_t TotalPauseMs() const;
  void Clear() { m_events.clear(); }

 private:
  std::vector<TraceEvent> m_events;
};

}  // namespace host
