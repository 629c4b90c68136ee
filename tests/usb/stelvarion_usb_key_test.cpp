// stelvarion-usb-key as built: its refusals, and sessions on its socket from the other end of
// the usbredir connection, after which it ends by itself.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "tests/support/shell_command.h"
#include "tests/usb/usbredir_peer.h"

namespace {

namespace fs = std::filesystem;
using test_support::Quote;
using test_support::RunCommand;

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class UsbKeyProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_support::ToolAvailable(STELVARION_USB_KEY_EXE)) << STELVARION_USB_KEY_EXE;
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    m_scratch = fs::temp_directory_path() / ("stelvarion-usb-key-" + std::string(test->name()) + "-" +
                                             std::to_string(getpid()));
    fs::create_directories(m_scratch);
    m_messages = m_scratch / "messages.txt";
  }
  void TearDown() override {
    if (m_child > 0) kill(m_child, SIGKILL), waitpid(m_child, nullptr, 0);
    if (!HasFailure()) fs::remove_all(m_scratch);
  }
  std::string In(const std::string& name) const { return Quote((m_scratch / name).string()); }
  // A run that is to be refused; one that waited for a peer instead ends after 20 s.
  test_support::CommandResult Run(const std::string& arguments) {
    return RunCommand("cd " + Quote(m_scratch.string()) + " && timeout -k 5 20 " + Quote(STELVARION_USB_KEY_EXE) + " " +
                      arguments + " </dev/null");
  }
  // Starts the program in the scratch folder and waits until it announces the key it serves,
  // which it does once it listens. Its messages go to `m_messages`.
  void Start(const std::string& arguments) {
    fs::remove(m_messages);
    m_child = fork();
    ASSERT_GE(m_child, 0);
    if (m_child == 0) {
      const std::string command = "cd " + Quote(m_scratch.string()) + " && exec " + Quote(STELVARION_USB_KEY_EXE) +
                                  " " + arguments + " 2>" + Quote(m_messages.string());
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && Slurp(m_messages).find(" on ") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_NE(Slurp(m_messages).find(" on "), std::string::npos) << Slurp(m_messages);
  }
  // The exit status of the started program once it has ended by itself.
  int Ended() {
    int status = -1;
    for (int i = 0; i < 200; ++i) {
      if (waitpid(m_child, &status, WNOHANG) == m_child) {
        m_child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ADD_FAILURE() << "stelvarion-usb-key did not end when its peer left";
    return -1;
  }
  // One session as a host's: enumeration, then INQUIRY, then the connection closes. The
  // device's product identifier and the INQUIRY product text ("0c10 Varnok Key").
  std::string Inquire(const std::string& name) {
    const int fd = Connect(name);
    if (fd < 0) return "no connection";
    usb_test::UsbredirPeer peer(fd);
    if (!peer.Connected() || peer.SetConfiguration(1).status != usb_test::Status::kSuccess) return "not enumerated";
    std::vector<std::uint8_t> cbw(31, 0);
    const std::uint8_t head[] = {0x55, 0x53, 0x42, 0x43, 1, 0, 0, 0, 36, 0, 0, 0, 0x80, 0, 6, 0x12, 0, 0, 0, 36};
    std::copy(std::begin(head), std::end(head), cbw.begin());
    EXPECT_EQ(peer.BulkOut(cbw).status, usb_test::Status::kSuccess);
    const usb_test::Answer inquiry = peer.BulkIn(36);
    EXPECT_EQ(peer.BulkIn(13).data.size(), 13u);  // the status
    if (inquiry.data.size() != 36) return "no INQUIRY data";
    char product[8];
    std::snprintf(product, sizeof product, "%04x ", peer.ProductId());
    std::string text(inquiry.data.begin() + 16, inquiry.data.end() - 4);
    return product + text.substr(0, text.find_last_not_of(' ') + 1);
  }
  int Connect(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (m_scratch / name).c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
  }
  fs::path m_scratch;
  fs::path m_messages;
  pid_t m_child = -1;
};

// Every refusal comes before the key is made: no new image or state is left behind.
TEST_F(UsbKeyProgramTest, RefusesWhatCannotBeServed) {
  std::ofstream(m_scratch / "taken") << "keep";
  ASSERT_EQ(mkfifo((m_scratch / "fifo").c_str(), 0600), 0);
  const std::string image = "--image key.img ";
  const std::string missingFolder = (m_scratch / "no/such").string();
  struct Case {
    std::string arguments;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {"", 2, "--image IMAGE is needed"},
      {image, 2, "--socket PATH is needed"},
      {image + "--socket s --model Other", 2, "unknown model \"Other\""},
      {image + "--socket s --ordinary-user", 2, "--ordinary-user does not apply"},
      {image + "--socket s --bogus", 2, "unknown option --bogus"},
      {"--image " + Quote(missingFolder + "/key.img") + " --socket s", 1,
       "cannot open the key image " + missingFolder + "/key.img: No such file or directory"},
      // A file in the socket's place is not the program's to remove.
      {image + "--socket taken", 1, "taken exists and is not a socket"},
      {image + "--socket " + In(""), 1, m_scratch.string() + "/ exists and is not a socket"},
      {image + "--socket " + Quote(missingFolder + "/s"), 1,
       "cannot listen on " + missingFolder + "/s: No such file or directory"},
      {image + "--socket " + std::string(108, 's'), 1, "socket path too long"},
      {image + "--socket s --trace fifo", 2, "--trace fifo is a FIFO: the trace is written into a plain file"},
      {image + "--socket s --trace " + Quote(missingFolder + "/t.txt"), 2,
       "--trace " + missingFolder + "/t.txt cannot be written: No such file or directory"},
  };
  for (const Case& c : cases) {
    const auto run = Run(c.arguments);
    EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << "\n" << run.output;
    EXPECT_NE(run.output.find("stelvarion-usb-key: " + c.message), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(m_scratch / "key.img")) << c.arguments;
    EXPECT_FALSE(fs::exists(m_scratch / "key.img.state")) << c.arguments;
    EXPECT_FALSE(fs::exists(m_scratch / "s")) << c.arguments;
  }
  EXPECT_EQ(Slurp(m_scratch / "taken"), "keep");
  const auto help = Run("--help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("Usage: stelvarion-usb-key --image IMAGE --socket PATH"), std::string::npos);
}

TEST_F(UsbKeyProgramTest, ServesOneConnectionAndEndsWhenThePeerLeaves) {
  ASSERT_NO_FATAL_FAILURE(Start("--image key.img --socket key.socket --model 'Varnok Key' --trace trace.txt"));
  EXPECT_EQ(Inquire("key.socket"), "0c10 Varnok Key");
  EXPECT_EQ(Ended(), 0);
  EXPECT_FALSE(fs::exists(m_scratch / "key.socket"));
  const std::string trace = Slurp(m_scratch / "trace.txt");
  EXPECT_EQ(trace.rfind("Inquiry in 36 status 0", 0), 0u) << trace;
}

// A socket that a program listens on is another key's: refused, and that key still answers on
// it. One that nobody listens on any more is replaced.
TEST_F(UsbKeyProgramTest, ASocketInUseIsRefusedAndAStaleOneReplaced) {
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (m_scratch / "s").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);
  ASSERT_NO_FATAL_FAILURE(Start("--image a.img --socket s --model 'Varnok Key'"));
  const auto second = Run("--image b.img --socket s");
  EXPECT_EQ(second.exitCode, 1) << second.output;
  EXPECT_NE(second.output.find("stelvarion-usb-key: s is in use: a program listens on it"), std::string::npos)
      << second.output;
  EXPECT_FALSE(fs::exists(m_scratch / "b.img"));
  EXPECT_EQ(Inquire("s"), "0c10 Varnok Key") << "the first key";
  EXPECT_EQ(Ended(), 0);
  EXPECT_FALSE(fs::exists(m_scratch / "s"));
  // Ending, the program removes its own socket only, not one that has taken its place.
  ASSERT_NO_FATAL_FAILURE(Start("--image a.img --socket s"));
  fs::remove(m_scratch / "s");
  const int other = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  kill(m_child, SIGTERM);
  EXPECT_EQ(Ended(), 0);
  EXPECT_TRUE(fs::exists(m_scratch / "s"));
  close(other);
}

// A key made on an earlier run is announced as the stored key it is; its image and state never
// take the trace; a peer that leaves at once has left (exit 0); a trace that cannot be written
// fails the run.
TEST_F(UsbKeyProgramTest, AStoredKeyIsServedAsItIsAndKeepsItsFiles) {
  ASSERT_NO_FATAL_FAILURE(Start("--image key.img --socket s --model 'Varnok Key'"));
  close(Connect("s"));
  EXPECT_EQ(Ended(), 0) << Slurp(m_messages);
  const std::uintmax_t imageSize = fs::file_size(m_scratch / "key.img");
  const std::string state = Slurp(m_scratch / "key.img.state");
  ASSERT_FALSE(state.empty());
  for (const std::string file : {"key.img", "key.img.state"}) {
    const auto run = Run("--image key.img --socket s --trace " + file);
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("--trace " + file + " is the key's"), std::string::npos) << run.output;
    EXPECT_EQ(fs::file_size(m_scratch / "key.img"), imageSize);
    EXPECT_EQ(Slurp(m_scratch / "key.img.state"), state);
  }
  ASSERT_NO_FATAL_FAILURE(Start("--image key.img --socket s --trace /dev/full"));
  EXPECT_EQ(Slurp(m_messages).rfind("stelvarion-usb-key: \"Varnok Key\" 1b0a:0c10, ", 0), 0u) << Slurp(m_messages);
  EXPECT_EQ(Inquire("s"), "0c10 Varnok Key");
  EXPECT_EQ(Ended(), 1);
  EXPECT_NE(Slurp(m_messages).find("stelvarion-usb-key: cannot write the trace to /dev/full: No space left on device\n"),
            std::string::npos)
      << Slurp(m_messages);
}

}  // namespace
