// The fault sweep: for each workflow, the Start sequence is run once without a fault, and then
// once for every command it sent and every kind of fault at that command: the key pulled out
// from that command on, the one I/O control failing, or the key answering CHECK CONDITION
// without seeing the command. A fixed disk, a USB stick of another make and an empty card
// reader are attached beside the key all along.
//
// What every run must show:
// - it ends: its commands and its virtual time stay within a few times the fault-free run's;
// - Start was disabled while the sequence ran and is enabled again at the end;
// - the bystander drives hold exactly what they held before;
// - no volume handle is left open (the helper driver's own handle stays open by design);
// - "Successful." is never shown after a lost write. A write is lost when a WRITE(10) did not
//   reach the key's flash (the request failed, the key was gone, or the key answered a status
//   other than GOOD) or a change through the file system failed (creating, writing, closing a
//   file, setting attributes or the label). The program cannot know what a lost write would
//   have left on the key, so it must not claim success after one;
// - when "Successful." is shown after a fault that lost no write (a failed command whose
//   effect the program checks some other way, or whose effect the result does not depend on),
//   the key must be what the fault-free run made: one area over the whole flash, every sector
//   up to the end of the root directory the same (time stamps aside), the three system files
//   byte for byte in root slots 0 to 2 with their attributes, the label in slot 3 and in the
//   boot sector. Commands whose effect the result depends on without a write of their own (the
//   area size, the resets and medium switches) are judged this way: a lost area size leaves
//   the key split, which the comparison shows;
// - otherwise the sequence tells why it stopped: its last message is one of the error messages.
//
// The key starts as a used key: split into two areas, with old data over every sector the
// layouts write or clear, so that a lost area change, clear or write cannot go unnoticed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "bench/start_driver.h"
#include "boot/boot_images.h"
#include "host/emulated/emulated_host.h"
#include "tests/sweep/key_check.h"

namespace {

using start_driver::StartRun;
using start_driver::Workflow;

constexpr char kLabel[] = "STELVARION";
constexpr char kKeyLetter = 'E';
// Beside the key: a fixed disk before it, a stick and an empty reader after it.
constexpr char kFixedDiskLetter = 'D';
constexpr char kStickLetter = 'F';
constexpr char kReaderLetter = 'G';

enum class FaultKind { kKeyRemoved, kFailingIoctl, kCheckCondition };
constexpr FaultKind kFaultKinds[] = {FaultKind::kKeyRemoved, FaultKind::kFailingIoctl, FaultKind::kCheckCondition};

const char* KindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kKeyRemoved: return "key removed";
    case FaultKind::kFailingIoctl: return "failing I/O control";
    case FaultKind::kCheckCondition: return "CHECK CONDITION";
  }
  return "?";
}

struct Fault {
  FaultKind kind;
  std::uint64_t command;  // counted from the press of Start
};

// A run that goes on far beyond the fault-free one is ended here, as a hang would otherwise
// hang the suite.
class RunawayRun : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class BoundedHost final : public emulated::EmulatedHost {
 public:
  void Limit(std::uint64_t lastCommandIndex, std::uint64_t lastElapsedMs) {
    m_lastCommand = lastCommandIndex;
    m_lastElapsedMs = lastElapsedMs;
  }

  bool SendPassThrough(host::Handle volume, std::uint32_t code, host::PassThroughRequest& request,
                       std::uint32_t inSize, std::uint32_t outSize, std::uint32_t* returned) override {
    const bool ok = EmulatedHost::SendPassThrough(volume, code, request, inSize, outSize, returned);
    Check();
    return ok;
  }
  bool Control(host::Handle driver, std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
               std::uint32_t outSize, std::uint32_t* returned) override {
    const bool ok = EmulatedHost::Control(driver, code, in, inSize, out, outSize, returned);
    Check();
    return ok;
  }
  void Sleep(std::uint32_t milliseconds) override {
    EmulatedHost::Sleep(milliseconds);
    Check();
  }

