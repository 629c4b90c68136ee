// The volume label as the user types it: IsLabelInvalid against the rule written out here, then
// the dialog's data exchange and the start of the Start sequence with that text in the label
// field, whatever its length or bytes.
//
// Input: an options byte, the label the dialog held before (a length byte and text), then the
// label field's text: everything that is left.
#include <algorithm>
#include <map>

#include "app/app_texts.h"
#include "app/boot_utility_dialog.h"
#include "devlib/library_state.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "host/emulated/emulated_host.h"

namespace fuzz {
namespace {

// The sixteen printable characters a label may not hold, one by one.
bool ForbiddenInLabel(char c) {
  switch (c) {
    case '\\': case '/': case '|': case '"': case '.': case '?': case ',': case ';':
    case ':': case '*': case '+': case '=': case '<': case '>': case '[': case ']':
      return true;
    default:
      return false;
  }
}

// The bytes below the space, and DEL: another program can put them in the field.
bool ControlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x1F || byte == 0x7F;
}

int ReferenceLabelInvalid(const std::string& label) {
  return std::any_of(label.begin(), label.end(), [](char c) { return ForbiddenInLabel(c) || ControlByte(c); }) ? 1 : 0;
}

class NullProgress : public ui::ProgressBar {
 public:
  void SetRange(std::uint16_t low, std::uint16_t high) override { range = {low, high}; }
  void SetPosition(std::int32_t position) override { positions.push_back(position); }
  std::pair<std::uint16_t, std::uint16_t> range{0, 0};
  std::vector<std::int32_t> positions;
};

// The dialog's window: control texts kept, every call written down in order.
class RecordingView : public ui::DialogView {
 public:
  void SetItemText(int id, const std::string& text) override {
    texts[id] = text;
    Log("text " + std::to_string(id));
  }
  std::string GetItemText(int id) override { return texts[id]; }
  void EnableItem(int id, bool enable) override { Log("enable " + std::to_string(id) + (enable ? " on" : " off")); }
  void ShowItem(int id, bool show) override { Log("show " + std::to_string(id) + (show ? " on" : " off")); }
  ui::ProgressBar& ProgressItem(int) override { return progress; }
  void LimitItemText(int id, int limit) override { Log("limit " + std::to_string(id) + " " + std::to_string(limit)); }
  void FocusItem(int id) override { Log("focus " + std::to_string(id)); }
  void SelectItemText(int id, int start, int end) override {
    Log("select " + std::to_string(id) + " " + std::to_string(start) + " " + std::to_string(end));
  }
  void ScrollCaretIntoView(int id) override { Log("caret " + std::to_string(id)); }
  void SetWindowIcon(bool) override {}
  void UpdateNow() override { Log("update"); }
  void BringToForeground() override {}
  bool IsMinimised() override { return false; }
  void PaintMinimisedIcon(int, int) override {}
  void ClientSize(int* width, int* height) override { *width = *height = 0; }
  void StandardIconSize(int* width, int* height) override { *width = *height = 32; }
  void EndDialog(int) override { Log("end"); }
  host::WindowHandle Window() override { return kWindow; }
  std::uintptr_t ProgramIcon() override { return 0; }

  void Log(const std::string& event) { events.push_back(event); }
  bool Saw(const std::string& event) const { return std::find(events.begin(), events.end(), event) != events.end(); }

