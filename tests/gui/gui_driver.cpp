// Drives StelvarionBootUtility-emulated.exe as a user would, from another process, through the
// Win32 calls any window manager honours: windows found by title and class, control texts read
// with WM_GETTEXT, keys typed as WM_CHAR, buttons pressed by posted WM_COMMANDs. It checks what
// the dialog and its message boxes show at each step and prints one line per check.
//
// Nothing that may open a modal box is ever sent (SendMessage would wait for the box to close):
// Start, OK and Close are posted, and so are Enter and Escape, as key presses to the control with
// the focus, which the dialog manager turns into Start and Close. Device arrival and removal are
// sent (WM_DEVICECHANGE), as Windows broadcasts them, after the emulated key has been pulled out
// or plugged in through the program's plug window. While the Start sequence works, the dialog's thread takes no
// messages at all, so the dialog is then only looked at through window styles (visible,
// enabled), which the window server answers by itself.
//
// With --checkpoints, at each moment worth a screenshot the driver prints
//   checkpoint NAME LEFT TOP RIGHT BOTTOM
// (the window's rectangle on the screen) and waits for any line on its standard input. The
// progress bar's moves cannot be asked for while the work runs; screenshots show them.
//
// The expected texts are written out here as the user reads them, not taken from the program.
//
// Usage: gui_driver --program PATH --type TEXT [--checkpoints]
//        gui_driver --program PATH --no-key [--checkpoints]
//        gui_driver --program PATH --real-key [--type LABEL] [--output FILE]
//   PATH  the program's executable, started a second time to see it refuse; its environment
//         (STELVARION_EMULATED_KEY) is passed on unchanged
//   TEXT  typed into the label field; more than 11 characters, so that the limit shows
//   --no-key  the program runs with no key attached: the dialog shows the notice with Start
//             disabled, and Close ends it
//   --real-key  the program drives a key it found: Start, OK to every box (each printed as
//             "box [CAPTION] TEXT"), then Close; status 0 when the last box was the success
// Exit status: 0 when every check passed, 1 otherwise, 2 for a usage error.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char kDialogTitle[] = "Stelvarion Boot Utility";
constexpr char kDialogClass[] = "#32770";
constexpr char kFormatWarningCaption[] = "Format Warning";
constexpr char kFormatWarningText[] =
    "Formatting the disk will erase all data in the Stelvarion.\n"
    "To format the disk, click 'OK'.\n"
    "To quit, click 'Cancel'.";
constexpr char kSuccessText[] = "Successful.\nYour Stelvarion is now bootable.";
constexpr char kAlreadyRunningText[] = "Application is already running.";
constexpr char kCapacityLine[] = "1024 MB";  // the emulated key's capacity unless told otherwise
constexpr char kNotFoundLine[] = "< Stelvarion not found >";
constexpr std::size_t kLabelLimit = 11;
constexpr int kBarTotal = 52;

// Control ids of dialog 102, and the static that holds a message box's text.
constexpr int kCapacityId = 1000;
constexpr int kLabelId = 1001;
constexpr int kProgressId = 1002;
constexpr int kFormattingId = 1003;
constexpr int kMessageTextId = 0xFFFF;

// The emulated program's plug: a message-only window that pulls the key out (wParam 0) or plugs
// it in (1), answering 1 while a key is attached.
constexpr char kPlugWindowClass[] = "StelvarionEmulatedKeyPlug";
constexpr UINT kPlugMessage = WM_APP + 1;
constexpr char kKeyDrive = 'E';

// Every wait is bounded. Wine starts a program in a few seconds; the Start sequence pauses for
// about ten seconds in all on the emulated key's real-time clock.
constexpr DWORD kStartUpMs = 30000;
constexpr DWORD kBoxMs = 15000;
constexpr DWORD kSequenceMs = 40000;
constexpr DWORD kReplyMs = 5000;
constexpr DWORD kPollMs = 10;

