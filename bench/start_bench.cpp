// stelvarion-bench: how the Start sequence spends its time, its commands and its writes, and
// how long identification takes with every drive letter in use. Prints one markdown table.
//
//   wall / pauses   each workflow once with real pauses: the wall time of the Start handler
//                   against the sum of the pauses it took (the pauses are what the key needs;
//                   everything above 1.00 is overhead). Below the table the overhead is split
//                   into the timer's oversleep, the emulated devices and file system, and the
//                   rest (the program itself).
//   CPU             the Start handler on the virtual clock, median of several runs.
//   commands        what the sequence sent, against the least the layout needs: the WRITE(10)s
//                   of the system area in runs of 32 sectors, one area-size command and one
//                   refresh so that the system sees the new volume.
//   bytes written   WRITE(10) data plus the system files' bytes handed to the file system,
//                   against the least: every sector from 0 to the end of the root directory
//                   once (boot records, the gaps the layout defines as zeros, both FATs, the
//                   root directory) and the three files' bytes once.
//   FindKey         one identification (after the library is initialised) with D: to Z: all
//                   attached: one key at Z: behind 22 other drives, or 23 keys.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "bench/start_driver.h"
#include "boot/boot_images.h"
#include "devlib/key_library.h"
#include "host/emulated/emulated_host.h"

namespace {

using start_driver::Workflow;
using Clock = std::chrono::steady_clock;

constexpr char kLabel[] = "STELVARION";
constexpr int kVirtualRuns = 5;
constexpr int kScanRepeats = 20;
constexpr std::uint32_t kSectorsPerWrite = 32;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A host that also measures where real time goes: in the pauses (and how far each oversleeps)
// and inside the emulated devices and file system.
class TimedHost final : public emulated::EmulatedHost {
 public:
  double sleptSeconds = 0;
  double emulationSeconds = 0;

  template <typename Call>
  auto Timed(Call call) -> decltype(call()) {
    const auto start = Clock::now();
    auto result = call();
    emulationSeconds += Seconds(Clock::now() - start);
    return result;
  }

