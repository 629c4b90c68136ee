#include "frontend/emulated_setup.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "frontend/trace_file.h"
#include "key/key_state.h"
#include "key/stored_key.h"

namespace {

// STELVARION_TEST_KILL_IN_STATE_WRITE=M:half or M:rename: the process kills itself in the state
// write for the key's M-th command, half-way through writing it, or before its new copy is
// renamed.
void KillInStateWrite(emulated::EmulatedKey& key) {
  const char* plan = std::getenv("STELVARION_TEST_KILL_IN_STATE_WRITE");
  if (plan == nullptr || key.StateFile() == nullptr) return;
  const std::string text = plan;
  const std::size_t colon = text.find(':');
  std::uint32_t command = 0;
  if (colon == std::string::npos || !ParseOptionNumber(text.substr(0, colon), 0xFFFFFFFFu, &command)) return;
  const std::string where = text.substr(colon + 1);
  if (where != "half" && where != "rename") return;
  const auto point = where == "half" ? emulated::StateWritePoint::kHalfWritten : emulated::StateWritePoint::kBeforeRename;
  key.StateFile()->SetWriteHook([&key, command, point](emulated::StateWritePoint reached) {
    if (reached != point || key.CommandsExecuted() != command) return;
    std::fflush(nullptr);
#if defined(SIGKILL)
    std::raise(SIGKILL);
#endif
    std::_Exit(137);
  });
}

}  // namespace

emulated::EmulatedKey& SetUpEmulatedHost(emulated::EmulatedHost& host, const EmulatedKeyOptions& options) {
  auto& key = static_cast<emulated::EmulatedKey&>(host.Attach(kKeyDriveLetter, emulated::OpenStoredKey(options.key, options.given), 0));
  emulated::TraceEvent start;
  start.kind = emulated::TraceKind::kKeyState;
  start.text = "key E: " + emulated::DescribeAreas(key.StateNow());
  host.trace.Add(start);
  if (const char* kill = std::getenv("STELVARION_TEST_KILL_AT_PAUSE"); kill != nullptr && *kill != '\0') {
    std::uint32_t pause = 0;
    if (ParseOptionNumber(kill, 0xFFFFFFFFu, &pause)) host.faults.killAtPause = pause;
  }
  KillInStateWrite(key);
  host.administrator = !options.ordinaryUser;
  host.SetRealTime(options.realPauses);
  // Files written on the key carry today's date, as on a real computer.
  host.SetTime(FrontEndClockStart());
  AddSystemFileResources(host, options.systemFiles ? &*options.systemFiles : nullptr);
  host.Install();
  return key;
}

std::uint32_t FrontEndClockStart() {
  std::uint32_t seconds = 0;
  const char* start = std::getenv("STELVARION_CLOCK_START");
  if (start != nullptr && ParseOptionNumber(start, 0xFFFFFFFFu, &seconds)) return seconds;
  return static_cast<std::uint32_t>(std::time(nullptr));
}

void AddSystemFileResources(emulated::EmulatedHost& host, const SystemFilesFolder* folder) {
  for (const auto& [id, bytes] : SystemFileResources(folder)) {
    if (folder != nullptr) {
      host.resourceViews[id] = bytes;
    } else {
      host.resources[id].assign(bytes.begin(), bytes.end());
    }
  }
}

std::string WriteTrace(const emulated::EmulatedHost& host, const std::string& path) {
  std::string text;
  for (const emulated::TraceEvent& event : host.trace.Events()) {
    if (event.kind == emulated::TraceKind::kPassThrough || event.kind == emulated::TraceKind::kHelperCommand ||
        event.kind == emulated::TraceKind::kPause || event.kind == emulated::TraceKind::kKeyState) {
      text += event.Describe() + '\n';
    }
  }
  return WriteTextFile(path, text);
}