int g_failures = 0;
bool g_checkpoints = false;

void Line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

// Shows line breaks of a message text as \n, so that every check stays on one line.
std::string Printable(const std::string& text) {
  std::string shown;
  for (char c : text) {
    if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else {
      shown += c;
    }
  }
  return shown;
}

bool Check(bool passed, const std::string& what) {
  Line("%s %s", passed ? "ok  " : "FAIL", what.c_str());
  if (!passed) ++g_failures;
  return passed;
}

bool CheckText(const std::string& seen, const std::string& expected, const std::string& what) {
  return Check(seen == expected, what + ": \"" + Printable(seen) + "\"" +
                                     (seen == expected ? "" : " (expected \"" + Printable(expected) + "\")"));
}

[[noreturn]] void Abort(const std::string& why) {
  Line("FAIL %s", why.c_str());
  Line("gui_driver: stopped after %d failed check(s)", g_failures + 1);
  std::exit(1);
}

template <typename Condition>
bool WaitFor(DWORD limitMs, Condition condition) {
  const ULONGLONG end = ::GetTickCount64() + limitMs;
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount64() >= end) return false;
    ::Sleep(kPollMs);
  }
}

// The text of a window of another process, asked of its thread (which answers while it runs
// a message loop: the dialog's own or a message box's).
bool ReadText(HWND window, std::string* text) {
  char buffer[512] = {};
  DWORD_PTR copied = 0;
  if (::SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                            kReplyMs, &copied) == 0) {
    return false;
  }
  text->assign(buffer, static_cast<std::size_t>(copied));
  return true;
}

std::string TextOf(HWND window) {
  std::string text;
  if (window == nullptr || !ReadText(window, &text)) return "<no answer>";
  return text;
}

// A message whose answer is a number (PBM_GETPOS, EM_GETLIMITTEXT, ...); -1 when none came.
LRESULT Ask(HWND window, UINT message, WPARAM wParam = 0) {
  DWORD_PTR result = 0;
  if (::SendMessageTimeoutA(window, message, wParam, 0, SMTO_ABORTIFHUNG, kReplyMs, &result) == 0) return -1;
  return static_cast<LRESULT>(result);
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  ::GetClassNameA(window, name, sizeof name);
  return name;
}

// The caption as the window server keeps it; needs nothing of the window's thread.
std::string CaptionOf(HWND window) {
  char caption[256] = {};
  ::GetWindowTextA(window, caption, sizeof caption);
  return caption;
}

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  return process;
}

struct TopLevelSearch {
  DWORD process;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TopLevelSearch*>(data);
  if (ProcessOf(window) == search->process && ::IsWindowVisible(window) && ClassOf(window) == kDialogClass) {
    search->found.push_back(window);
  }
  return TRUE;
}

// The visible dialog-class windows (the dialog itself, message boxes) a process has on screen.
std::vector<HWND> DialogWindowsOf(DWORD process) {
  TopLevelSearch search{process, {}};
  ::EnumWindows(CollectDialogWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The first visible message box of `process` that is not `except` (the main dialog).
HWND MessageBoxOf(DWORD process, HWND except) {
  for (HWND window : DialogWindowsOf(process)) {
    if (window != except && ::GetDlgItem(window, kMessageTextId) != nullptr) return window;
  }
  return nullptr;
}

struct TitleCount {
  const char* title;
  int n;
};

BOOL CALLBACK CountIfTitled(HWND window, LPARAM data) {
  auto* count = reinterpret_cast<TitleCount*>(data);
  // Compared as the system's search by title compares: whole, without regard to case.
  if (lstrcmpiA(CaptionOf(window).c_str(), count->title) == 0) ++count->n;
  return TRUE;
}

int CountWindowsTitled(const char* title) {
  TitleCount count{title, 0};
  ::EnumWindows(CountIfTitled, reinterpret_cast<LPARAM>(&count));
  return count.n;
}

using ChildTexts = std::vector<std::pair<HWND, std::string>>;

BOOL CALLBACK CollectStatic(HWND child, LPARAM data) {
  if (ClassOf(child) == "Static") reinterpret_cast<ChildTexts*>(data)->emplace_back(child, CaptionOf(child));
  return TRUE;
}

void Checkpoint(const char* name, HWND window) {
  if (!g_checkpoints) return;
  RECT r{};
  ::GetWindowRect(window, &r);
  Line("checkpoint %s %ld %ld %ld %ld", name, r.left, r.top, r.right, r.bottom);
  char answer[64];
  DWORD read = 0;
  // Any line (or the end of the input) lets the driver go on.
  ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), answer, sizeof answer, &read, nullptr);
}

