// stelvarion-usb-key as built: its refusals, and one session on its socket from the other end
// of the usbredir connection, after which it ends by itself.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/shell_command.h"
#include "tests/usb/usbredir_peer.h"

namespace {

namespace fs = std::filesystem;
using test_support::Quote;
using test_support::RunCommand;

class UsbKeyProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_support::ToolAvailable(STELVARION_USB_KEY_EXE)) << STELVARION_USB_KEY_EXE;
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    m_scratch = fs::temp_directory_path() / ("stelvarion-usb-key-" + std::string(test->name()) + "-" +
                                             std::to_string(getpid()));
    fs::create_directories(m_scratch);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(m_scratch);
  }
  test_support::CommandResult Run(const std::string& arguments) {
    return RunCommand(Quote(STELVARION_USB_KEY_EXE) + " " + arguments + " </dev/null");
  }
  fs::path m_scratch;
};

TEST_F(UsbKeyProgramTest, RefusesWhatCannotBeServed) {
  const std::string image = Quote((m_scratch / "key.img").string());
  const std::string socket = Quote((m_scratch / "key.socket").string());
  struct Case {
    std::string arguments;
    int exitCode;
    const char* message;
  };
  const std::string missingFolder = (m_scratch / "no/such/folder/key.img").string();
  const std::string cannotOpen = "cannot open the key image " + missingFolder + ": No such file or directory";
  const Case cases[] = {
      {"", 2, "--image IMAGE is needed"},
      {"--image " + image, 2, "--socket PATH is needed"},
      {"--image " + image + " --socket " + socket + " --model Other", 2, "unknown model \"Other\""},
      {"--image " + image + " --socket " + socket + " --ordinary-user", 2, "--ordinary-user does not apply"},
      {"--image " + image + " --socket " + socket + " --bogus", 2, "unknown option --bogus"},
      {"--image " + Quote(missingFolder) + " --socket " + socket, 1, cannotOpen.c_str()},
  };
  for (const Case& c : cases) {
    const auto run = Run(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << "\n" << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  }
  // A file in the socket's place is not the program's to remove.
  std::ofstream(m_scratch / "taken") << "keep";
  const auto taken = Run("--image " + image + " --socket " + Quote((m_scratch / "taken").string()));
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_NE(taken.output.find("exists and is not a socket"), std::string::npos) << taken.output;
  EXPECT_EQ(fs::file_size(m_scratch / "taken"), 4u);
  const auto help = Run("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("usage: stelvarion-usb-key --image IMAGE --socket PATH"), std::string::npos);
}

TEST_F(UsbKeyProgramTest, ServesOneConnectionAndEndsWhenThePeerLeaves) {
  const fs::path socketPath = m_scratch / "key.socket";
  const fs::path trace = m_scratch / "trace.txt";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(STELVARION_USB_KEY_EXE, STELVARION_USB_KEY_EXE, "--image", (m_scratch / "key.img").c_str(), "--socket",
          socketPath.c_str(), "--model", "Varnok Key", "--trace", trace.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  bool connected = false;
  for (int i = 0; i < 100 && !connected; ++i) {
    connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(connected) << "stelvarion-usb-key did not listen on " << socketPath;
  {
    usb_test::UsbredirPeer peer(fd);
    ASSERT_TRUE(peer.Connected());
    EXPECT_EQ(peer.VendorId(), 0x1B0A);
    EXPECT_EQ(peer.ProductId(), 0x0C10);
    ASSERT_EQ(peer.SetConfiguration(1).status, usb_test::Status::kSuccess);
    std::vector<std::uint8_t> cbw(31, 0);
    const std::uint8_t head[] = {0x55, 0x53, 0x42, 0x43, 1, 0, 0, 0, 36, 0, 0, 0, 0x80, 0, 6, 0x12, 0, 0, 0, 36};
    std::copy(std::begin(head), std::end(head), cbw.begin());
    EXPECT_EQ(peer.BulkOut(cbw).status, usb_test::Status::kSuccess);
    const usb_test::Answer inquiry = peer.BulkIn(36);
    ASSERT_EQ(inquiry.data.size(), 36u);
    EXPECT_EQ(std::string(inquiry.data.begin() + 16, inquiry.data.begin() + 26), "Varnok Key");
    EXPECT_EQ(peer.BulkIn(13).data.size(), 13u);
  }  // the peer closes the connection
  int status = -1;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!WIFEXITED(status)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "stelvarion-usb-key did not end when its peer left";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(socketPath));
  std::ifstream in(trace);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first.rfind("Inquiry in 36 status 0", 0), 0u) << first;
}

}  // namespace