  void Sleep(std::uint32_t milliseconds) override {
    const auto start = Clock::now();
    EmulatedHost::Sleep(milliseconds);
    sleptSeconds += Seconds(Clock::now() - start);
  }
  bool SendPassThrough(host::Handle volume, std::uint32_t code, host::PassThroughRequest& request,
                       std::uint32_t inSize, std::uint32_t outSize, std::uint32_t* returned) override {
    return Timed([&] { return EmulatedHost::SendPassThrough(volume, code, request, inSize, outSize, returned); });
  }
  bool Control(host::Handle driver, std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
               std::uint32_t outSize, std::uint32_t* returned) override {
    return Timed([&] { return EmulatedHost::Control(driver, code, in, inSize, out, outSize, returned); });
  }
  host::Handle OpenVolume(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                          std::uint32_t flags) override {
    return Timed([&] { return EmulatedHost::OpenVolume(path, access, share, disposition, flags); });
  }
  bool CloseVolume(host::Handle volume) override {
    return Timed([&] { return EmulatedHost::CloseVolume(volume); });
  }
  bool FindFirstFile(const char* path) override {
    return Timed([&] { return EmulatedHost::FindFirstFile(path); });
  }
  bool SetFileAttributes(const char* path, std::uint32_t attributes) override {
    return Timed([&] { return EmulatedHost::SetFileAttributes(path, attributes); });
  }
  host::Handle CreateFile(const char* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                          std::uint32_t attributes) override {
    return Timed([&] { return EmulatedHost::CreateFile(path, access, share, disposition, attributes); });
  }
  bool WriteFile(host::Handle file, const void* data, std::uint32_t size, std::uint32_t* written) override {
    return Timed([&] { return EmulatedHost::WriteFile(file, data, size, written); });
  }
  bool CloseFile(host::Handle file) override {
    return Timed([&] { return EmulatedHost::CloseFile(file); });
  }
  bool SetVolumeLabel(const char* root, const char* label) override {
    return Timed([&] { return EmulatedHost::SetVolumeLabel(root, label); });
  }
  bool GetDiskFreeSpaceEx(const char* root, std::uint64_t* toCaller, std::uint64_t* total,
                          std::uint64_t* totalFree) override {
    return Timed([&] { return EmulatedHost::GetDiskFreeSpaceEx(root, toCaller, total, totalFree); });
  }
  bool GetDiskFreeSpace(const char* root, std::uint32_t* perCluster, std::uint32_t* perSector,
                        std::uint32_t* freeClusters, std::uint32_t* clusters) override {
    return Timed([&] { return EmulatedHost::GetDiskFreeSpace(root, perCluster, perSector, freeClusters, clusters); });
  }

};

// The device library's state belongs to the process; it is reset while the host still stands,
// since the device object closes its handles through it.
struct Session {
  std::unique_ptr<TimedHost> host = std::make_unique<TimedHost>();
  ~Session() { start_driver::ResetProcessState(); }
};

struct Row {
  std::string what;
  std::string pauses = "–", wall = "–", ratio = "–", cpu = "–", commands = "–", bytes = "–";
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Thousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
  return digits;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The sectors from 0 to the end of the root directory (512 entries, 32 sectors).
std::uint32_t SystemAreaSectors(const Workflow& workflow) {
  const bool singlePartition = std::strcmp(workflow.model, "KV 2 Zarno P9") == 0;
  const std::uint32_t partitionStart = singlePartition ? 63 : 32;
  const std::uint32_t sectorsPerFat = singlePartition ? 250 : 255;
  return partitionStart + 1 + 2 * sectorsPerFat + 32;
}

std::uint64_t SystemFileBytes() {
  std::uint64_t bytes = 0;
  for (const SystemFileImage& file : SystemFileImages()) bytes += file.bytes.size();
  return bytes;
}

struct Traffic {
  std::uint64_t commands = 0, writes = 0, writeBytes = 0, fileBytes = 0;
};

Traffic TrafficOf(const emulated::EmulatedHost& host, const start_driver::StartRun& run) {
  Traffic traffic;
  traffic.commands = run.commands;
  const auto& events = host.trace.Events();
  for (std::size_t i = run.firstTraceEvent; i < events.size(); ++i) {
    const auto& e = events[i];
    const bool command = e.kind == emulated::TraceKind::kPassThrough || e.kind == emulated::TraceKind::kHelperCommand;
    if (command && !e.cdb.empty() && e.cdb[0] == 0x2A) {
      ++traffic.writes;
      traffic.writeBytes += e.dataOut.size();
    }
    unsigned size = 0;
    if (e.kind == emulated::TraceKind::kFile && std::sscanf(e.text.c_str(), "write %u bytes", &size) == 1) {
      traffic.fileBytes += size;
    }
  }
  return traffic;
}

struct Overhead {
  std::string workflow;
  double wall, pauses, slept, emulation;
};

bool Check(const start_driver::StartRun& run, const std::string& what) {
  if (run.successful) return true;
  std::fprintf(stderr, "stelvarion-bench: %s did not succeed (%s)\n", what.c_str(),
               run.messages.empty() ? "no message" : run.messages.back().c_str());
  return false;
}

bool MeasureWorkflow(const Workflow& workflow, bool realTime, std::vector<Row>& rows, std::vector<Overhead>& overheads) {
  Row row;
  row.what = "Start, " + start_driver::WorkflowName(workflow);
  const std::string name = start_driver::WorkflowName(workflow);

  std::vector<double> cpu;
  Traffic traffic;
  for (int i = 0; i < kVirtualRuns; ++i) {
    start_driver::ResetProcessState();
    Session session;
    start_driver::SetUpHost(*session.host, workflow);
    const auto run = start_driver::RunStart(*session.host, kLabel);
    if (!Check(run, name)) return false;
    cpu.push_back(run.cpuSeconds);
    traffic = TrafficOf(*session.host, run);
  }
  row.cpu = Format("%.1f ms", Median(cpu) * 1000);

  const std::uint32_t systemSectors = SystemAreaSectors(workflow);
  const std::uint64_t leastCommands = (systemSectors + kSectorsPerWrite - 1) / kSectorsPerWrite + 2;
  const std::uint64_t leastBytes = std::uint64_t{systemSectors} * 512 + SystemFileBytes();
  const std::uint64_t bytes = traffic.writeBytes + traffic.fileBytes;
  row.commands = std::to_string(traffic.commands) + " (" + std::to_string(traffic.writes) + " WRITE(10)) / " +
                 std::to_string(leastCommands);
  row.bytes = Thousands(bytes) + " / " + Thousands(leastBytes) + " = " + Format("%.3f", double(bytes) / double(leastBytes));

  if (realTime) {
    start_driver::ResetProcessState();
    Session session;
    start_driver::SetUpHost(*session.host, workflow);
    const auto run = start_driver::RunStart(*session.host, kLabel, [](emulated::EmulatedHost& host) {
      host.SetRealTime(true);
    });
    if (!Check(run, name + " in real time")) return false;
    const double pauses = run.pauseMs / 1000.0;
    row.pauses = Format("%.3f s", pauses);
    row.wall = Format("%.3f s", run.wallSeconds);
    row.ratio = Format("%.4f", run.wallSeconds / pauses);
    overheads.push_back({name, run.wallSeconds, pauses, session.host->sleptSeconds, session.host->emulationSeconds});
  }
  rows.push_back(row);
  return true;
}

// One FindKey with every letter from D: to Z: taken.
void MeasureScan(bool administrator, bool allKeys, std::vector<Row>& rows) {
  start_driver::ResetProcessState();
  Session session;
  emulated::EmulatedHost& host = *session.host;
  int helperIndex = 0;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (allKeys || letter == 'Z') {
      emulated::KeyConfig key;
      key.model = "KV 2 Zarno P9";
      host.AttachKey(letter, key, helperIndex++);
    } else {
      const int kind = (letter - 'D') % 3;
      host.Attach(letter, kind == 0 ? emulated::MakeFixedDisk() : kind == 1 ? emulated::MakeUsbStick()
                                                                             : emulated::MakeEmptyReader());
    }
  }
  host.administrator = administrator;
  host.Install();

