#include "app/boot_utility_dialog.h"

#include <cstdio>
#include <cstring>

#include "app/app_texts.h"
#include "app/boot_utility_app.h"
#include "app/system_files.h"
#include "devlib/identity.h"
#include "devlib/key_library.h"
#include "devlib/library_state.h"
#include "host/host.h"
#include "media/format_sequence.h"
#include "media/progress_sink.h"
#include "media/single_partition_writer.h"

std::int32_t KeyCapacityMB = 0;
std::int32_t LastKeyCount = 0;

namespace {

constexpr char kForbiddenLabelCharacters[] = "\\/|\".?,;:*+=<>[]";
constexpr std::uint32_t kPauseBeforeSuccessMs = 500;

// One step of the shared progress bar: show the counter, then count it.
void Advance(ui::ProgressBar& bar, std::int32_t* counter) {
  bar.SetPosition(*counter);
  ++*counter;
}

// The layout writers report to a receiver of their own; the dialog's bar takes the same calls.
class BarProgress final : public ProgressReceiver {
 public:
  explicit BarProgress(ui::ProgressBar& bar) : m_bar(bar) {}
  void SetRange(std::uint16_t low, std::uint16_t high) override { m_bar.SetRange(low, high); }
  void SetPosition(std::int32_t position) override { m_bar.SetPosition(position); }

 private:
  ui::ProgressBar& m_bar;
};

}  // namespace

int IsLabelInvalid(std::string label) {
  for (const char* c = kForbiddenLabelCharacters; *c != '\0'; ++c) {
    if (label.find(*c) != std::string::npos) return 1;
  }
  // No key types a control character into the field, but another program can put one there
  // (WM_SETTEXT), and no FAT reader takes it in a label.
  for (const char c : label) {
    if (IsControlCharacter(static_cast<unsigned char>(c))) return 1;
  }
  return 0;
}

ResultCode NotifyMonitorProgram() {
  const host::WindowHandle monitor = host::Shell().FindWindowByTitle(text::kMonitorWindowTitle);
  if (monitor != 0) {
    host::Shell().PostMessage(monitor, host::win32::WM_APP + 3, 0, 0);
    host::Shell().PostMessage(monitor, host::win32::WM_APP, 0, 0);
  }
  return KeyCommand99();
}

bool BootUtilityDialog::UpdateData(bool saveAndValidate) {
  if (!saveAndValidate) {
    View().SetItemText(dialog_id::kLabel, m_strLabel);
    View().LimitItemText(dialog_id::kLabel, kLabelMaxCharacters);
    View().SetItemText(dialog_id::kCapacity, m_strCapacity);
    return true;
  }
  m_strLabel = View().GetItemText(dialog_id::kLabel);
  if (m_strLabel.size() > static_cast<std::size_t>(kLabelMaxCharacters)) {
    AppMessageBox(text::kTooManyCharacters);
    View().FocusItem(dialog_id::kLabel);
    return false;
  }
  m_strCapacity = View().GetItemText(dialog_id::kCapacity);
  return true;
}

bool BootUtilityDialog::OnInitDialog() {
  UpdateData(false);
  View().SetWindowIcon(true);
  View().SetWindowIcon(false);
  RefreshCapacityDisplay();
  View().BringToForeground();
  return true;
}

void BootUtilityDialog::RefreshCapacityDisplay() {
  int count = 0;
  FindKey(nullptr, &count);
  if (count >= 2) {
    KeyCapacityMB = 0;
    View().SetItemText(dialog_id::kCapacity, text::kSeveralKeysLine);
    View().EnableItem(dialog_id::kStart, false);
    return;
  }
  int megabytes = 0;
  if (GetKeyCapacity(&megabytes) != kResultSuccess) {
    KeyCapacityMB = 0;
    View().SetItemText(dialog_id::kCapacity, text::kNotFoundLine);
    View().EnableItem(dialog_id::kStart, false);
    return;
  }
  KeyCapacityMB = megabytes;
  char line[10];
  std::snprintf(line, sizeof line, "%d", megabytes & 0xFFFF);
  View().SetItemText(dialog_id::kCapacity, std::string(line) + text::kMegabytesSuffix);
  View().EnableItem(dialog_id::kStart, true);
}

bool BootUtilityDialog::OnDeviceChange(std::uint32_t eventType, std::uintptr_t) {
  if (eventType != host::win32::DBT_DEVICEARRIVAL && eventType != host::win32::DBT_DEVICEREMOVECOMPLETE) {
    return true;
  }
  // Preset above any real count: a library that reports no count always forces a refresh.
  int count = 99;
  FindKey(nullptr, &count);
  if (count != LastKeyCount) {
    LastKeyCount = count;
    RefreshCapacityDisplay();
  }
  return true;
}

