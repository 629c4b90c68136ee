// The libFuzzer entry point of one target, named at build time.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_targets.h"

namespace {

const fuzz::FuzzTarget& Target() {
  static const fuzz::FuzzTarget* target = [] {
    const fuzz::FuzzTarget* found = fuzz::FindTarget(STELVARION_FUZZ_TARGET);
    if (found == nullptr) {
      std::fprintf(stderr, "no fuzz target named %s\n", STELVARION_FUZZ_TARGET);
      std::abort();
    }
    return found;
  }();
  return *target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Target().run(data, size);
  return 0;
}
