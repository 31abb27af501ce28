// The fleet's files on POSIX, on real files: lists refused for their mode,
// type or size, lists read from a file and from standard input, and what may
// be opened as the report, and the retry list replaced as one step.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/fleet_list.h"
#include "app/fleet_report.h"
#include "app/fleet_retry.h"

namespace {

class FleetFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/fleet_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override {
    std::system(("rm -rf " + folder_).c_str());
  }
  std::string Write(const std::string& name, const std::string& text,
                    mode_t mode) {
    const std::string path = folder_ + "/" + name;
    FILE* file = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), file);
    std::fclose(file);
    chmod(path.c_str(), mode);
    return path;
  }
  // The file's text, up to 64 bytes.
  static std::string ReadBack(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    char text[64] = {};
    const size_t got = file != nullptr ? std::fread(text, 1, sizeof text, file) : 0;
    if (file != nullptr) std::fclose(file);
    return std::string(text, got);
  }
  // How many entries the test's folder holds, . and .. among them.
  int Entries() const {
    int entries = 0;
    DIR* folder = opendir(folder_.c_str());
    while (folder != nullptr && readdir(folder) != nullptr) ++entries;
    if (folder != nullptr) closedir(folder);
    return entries;
  }
  std::string folder_;
};

constexpr char kGood[] =
    "/user:a /pw:p /port:22 /ip:10.0.0.1\n/user:a /pw:p /port:22 /ip:10.0.0.2\n";

TEST_F(FleetFileTest, UnusableListsAreRefusedWithTheirReason) {
  struct Case {
    std::string name;
    std::string text;
    mode_t mode;
    std::string reason;
  };
  const Case cases[] = {
      {"bad", std::string(kGood) + "/user:a /pw:p /port:70000 /ip:h\n", 0600, "bad:3: port"},
      {"dup", std::string(kGood) + "/user:b /pw:q /port:22 /ip:10.0.0.2\n", 0600,
       "dup:3: 10.0.0.2 port 22 is already on line 2"},
      {"open", kGood, 0644, "open: holds passwords but is open to group or others (mode 0644)"},
      {"group", kGood, 0640, "group: holds passwords but is open to group or others (mode 0640)"},
      {"empty", "# none yet\n", 0600, "empty: the list holds no router"},
  };
  for (const Case& c : cases) {
    const std::string path = Write(c.name, c.text, c.mode);
    std::vector<FleetRouter> routers;
    std::string error;
    EXPECT_FALSE(LoadFleetList(path, &routers, &error)) << c.name;
    const std::string expected = folder_ + "/" + c.reason;
    EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
    EXPECT_TRUE(routers.empty());
  }
  std::vector<FleetRouter> routers;
  std::string error;
  EXPECT_FALSE(LoadFleetList(folder_ + "/missing", &routers, &error));
  EXPECT_EQ(error, folder_ + "/missing: No such file or directory");
  const std::string fifo = folder_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(LoadFleetList(fifo, &routers, &error));
  EXPECT_EQ(error, fifo + ": not a regular file");
}

TEST_F(FleetFileTest, PrivateFileAndOpenFileWithoutPasswordsAreRead) {
  std::vector<FleetRouter> routers;
  std::string error;
  ASSERT_TRUE(LoadFleetList(Write("private", kGood, 0600), &routers, &error)) << error;
  EXPECT_EQ(routers.size(), 2u);
  ASSERT_TRUE(LoadFleetList(
      Write("keys", "/user:a /pw: /port:22 /ip:10.0.0.1\n", 0644), &routers, &error))
      << error;
  EXPECT_EQ(routers.size(), 1u);
}

TEST_F(FleetFileTest, ListFromStandardInput) {
  const std::string path = Write("stdin", kGood, 0644);
  const int saved = dup(STDIN_FILENO);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  dup2(fd, STDIN_FILENO);
  close(fd);
  std::vector<FleetRouter> routers;
  std::string error;
  const bool read = LoadFleetList("-", &routers, &error);
  dup2(saved, STDIN_FILENO);
  close(saved);
  ASSERT_TRUE(read) << error;
  ASSERT_EQ(routers.size(), 2u);
  EXPECT_EQ(routers[1].address, "10.0.0.2");
}

