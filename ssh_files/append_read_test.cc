// known_hosts read while other threads append to it, as a fleet's sessions
// do when many routers are met for the first time at once: every read
// holds whole lines only, never half of one being appended.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ssh_files/small_file.h"
#include "ssh_files/ssh_files.h"

namespace {

std::string NextEntry(const std::string& text, void* context) {
  const int number = (*static_cast<std::atomic<int>*>(context))++;
  (void)text;
  // About as long as an ed25519 entry, so that entries keep crossing the
  // file's page boundaries.
  return "[127.0.0.1]:" + std::to_string(10000 + number) + " ssh-ed25519 " +
         std::string(68, 'A' + number % 26) + "\n";
}

TEST(AppendReadTest, ReadsNeverHoldHalfAnAppendedLine) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("swk-append-read-" + std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())));
  std::filesystem::remove(path);
  std::atomic<int> number{0};
  std::atomic<bool> appending{true};
  std::atomic<int> cut{0};
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      std::string text;
      while (appending) {
        if (ReadSmallFileShared(path.string(), kSshFileMaxBytes, &text) ==
                SmallFileStatus::kRead &&
            !text.empty() && text.back() != '\n') {
          ++cut;
        }
        ++reads;
      }
    });
  }
  std::vector<std::thread> appenders;
  for (int a = 0; a < 4; ++a) {
    appenders.emplace_back([&] {
      std::string error;
      for (int i = 0; i < 300; ++i) {
        EXPECT_TRUE(AppendUnderLock(path.string(), NextEntry, &number, &error)) << error;
      }
    });
  }
  for (std::thread& appender : appenders) appender.join();
  appending = false;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(cut, 0) << "of " << reads << " reads";
  std::string text;
  ASSERT_EQ(ReadSmallFileShared(path.string(), kSshFileMaxBytes, &text), SmallFileStatus::kRead);
  EXPECT_EQ(text.size(), 1200u * NextEntry("", &number).size());
  std::filesystem::remove(path);
}

}  // namespace
