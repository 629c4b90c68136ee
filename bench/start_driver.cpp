#include "bench/start_driver.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "app/app_texts.h"
#include "app/boot_utility_app.h"
#include "app/boot_utility_dialog.h"
#include "frontend/emulated_setup.h"
#include "frontend/key_options.h"
#include "devlib/library_state.h"

namespace start_driver {
namespace {

constexpr std::uint32_t kFixedSeconds = 1000000000;  // 2001-09-09, a Sunday
constexpr char kFixedDate[] = "09/09/01";

class ScriptedRunner final : public ModalDialogRunner {
 public:
  ScriptedRunner(emulated::EmulatedHost& host, std::string label,
                 const std::function<void(emulated::EmulatedHost&)>& beforeStart, StartRun& run)
      : m_host(host), m_label(std::move(label)), m_beforeStart(beforeStart), m_run(run) {}

  int RunModal(BootUtilityDialog& dialog) override {
    dialog.AttachView(&m_view);
    dialog.OnInitDialog();
    if (m_view.IsEnabled(dialog_id::kStart)) {
      m_view.Type(dialog_id::kLabel, m_label);
      if (m_beforeStart) m_beforeStart(m_host);
      PressStart(dialog);
    }
    dialog.OnCancel();
    dialog.AttachView(nullptr);
    return host::win32::IDCANCEL;
  }

 private:
  void PressStart(BootUtilityDialog& dialog) {
    m_run.pressed = true;
    m_run.firstCommand = m_host.CommandCount();
    m_run.firstTraceEvent = m_host.trace.Events().size();
    const std::size_t firstBox = m_host.messageBoxes.size();
    m_view.TakeDisableCount(dialog_id::kStart);

    const std::clock_t cpuBefore = std::clock();
    const auto wallBefore = std::chrono::steady_clock::now();
    dialog.OnOK();
    const auto wallAfter = std::chrono::steady_clock::now();
    const std::clock_t cpuAfter = std::clock();

    m_run.wallSeconds = std::chrono::duration<double>(wallAfter - wallBefore).count();
    m_run.cpuSeconds = static_cast<double>(cpuAfter - cpuBefore) / CLOCKS_PER_SEC;
    m_run.commands = m_host.CommandCount() - m_run.firstCommand;
    const auto& events = m_host.trace.Events();
    for (std::size_t i = m_run.firstTraceEvent; i < events.size(); ++i) {
      if (events[i].kind == emulated::TraceKind::kPause) m_run.pauseMs += events[i].milliseconds;
    }
    for (std::size_t i = firstBox; i < m_host.messageBoxes.size(); ++i) {
      const std::string& text = m_host.messageBoxes[i].text;
      m_run.messages.push_back(text);
      if (text == text::kSuccessful) m_run.successful = true;
    }
    m_run.startDisabledDuring = m_view.TakeDisableCount(dialog_id::kStart) > 0;
    m_run.startEnabledAfter = m_view.IsEnabled(dialog_id::kStart);
  }

  emulated::EmulatedHost& m_host;
  std::string m_label;
  const std::function<void(emulated::EmulatedHost&)>& m_beforeStart;
  StartRun& m_run;
  RecordingView m_view;
};

}  // namespace

std::string WorkflowName(const Workflow& workflow) {
  return std::string(workflow.model) + (workflow.administrator ? ", pass-through" : ", helper driver");
}

void RecordingView::EnableItem(int id, bool enable) {
  WindowlessDialogView::EnableItem(id, enable);
  if (!enable) ++m_disables[id];
}

void RecordingView::SetRange(std::uint16_t low, std::uint16_t high) {
  m_low = low;
  m_high = high;
}

void RecordingView::SetPosition(std::int32_t position) {
  // The control clips positions outside its range.
  m_position = std::clamp<std::int32_t>(position, m_low, m_high);
}

int RecordingView::TakeDisableCount(int id) {
  const int count = m_disables[id];
  m_disables[id] = 0;
  return count;
}

void ResetProcessState() {
  ResetDeviceLibraryForTests();
  KeyCapacityMB = 0;
  LastKeyCount = 0;
}

void SetUpHost(emulated::EmulatedHost& host, const Workflow& workflow, std::uint32_t capacityMb) {
  EmulatedKeyOptions options;
  options.key.model = workflow.model;
  options.key.capacityMb = capacityMb;
  options.ordinaryUser = !workflow.administrator;
  SetUpEmulatedHost(host, options);
  host.SetTime(kFixedSeconds);
  host.SetDateText(kFixedDate);
}

StartRun RunStart(emulated::EmulatedHost& host, const std::string& label,
                  const std::function<void(emulated::EmulatedHost&)>& beforeStart) {
  StartRun run;
  host.messageBoxHandler = [](const emulated::MessageBoxRecord&) { return host::win32::IDOK; };
  ScriptedRunner runner(host, label, beforeStart, run);
  BootUtilityApp app(runner);
  app.InitInstance();
  return run;
}

}  // namespace start_driver