// A button pressed as the dialog manager reports a click: WM_COMMAND with BN_CLICKED, posted.
void Press(HWND dialog, int id) {
  ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

// Whether a static text of the dialog fits its control on one line, measured in the dialog's
// font (template 102: MS Sans Serif, 8 point). A static wraps what does not fit, and the lines
// below the first fall outside a one-line control.
void CheckFits(HWND control, const std::string& text) {
  RECT client{};
  ::GetClientRect(control, &client);
  HDC dc = ::GetDC(nullptr);
  HFONT font = ::CreateFontA(-::MulDiv(8, ::GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                             FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
  HGDIOBJ previous = ::SelectObject(dc, font);
  char face[LF_FACESIZE] = {};
  ::GetTextFaceA(dc, sizeof face, face);
  SIZE extent{};
  ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  ::SelectObject(dc, previous);
  ::DeleteObject(font);
  ::ReleaseDC(nullptr, dc);
  Check(extent.cx <= client.right && lstrcmpiA(face, "MS Sans Serif") == 0,
        "\"" + text + "\" fits its control: " + std::to_string(extent.cx) + " px of text in " +
            std::to_string(client.right) + " px, font " + face);
}

// The dialog at rest: the capacity shown, Start enabled, "Formatting..." hidden, the bar at 0.
void CheckAtRest(HWND dialog, const std::string& label, const char* when) {
  const std::string at = std::string(" (") + when + ")";
  CheckText(TextOf(::GetDlgItem(dialog, kCapacityId)), kCapacityLine, "capacity line" + at);
  CheckText(TextOf(::GetDlgItem(dialog, kLabelId)), label, "label field" + at);
  Check(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)) != FALSE, "Start is enabled" + at);
  Check(::IsWindowEnabled(::GetDlgItem(dialog, IDCANCEL)) != FALSE, "Close is enabled" + at);
  Check(::IsWindowVisible(::GetDlgItem(dialog, kFormattingId)) == FALSE, "\"Formatting...\" is hidden" + at);
  const LRESULT position = Ask(::GetDlgItem(dialog, kProgressId), PBM_GETPOS);
  Check(position == 0, "progress bar at " + std::to_string(position) + at);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

// The dialog as it first shows: the key's capacity, Start enabled, the focus in the label field,
// and its texts whole.
void CheckStartUp(HWND dialog) {
  std::string capacity;
  WaitFor(kStartUpMs, [&] { return ReadText(::GetDlgItem(dialog, kCapacityId), &capacity) && !capacity.empty(); });
  CheckAtRest(dialog, "", "at start-up");
  CheckText(CaptionOf(dialog), kDialogTitle, "dialog caption");
  Check((::GetWindowLongA(dialog, GWL_STYLE) & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) == 0,
        "the dialog has no minimise or maximise box");
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  const DWORD dialogThread = ::GetWindowThreadProcessId(dialog, nullptr);
  HWND label = ::GetDlgItem(dialog, kLabelId);
  Check(WaitFor(kReplyMs, [&] { return ::GetGUIThreadInfo(dialogThread, &thread) && thread.hwndFocus == label; }),
        "the keyboard focus is in the label field");

  // The statics, found among the dialog's children by their texts (two have no id).
  const std::vector<std::string> expected = {"Capacity:", "Volume label (up to 11 characters):", "Formatting..."};
  ChildTexts statics;
  ::EnumChildWindows(dialog, CollectStatic, reinterpret_cast<LPARAM>(&statics));
  for (const std::string& text : expected) {
    HWND control = nullptr;
    for (const auto& [window, caption] : statics) {
      if (caption == text) control = window;
    }
    if (Check(control != nullptr, "the dialog has the text \"" + text + "\"")) CheckFits(control, text);
  }
}

// The emulated key pulled out or plugged in; true when it is then as asked.
bool PlugKey(bool attach) {
  HWND plug = ::FindWindowExA(HWND_MESSAGE, nullptr, kPlugWindowClass, nullptr);
  DWORD_PTR attached = 0;
  if (plug == nullptr ||
      ::SendMessageTimeoutA(plug, kPlugMessage, attach ? 1 : 0, 0, SMTO_ABORTIFHUNG, kReplyMs, &attached) == 0) {
    return false;
  }
  return (attached != 0) == attach;
}

// WM_DEVICECHANGE as Windows sends it for the key's volume; the dialog's answer, -1 when none.
LRESULT SendDeviceChange(HWND dialog, WPARAM event) {
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << (kKeyDrive - 'A');
  const bool withData = event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE;
  DWORD_PTR answer = 0;
  if (::SendMessageTimeoutA(dialog, WM_DEVICECHANGE, event, withData ? reinterpret_cast<LPARAM>(&volume) : 0,
                            SMTO_ABORTIFHUNG, kReplyMs, &answer) == 0) {
    return -1;
  }
  return static_cast<LRESULT>(answer);
}

// The key pulled out and plugged in again: the capacity line and Start follow the broadcasts
// of removal and arrival, and ignore any other device event.
void CheckDeviceChanges(HWND dialog) {
  HWND capacity = ::GetDlgItem(dialog, kCapacityId);
  HWND start = ::GetDlgItem(dialog, IDOK);
  if (!Check(PlugKey(false), "the emulated key was pulled out")) return;
  const LRESULT other = SendDeviceChange(dialog, DBT_DEVNODES_CHANGED);
  CheckText(TextOf(capacity), kCapacityLine, "capacity line after a device event other than removal");
  Check(other == TRUE && ::IsWindowEnabled(start) != FALSE,
        "Start stays enabled after it (the dialog answered " + std::to_string(other) + ")");

  const LRESULT removed = SendDeviceChange(dialog, DBT_DEVICEREMOVECOMPLETE);
  Check(removed == TRUE, "the dialog accepted DBT_DEVICEREMOVECOMPLETE (answer " + std::to_string(removed) + ")");
  CheckText(TextOf(capacity), kNotFoundLine, "capacity line after the key was removed");
  Check(::IsWindowEnabled(start) == FALSE, "Start is disabled after the key was removed");
  Checkpoint("key-removed", dialog);

  if (!Check(PlugKey(true), "the emulated key was plugged in again")) return;
  const LRESULT arrived = SendDeviceChange(dialog, DBT_DEVICEARRIVAL);
  Check(arrived == TRUE, "the dialog accepted DBT_DEVICEARRIVAL (answer " + std::to_string(arrived) + ")");
  CheckText(TextOf(capacity), kCapacityLine, "capacity line after the key arrived");
  Check(::IsWindowEnabled(start) != FALSE, "Start is enabled after the key arrived");
}

// A key pressed in the control that has the keyboard focus, as the keyboard delivers it: the
// dialog manager's message loop sees it before the control does.
void PressKey(HWND dialog, UINT key) {
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  HWND target = dialog;
  if (::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &thread) && thread.hwndFocus != nullptr) {
    target = thread.hwndFocus;
  }
  const UINT scan = ::MapVirtualKeyA(key, MAPVK_VK_TO_VSC);
  ::PostMessageA(target, WM_KEYDOWN, key, static_cast<LPARAM>(1 | scan << 16));
  ::PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(1 | scan << 16 | 3u << 30));
}