 private:
  void Check() const {
    if (CommandCount() > m_lastCommand) throw RunawayRun("more than " + std::to_string(m_lastCommand) + " commands");
    if (ElapsedMs() > m_lastElapsedMs) throw RunawayRun("more than " + std::to_string(m_lastElapsedMs) + " ms of pauses");
  }
  std::uint64_t m_lastCommand = UINT64_MAX;
  std::uint64_t m_lastElapsedMs = UINT64_MAX;
};

// What one run left behind.
struct Outcome {
  StartRun run;
  bool lostWrite = false;
  std::string runaway;  // why the run was ended, when it was
  std::vector<std::string> problems;
  sweep::KeySnapshot snapshot;
};

bool IsWrite10(const emulated::TraceEvent& event) {
  return (event.kind == emulated::TraceKind::kPassThrough || event.kind == emulated::TraceKind::kHelperCommand) &&
         !event.cdb.empty() && event.cdb[0] == 0x2A;
}

// A change through the file system: everything but the existence query.
bool IsFileChange(const emulated::TraceEvent& event) {
  return event.kind == emulated::TraceKind::kFile && !event.text.starts_with("find ");
}

bool LostAWrite(const emulated::EmulatedHost& host, std::size_t fromEvent) {
  const auto& events = host.trace.Events();
  for (std::size_t i = fromEvent; i < events.size(); ++i) {
    const auto& e = events[i];
    if (IsWrite10(e) && !(e.ok && e.delivered && e.status == emulated::kStatusGood)) return true;
    if (IsFileChange(e) && !e.ok) return true;
  }
  return false;
}

bool IsErrorMessage(const std::string& text) {
  for (const char* error : {text::kNoDeviceInformation, text::kWriteProtected, text::kNotFound, text::kUnknownError}) {
    if (text == error) return true;
  }
  return false;
}

std::string Describe(const Fault& fault) {
  return std::string(KindName(fault.kind)) + " at command " + std::to_string(fault.command);
}

struct KindCounts {
  int runs = 0;
  int successful = 0;   // the fault was absorbed and the key checked
  int stopped = 0;      // the sequence stopped and said why
  int lostWrites = 0;   // runs in which a write was lost
};

// Across the workflows run in this process, for the closing line.
struct Totals {
  int workflows = 0;
  int runs = 0;  // the fault-free ones included
  int failures = 0;
} g_totals;

class SweepSummary : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_totals.workflows > 1) {
      std::printf("[  SWEEP   ] %d workflows, %d runs, %d failed\n", g_totals.workflows, g_totals.runs, g_totals.failures);
    }
  }
};
const auto* const g_summary = ::testing::AddGlobalTestEnvironment(new SweepSummary);

class FaultSweep : public ::testing::TestWithParam<Workflow> {
 protected:
  void SetUp() override {
    for (const SystemFileImage& file : SystemFileImages()) {
      m_expected.files[std::string(file.name)].assign(file.bytes.begin(), file.bytes.end());
    }
    m_expected.model = GetParam().model;
    m_expected.label = kLabel;
    m_scratch = std::filesystem::temp_directory_path() /
                ("stelvarion-sweep-" + std::to_string(::getpid()) + "-" + std::to_string(m_scratchCounter++));
    std::filesystem::create_directories(m_scratch);
  }
  void TearDown() override { std::filesystem::remove_all(m_scratch); }

