// The helper driver and volume adapters where no such device exists, windows and posted
// messages, and the program's own resources (the test program carries the system files as
// RCDATA 150 to 152, as the product does).
#include <string>

#include "boot/boot_images.h"
#include "devlib/helper_driver.h"
#include "tests/win32/win32_fixture.h"

namespace {

using Win32DevicesTest = Win32HostTest;
using Win32ShellTest = Win32HostTest;
using Win32ResourcesTest = Win32HostTest;

TEST_F(Win32DevicesTest, AnAbsentHelperDriverIsReportedAsNotPresent) {
  std::uint32_t lastError = 0;
  const host::Handle driver = windowsHost.helperDriver.OpenDriver(
      helper_request::kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, &lastError);
  EXPECT_EQ(driver, host::kInvalidHandle);
  EXPECT_EQ(lastError, static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

  // The library's own opening, through the installed host.
  host::Handle opened = 1;
  EXPECT_EQ(OpenHelperDriver(&opened), kHelperNotPresent);
  EXPECT_EQ(opened, 0u);
}

TEST_F(Win32DevicesTest, AVolumeWithoutADriveDoesNotOpen) {
  const std::string root = UnusedDriveRoot();
  ASSERT_FALSE(root.empty());
  const std::string path = "\\\\.\\" + root.substr(0, 2);
  EXPECT_EQ(windowsHost.volumes.OpenVolume(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                           FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL),
            host::kInvalidHandle);
}

// A hidden top-level window of the test's own.
class Window {
 public:
  explicit Window(const char* title)
      : m_window(::CreateWindowExA(0, "STATIC", title, WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                   nullptr, nullptr, nullptr)) {}
  ~Window() {
    if (m_window != nullptr) ::DestroyWindow(m_window);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  HWND Get() const { return m_window; }

 private:
  HWND m_window;
};

TEST_F(Win32ShellTest, FindsATopLevelWindowByItsWholeTitleInAnyCase) {
  const Window window("Stelvarion Adapter Test Window");
  ASSERT_NE(window.Get(), nullptr) << "no window: the wine prefix needs its null display driver";
  host::ShellPort& shell = windowsHost.shell;
  EXPECT_EQ(shell.FindWindowByTitle("stelvarion adapter TEST WINDOW"), win32host::FromWindow(window.Get()));
  EXPECT_EQ(shell.FindWindowByTitle("Stelvarion Adapter Test"), 0u);
}

TEST_F(Win32ShellTest, APostedMessageArrivesWithBothParameters) {
  const Window window("Stelvarion Adapter Message Window");
  ASSERT_NE(window.Get(), nullptr);
  const host::WindowHandle handle = win32host::FromWindow(window.Get());
  ASSERT_TRUE(windowsHost.shell.PostMessage(handle, WM_APP + 3, 0x1234, -2));

  MSG message;
  ASSERT_TRUE(::PeekMessageA(&message, window.Get(), WM_APP, WM_APP + 3, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_APP + 3));
  EXPECT_EQ(message.wParam, 0x1234u);
  EXPECT_EQ(message.lParam, -2);
  EXPECT_FALSE(windowsHost.shell.PostMessage(0xDEAD0, WM_APP, 0, 0));  // no such window
}

TEST_F(Win32ResourcesTest, TheSystemFilesComeFromTheProgramsOwnResources) {
  const auto images = SystemFileImages();
  for (std::size_t i = 0; i < images.size(); ++i) {
    SCOPED_TRACE(std::string(images[i].name));
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    ASSERT_TRUE(windowsHost.resources.LoadRcData(150 + static_cast<int>(i), &data, &size));
    ASSERT_EQ(size, images[i].bytes.size());
    EXPECT_TRUE(std::equal(data, data + size, images[i].bytes.begin()));
  }
  const std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  EXPECT_FALSE(windowsHost.resources.LoadRcData(153, &data, &size));
}

TEST_F(Win32ResourcesTest, TheApplicationIsNamedAfterItsExecutable) {
  EXPECT_EQ(windowsHost.resources.ApplicationName(), STELVARION_TEST_PROGRAM_NAME);
  EXPECT_EQ(win32host::ModuleBaseName("C:\\Program Files\\Stelvarion\\Boot.Utility.exe"), "Boot.Utility");
  EXPECT_EQ(win32host::ModuleBaseName("E:Stelvarion"), "Stelvarion");
}

}  // namespace