// Typed key by key, as a user types: the field keeps no more than 11 characters.
std::string TypeLabel(HWND dialog, const std::string& typed) {
  HWND label = ::GetDlgItem(dialog, kLabelId);
  const LRESULT limit = Ask(label, EM_GETLIMITTEXT);
  Check(limit == static_cast<LRESULT>(kLabelLimit), "the label field's text limit is " + std::to_string(limit));
  for (char c : typed) {
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutA(label, WM_CHAR, static_cast<unsigned char>(c), 1, SMTO_ABORTIFHUNG, kReplyMs, &ignored);
  }
  const std::string kept = typed.substr(0, kLabelLimit);
  CheckText(TextOf(label), kept,
            "label field after typing the " + std::to_string(typed.size()) + " characters \"" + typed + "\"");
  return kept;
}

// Start (Enter in the label field), OK at the warning, and the work up to the box that ends it,
// which is returned.
HWND PressStart(HWND dialog) {
  const DWORD process = ProcessOf(dialog);
  PressKey(dialog, VK_RETURN);
  HWND warning = nullptr;
  WaitFor(kBoxMs, [&] {
    warning = ::FindWindowA(kDialogClass, kFormatWarningCaption);
    return warning != nullptr && ::IsWindowVisible(warning);
  });
  if (warning == nullptr) Abort("no \"Format Warning\" box within " + std::to_string(kBoxMs / 1000) + " s of Enter");
  Check(ProcessOf(warning) == process, "\"Format Warning\" belongs to the program");
  Check(::GetWindow(warning, GW_OWNER) == dialog, "\"Format Warning\" is owned by the dialog");
  CheckText(TextOf(::GetDlgItem(warning, kMessageTextId)), kFormatWarningText, "\"Format Warning\" text");
  Check(::GetDlgItem(warning, IDOK) != nullptr && ::GetDlgItem(warning, IDCANCEL) != nullptr,
        "\"Format Warning\" offers OK and Cancel");
  Check(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)) == FALSE, "Start is disabled while the warning is open");
  Check(::IsWindowVisible(::GetDlgItem(dialog, kFormattingId)) == FALSE,
        "\"Formatting...\" is still hidden while the warning is open");
  Checkpoint("format-warning", warning);
  Press(warning, IDOK);
  const ULONGLONG pressed = ::GetTickCount64();
  if (!WaitFor(kBoxMs, [&] { return !::IsWindow(warning); })) Abort("\"Format Warning\" did not close on OK");

  // The work: the dialog's thread is busy and answers nothing; its styles tell what shows.
  bool formattingShown = false;
  bool startEnabledWhileBusy = false;
  ULONGLONG firstShown = 0;
  HWND box = nullptr;
  WaitFor(kSequenceMs, [&] {
    box = MessageBoxOf(process, dialog);
    if (box != nullptr) return true;
    if (::IsWindowVisible(::GetDlgItem(dialog, kFormattingId))) {
      if (::IsWindowEnabled(::GetDlgItem(dialog, IDOK))) startEnabledWhileBusy = true;
      if (!formattingShown) {
        formattingShown = true;
        firstShown = ::GetTickCount64();
        Checkpoint("formatting", dialog);
        // The bar's own rectangle, for screenshots that show whether it fills up meanwhile.
        Checkpoint("progress-bar", ::GetDlgItem(dialog, kProgressId));
      }
    }
    return false;
  });
  if (box == nullptr) Abort("no message box within " + std::to_string(kSequenceMs / 1000) + " s of OK");
  const ULONGLONG ended = ::GetTickCount64();
  Check(formattingShown, "\"Formatting...\" was shown during the work");
  Check(!startEnabledWhileBusy, "Start stayed disabled during the work");
  char took[128];
  std::snprintf(took, sizeof took, "the work took %.1f s from OK; \"Formatting...\" showed after %.1f s",
                static_cast<double>(ended - pressed) / 1000.0,
                formattingShown ? static_cast<double>(firstShown - pressed) / 1000.0 : -1.0);
  Line("info %s", took);
  ::Sleep(200);  // let the box finish laying itself out before it is looked at
  return box;
}