  // One press of Start in a fresh process, on a fresh used key, with the fault (if any)
  // armed when Start is pressed.
  Outcome Run(const std::optional<Fault>& fault) {
    start_driver::ResetProcessState();
    auto host = std::make_unique<BoundedHost>();
    // The device object closes its helper-driver handle through the host: it goes first.
    struct ResetFirst {
      ~ResetFirst() { start_driver::ResetProcessState(); }
    } resetFirst;
    start_driver::SetUpHost(*host, GetParam());
    host->Attach(kFixedDiskLetter, emulated::MakeFixedDisk());
    host->Attach(kStickLetter, emulated::MakeUsbStick());
    host->Attach(kReaderLetter, emulated::MakeEmptyReader());
    emulated::EmulatedKey& key = *host->KeyAt(kKeyLetter);
    sweep::MakeUsedKey(key);
    std::vector<std::map<std::uint64_t, emulated::Sector>> before;
    for (char letter : {kFixedDiskLetter, kStickLetter, kReaderLetter}) {
      before.push_back(sweep::MediumContents(*host->DeviceAt(letter)));
    }

    const auto arm = [&](emulated::EmulatedHost& h) {
      const std::uint64_t base = h.CommandCount();
      if (fault) {
        const std::uint64_t at = base + fault->command;
        switch (fault->kind) {
          case FaultKind::kKeyRemoved: h.faults.keyRemovedFrom = at; break;
          case FaultKind::kFailingIoctl: h.faults.failingIoctls = {at}; break;
          case FaultKind::kCheckCondition: h.faults.forcedStatus[at] = emulated::kStatusCheckCondition; break;
        }
      }
      // Generous against the fault-free run, tight against a loop.
      const std::uint64_t commands = m_baselineCommands != 0 ? 4 * m_baselineCommands + 200 : 100000;
      const std::uint64_t pauses = m_baselinePauseMs != 0 ? 4 * m_baselinePauseMs + 20000 : 3600000;
      static_cast<BoundedHost&>(h).Limit(base + commands, h.ElapsedMs() + pauses);
    };

    Outcome outcome;
    try {
      outcome.run = start_driver::RunStart(*host, kLabel, arm);
    } catch (const RunawayRun& runaway) {
      outcome.runaway = runaway.what();
      return outcome;
    }
    outcome.lostWrite = LostAWrite(*host, outcome.run.firstTraceEvent);

    const StartRun& run = outcome.run;
    auto& problems = outcome.problems;
    if (!run.pressed) problems.push_back("Start was not enabled after the dialog's initialisation");
    if (!run.startDisabledDuring) problems.push_back("Start stayed enabled while the sequence ran");
    if (!run.startEnabledAfter) problems.push_back("Start is not enabled at the end");
    const int openHandles = host->OpenHandleCount();
    if (openHandles > (GetParam().administrator ? 0 : 1)) {
      problems.push_back(std::to_string(openHandles) + " handles are left open");
    }
    const char letters[] = {kFixedDiskLetter, kStickLetter, kReaderLetter};
    for (std::size_t i = 0; i < std::size(letters); ++i) {
      if (sweep::MediumContents(*host->DeviceAt(letters[i])) != before[i]) {
        problems.push_back(std::string("the bystander drive ") + letters[i] + ": was changed");
      }
    }
    const auto successes = std::count(run.messages.begin(), run.messages.end(), std::string(text::kSuccessful));
    if (run.successful) {
      if (outcome.lostWrite) problems.push_back("\"Successful.\" after a lost write");
      if (successes != 1 || run.messages.back() != text::kSuccessful) {
        problems.push_back("\"Successful.\" is not the one last message");
      }
      for (const std::string& p : sweep::BootableKeyProblems(key, m_expected)) problems.push_back("key: " + p);
      outcome.snapshot = sweep::TakeSnapshot(key);
      if (fault) {
        for (const std::string& d : sweep::SnapshotDifferences(m_baseline, outcome.snapshot)) {
          problems.push_back("key: " + d);
        }
      }
    } else if (run.messages.empty() || !IsErrorMessage(run.messages.back())) {
      problems.push_back("the sequence stopped without saying why (last message: \"" +
                         (run.messages.empty() ? std::string() : run.messages.back()) + "\")");
    }
    // The tools judge the fault-free key, and any key the checks above found wanting (as a
    // second opinion in the failure message).
    if (!fault || (run.successful && !problems.empty())) {
      for (const std::string& f : sweep::ToolFindings(key, m_expected, m_scratch.string())) problems.push_back(f);
    }
    if (!fault) {
      const auto commands = host->trace.Commands();
      for (std::size_t i = run.firstCommand; i < commands.size(); ++i) m_commandLines.push_back(commands[i].Describe());
    }
    return outcome;
  }

  sweep::BootableKey m_expected;
  sweep::KeySnapshot m_baseline;
  std::uint64_t m_baselineCommands = 0;
  std::uint64_t m_baselinePauseMs = 0;
  std::vector<std::string> m_commandLines;  // the fault-free run's, from the press of Start
  std::filesystem::path m_scratch;
  static inline int m_scratchCounter = 0;
};