  static constexpr host::WindowHandle kWindow = 0x2468;
  std::map<int, std::string> texts;
  std::vector<std::string> events;
  NullProgress progress;
};

std::string Printable(const std::string& text) { return Hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

}  // namespace

void FuzzLabelCheck(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const std::uint8_t options = in.Byte();
  const std::string previous = in.Text(16);
  const std::vector<std::uint8_t> rest = in.Rest();
  std::string label(rest.begin(), rest.end());
  // GetDlgItemTextA never hands over a zero byte; the view may still be asked to.
  if ((options & 2) != 0) label = std::string(label.c_str());

  const int invalid = IsLabelInvalid(label);
  FUZZ_CHECK(invalid == ReferenceLabelInvalid(label), "IsLabelInvalid(" + Printable(label) + ") = " + std::to_string(invalid));

  ResetDeviceLibraryForTests();
  emulated::EmulatedHost host;
  host.Install();
  const bool answerOk = (options & 1) != 0;
  host.messageBoxHandler = [answerOk](const emulated::MessageBoxRecord& box) {
    return box.caption == text::kFormatWarningCaption && !answerOk ? host::win32::IDCANCEL : host::win32::IDOK;
  };

  RecordingView view;
  BootUtilityDialog dialog;
  dialog.AttachView(&view);

  // Controls to members: at most 11 characters are taken.
  dialog.m_strLabel = previous;
  view.texts[dialog_id::kLabel] = label;
  view.texts[dialog_id::kCapacity] = "123 MB";
  const bool fits = label.size() <= static_cast<std::size_t>(kLabelMaxCharacters);
  const bool saved = dialog.UpdateData(true);
  FUZZ_CHECK(saved == fits, "UpdateData(true) answered " + std::to_string(saved) + " for " + std::to_string(label.size()) +
                                " characters");
  if (fits) {
    FUZZ_CHECK(dialog.m_strLabel == label && dialog.m_strCapacity == "123 MB", "members after UpdateData");
    FUZZ_CHECK(host.messageBoxes.empty(), "a label that fits was complained about");
  } else {
    FUZZ_CHECK(dialog.m_strLabel == label, "a label too long was not read before it was refused");
    FUZZ_CHECK(host.messageBoxes.size() == 1 && host.messageBoxes[0].text == text::kTooManyCharacters,
               "the too-long label message");
    FUZZ_CHECK(view.Saw("focus 1001"), "focus back to the label");
  }

  // Members to controls.
  view.events.clear();
  dialog.UpdateData(false);
  FUZZ_CHECK(view.texts[dialog_id::kLabel] == dialog.m_strLabel && view.Saw("limit 1001 11"), "UpdateData(false)");

  // Start: the label is read again, checked, and only a valid one reaches the format warning.
  view.texts[dialog_id::kLabel] = label;
  view.events.clear();
  host.messageBoxes.clear();
  dialog.OnOK();
  const std::string checked = label;
  const bool refused = ReferenceLabelInvalid(checked) != 0;
  FUZZ_CHECK(!view.events.empty() && view.events.front() == "enable 1 off" && view.events.back() == "enable 1 on",
             "Start is disabled first and enabled last");
  std::vector<emulated::MessageBoxRecord> boxes = host.messageBoxes;
  if (!fits) {
    // A refused read ends Start: nothing else is shown or sent.
    FUZZ_CHECK(boxes.size() == 1 && boxes.front().text == text::kTooManyCharacters,
               "the too-long label message alone at Start");
    FUZZ_CHECK(host.trace.Events().empty(), "a too-long label reached the host");
    ResetDeviceLibraryForTests();
    return;
  }
  FUZZ_CHECK(!boxes.empty(), "Start showed no message");
  if (refused) {
    FUZZ_CHECK(boxes.size() == 1 && boxes[0].text == text::kInvalidLabel &&
                   boxes[0].type == (host::win32::MB_OK | host::win32::MB_ICONEXCLAMATION),
               "the invalid label message for " + Printable(checked));
    FUZZ_CHECK(view.Saw("focus 1001") && view.Saw("select 1001 0 -1") && view.Saw("caret 1001"),
               "the label field selected after the message");
    FUZZ_CHECK(host.trace.Events().empty(), "a refused label reached the host");
    ResetDeviceLibraryForTests();
    return;
  }
  FUZZ_CHECK(boxes[0].caption == text::kFormatWarningCaption && boxes[0].text == text::kFormatWarning &&
                 boxes[0].owner == RecordingView::kWindow &&
                 boxes[0].type == (host::win32::MB_OKCANCEL | host::win32::MB_ICONEXCLAMATION),
             "the format warning for the valid label " + Printable(checked) + ": " + boxes[0].text);
  if (!answerOk) {
    FUZZ_CHECK(boxes.size() == 1 && host.trace.Events().empty() && !view.Saw("show 1003 on"),
               "Cancel at the warning went on");
  } else {
    // No key is attached: the sequence stops where the key is looked for.
    FUZZ_CHECK(boxes.size() == 2 && boxes[1].text == text::kNoDeviceInformation, "the message without a key");
    const bool barSet = view.progress.range.first == 0 && view.progress.range.second == kProgressTotal;
    FUZZ_CHECK(view.Saw("show 1003 on") && barSet, "formatting shown with its bar");
    FUZZ_CHECK(host.CommandCount() == 0, "commands delivered without a key");
  }
  ResetDeviceLibraryForTests();
}

std::vector<std::vector<std::uint8_t>> LabelCheckSeeds() {
  std::vector<std::vector<std::uint8_t>> seeds;
  for (const char* label : {"STELVARION", "", "BOOT DISK", "a.b", "12345678901", "123456789012", "BAD:NAME", "x]y"}) {
    for (std::uint8_t options : {0, 1}) {
      InputWriter w;
      w.Byte(options).Text("OLD", 16);
      const std::string text(label);
      w.Bytes(std::vector<std::uint8_t>(text.begin(), text.end()));
      seeds.push_back(w.Data());
    }
  }
  return seeds;
}

}  // namespace fuzz