// The success box, and the dialog behind it, which answers again while the box runs its loop.
void CheckSuccess(HWND dialog, HWND box, const std::string& appName, const std::string& label) {
  CheckText(TextOf(::GetDlgItem(box, kMessageTextId)), kSuccessText, "message box at the end of the work");
  CheckText(CaptionOf(box), appName, "its caption");
  Check(::GetWindow(box, GW_OWNER) == dialog, "it is owned by the dialog");
  Check(::GetDlgItem(box, IDOK) != nullptr && ::GetDlgItem(box, IDCANCEL) == nullptr, "it offers OK only");
  HWND bar = ::GetDlgItem(dialog, kProgressId);
  const LRESULT low = Ask(bar, PBM_GETRANGE, TRUE);
  const LRESULT high = Ask(bar, PBM_GETRANGE, FALSE);
  Check(low == 0 && high == kBarTotal,
        "progress bar range " + std::to_string(low) + ".." + std::to_string(high) + " (expected 0..52)");
  const LRESULT position = Ask(bar, PBM_GETPOS);
  Check(position == 0, "progress bar back at " + std::to_string(position) + " under the success box");
  Check(::IsWindowVisible(::GetDlgItem(dialog, kFormattingId)) == FALSE,
        "\"Formatting...\" hidden again under the success box");
  Check(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)) == FALSE, "Start still disabled under the success box");
  Checkpoint("success", box);
  Press(box, IDOK);
  Check(WaitFor(kBoxMs, [&] { return !::IsWindow(box); }), "the success box closed on OK");
  Check(WaitFor(kBoxMs, [&] { return ::IsWindowEnabled(::GetDlgItem(dialog, IDOK)) != FALSE; }),
        "Start is enabled again after the success box");
  CheckAtRest(dialog, label, "after the work");
  Check(MessageBoxOf(ProcessOf(dialog), dialog) == nullptr, "no other message box followed");
}

