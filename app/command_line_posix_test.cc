// The command line on POSIX: rebuilt from the argument vector in UTF-8 and
// C locales, whatever argv[0] holds, and the password scrubbed so that the
// process list of a running child no longer shows it.
#include "app/command_line.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text_codec.h"
#include "testing/scoped_locale.h"

namespace {

// An argument vector with writable strings, as main receives it.
struct FakeArgv {
  explicit FakeArgv(const std::vector<std::string>& args) : storage(args) {
    for (std::string& arg : storage) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
  }
  ~FakeArgv() { SetCommandLine(0, nullptr); }  // forget these pointers
  int argc() const { return static_cast<int>(storage.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

std::string Utf8(std::u16string_view text) {
  ScopedLocale locale("C.UTF-8");
  return NarrowText(text);
}

TEST(CommandLine, LowerTextMapsUnitsOneToOne) {
  const struct {
    const char* locale;
    std::u16string_view text;
    std::u16string_view lower;
  } kCases[] = {
      {"C.UTF-8", u"/V:Y", u"/v:y"},
      {"C.UTF-8", u"\u00c9T\u00c9", u"\u00e9t\u00e9"},
      // Lower-cases to plain i: one unit, so the length stays.
      {"C.UTF-8", u"\u0130", u"i"},
      {"C.UTF-8", u"\u1e9e", u"\u00df"},
      // Halves of a pair and escaped bytes are left alone.
      {"C.UTF-8", u"\U00010400\xdcc9", u"\U00010400\xdcc9"},
      {"C", u"/V:Y\u00c9", u"/v:y\u00c9"},
      {"C", u"", u""},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.locale);
    SCOPED_TRACE(Utf8(row.text));
    ScopedLocale locale(row.locale);
    ASSERT_TRUE(locale.ok);
    std::u16string lower = LowerText(row.text);
    ScopedLocale utf8("C.UTF-8");
    EXPECT_EQ(Utf8(lower), Utf8(row.lower));
  }
}

// The five values as the program flow reads them.
std::vector<std::string> ReadValues() {
  static const char* const kPrefixes[] = {"/user:", "/pw:", "/port:", "/v:",
                                          "/ip:"};
  std::vector<std::string> values;
  for (int n = 1; n <= 5; ++n) {
    std::u16string param = CommandParam(n);
    values.push_back(ToNarrow(n == 4 ? LowerText(param) : param));
  }
  for (int n = 0; n < 5; ++n) {
    values[n] = StripPrefix(values[n], kPrefixes[n]);
  }
  return values;
}

struct ArgvCase {
  const char* name;
  std::vector<std::string> args;  // after the program's name
  std::vector<std::string> utf8;  // user, password, port, verbose, address
  std::vector<std::string> c;     // the same under "C", when different
};

const ArgvCase kArgvCases[] = {
    {"all five",
     {"/user:admin", "/pw:secret", "/port:22", "/v:y", "/ip:192.168.88.1"},
     {"admin", "secret", "22", "y", "192.168.88.1"}},
    {"verbose lower-cased, user not",
     {"/USER:admin", "/pw:x", "/port:22", "/V:Y", "/ip:1.2.3.4"},
     {"/USER:admin", "x", "22", "y", "1.2.3.4"}},
    {"prefix twice, prefix alone",
     {"/user:a", "/pw:b", "/port:", "/v:n", "/ip:/ip:10.0.0.1"},
     {"a", "b", "", "n", "10.0.0.1"}},
    {"removal joins a new prefix",
     {"/us/user:er:x", "/pw:b", "/port:22", "/v:y", "/ip:h"},
     {"/user:x", "b", "22", "y", "h"}},
    {"prefix inside the password",
     {"/user:a", "/pw:ab/pw:cd", "/port:22", "/v:y", "/ip:h"},
     {"a", "abcd", "22", "y", "h"}},
    // The shell has already removed the user's quotes; the rebuilt line
    // quotes the argument again so the space stays inside.
    {"password with a space",
     {"/user:a", "/pw:my secret", "/port:22", "/v:y", "/ip:h"},
     {"a", "my secret", "22", "y", "h"}},
    {"empty argument is no parameter",
     {"", "/user:a", "/pw:b"},
     {"a", "b", "", "", ""}},
    {"tab in front of the user", {"\t/user:admin"}, {"\tadmin", "", "", "", ""}},
    {"fewer than five", {"/user:a", "/pw:b"}, {"a", "b", "", "", ""}},
    {"more than five",
     {"/user:a", "/pw:b", "/port:1", "/v:y", "/ip:h", "/ip:other", "x"},
     {"a", "b", "1", "y", "h"}},
    {"out of order keeps the prefix",
     {"/pw:b", "/user:a", "/port:22", "/v:y", "/ip:h"},
     {"/pw:b", "/user:a", "22", "y", "h"}},
    {"non-ASCII round trip",
     {"/user:Jos\xc3\xa9", "/pw:p\xc3\xa4\xe2\x82\xac\xf0\x9f\x94\x91", "/port:22",
      "/v:y", "/ip:r\xc3\xb6uter"},
     {"Jos\xc3\xa9", "p\xc3\xa4\xe2\x82\xac\xf0\x9f\x94\x91", "22", "y",
      "r\xc3\xb6uter"}},
    {"invalid bytes round trip",
     {"/user:\xff", "/pw:\xc0\xaf\xed\xb2\x80\x80", "/port:22", "/v:y",
      "/ip:\xe2\x82"},
     {"\xff", "\xc0\xaf\xed\xb2\x80\x80", "22", "y", "\xe2\x82"}},
    // Only the UTF-8 locale knows the case of the non-ASCII letter.
    {"verbose non-ASCII",
     {"/user:a", "/pw:b", "/port:22", "/V:\xc3\x89", "/ip:h"},
     {"a", "b", "22", "\xc3\xa9", "h"},
     {"a", "b", "22", "\xc3\x89", "h"}},
};

TEST(CommandLine, ValuesFromTheArgumentVectorUnderUtf8AndC) {
  for (const ArgvCase& row : kArgvCases) {
    SCOPED_TRACE(row.name);
    for (const char* name : {"C.UTF-8", "C"}) {
      SCOPED_TRACE(name);
      ScopedLocale locale(name);
      ASSERT_TRUE(locale.ok);
      std::vector<std::string> args = {"/usr/bin/swKicker"};
      args.insert(args.end(), row.args.begin(), row.args.end());
      FakeArgv fake(args);
      SetCommandLine(fake.argc(), fake.argv());
      bool useC = std::string(name) == "C" && !row.c.empty();
      EXPECT_EQ(ReadValues(), useC ? row.c : row.utf8);
      EXPECT_FALSE(ToNarrow(LowerText(TrimSpaces(CommandParam(0)))).empty());
    }
  }
}

TEST(CommandLine, EmptinessOfTheRebuiltLine) {
  const struct {
    std::vector<std::string> args;
    bool empty;
  } kCases[] = {
      {{"swKicker"}, true},
      {{"/opt/my tools/swKicker"}, true},
      {{""}, true},
      {{"swKicker", "\t"}, false},
      {{"swKicker", "/V:Y"}, false},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.args.size() > 1 ? row.args[1] : row.args[0]);
    FakeArgv fake(row.args);
    SetCommandLine(fake.argc(), fake.argv());
    EXPECT_EQ(ToNarrow(LowerText(TrimSpaces(CommandParam(0)))).empty(),
              row.empty);
  }
}

// argv[0] is whatever the caller of exec chose: a quote or a control
// character in it must not pull the arguments into the name or the name
// into the arguments.
TEST(CommandLine, ProgramNameNeverSwallowsArguments) {
  const char* const kNames[] = {"\"swKicker", "sw\"Kicker", "sw\tKicker",
                                "\"sw Kicker\"", "sw\nKicker", "\""};
  for (const char* programName : kNames) {
    SCOPED_TRACE(programName);
    FakeArgv fake({programName, "/user:a", "/pw:b\"", "/port:22", "/v:y",
                   "/ip:h"});
    SetCommandLine(fake.argc(), fake.argv());
    EXPECT_EQ(Utf8(CommandTail()), "/user:a /pw:b\" /port:22 /v:y /ip:h");
  }
}

struct ScrubCase {
  const char* name;
  std::vector<std::string> args;      // after the program's name
  std::vector<std::string> scrubbed;  // the same after ScrubParamInArgv(2)
  std::string password;               // what the program still reads
};

const ScrubCase kScrubCases[] = {
    {"plain",
     {"/user:admin", "/pw:secret", "/port:22"},
     {"/user:admin", "/pw:******", "/port:22"},
     "secret"},
    {"no prefix", {"/user:a", "secret"}, {"/user:a", "******"}, "secret"},
    // Not the expected prefix, so it is part of the password.
    {"other case prefix", {"/user:a", "/PW:x"}, {"/user:a", "*****"}, "/PW:x"},
    {"prefix again inside",
     {"/user:a", "/pw:a/pw:b"},
     {"/user:a", "/pw:******"},
     "ab"},
    {"space inside", {"/user:a", "/pw:my secret"}, {"/user:a", "/pw:*********"},
     "my secret"},
    {"multi-byte characters", {"/user:a", "/pw:\xc3\xa9\xf0\x9f\x94\x91"},
     {"/user:a", "/pw:******"}, "\xc3\xa9\xf0\x9f\x94\x91"},
    {"invalid bytes", {"/user:a", "/pw:\xff\xc0"}, {"/user:a", "/pw:**"},
     "\xff\xc0"},
    // The empty argument is skipped, so parameter 2 is argv[3].
    {"empty argument before", {"/user:a", "", "/pw:x"},
     {"/user:a", "", "/pw:*"}, "x"},
    {"quoted across arguments",
     {"/user:a", "\"/pw:x", "y\"", "/port:22"},
     {"/user:a", "\"/pw:*", "*\"", "/port:22"},
     "x y"},
    {"value quoted only", {"/user:a", "/pw:\"x", "y\""},
     {"/user:a", "/pw:**", "y\""}, "\"x"},
    {"password missing", {"/user:a"}, {"/user:a"}, ""},
    // A quote followed by a space makes the last word of the first argument
    // parameter 2: that is starred, and the argument meant as the password
    // as well.
    {"quote and space before", {"/user:a\" b", "/pw:x", "/port:22"},
     {"/user:a\" *", "/pw:*", "/port:22"}, "b\""},
    // An unclosed quote takes the rest: no parameter 2, yet /pw: goes.
    {"unclosed quote before", {"\"/user:a", "/pw:x", "/port:22"},
     {"\"/user:a", "/pw:*", "/port:22"}, ""},
    // A TAB is no separator: what the program reads as the password is the
    // next argument, and that is what goes.
    {"password glued to the user by a tab", {"/user:a\t/pw:x", "/port:22"},
     {"/user:a\t/pw:x", "********"}, "/port:22"},
};

TEST(CommandLine, ScrubParamInArgvOverwritesOnlyThePassword) {
  for (const ScrubCase& row : kScrubCases) {
    SCOPED_TRACE(row.name);
    for (const char* name : {"C.UTF-8", "C"}) {
      SCOPED_TRACE(name);
      ScopedLocale locale(name);
      ASSERT_TRUE(locale.ok);
      std::vector<std::string> args = {"swKicker"};
      args.insert(args.end(), row.args.begin(), row.args.end());
      FakeArgv fake(args);
      SetCommandLine(fake.argc(), fake.argv());
      ScrubParamInArgv(2, "/pw:");
      std::vector<std::string> after;
      for (int i = 1; i < fake.argc(); ++i) after.push_back(fake.argv()[i]);
      EXPECT_EQ(after, row.scrubbed);
      EXPECT_EQ(StripPrefix(ToNarrow(CommandParam(2)), "/pw:"), row.password);
    }
  }
}

// Runs a child that scrubs its own argument vector as the program does,
// then reads its command line the way ps does while it is still running.
TEST(CommandLine, ProcessListNoLongerShowsThePassword) {
  int toChild[2];
  int fromChild[2];
  ASSERT_EQ(pipe2(toChild, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(fromChild, O_CLOEXEC), 0);
  const char* const kArgs[] = {SWK_SCRUB_CHILD, "/user:admin",
                               "/pw:s\xc3\xa9" "cret", "/port:22", "/v:y",
                               "/ip:10.0.0.1", nullptr};
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    execv(SWK_SCRUB_CHILD, const_cast<char* const*>(kArgs));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  char ready = 0;
  ssize_t got = read(fromChild[0], &ready, 1);

  std::string cmdline;
  std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
  if (FILE* file = fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t length;
    while ((length = fread(buffer, 1, sizeof buffer, file)) > 0) {
      cmdline.append(buffer, length);
    }
    fclose(file);
  }
  close(toChild[1]);  // lets the child end
  close(fromChild[0]);
  int status = 0;
  waitpid(pid, &status, 0);

  ASSERT_EQ(got, 1) << "the child did not start";
  using namespace std::string_literals;
  EXPECT_EQ(cmdline, SWK_SCRUB_CHILD +
                         "\0/user:admin\0/pw:*******\0/port:22\0/v:y\0"
                         "/ip:10.0.0.1\0"s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
