// The file-system adapter on a folder of its own under the temporary directory, and on the
// drives wine presents.
#include <direct.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win32/win32_fixture.h"

namespace {

class Win32FileSystemTest : public Win32HostTest {
 protected:
  void SetUp() override {
    Win32HostTest::SetUp();
    char temp[MAX_PATH] = {};
    ASSERT_NE(::GetTempPathA(MAX_PATH, temp), 0u);
    m_folder = std::string(temp) + "stelvarion-files-" + std::to_string(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryA(m_folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    for (const std::string& file : m_files) {
      ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(file.c_str());
    }
    ::RemoveDirectoryA(m_folder.c_str());
    Win32HostTest::TearDown();
  }

  std::string PathOf(const std::string& name) {
    m_files.push_back(m_folder + "\\" + name);
    return m_files.back();
  }

  // Create always, write, close: the system-file copy's sequence.
  void WriteWhole(const std::string& path, const std::string& content) {
    host::FileSystemPort& files = windowsHost.files;
    const host::Handle file = files.CreateFile(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(file, host::kInvalidHandle) << path;
    std::uint32_t written = 0;
    EXPECT_TRUE(files.WriteFile(file, content.data(), static_cast<std::uint32_t>(content.size()), &written));
    EXPECT_EQ(written, content.size());
    EXPECT_TRUE(files.CloseFile(file));
  }

  static std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  std::string m_folder;

 private:
  std::vector<std::string> m_files;
};

TEST_F(Win32FileSystemTest, ASecondCopyReplacesAFileLeftHiddenAndReadOnly) {
  host::FileSystemPort& files = windowsHost.files;
  const std::string path = PathOf("COMMAND.COM");
  ASSERT_NO_FATAL_FAILURE(WriteWhole(path, "the first, longer image"));

  EXPECT_TRUE(files.SetFileAttributes(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(::GetFileAttributesA(path.c_str()) & 0x07u, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));

  // As the copy does it: found, attributes back to normal, then created anew.
  EXPECT_TRUE(files.FindFirstFile(path.c_str()));
  EXPECT_TRUE(files.SetFileAttributes(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_NO_FATAL_FAILURE(WriteWhole(path, "second"));
  EXPECT_EQ(ReadWhole(path), "second");
  EXPECT_EQ(::GetFileAttributesA(path.c_str()) & 0x07u, 0u);
}

TEST_F(Win32FileSystemTest, FindFirstFileFindsFilesAndFoldersOnly) {
  host::FileSystemPort& files = windowsHost.files;
  const std::string path = PathOf("IBMBIO.COM");
  EXPECT_FALSE(files.FindFirstFile(path.c_str()));
  ASSERT_NO_FATAL_FAILURE(WriteWhole(path, "x"));
  EXPECT_TRUE(files.FindFirstFile(path.c_str()));
  EXPECT_TRUE(files.FindFirstFile(m_folder.c_str()));
  EXPECT_FALSE(files.SetFileAttributes(PathOf("MISSING.COM").c_str(), FILE_ATTRIBUTE_NORMAL));
}

TEST_F(Win32FileSystemTest, TheCurrentDirectoryIsTheRuntimesAndAShortBufferAsksForMore) {
  char runtime[MAX_PATH] = {};
  ASSERT_NE(::_getcwd(runtime, sizeof runtime), nullptr);
  char buffer[MAX_PATH] = {};
  const std::uint32_t length = windowsHost.files.GetCurrentDirectory(sizeof buffer, buffer);
  EXPECT_STREQ(buffer, runtime);
  EXPECT_EQ(length, std::strlen(runtime));

  char tiny[2] = {};
  EXPECT_EQ(windowsHost.files.GetCurrentDirectory(sizeof tiny, tiny), length + 1);  // room with the zero
}

TEST_F(Win32FileSystemTest, BothFreeSpaceQueriesDescribeTheSameDrive) {
  host::FileSystemPort& files = windowsHost.files;
  const std::string root = m_folder.substr(0, 3);
  std::uint64_t toCaller = 0, total = 0, totalFree = 0;
  ASSERT_TRUE(files.GetDiskFreeSpaceEx(root.c_str(), &toCaller, &total, &totalFree));
  std::uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  ASSERT_TRUE(files.GetDiskFreeSpace(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters));

  const std::uint64_t cluster = std::uint64_t{sectorsPerCluster} * bytesPerSector;
  ASSERT_GT(cluster, 0u);
  EXPECT_GT(total, 0u);
  EXPECT_LE(totalFree, total);
  EXPECT_LE(toCaller, totalFree);
  // The cluster counts are 32-bit and may be clipped on a large drive, never overstated. Free
  // space is compared only within one answer: other programs write between the two queries.
  EXPECT_LE(clusters * cluster, total);
  EXPECT_LE(freeClusters, clusters);

  // Output pointers the caller leaves out stay out.
  EXPECT_TRUE(files.GetDiskFreeSpaceEx(root.c_str(), nullptr, &total, nullptr));

  const std::string unused = UnusedDriveRoot();
  ASSERT_FALSE(unused.empty());
  EXPECT_FALSE(files.GetDiskFreeSpaceEx(unused.c_str(), &toCaller, &total, &totalFree));
  EXPECT_FALSE(files.GetDiskFreeSpace(unused.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters));
}

TEST_F(Win32FileSystemTest, DriveTypesAndVolumeLabels) {
  host::FileSystemPort& files = windowsHost.files;
  const std::string removable = RemovableDriveRoot();
  EXPECT_EQ(files.GetDriveType(removable.c_str()), static_cast<std::uint32_t>(DRIVE_REMOVABLE));
  EXPECT_EQ(files.GetDriveType("C:\\"), static_cast<std::uint32_t>(DRIVE_FIXED));
  const std::string unused = UnusedDriveRoot();
  ASSERT_FALSE(unused.empty());
  EXPECT_EQ(files.GetDriveType(unused.c_str()), static_cast<std::uint32_t>(DRIVE_NO_ROOT_DIR));

  // Wine keeps the label apart from the volume information it reports, so only the calls'
  // answers are checked.
  EXPECT_TRUE(files.SetVolumeLabel(removable.c_str(), "STELVARION"));
  EXPECT_TRUE(files.SetVolumeLabel(removable.c_str(), ""));  // removes it again
  EXPECT_FALSE(files.SetVolumeLabel(unused.c_str(), "STELVARION"));
}

}  // namespace