bool BootUtilityDialog::OnPaint() {
  if (!View().IsMinimised()) return false;
  int clientWidth = 0, clientHeight = 0, iconWidth = 0, iconHeight = 0;
  View().ClientSize(&clientWidth, &clientHeight);
  View().StandardIconSize(&iconWidth, &iconHeight);
  View().PaintMinimisedIcon((clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2);
  return true;
}

std::uintptr_t BootUtilityDialog::OnQueryDragIcon() { return View().ProgramIcon(); }

void BootUtilityDialog::OnCancel() { View().EndDialog(host::win32::IDCANCEL); }

void BootUtilityDialog::OnOK() {
  View().EnableItem(dialog_id::kStart, false);
  RunStartSequence();
  View().EnableItem(dialog_id::kStart, true);
}

void BootUtilityDialog::RunStartSequence() {
  // A label past the edit control's limit (set by another program) is refused with its own
  // message; nothing is started with it.
  if (!UpdateData(true)) return;
  if (IsLabelInvalid(m_strLabel) != 0) {
    AppMessageBox(text::kInvalidLabel);
    View().FocusItem(dialog_id::kLabel);
    View().SelectItemText(dialog_id::kLabel, 0, -1);
    View().ScrollCaretIntoView(dialog_id::kLabel);
    return;
  }
  // The system files go to the key's drive letter. Through the helper driver it is read from the
  // registry, which may hold no record of it (a storage driver on Windows 9x may keep none): it
  // is looked up before anything is asked or written, so that no key is erased that could not
  // then be made bootable. Through pass-through it is the volume the key answers at.
  if (TransportKind == kTransportHelperDriver) {
    char letter = 0;
    if (GetKeyDriveLetter(&letter) != kResultSuccess) {
      AppMessageBox(text::kNoDriveLetter);
      return;
    }
  }
  if (host::Shell().MessageBox(Window(), text::kFormatWarning, text::kFormatWarningCaption,
                               host::win32::MB_OKCANCEL | host::win32::MB_ICONEXCLAMATION) != host::win32::IDOK) {
    return;
  }

  View().ShowItem(dialog_id::kFormatting, true);
  View().UpdateNow();
  ui::ProgressBar& bar = View().ProgressItem(dialog_id::kProgress);
  bar.SetRange(0, kProgressTotal);
  std::int32_t counter = 1;

  NotifyMonitorProgram();
  Advance(bar, &counter);
  KeyCommand97();
  Advance(bar, &counter);
  KeyCommandB6(0);

  char name[20] = {};
  // A key found without its model (its identity read failed) cannot be given the right layout.
  if (FindKey(name, nullptr) != kResultSuccess || name[0] == '\0') {
    AppMessageBox(text::kNoDeviceInformation);
    return;
  }
  const bool singlePartition = std::strcmp(name, kModelNameP9) == 0;
  const std::uint32_t capacity = static_cast<std::uint32_t>(KeyCapacityMB);
  BarProgress progress(bar);
  const ResultCode formatted = singlePartition
                                   ? WriteSinglePartitionBoot(1, nullptr, &progress, &counter, capacity)
                                   : FormatKey(capacity, nullptr, &progress, &counter);
  if (formatted != kResultSuccess) {
    // Nothing more is written to a half-formatted key; tell why it stopped.
    if (CheckKeyWriteProtect() == kResultWriteProtected) {
      AppMessageBox(text::kWriteProtected);
    } else {
      ShowResultError(formatted);
    }
    return;
  }
  if (CopySystemFiles() != kResultSuccess) return;
  if (singlePartition) {
    KeyCommandFF1D();
  } else {
    KeyCommand99();
  }
  Advance(bar, &counter);
  if (SetKeyVolumeLabel(m_strLabel.c_str()) != kResultSuccess) return;
  const ResultCode entry = WriteLabelEntry(m_strLabel.c_str());
  if (entry != kResultSuccess && !m_strLabel.empty()) return;

  char letter = 0;
  GetKeyDriveLetter(&letter);
  const char root[4] = {letter, ':', '\\', '\0'};
  host::Shell().ChangeNotify(host::win32::SHCNE_UPDATEDIR, host::win32::SHCNF_PATHA, root, nullptr);
  bar.SetPosition(kProgressTotal);
  host::Clock().Sleep(kPauseBeforeSuccessMs);
  bar.SetPosition(0);
  View().ShowItem(dialog_id::kFormatting, false);
  AppMessageBox(text::kSuccessful, host::win32::MB_OK | host::win32::MB_ICONINFORMATION);
}
