// Runs the program's main dialog on the emulated host as a user would: the application starts,
// the dialog shows the capacity, the label is typed, Start is pressed and every message box is
// answered OK. Shared by the fault sweep (tests/sweep) and the benchmarks.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frontend/windowless_dialog_view.h"
#include "app/dialog_view.h"
#include "host/emulated/emulated_host.h"

namespace start_driver {

// One way through the Start sequence: a model, reached by pass-through (an administrator) or
// through the helper driver (an ordinary user).
struct Workflow {
  const char* model;
  bool administrator;
};

inline constexpr Workflow kWorkflows[] = {
    {"KV 2 Zarno P9", true}, {"KV 2 Zarno P9", false}, {"KV 2 Zarno P3", true},
    {"KV 2 Zarno P3", false}, {"Varnok Key", true},     {"Varnok Key", false},
};

// "KV 2 Zarno P9, pass-through" or "..., helper driver".
std::string WorkflowName(const Workflow& workflow);

// The dialog's window kept as state: item texts, what is enabled and shown, the progress bar.
class RecordingView final : public WindowlessDialogView, public ui::ProgressBar {
 public:
  void EnableItem(int id, bool enable) override;
  ui::ProgressBar& ProgressItem(int) override { return *this; }
  void SetRange(std::uint16_t low, std::uint16_t high) override;
  void SetPosition(std::int32_t position) override;

  // Times the item was disabled since the last call.
  int TakeDisableCount(int id);
  std::int32_t Position() const { return m_position; }

 private:
  std::map<int, int> m_disables;
  std::uint16_t m_low = 0;
  std::uint16_t m_high = 100;
  std::int32_t m_position = 0;
};

// Returns the device library and the dialog's process-wide values to their start-up state,
// as a new process of the program would find them.
void ResetProcessState();

// Sets the host up as stelvarion-boot does for the workflow (the key at E: in memory, helper
// index 0, the system files as resources) and fixes the clock, so that runs repeat exactly.
void SetUpHost(emulated::EmulatedHost& host, const Workflow& workflow, std::uint32_t capacityMb = 1024);

// What one press of Start did.
struct StartRun {
  bool pressed = false;               // Start was enabled after initialisation and pressed
  bool startDisabledDuring = false;   // the sequence disabled Start while it ran
  bool startEnabledAfter = false;
  bool successful = false;            // the success box was shown
  std::uint64_t firstCommand = 0;     // command index when Start was pressed
  std::uint64_t commands = 0;         // commands the sequence sent
  std::size_t firstTraceEvent = 0;    // trace position when Start was pressed
  std::uint64_t pauseMs = 0;          // pauses the sequence took
  std::vector<std::string> messages;  // message boxes shown by the sequence, in order
  double wallSeconds = 0;             // Start handler only
  double cpuSeconds = 0;
};

// Starts the application with the dialog over the installed host. `beforeStart` runs after
// the dialog's initialisation, just before Start is pressed (to arm faults or the real clock).
StartRun RunStart(emulated::EmulatedHost& host, const std::string& label,
                  const std::function<void(emulated::EmulatedHost&)>& beforeStart = {});

}  // namespace start_driver