// A second copy started while the first is open refuses, and the first carries on as it was.
void StartSecondCopy(HWND dialog, const std::string& program, const std::string& appName, const std::string& label) {
  const DWORD process = ProcessOf(dialog);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION second{};
  std::string commandLine = "\"" + program + "\"";
  if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &second)) {
    Abort("cannot start a second copy of " + program + " (error " + std::to_string(::GetLastError()) + ")");
  }
  HWND refusal = nullptr;
  WaitFor(kStartUpMs, [&] {
    refusal = MessageBoxOf(second.dwProcessId, nullptr);
    return refusal != nullptr || ::WaitForSingleObject(second.hProcess, 0) == WAIT_OBJECT_0;
  });
  if (refusal == nullptr) {
    ::TerminateProcess(second.hProcess, 1);
    Abort("the second copy showed no message box within " + std::to_string(kStartUpMs / 1000) + " s");
  }
  ::Sleep(200);
  CheckText(TextOf(::GetDlgItem(refusal, kMessageTextId)), kAlreadyRunningText, "second copy's message");
  CheckText(CaptionOf(refusal), appName, "its caption");
  Check(::GetDlgItem(refusal, IDOK) != nullptr && ::GetDlgItem(refusal, IDCANCEL) == nullptr, "it offers OK only");
  Check(DialogWindowsOf(second.dwProcessId).size() == 1, "the second copy shows nothing but that box");
  Check(CountWindowsTitled(kDialogTitle) == 1, "one window titled \"Stelvarion Boot Utility\" while it is open");
  Checkpoint("already-running", refusal);
  Press(refusal, IDOK);
  const bool ended = ::WaitForSingleObject(second.hProcess, kBoxMs) == WAIT_OBJECT_0;
  DWORD exitCode = STILL_ACTIVE;
  ::GetExitCodeProcess(second.hProcess, &exitCode);
  Check(ended, "the second copy ended after OK (exit code " + std::to_string(exitCode) + ")");
  if (!ended) ::TerminateProcess(second.hProcess, 1);
  ::CloseHandle(second.hThread);
  ::CloseHandle(second.hProcess);

  Check(::IsWindow(dialog) && ProcessOf(dialog) == process && ::IsWindowVisible(dialog),
        "the first copy's dialog is still there");
  CheckText(CaptionOf(dialog), kDialogTitle, "its caption");
  CheckAtRest(dialog, label, "after the second copy");
  Check(MessageBoxOf(process, dialog) == nullptr, "the first copy shows no message box");
}