TEST_P(FaultSweep, NoFaultEndsInAFalseSuccessOrHarmsAnotherDrive) {
  const auto started = std::chrono::steady_clock::now();
  const Outcome baseline = Run(std::nullopt);
  ASSERT_TRUE(baseline.runaway.empty()) << baseline.runaway;
  ASSERT_TRUE(baseline.run.successful) << "the fault-free run did not succeed";
  ASSERT_TRUE(baseline.problems.empty()) << ::testing::PrintToString(baseline.problems);
  m_baseline = baseline.snapshot;
  m_baselineCommands = baseline.run.commands;
  m_baselinePauseMs = baseline.run.pauseMs;
  const std::uint64_t n = baseline.run.commands;

  KindCounts counts[std::size(kFaultKinds)];
  int failures = 0;
  constexpr int kFailuresShown = 25;
  for (std::size_t kind = 0; kind < std::size(kFaultKinds); ++kind) {
    for (std::uint64_t k = 0; k < n; ++k) {
      const Fault fault{kFaultKinds[kind], k};
      const Outcome outcome = Run(fault);
      KindCounts& c = counts[kind];
      ++c.runs;
      if (outcome.run.successful) ++c.successful;
      else ++c.stopped;
      if (outcome.lostWrite) ++c.lostWrites;
      if (std::getenv("STELVARION_SWEEP_VERBOSE") != nullptr) {
        std::printf("%-20s %3llu %-60s %s%s%s\n", KindName(fault.kind), static_cast<unsigned long long>(k),
                    k < m_commandLines.size() ? m_commandLines[k].c_str() : "?",
                    outcome.run.successful ? "successful" : "stopped: ",
                    outcome.run.successful || outcome.run.messages.empty() ? "" : outcome.run.messages.back().c_str(),
                    outcome.lostWrite ? " (lost a write)" : "");
      }
      std::vector<std::string> problems = outcome.problems;
      if (!outcome.runaway.empty()) problems.push_back("the run did not end: " + outcome.runaway);
      if (problems.empty()) continue;
      if (++failures <= kFailuresShown) {
        ADD_FAILURE() << start_driver::WorkflowName(GetParam()) << ", " << Describe(fault) << ":\n  "
                      << ::testing::PrintToString(problems);
      }
    }
  }
  EXPECT_EQ(failures, 0) << failures << " runs failed (the first " << kFailuresShown << " are shown)";

  int runs = 0;
  std::string summary;
  for (std::size_t kind = 0; kind < std::size(kFaultKinds); ++kind) {
    const KindCounts& c = counts[kind];
    runs += c.runs;
    summary += std::string("; ") + KindName(kFaultKinds[kind]) + ": " + std::to_string(c.runs) + " runs, " +
               std::to_string(c.successful) + " succeeded, " + std::to_string(c.stopped) + " stopped, " +
               std::to_string(c.lostWrites) + " lost a write";
    RecordProperty(std::string(KindName(kFaultKinds[kind])) + " runs", c.runs);
  }
  RecordProperty("commands", static_cast<int>(n));
  RecordProperty("faulted runs", runs);
  RecordProperty("failed runs", failures);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("[  SWEEP   ] %s: %llu commands, %d faulted runs, %d failed%s (%.1f s)\n",
              start_driver::WorkflowName(GetParam()).c_str(), static_cast<unsigned long long>(n), runs, failures,
              summary.c_str(), seconds);
  g_totals.workflows += 1;
  g_totals.runs += runs + 1;
  g_totals.failures += failures;
}

}  // namespace

namespace start_driver {
void PrintTo(const Workflow& workflow, std::ostream* os) { *os << WorkflowName(workflow); }
}  // namespace start_driver

namespace {

std::string WorkflowTestName(const ::testing::TestParamInfo<Workflow>& info) {
  std::string name = std::string(info.param.model) + (info.param.administrator ? "_PassThrough" : "_HelperDriver");
  std::erase(name, ' ');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Workflows, FaultSweep, ::testing::ValuesIn(start_driver::kWorkflows), WorkflowTestName);

}  // namespace
