// A fresh emulated host installed for every test, and the library returned to its
// process-start state around it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devlib/library_state.h"
#include "devlib/scsi_flash_device.h"
#include "host/emulated/emulated_host.h"

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceLibraryForTests();
    host.SetTime(1000000000);
    host.SetDateText("12/07/26");
    host.Install();
  }
  void TearDown() override { ResetDeviceLibraryForTests(); }

  // A device object of the test's own, outside the library's single object.
  ScsiFlashDevice& Device() {
    if (!m_device) m_device = std::make_unique<ScsiFlashDevice>();
    return *m_device;
  }

  std::vector<emulated::TraceEvent> Commands() const { return host.trace.Commands(); }

  emulated::EmulatedHost host;

 private:
  std::unique_ptr<ScsiFlashDevice> m_device;
};

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}