// With no key the dialog shows the notice in the capacity line and offers only Close.
void CheckWithoutKey(HWND dialog) {
  std::string capacity;
  WaitFor(kStartUpMs, [&] { return ReadText(::GetDlgItem(dialog, kCapacityId), &capacity) && !capacity.empty(); });
  CheckText(TextOf(::GetDlgItem(dialog, kCapacityId)), kNotFoundLine, "capacity line without a key");
  CheckText(CaptionOf(dialog), kDialogTitle, "dialog caption");
  Check(::IsWindowEnabled(::GetDlgItem(dialog, IDOK)) == FALSE, "Start is disabled without a key");
  Check(::IsWindowEnabled(::GetDlgItem(dialog, IDCANCEL)) != FALSE, "Close is enabled without a key");
  Check(::IsWindowVisible(::GetDlgItem(dialog, kFormattingId)) == FALSE, "\"Formatting...\" is hidden");
  Check(MessageBoxOf(ProcessOf(dialog), dialog) == nullptr, "no message box without a key");
}

// Close (the button, or Escape) ends the dialog, and with it the program.
void Close(HWND dialog, HANDLE program, bool escape = false) {
  if (escape) {
    PressKey(dialog, VK_ESCAPE);
  } else {
    Press(dialog, IDCANCEL);
  }
  Check(WaitFor(kBoxMs, [&] { return !::IsWindow(dialog); }), escape ? "Escape ended the dialog" : "Close ended the dialog");
  if (program == nullptr) {
    Check(false, "could not open the program's process to see it end");
    return;
  }
  const bool ended = ::WaitForSingleObject(program, kBoxMs) == WAIT_OBJECT_0;
  DWORD exitCode = STILL_ACTIVE;
  ::GetExitCodeProcess(program, &exitCode);
  Check(ended && exitCode == 0, "the program ended after Close (exit code " + std::to_string(exitCode) + ")");
}