// What the report may be: a new or regular file (emptied only then); a
// symbolic link, FIFO, device or folder is refused without blocking and left
// as it was.
TEST_F(FleetFileTest, ReportOpensOnlyARegularFile) {
  const std::string target = Write("target", "precious\n", 0644);
  const std::string link = folder_ + "/link.csv";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string dangling = folder_ + "/dangling.csv";
  ASSERT_EQ(symlink((folder_ + "/nowhere").c_str(), dangling.c_str()), 0);
  const std::string fifo = folder_ + "/fifo.csv";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A FIFO with a reader opens without blocking; it is refused all the same.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  struct Case {
    std::string path;
    std::string error;  // empty: opened
  };
  const Case cases[] = {
      {link, link + ": is a symbolic link, which is not followed; name the file itself"},
      {dangling, dangling + ": is a symbolic link, which is not followed; name the file itself"},
      {fifo, fifo + ": not a regular file"},
      {"/dev/null", "/dev/null: not a regular file"},
      {folder_, folder_ + ": not a regular file"},
      {folder_ + "/none/r.csv", folder_ + "/none/r.csv: No such file or directory"},
      {Write("old.csv", "old rows\n", 0644), ""},
      {folder_ + "/new.csv", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ReportFile file;
    std::string error;
    const bool opened = OpenFleetReport(c.path, &file, &error);
    EXPECT_EQ(opened, c.error.empty());
    EXPECT_EQ(error, c.error);
    if (!opened) continue;
    ASSERT_TRUE(WriteFleetReport(&file, "line\r\n", &error)) << error;
    ASSERT_TRUE(CloseFleetReport(&file, &error)) << error;
    EXPECT_EQ(ReadBack(c.path), "line\r\n");
  }
  close(reader);
  EXPECT_EQ(ReadBack(target), "precious\n");
  struct stat status = {};
  EXPECT_NE(lstat((folder_ + "/nowhere").c_str(), &status), 0);
}

// The retry list: checked before the run, then a new 0600 file renamed over
// the old one, whatever the umask; a symbolic link is replaced, its target
// left alone; a FIFO, device, folder or missing folder is refused.
TEST_F(FleetFileTest, RetryListReplacesItsFileAsOneStep) {
  const std::string target = Write("target.txt", "precious\n", 0644);
  const std::string link = folder_ + "/link.txt";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string dangling = folder_ + "/dangling.txt";
  ASSERT_EQ(symlink((folder_ + "/nowhere").c_str(), dangling.c_str()), 0);
  const std::string fifo = folder_ + "/fifo.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string missing = folder_ + "/none/r.txt";
  struct Case {
    std::string path;
    std::string error;  // empty: written
  };
  const Case cases[] = {
      {link, ""},
      {dangling, ""},
      {Write("old.txt", "old list\n", 0644), ""},
      {folder_ + "/new.txt", ""},
      {fifo, fifo + ": not a regular file"},
      {"/dev/null", "/dev/null: not a regular file"},
      {folder_, folder_ + ": not a regular file"},
      {missing, missing + ": its folder cannot take a new file (No such file or directory)"},
  };
  const mode_t mask = umask(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_EQ(CheckFleetRetry(c.path, &error), c.error.empty());
    EXPECT_EQ(error, c.error);
    if (!c.error.empty()) continue;
    ASSERT_TRUE(WriteFleetRetry(c.path, "# retry\n/pw:p /ip:10.0.0.1\n", &error)) << error;
    struct stat status = {};
    ASSERT_EQ(lstat(c.path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadBack(c.path), "# retry\n/pw:p /ip:10.0.0.1\n");
  }
  umask(mask);
  EXPECT_EQ(ReadBack(target), "precious\n");
  struct stat status = {};
  EXPECT_NE(lstat((folder_ + "/nowhere").c_str(), &status), 0);
  // Neither the checks nor the writes left a new file behind.
  EXPECT_EQ(Entries(), 2 + 6);
}

// A retry list that cannot be written whole (here a file-size limit cuts
// the write, as a full disk would) leaves the old file as it was and no new
// file beside it; so does a folder removed after the check.
TEST_F(FleetFileTest, RetryListNotWrittenLeavesTheOldOne) {
  const std::string old = Write("retry.txt", "old list\n", 0600);
  std::string error;
  ASSERT_TRUE(CheckFleetRetry(old, &error)) << error;
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small = {16, limit.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WriteFleetRetry(old, std::string(100, '#'), &error);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(written);
  EXPECT_EQ(error, old + ": File too large");
  EXPECT_EQ(ReadBack(old), "old list\n");
  EXPECT_EQ(Entries(), 3);

  const std::string gone = folder_ + "/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
  ASSERT_TRUE(CheckFleetRetry(gone + "/retry.txt", &error)) << error;
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  EXPECT_FALSE(WriteFleetRetry(gone + "/retry.txt", "x\n", &error));
  EXPECT_EQ(error, gone + "/retry.txt: its folder cannot take a new file (No such file or directory)");
}

}  // namespace
