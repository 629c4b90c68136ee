#include "frontend/key_options.h"

#include <algorithm>
#include <charconv>

#include "devlib/identity.h"
#include "key/key_state.h"

std::string VersionText(const std::string& program) {
  return program + " (Stelvarion Boot Utility) " STELVARION_VERSION "\n";
}

const char* KeyOptionsHelp() {
  return "  --model NAME        \"KV 2 Zarno P9\" (default), \"KV 2 Zarno P3\" or \"Varnok Key\"\n"
         "  --capacity MB       the capacity the key reports, 1 to 65535 (default 1024)\n"
         "  --revision TEXT     firmware revision, four characters (default 2.45)\n"
         "  --flash-type N      flash type code (default 2)\n"
         "  --banks N           flash bank count, 1 or more (default 1)\n"
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

constexpr char kEmptyValueAllowed[] = "empty value allowed";

bool EmptyValueAllowed(CLI::Option& option) {
  try {
    option.get_validator(kEmptyValueAllowed);
    return true;
  } catch (const CLI::OptionNotFound&) {
    return false;
  }
}

bool TakesValue(const CLI::Option& option) { return option.get_expected_max() != 0; }

// CLI11 reads "--name=" as "--name" still waiting for its value, and "--flag=x" as a value for
// the flag. Here "--name=" is the empty value (refused but where it means something), and a flag
// takes no value. Returns the usage error, or empty with the arguments CLI11 is to parse.
std::string SplitEmptyValues(CLI::App& app, const std::vector<std::string>& args, std::vector<std::string>* out) {
  bool valueNext = false;
  for (const std::string& arg : args) {
    if (valueNext || arg.rfind("--", 0) != 0) {
      valueNext = false;
      out->push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    CLI::Option* option = app.get_option_no_throw(name);
    if (option == nullptr) {
      out->push_back(arg);  // CLI11 names it
      continue;
    }
    if (equals == std::string::npos) {
      valueNext = TakesValue(*option);
      out->push_back(arg);
      continue;
    }
    if (!TakesValue(*option)) return name + " takes no value";
    if (equals + 1 == arg.size()) {
      if (!EmptyValueAllowed(*option)) return name + " needs a value";
      out->push_back(name);
      out->push_back("");
      continue;
    }
    out->push_back(arg);
  }
  return {};
}

// An empty value given as an argument of its own ("--image ''") is no value either.
std::string EmptyValueRefused(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) {
    if (!TakesValue(*option) || EmptyValueAllowed(*option)) continue;
    for (const std::string& value : option->results()) {
      if (value.empty()) return option->get_name() + " needs a value";
    }
  }
  return {};
}

}  // namespace

CLI::Option* AllowEmptyValue(CLI::Option* option) {
  return option->check(CLI::Validator([](const std::string&) { return std::string(); }, "", kEmptyValueAllowed));
}

// An option short of its value takes the next argument whatever it looks like
// ("--capacity -5"), as the front ends always did.
std::string ParseCommandLine(CLI::App& app, std::vector<std::string> args) {
  std::vector<std::string> split;
  if (std::string refused = SplitEmptyValues(app, args, &split); !refused.empty()) return refused;
  const std::string refused = Parsed(app, [&] { app.parse(std::vector<std::string>(split.rbegin(), split.rend())); });
  return refused.empty() ? EmptyValueRefused(app) : refused;
}

// Split as CLI11 splits a line, but keeping the empty phrases ("--label ''") it would drop.
std::string ParseCommandLine(CLI::App& app, const std::string& line) {
  std::string text = line;
  CLI::detail::trim(text);
  if (!text.empty()) text = CLI::detail::find_and_modify(text, "=", CLI::detail::escape_detect);
  return ParseCommandLine(app, CLI::detail::split_up(text));
}

bool ParseOptionNumber(const std::string& text, std::uint32_t max, std::uint32_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end && *value <= max;
}

std::string CheckKeyOptions(const KeyOptionTexts& texts, EmulatedKeyOptions& options) {
  std::uint32_t number = 0;
  if (texts.model) {
    const std::string& value = *texts.model;
    if (value != kModelNameP9 && value != kModelNameP3 && value != kModelNameVarnok) {
      return "unknown model \"" + value + "\" (one of \"KV 2 Zarno P9\", \"KV 2 Zarno P3\", \"Varnok Key\")";
    }
    options.key.model = value;
    options.given.model = true;
  }
  if (texts.capacity) {
    if (!ParseOptionNumber(*texts.capacity, 0xFFFF, &number) || number == 0) return "--capacity takes megabytes from 1 to 65535";
    options.key.capacityMb = number;
    options.given.capacity = true;
  }
  if (texts.revision) {
    // The revision is compared as text and shown in the INQUIRY answer: printable ASCII only.
    const std::string& revision = *texts.revision;
    if (revision.size() != 4 || std::any_of(revision.begin(), revision.end(), [](char c) { return c < 0x20 || c > 0x7E; })) {
      return "--revision takes four characters of printable ASCII, like 2.45";
    }
    options.key.revision = *texts.revision;
    options.given.revision = true;
  }
  if (texts.flashType) {
    if (!ParseOptionNumber(*texts.flashType, 0xFFFF, &number)) return "--flash-type takes a number from 0 to 65535";
    options.key.flashType = static_cast<std::uint16_t>(number);
    options.given.flashType = true;
  }
  if (texts.banks) {
    // Without banks there is no capacity per bank, and no sector count for any layout.
    if (!ParseOptionNumber(*texts.banks, 0xFFFF, &number) || number == 0) return "--banks takes a number from 1 to 65535";
    options.key.bankCount = static_cast<std::uint16_t>(number);
    options.given.banks = true;
  }
  return {};
}

void AddSystemFilesOption(CLI::App& app, EmulatedKeyOptions& options) {
  app.add_option("--system-files", options.systemFilesDir);
}

std::string LoadSystemFilesFolder(EmulatedKeyOptions& options, std::vector<RunFile> alsoWritten) {
  if (options.systemFilesDir.empty()) return {};
  alsoWritten.push_back({options.key.imagePath, "the key's image"});
  alsoWritten.push_back({emulated::KeyStatePath(options.key.imagePath), "the key's state"});
  alsoWritten.push_back({options.traceFile, "the trace"});
  SystemFilesFolder files;
  const std::string refused = ReadSystemFilesFolder(options.systemFilesDir, files, alsoWritten);
  if (!refused.empty()) return refused;
  options.systemFiles = std::move(files);
  return {};
}
