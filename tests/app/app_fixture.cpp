#include "tests/app/app_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "boot/boot_images.h"
#include "devlib/library_state.h"
#include "host/byte_order.h"

namespace app_test {
namespace {

std::string Hex(std::uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::uint32_t BigEndian32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return GetBigEndian32(bytes.data() + at);
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The queries by which the library finds and measures the key: what they are and how often
// they come is the library's business, not the sequence's.
bool IsDiscoveryQuery(const std::string& line) {
  for (const char* query : {"cmd vendor 95", "cmd vendor 9A", "cmd vendor 7A", "cmd vendor B5", "cmd INQUIRY"}) {
    if (StartsWith(line, query)) return true;
  }
  return false;
}

// Where the Start sequence begins in a timeline: at "Format Warning", or at the start when there is none.
std::vector<std::string>::const_iterator FromFormatWarning(const std::vector<std::string>& timeline) {
  const auto from = std::find_if(timeline.begin(), timeline.end(),
                                 [](const std::string& line) { return StartsWith(line, "box Format Warning: "); });
  return from == timeline.end() ? timeline.begin() : from;
}

}  // namespace

std::string CommandToken(const std::vector<std::uint8_t>& cdb) {
  if (cdb.size() < 10) return "short block";
  if (cdb[0] == 0xAD && cdb[1] == 0x0A && cdb[2] == 0x16) {
    const std::string subcode = Hex(cdb[3]);
    if (cdb[3] == 0x9E) return "vendor 9E " + Hex(cdb[5]);
    if (cdb[3] == 0xB6) return "vendor B6 " + Hex(cdb[7]);
    return "vendor " + subcode;
  }
  if (cdb[0] == 0xFF && cdb[1] == 0x1D) return "FF1D";
  const std::uint32_t count = GetBigEndian16(cdb.data() + 7);
  switch (cdb[0]) {
    case 0x00: return "TUR";
    case 0x12: return "INQUIRY";
    case 0x5A: return "MODE SENSE";
    case 0x28: return "READ " + std::to_string(BigEndian32(cdb, 2)) + "+" + std::to_string(count);
    case 0x2A: return "WRITE " + std::to_string(BigEndian32(cdb, 2)) + "+" + std::to_string(count);
    default: return "cdb " + Hex(cdb[0]);
  }
}

// ---- TimelineHost ------------------------------------------------------------------------------

bool TimelineHost::PostMessage(host::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam) {
  char line[96];
  std::snprintf(line, sizeof line, "post %llX %X %llu %lld", static_cast<unsigned long long>(window), message,
                static_cast<unsigned long long>(wParam), static_cast<long long>(lParam));
  Tell(line);
  return EmulatedHost::PostMessage(window, message, wParam, lParam);
}

void TimelineHost::ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1, const void* item2) {
  char line[64];
  std::snprintf(line, sizeof line, "notify %X %X ", static_cast<unsigned>(eventId), flags);
  Tell(line + std::string(item1 != nullptr ? static_cast<const char*>(item1) : "(none)") +
       (item2 != nullptr ? " and a second item" : ""));
  EmulatedHost::ChangeNotify(eventId, flags, item1, item2);
}

host::Handle TimelineHost::CreateFile(const char* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                      std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  Tell(std::string("before create ") + path);
  return EmulatedHost::CreateFile(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

bool TimelineHost::SetVolumeLabel(const char* rootPath, const char* label) {
  Tell(std::string("before label ") + rootPath);
  return EmulatedHost::SetVolumeLabel(rootPath, label);
}

bool TimelineHost::WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) {
  return EmulatedHost::WriteFile(file, data, shortWrites ? size / 2 : size, written);
}

bool TimelineHost::SendPassThrough(host::Handle volume, std::uint32_t ioControlCode,
                                   host::PassThroughRequest& request, std::uint32_t inSize,
                                   std::uint32_t outSize, std::uint32_t* bytesReturned) {
  // The block stands at offset 28 of the request image.
  Tell("before cmd " + CommandToken(std::vector<std::uint8_t>(request.image.begin() + 28, request.image.begin() + 38)));
  return EmulatedHost::SendPassThrough(volume, ioControlCode, request, inSize, outSize, bytesReturned);
}

bool TimelineHost::Control(host::Handle driver, std::uint32_t ioControlCode, const void* in, std::uint32_t inSize,
                           void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  // The helper's request block carries the command at offset 24.
  if (inSize >= 36) {
    const auto* block = static_cast<const std::uint8_t*>(in);
    Tell("before cmd " + CommandToken(std::vector<std::uint8_t>(block + 24, block + 34)));
  }
  return EmulatedHost::Control(driver, ioControlCode, in, inSize, out, outSize, bytesReturned);
}

// ---- ScriptedRunner ----------------------------------------------------------------------------

int ScriptedRunner::RunModal(BootUtilityDialog& dialog) {
  ++runs;
  dialog.AttachView(&m_view);
  initResult = dialog.OnInitDialog();
  if (m_user) m_user(dialog);
  dialog.OnCancel();
  dialog.AttachView(nullptr);
  return host::win32::IDCANCEL;
}

// ---- AppTest -----------------------------------------------------------------------------------

void AppTest::SetUp() {
  ResetDeviceLibraryForTests();
  KeyCapacityMB = 0;
  LastKeyCount = 0;
  host.SetTime(1000000000);
  host.SetDateText("12/07/26");
  const auto files = SystemFileImages();
  for (std::size_t i = 0; i < files.size(); ++i) {
    host.resources[150 + static_cast<int>(i)].assign(files[i].bytes.begin(), files[i].bytes.end());
  }
  view.observer = [this](const std::string& line) { Add(line); };
  host.observer = [this](const std::string& line) {
    if (StartsWith(line, "before ")) {
      if (trigger) trigger(line);
    } else {
      Add(line);
    }
  };
  host.messageBoxHandler = [this](const emulated::MessageBoxRecord& box) {
    int answer = host::win32::IDOK;
    if (!answers.empty()) {
      answer = answers.front();
      answers.pop_front();
    }
    Add("box " + box.caption + ": " + box.text);
    return answer;
  };
  host.Install();
}

void AppTest::TearDown() {
  ResetDeviceLibraryForTests();
  KeyCapacityMB = 0;
  LastKeyCount = 0;
}

emulated::EmulatedKey& AppTest::AttachKey(const std::string& model, std::uint32_t capacityMb, char letter,
                                          int helperIndex) {
  emulated::KeyConfig config;
  config.model = model;
  config.capacityMb = capacityMb;
  return host.AttachKey(letter, config, helperIndex);
}

int AppTest::RunProgram(const std::function<void(BootUtilityDialog&)>& user) {
  ScriptedRunner runner(view, user);
  BootUtilityApp app(runner);
  EXPECT_FALSE(app.InitInstance());
  if (runner.runs > 0) {
    EXPECT_TRUE(runner.initResult);
  }
  return runner.runs;
}

void AppTest::PressStart(const std::string& label) {
  RunProgram([&](BootUtilityDialog& dialog) {
    view.Type(1001, label);
    dialog.OnOK();
  });
}

void AppTest::Flush() {
  const auto& events = host.trace.Events();
  for (; m_flushed < events.size(); ++m_flushed) {
    const emulated::TraceEvent& e = events[m_flushed];
    switch (e.kind) {
      case emulated::TraceKind::kPassThrough:
      case emulated::TraceKind::kHelperCommand: {
        std::string line = "cmd " + CommandToken(e.cdb);
        if (!e.ok || !e.delivered) {
          line += " (not delivered)";
        } else if (e.status != 0) {
          line += " status " + std::to_string(e.status);
        }
        m_timeline.push_back(line);
        break;
      }
      case emulated::TraceKind::kPause:
        m_timeline.push_back("pause " + std::to_string(e.milliseconds));
        break;
      case emulated::TraceKind::kFile:
        m_timeline.push_back("file " + e.text + (e.ok ? "" : " (failed)"));
        break;
      default:
        break;
    }
  }
}

void AppTest::Add(const std::string& line) {
  Flush();
  m_timeline.push_back(line);
  if (trigger) trigger(line);
}

std::vector<std::string> AppTest::Timeline() {
  Flush();
  return m_timeline;
}

std::vector<std::string> AppTest::Sequence() {
  const std::vector<std::string> all = Timeline();
  std::vector<std::string> out;
  for (auto it = FromFormatWarning(all); it != all.end(); ++it) {
    const bool kept = StartsWith(*it, "cmd ") || StartsWith(*it, "pause ") || StartsWith(*it, "file ") ||
                      StartsWith(*it, "post ") || StartsWith(*it, "notify ") || StartsWith(*it, "box ");
    if (kept && !IsDiscoveryQuery(*it)) out.push_back(*it);
  }
  return out;
}

std::vector<std::string> AppTest::SequenceWithIdentityReads() {
  const std::vector<std::string> all = Timeline();
  std::vector<std::string> out;
  for (auto it = FromFormatWarning(all); it != all.end(); ++it) {
    if (StartsWith(*it, "cmd vendor 95")) {
      if (out.empty() || out.back() != "identify") out.push_back("identify");
      continue;
    }
    const bool kept = StartsWith(*it, "cmd ") || StartsWith(*it, "file ") || StartsWith(*it, "box ");
    if (kept && !IsDiscoveryQuery(*it)) out.push_back(*it);
  }
  return out;
}

std::vector<std::string> AppTest::Only(const std::vector<std::string>& prefixes) {
  std::vector<std::string> out;
  for (const std::string& line : Timeline()) {
    if (std::any_of(prefixes.begin(), prefixes.end(), [&](const std::string& p) { return StartsWith(line, p); })) {
      out.push_back(line);
    }
  }
  return out;
}

std::vector<std::string> AppTest::CommandsSince(std::size_t traceEvent) const {
  std::vector<std::string> out;
  const auto& events = host.trace.Events();
  for (std::size_t i = traceEvent; i < events.size(); ++i) {
    if (events[i].kind == emulated::TraceKind::kPassThrough || events[i].kind == emulated::TraceKind::kHelperCommand) {
      out.push_back(CommandToken(events[i].cdb));
    }
  }
  return out;
}

std::vector<emulated::MessageBoxRecord> AppTest::BoxesAfterWarning() const {
  const auto& boxes = host.messageBoxes;
  auto warning = std::find_if(boxes.begin(), boxes.end(),
                              [](const emulated::MessageBoxRecord& b) { return b.caption == shown::kWarningCaption; });
  return warning == boxes.end() ? boxes : std::vector<emulated::MessageBoxRecord>(warning + 1, boxes.end());
}

std::vector<std::string> Repeat(const std::string& line, int times) {
  return std::vector<std::string>(static_cast<std::size_t>(times), line);
}

void Append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

::testing::AssertionResult SameLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t first = 0;
  while (first < actual.size() && first < expected.size() && actual[first] == expected[first]) ++first;
  const std::size_t from = first > 3 ? first - 3 : 0;
  auto excerpt = [&](const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = from; i < lines.size() && i < first + 6; ++i) {
      text += (i == first ? "  > " : "    ") + std::to_string(i) + ": " + lines[i] + "\n";
    }
    return text;
  };
  return ::testing::AssertionFailure() << "the lines differ from line " << first << " on (" << actual.size()
                                       << " lines, " << expected.size() << " expected)\nactual:\n"
                                       << excerpt(actual) << "expected:\n" << excerpt(expected);
}

}  // namespace app_test