  char name[20] = {};
  int count = 0;
  FindKey(name, &count);  // creates the device object and decides the transport
  std::vector<double> cpu;
  std::uint64_t commands = 0, pauseMs = 0;
  for (int i = 0; i < kScanRepeats; ++i) {
    const std::uint64_t firstCommand = host.CommandCount();
    const std::uint64_t firstMs = host.ElapsedMs();
    const std::clock_t before = std::clock();
    count = 0;
    FindKey(name, &count);
    cpu.push_back(static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC);
    commands = host.CommandCount() - firstCommand;
    pauseMs = host.ElapsedMs() - firstMs;
  }
  Row row;
  row.what = std::string("FindKey, D: to Z: ") + (allKeys ? "23 keys" : "one key at Z: behind 22 other drives") +
             (administrator ? ", pass-through" : ", helper driver") + " (" + std::to_string(count) + " found)";
  row.pauses = Format("%.3f s", pauseMs / 1000.0);
  row.cpu = Format("%.3f ms", Median(cpu) * 1000);
  row.commands = std::to_string(commands);
  rows.push_back(row);
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf("| measured | pauses | wall | wall / pauses | CPU, virtual clock | commands (WRITE(10)) / least | bytes written / least |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", r.what.c_str(), r.pauses.c_str(), r.wall.c_str(),
                r.ratio.c_str(), r.cpu.c_str(), r.commands.c_str(), r.bytes.c_str());
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: stelvarion-bench [--quick | --no-real-time]\n"
               "  --quick         real pauses for the two \"KV 2 Zarno P9\" workflows only (about 25 s)\n"
               "  --no-real-time  no workflow with real pauses (a few seconds)\n"
               "By default every workflow also runs once with real pauses (about 75 s).\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  bool realTime = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--no-real-time") == 0) {
      realTime = false;
    } else {
      return Usage();
    }
  }

  std::vector<Row> rows;
  std::vector<Overhead> overheads;
  for (const Workflow& workflow : start_driver::kWorkflows) {
    const bool real = realTime && (!quick || std::strcmp(workflow.model, "KV 2 Zarno P9") == 0);
    if (!MeasureWorkflow(workflow, real, rows, overheads)) return 1;
  }
  for (bool administrator : {true, false}) {
    for (bool allKeys : {false, true}) MeasureScan(administrator, allKeys, rows);
  }

  PrintTable(rows);
  if (!overheads.empty()) {
    std::printf("\nOverhead of the real-pause runs (wall minus pauses): the timer's oversleep, the emulated\n"
                "devices and file system, and the rest (the program itself):\n\n");
    for (const Overhead& o : overheads) {
      const double overhead = o.wall - o.pauses;
      const double oversleep = o.slept - o.pauses;
      std::printf("- %s: %.1f ms = oversleep %.1f ms + emulation %.1f ms + program %.1f ms\n", o.workflow.c_str(),
                  overhead * 1000, oversleep * 1000, o.emulation * 1000, (overhead - oversleep - o.emulation) * 1000);
    }
  }
  return 0;
}
