#include "cli/key_options.h"

#include <charconv>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "boot/boot_images.h"
#include "devlib/identity.h"

namespace {

constexpr int kFirstSystemFileResource = 150;

bool ParseNumber(const std::string& text, std::uint32_t max, std::uint32_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end && *value <= max;
}

}  // namespace

const char* KeyOptionsHelp() {
  return "  --model NAME        \"KV 2 Zarno P9\" (default), \"KV 2 Zarno P3\" or \"Varnok Key\"\n"
         "  --capacity MB       the capacity the key reports, 1 to 65535 (default 1024)\n"
         "  --revision TEXT     firmware revision, four characters (default 2.45)\n"
         "  --flash-type N      flash type code (default 2)\n"
         "  --banks N           flash bank count (default 1)\n"
         "  --ordinary-user     run as an ordinary user: the key is reached through the helper driver\n"
         "  --write-protected   the key's write-protect switch is on\n"
         "  --real-pauses       wait as the key needs instead of counting the pauses on a virtual clock\n"
         "  --trace FILE        write every command block (direction, length, status) and every pause\n";
}

std::unique_ptr<CLI::App> NewCommandLine(const std::string& program) {
  auto app = std::make_unique<CLI::App>("", program);
  app->set_help_flag();
  app->allow_windows_style_options(false);
  // An option given twice takes its last value, as the front ends always did.
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  return app;
}

void AddKeyOptions(CLI::App& app, EmulatedKeyOptions& options, KeyOptionTexts& texts) {
  app.add_option("--image", options.key.imagePath);
  app.add_option("--model", texts.model);
  app.add_option("--capacity", texts.capacity);
  app.add_option("--revision", texts.revision);
  app.add_option("--flash-type", texts.flashType);
  app.add_option("--banks", texts.banks);
  app.add_flag("--ordinary-user", options.ordinaryUser);
  app.add_flag("--write-protected", options.key.writeProtected);
  app.add_flag("--real-pauses", options.realPauses);
  app.add_option("--trace", options.traceFile);
}

namespace {

// The parse, with CLI11's refusals in the front ends' words.
template <typename Parse>
std::string Parsed(CLI::App& app, Parse parse) {
  try {
    parse();
  } catch (const CLI::ExtrasError&) {
    const std::vector<std::string> extras = app.remaining();
    return "unknown option " + (extras.empty() ? std::string("?") : extras.front());
  } catch (const CLI::ArgumentMismatch& mismatch) {
    const std::string what = mismatch.what();
    return what.substr(0, what.find(':')) + " needs a value";
  } catch (const CLI::ParseError& error) {
    return error.what();
  }
  return {};
}

}  // namespace

// An option short of its value takes the next argument whatever it looks like
// ("--capacity -5"), as the front ends always did.
std::string ParseCommandLine(CLI::App& app, std::vector<std::string> args) {
  return Parsed(app, [&] { app.parse(std::vector<std::string>(args.rbegin(), args.rend())); });
}

std::string ParseCommandLine(CLI::App& app, const std::string& line) {
  return Parsed(app, [&] { app.parse(line, false); });
}

std::string CheckKeyOptions(const KeyOptionTexts& texts, EmulatedKeyOptions& options) {
  std::uint32_t number = 0;
  if (texts.model) {
    const std::string& value = *texts.model;
    if (value != kModelNameP9 && value != kModelNameP3 && value != kModelNameVarnok) {
      return "unknown model \"" + value + "\" (one of \"KV 2 Zarno P9\", \"KV 2 Zarno P3\", \"Varnok Key\")";
    }
    options.key.model = value;
  }
  if (texts.capacity) {
    if (!ParseNumber(*texts.capacity, 0xFFFF, &number) || number == 0) return "--capacity takes megabytes from 1 to 65535";
    options.key.capacityMb = number;
  }
  if (texts.revision) {
    if (texts.revision->size() != 4) return "--revision takes four characters, like 2.45";
    options.key.revision = *texts.revision;
  }
  if (texts.flashType) {
    if (!ParseNumber(*texts.flashType, 0xFFFF, &number)) return "--flash-type takes a number from 0 to 65535";
    options.key.flashType = static_cast<std::uint16_t>(number);
  }
  if (texts.banks) {
    if (!ParseNumber(*texts.banks, 0xFFFF, &number)) return "--banks takes a number from 0 to 65535";
    options.key.bankCount = static_cast<std::uint16_t>(number);
  }
  return {};
}

void SetUpEmulatedHost(emulated::EmulatedHost& host, const EmulatedKeyOptions& options) {
  host.AttachKey('E', options.key, 0);
  host.administrator = !options.ordinaryUser;
  host.SetRealTime(options.realPauses);
  // Files written on the key carry today's date, as on a real computer.
  host.SetTime(FrontEndClockStart());
  AddSystemFileResources(host);
  host.Install();
}

std::uint32_t FrontEndClockStart() {
  std::uint32_t seconds = 0;
  const char* start = std::getenv("STELVARION_CLOCK_START");
  if (start != nullptr && ParseNumber(start, 0xFFFFFFFFu, &seconds)) return seconds;
  return static_cast<std::uint32_t>(std::time(nullptr));
}

void AddSystemFileResources(emulated::EmulatedHost& host) {
  const auto files = SystemFileImages();
  for (std::size_t i = 0; i < files.size(); ++i) {
    host.resources[kFirstSystemFileResource + static_cast<int>(i)].assign(files[i].bytes.begin(), files[i].bytes.end());
  }
}

bool WriteTrace(const emulated::EmulatedHost& host, const std::string& path) {
  std::ofstream out(path);
  for (const emulated::TraceEvent& event : host.trace.Events()) {
    if (event.kind == emulated::TraceKind::kPassThrough || event.kind == emulated::TraceKind::kHelperCommand ||
        event.kind == emulated::TraceKind::kPause) {
      out << event.Describe() << '\n';
    }
  }
  return static_cast<bool>(out);
}
