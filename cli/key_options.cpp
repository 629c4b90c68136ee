#include "cli/key_options.h"

#include <charconv>
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

bool TakeKeyOption(const std::vector<std::string>& args, std::size_t& i, EmulatedKeyOptions& options,
                   std::string* error) {
  const std::string& option = args[i];
  const bool takesValue = option == "--image" || option == "--model" || option == "--capacity" ||
                          option == "--revision" || option == "--flash-type" || option == "--banks" ||
                          option == "--trace";
  if (takesValue) {
    if (i + 1 >= args.size()) {
      *error = option + " needs a value";
      return true;
    }
    const std::string& value = args[++i];
    std::uint32_t number = 0;
    if (option == "--image") {
      options.key.imagePath = value;
    } else if (option == "--model") {
      if (value != kModelNameP9 && value != kModelNameP3 && value != kModelNameVarnok) {
        *error = "unknown model \"" + value + "\" (one of \"KV 2 Zarno P9\", \"KV 2 Zarno P3\", \"Varnok Key\")";
      }
      options.key.model = value;
    } else if (option == "--capacity") {
      if (!ParseNumber(value, 0xFFFF, &number) || number == 0) *error = "--capacity takes megabytes from 1 to 65535";
      options.key.capacityMb = number;
    } else if (option == "--revision") {
      if (value.size() != 4) *error = "--revision takes four characters, like 2.45";
      options.key.revision = value;
    } else if (option == "--flash-type") {
      if (!ParseNumber(value, 0xFFFF, &number)) *error = "--flash-type takes a number from 0 to 65535";
      options.key.flashType = static_cast<std::uint16_t>(number);
    } else if (option == "--banks") {
      if (!ParseNumber(value, 0xFFFF, &number)) *error = "--banks takes a number from 0 to 65535";
      options.key.bankCount = static_cast<std::uint16_t>(number);
    } else {
      options.traceFile = value;
    }
    return true;
  }
  if (option == "--ordinary-user") {
    options.ordinaryUser = true;
  } else if (option == "--write-protected") {
    options.key.writeProtected = true;
  } else if (option == "--real-pauses") {
    options.realPauses = true;
  } else {
    return false;
  }
  return true;
}

void SetUpEmulatedHost(emulated::EmulatedHost& host, const EmulatedKeyOptions& options) {
  host.AttachKey('E', options.key, 0);
  host.administrator = !options.ordinaryUser;
  host.SetRealTime(options.realPauses);
  // Files written on the key carry today's date, as on a real computer.
  host.SetTime(static_cast<std::uint32_t>(std::time(nullptr)));
  const auto files = SystemFileImages();
  for (std::size_t i = 0; i < files.size(); ++i) {
    host.resources[kFirstSystemFileResource + static_cast<int>(i)].assign(files[i].bytes.begin(), files[i].bytes.end());
  }
  host.Install();
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
