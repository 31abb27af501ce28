#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/fleet.h"

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

}  // namespace
