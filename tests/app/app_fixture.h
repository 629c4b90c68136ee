// What the application tests share: the emulated host with a key, the recording dialog window,
// the application run with a scripted user, and one time line of everything that happened:
// commands, pauses, file calls, posted messages, shell notifications, message boxes and the
// dialog's own calls, in the order they came.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/boot_utility_app.h"
#include "app/boot_utility_dialog.h"
#include "host/emulated/emulated_host.h"
#include "tests/support/recording_dialog_view.h"

namespace app_test {

inline constexpr char kP9[] = "KV 2 Zarno P9";
inline constexpr char kP3[] = "KV 2 Zarno P3";
inline constexpr char kVarnok[] = "Varnok Key";
inline constexpr char kApplicationName[] = "StelvarionBootUtility";

// The texts as the user must see them, written out here rather than taken from the program.
namespace shown {
inline constexpr char kDialogTitle[] = "Stelvarion Boot Utility";
inline constexpr char kAlreadyRunning[] = "Application is already running.";
inline constexpr char kStartedFromKey[] = "This program cannot be started from Stelvarion.\nIt will now terminate.";
inline constexpr char kNotFoundLine[] = "< Stelvarion not found >";
inline constexpr char kSeveralKeysLine[] = "< Insert only 1 Stelvarion to make bootable >";
inline constexpr char kInvalidLabel[] =
    "A volume label cannot contain any of the following characters.\n"
    "\\/|\".?,;:*+=<>[]\n"
    "\n"
    "Please enter a valid volume label.";
inline constexpr char kWarningCaption[] = "Format Warning";
inline constexpr char kWarning[] =
    "Formatting the disk will erase all data in the Stelvarion.\n"
    "To format the disk, click 'OK'.\n"
    "To quit, click 'Cancel'.";
inline constexpr char kNoDeviceInformation[] = "Fail to obtain device information";
inline constexpr char kSuccessful[] = "Successful.\nYour Stelvarion is now bootable.";
inline constexpr char kWriteProtected[] = "Stelvarion is write protected.";
inline constexpr char kNotFound[] = "Stelvarion is not found.";
inline constexpr char kUnknownError[] = "Program has encountered unknown error.";
inline constexpr char kTooLong[] = "Please enter no more than 11 characters.";
inline constexpr char kNoDriveLetter[] =
    "Windows does not tell the drive letter of the Stelvarion, so it cannot be made bootable.\n"
    "Nothing was written to it.";
}  // namespace shown

inline constexpr std::uint32_t kAppBox = 0x30;       // MB_OK | MB_ICONEXCLAMATION
inline constexpr std::uint32_t kSuccessBox = 0x40;   // MB_OK | MB_ICONINFORMATION
inline constexpr std::uint32_t kWarningBox = 0x31;   // MB_OKCANCEL | MB_ICONEXCLAMATION

// A command block told in a few words, read from its bytes here: "vendor 99" (0xAD 0x0A 0x16
// and the subcode), "vendor 9E 05" and "vendor B6 00" with their parameter byte, "FF1D",
// "TUR", "INQUIRY", "MODE SENSE", "READ lba+count", "WRITE lba+count", else "cdb XX".
std::string CommandToken(const std::vector<std::uint8_t>& cdb);

// The emulated host with hooks: the observer hears of every posted message and shell
// notification, and of file, label and command calls just before the host runs them, so a
// test can remove the key or fail a command at that moment.
class TimelineHost : public emulated::EmulatedHost {
 public:
  // "post WINDOW MESSAGE WPARAM LPARAM" (hex message), "notify EVENT FLAGS PATH",
  // "before create PATH", "before label PATH", "before cmd TOKEN".
  std::function<void(const std::string&)> observer;
  // WriteFile writes only the first half of what it is given and reports success, as a
  // device that stops short may.
  bool shortWrites = false;

  bool PostMessage(host::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  void ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1, const void* item2) override;
  host::Handle CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  bool SetVolumeLabel(const char* rootPath, const char* label) override;
  bool WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override;
  bool SendPassThrough(host::Handle volume, std::uint32_t ioControlCode, host::PassThroughRequest& request,
                       std::uint32_t inSize, std::uint32_t outSize, std::uint32_t* bytesReturned) override;
  bool Control(host::Handle driver, std::uint32_t ioControlCode, const void* in, std::uint32_t inSize,
               void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) override;

 private:
  void Tell(const std::string& what) {
    if (observer) observer(what);
  }
};

// Runs the dialog as the platform would: attach, initialise, let the user act, close.
class ScriptedRunner : public ModalDialogRunner {
 public:
  ScriptedRunner(RecordingDialogView& view, std::function<void(BootUtilityDialog&)> user)
      : m_view(view), m_user(std::move(user)) {}
  int RunModal(BootUtilityDialog& dialog) override;
  int runs = 0;
  bool initResult = false;

 private:
  RecordingDialogView& m_view;
  std::function<void(BootUtilityDialog&)> m_user;
};

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A key at E: (helper index 0), reached as an administrator unless said otherwise.
  emulated::EmulatedKey& AttachKey(const std::string& model = kP9, std::uint32_t capacityMb = 1024,
                                   char letter = 'E', int helperIndex = 0);
  void UseHelperDriver() { host.administrator = false; }

  // Starts the program; the user acts inside the running dialog. Returns how often the dialog
  // was run (0 after a refusal).
  int RunProgram(const std::function<void(BootUtilityDialog&)>& user = {});
  // Starts the program, types the label and presses Start.
  void PressStart(const std::string& label);

  // Everything so far, in order. Lines: "cmd TOKEN" (with " status N" when not GOOD, or
  // " (not delivered)"), "pause MS", "file TEXT", "post ...", "notify ...",
  // "box CAPTION: TEXT", and the view's lines.
  std::vector<std::string> Timeline();
  // The time line from the "Format Warning" box on, without the queries by which the library
  // finds and measures the key (identity, capacity, flash configuration, area size, INQUIRY)
  // and without the view's lines.
  std::vector<std::string> Sequence();
  // The same with the identity reads kept, each run of them (a scan of the drives) as one
  // "identify" line: where the sequence asks which key is attached.
  std::vector<std::string> SequenceWithIdentityReads();
  // Time line lines that begin with one of the prefixes.
  std::vector<std::string> Only(const std::vector<std::string>& prefixes);
  // Command tokens sent from this point of the trace on.
  std::vector<std::string> CommandsSince(std::size_t traceEvent) const;
  std::size_t TraceSize() const { return host.trace.Events().size(); }

  // The message boxes after the "Format Warning" box (all of them when there was none).
  std::vector<emulated::MessageBoxRecord> BoxesAfterWarning() const;

  // Removes the key from the next command on: every command fails and its volume is gone.
  void RemoveKeyNow() { host.faults.keyRemovedFrom = host.CommandCount(); }

  TimelineHost host;
  RecordingDialogView view;
  // Answers to message boxes in order; IDOK when none is left.
  std::deque<int> answers;
  // Called with every line as it joins the time line, and with the host's "before ..." calls.
  std::function<void(const std::string&)> trigger;

 private:
  void Flush();
  void Add(const std::string& line);

  std::vector<std::string> m_timeline;
  std::size_t m_flushed = 0;
};

// A run of lines: "pause 500" three times, and so on.
std::vector<std::string> Repeat(const std::string& line, int times);
void Append(std::vector<std::string>& to, const std::vector<std::string>& more);
// Compares two runs of lines and, when they differ, shows where: the first differing line with
// its neighbours on both sides.
::testing::AssertionResult SameLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected);

}  // namespace app_test
