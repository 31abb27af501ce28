// The parsing every platform shares: the tail, the parameters, trimming and
// prefix removal. Where the line comes from is tested per platform.
#include "app/command_line.h"
#include "app/command_line_platform.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct TailCase {
  const char* name;
  std::u16string_view line;
  std::u16string_view tail;
};

const TailCase kTailCases[] = {
    {"plain name", u"swKicker /user:a /pw:b", u"/user:a /pw:b"},
    {"quoted name", u"\"/opt/my tools/swKicker\" /user:a", u"/user:a"},
    {"quoted name, no space after", u"\"swKicker\"/user:a", u"/user:a"},
    {"several spaces", u"swKicker    /user:a", u"/user:a"},
    // A TAB ends the name and is not skipped.
    {"tab after name", u"swKicker\t/user:admin", u"\t/user:admin"},
    {"name and spaces only", u"swKicker   ", u""},
    {"name only", u"swKicker", u""},
    {"empty line", u"", u""},
    {"leading spaces, empty name", u"   /user:a", u"/user:a"},
    {"unclosed quoted name", u"\"swKicker /user:a /pw:b", u""},
    {"trailing spaces kept", u"swKicker a b  ", u"a b  "},
};

TEST(CommandLine, FindCommandTailTable) {
  for (const TailCase& row : kTailCases) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(FindCommandTail(row.line), row.tail);
  }
}

struct ParamCase {
  const char* name;
  std::u16string_view tail;
  std::vector<std::u16string_view> params;  // n = 1, 2, ...; the rest empty
};

const ParamCase kParamCases[] = {
    {"five and one more",
     u"/user:a /pw:b /port:22 /v:y /ip:10.0.0.1 extra",
     {u"/user:a", u"/pw:b", u"/port:22", u"/v:y", u"/ip:10.0.0.1", u"extra"}},
    {"odd spacing", u"a   b  ", {u"a", u"b"}},
    {"spaces only", u"    ", {}},
    {"tab only", u"\t", {u"\t"}},
    {"tab inside", u"a\tb c", {u"a\tb", u"c"}},
    {"whole parameter quoted", u"/user:a \"/pw:x y\" /port:22",
     {u"/user:a", u"/pw:x y", u"/port:22"}},
    // Quotes inside an unquoted parameter are ordinary characters.
    {"only the value quoted", u"/user:a /pw:\"x y\" /port:22",
     {u"/user:a", u"/pw:\"x", u"y\"", u"/port:22"}},
    {"closing quote ends a parameter", u"\"a\"b", {u"a", u"b"}},
    {"adjacent quotes are no parameter", u"a \"\" b", {u"a", u"b"}},
    {"adjacent quotes glued to the next", u"a \"\"b", {u"a", u"b"}},
    {"unclosed quote takes the rest", u"a \"b c", {u"a", u"b c"}},
    {"unclosed quote keeps its spaces", u"a \"  b ", {u"a", u"  b "}},
    {"fewer than five", u"/user:a /pw:b", {u"/user:a", u"/pw:b"}},
};

TEST(CommandLine, CommandParamOfTable) {
  for (const ParamCase& row : kParamCases) {
    SCOPED_TRACE(row.name);
    for (int n = 1; n <= 7; ++n) {
      SCOPED_TRACE(n);
      std::u16string_view expected =
          n <= static_cast<int>(row.params.size()) ? row.params[n - 1] : u"";
      EXPECT_EQ(CommandParamOf(row.tail, n), expected);
    }
    EXPECT_EQ(CommandParamOf(row.tail, 0), row.tail);
  }
}

TEST(CommandLine, TrimSpacesRemovesSpacesOnly) {
  const struct {
    std::u16string_view text;
    std::u16string_view trimmed;
  } kCases[] = {
      {u"  a b  ", u"a b"}, {u"    ", u""}, {u"", u""},
      {u"\ta\t", u"\ta\t"}, {u" \t ", u"\t"},
  };
  for (const auto& row : kCases) {
    EXPECT_EQ(TrimSpaces(row.text), row.trimmed);
  }
}

TEST(CommandLine, StripPrefixTable) {
  const struct {
    std::string_view value;
    std::string_view prefix;
    std::string_view stripped;
  } kCases[] = {
      {"/user:admin", "/user:", "admin"},
      {"/USER:admin", "/user:", "/USER:admin"},  // bytes compared exactly
      {"/ip:", "/ip:", ""},
      {"/ip:/ip:10.0.0.1", "/ip:", "10.0.0.1"},
      // What the removal joins together is not searched again.
      {"/us/user:er:x", "/user:", "/user:x"},
      {"/pw:ab/pw:cd", "/pw:", "abcd"},
      {"aaa", "aa", "a"},  // hits never overlap
      {"/p", "/pw:", "/p"},
      {"", "/pw:", ""},
      {"x", "", "x"},
      {std::string_view("a\0/v:b", 6), "/v:", std::string_view("a\0b", 3)},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(std::string(row.value));
    EXPECT_EQ(StripPrefix(row.value, row.prefix), row.stripped);
  }
}

// The value each platform overwrites in the process list: the parameter
// after its prefix, only when the parameter begins with it.
TEST(CommandLine, FindValueSpanTable) {
  const struct {
    const char* name;
    std::u16string_view tail;
    int n;
    std::u16string_view prefix;
    bool found;
    bool prefixed;
    std::u16string_view value;
  } kCases[] = {
      {"prefixed", u"/user:a /pw:secret /port:22", 2, u"/pw:", true, true, u"secret"},
      {"quoted", u"/user:a \"/pw:x y\" /port:22", 2, u"/pw:", true, true, u"x y"},
      {"no prefix", u"/user:a secret", 2, u"/pw:", true, false, u"secret"},
      {"prefix inside", u"/user:a x/pw:y", 2, u"/pw:", true, false, u"x/pw:y"},
      {"other case", u"/user:a /PW:y", 2, u"/pw:", true, false, u"/PW:y"},
      {"shorter than the prefix", u"/user:a /pw", 2, u"/pw:", true, false, u"/pw"},
      {"prefix only", u"/user:a /pw:", 2, u"/pw:", true, true, u""},
      {"no prefix given", u"/user:a /pw:b", 2, u"", true, false, u"/pw:b"},
      {"whole tail", u"/pw:a b", 0, u"/pw:", true, true, u"a b"},
      {"missing", u"/user:a /pw:b", 3, u"/pw:", false, false, u""},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    ValueSpan span = FindValueSpan(row.tail, row.n, row.prefix);
    EXPECT_EQ(span.found, row.found);
    EXPECT_EQ(span.prefixed, row.prefixed);
    if (span.found) {
      EXPECT_EQ(row.tail.substr(span.begin, span.end - span.begin), row.value);
    }
  }
}

}  // namespace