// A real key: Start, OK at "Format Warning", and every box that follows printed and answered
// with OK, up to the last; then Close. Succeeds when that box said the key is bootable.
int DriveRealKey(HWND dialog, HANDLE program, const std::string& label) {
  const DWORD process = ProcessOf(dialog);
  std::string capacity;
  WaitFor(kStartUpMs, [&] { return ReadText(::GetDlgItem(dialog, kCapacityId), &capacity) && !capacity.empty(); });
  Line("capacity %s", TextOf(::GetDlgItem(dialog, kCapacityId)).c_str());
  if (!label.empty()) {
    ::SetFocus(::GetDlgItem(dialog, kLabelId));
    for (char c : label) {
      DWORD_PTR ignored = 0;
      ::SendMessageTimeoutA(::GetDlgItem(dialog, kLabelId), WM_CHAR, static_cast<unsigned char>(c), 1,
                            SMTO_ABORTIFHUNG, kReplyMs, &ignored);
    }
  }
  if (!::IsWindowEnabled(::GetDlgItem(dialog, IDOK))) Abort("Start is disabled: the program found no key");
  const ULONGLONG pressed = ::GetTickCount64();
  Press(dialog, IDOK);
  std::string last;
  for (;;) {
    HWND box = nullptr;
    if (!WaitFor(kSequenceMs, [&] { return (box = MessageBoxOf(process, dialog)) != nullptr; })) {
      Abort("no message box within " + std::to_string(kSequenceMs / 1000) + " s");
    }
    ::Sleep(200);
    const std::string caption = CaptionOf(box);
    last = TextOf(::GetDlgItem(box, kMessageTextId));
    Line("box [%s] %s (after %.1f s)", caption.c_str(), Printable(last).c_str(),
         static_cast<double>(::GetTickCount64() - pressed) / 1000.0);
    Press(box, IDOK);
    if (!WaitFor(kBoxMs, [&] { return !::IsWindow(box); })) Abort("the box did not close on OK");
    if (caption != kFormatWarningCaption) break;
  }
  Check(last == kSuccessText, "the work ended with \"" + Printable(kSuccessText) + "\"");
  WaitFor(kBoxMs, [&] { return ::IsWindowEnabled(::GetDlgItem(dialog, IDOK)) != FALSE; });
  Close(dialog, program);
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program;
  std::string typed;
  bool noKey = false;
  bool realKey = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--program" && i + 1 < argc) {
      program = argv[++i];
    } else if (option == "--type" && i + 1 < argc) {
      typed = argv[++i];
    } else if (option == "--no-key") {
      noKey = true;
    } else if (option == "--real-key") {
      realKey = true;
    } else if (option == "--output" && i + 1 < argc) {
      // A console program under wine without a terminal still gets one drawn in escape sequences.
      if (std::freopen(argv[++i], "w", stdout) == nullptr) return 2;
    } else if (option == "--checkpoints") {
      g_checkpoints = true;
    } else {
      std::fprintf(stderr, "usage: gui_driver --program PATH (--type TEXT | --no-key | --real-key) [--checkpoints]\n");
      return 2;
    }
  }
  if (program.empty() || (!noKey && !realKey && typed.size() <= kLabelLimit)) {
    std::fprintf(stderr, "gui_driver: give --program, and --type with more than %zu characters\n", kLabelLimit);
    return 2;
  }
  const std::string appName = BaseName(program);
  // Which Windows the prefix reports, so that the run says which of the program's paths it took.
  const DWORD version = ::GetVersion();
  Line("gui_driver: Windows reports version %lu.%lu on the %s platform", version & 0xFFul,
       (version >> 8) & 0xFFul, (version & 0x80000000ul) != 0 ? "9x" : "NT");

  HWND dialog = nullptr;
  WaitFor(kStartUpMs, [&] {
    dialog = ::FindWindowA(kDialogClass, kDialogTitle);
    return dialog != nullptr && ::IsWindowVisible(dialog);
  });
  if (dialog == nullptr) Abort("no dialog \"" + std::string(kDialogTitle) + "\" within 30 s");
  const DWORD process = ProcessOf(dialog);
  HANDLE first = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);

  if (realKey) {
    const int status = DriveRealKey(dialog, first, typed);
    if (first != nullptr) ::CloseHandle(first);
    return status;
  }
  if (noKey) {
    CheckWithoutKey(dialog);
    Checkpoint("dialog-without-key", dialog);
    Close(dialog, first);
    if (first != nullptr) ::CloseHandle(first);
    Line("gui_driver: %d failed check(s)", g_failures);
    return g_failures == 0 ? 0 : 1;
  }
  CheckStartUp(dialog);
  Checkpoint("dialog", dialog);
  CheckDeviceChanges(dialog);
  const std::string label = TypeLabel(dialog, typed);
  CheckSuccess(dialog, PressStart(dialog), appName, label);
  StartSecondCopy(dialog, program, appName, label);
  Close(dialog, first, true);
  if (first != nullptr) ::CloseHandle(first);

  Line("gui_driver: %d failed check(s)", g_failures);
  return g_failures == 0 ? 0 : 1;
}
