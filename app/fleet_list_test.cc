// The fleet's list: lines cut into parameters with quotes, bad lines named
// by file and line, spellings of one router refused as duplicates, the
// private modes and access lists, and the reading cap.
#include "app/fleet_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

TEST(FleetListTest, ReadsLinesCommentsAndQuotes) {
  const std::string text =
      "# routers of the east site\n"
      "\n"
      "/user:admin /pw:one /port:22 /ip:10.0.0.1\r\n"
      "   # indented comment\n"
      "/user:admin \"/pw:two words\" /port:2222 /v:y /ip:10.0.0.1\n"
      "/ip:10.0.0.2 /port:22 /user:ops /pw:x#y";
  std::vector<FleetRouter> routers;
  std::string error;
  ASSERT_TRUE(ReadFleetList("east.txt", text, &routers, &error)) << error;
  ASSERT_EQ(routers.size(), 3u);
  EXPECT_EQ(routers[0].line, 3);
  EXPECT_EQ(routers[0].password, "one");
  EXPECT_EQ(routers[1].line, 5);
  EXPECT_EQ(routers[1].password, "two words");
  EXPECT_EQ(routers[1].port, "2222");
  EXPECT_EQ(routers[2].line, 6);
  EXPECT_EQ(routers[2].user, "ops");
  EXPECT_EQ(routers[2].password, "x#y");
  EXPECT_EQ(routers[2].address, "10.0.0.2");
}

TEST(FleetListTest, DashLineEndsAGroup) {
  const std::string text =
      "/user:a /pw:p /port:22 /ip:10.0.0.1\n"
      "  ---  \n"
      "/user:a /pw:p /port:22 /ip:10.0.0.2\n"
      "/user:a /pw:p /port:22 /ip:10.0.0.3\r\n"
      "---\r\n"
      "---\n"
      "/user:a /pw:p /port:22 /ip:10.0.0.4\n";
  std::vector<FleetRouter> routers;
  std::string error;
  ASSERT_TRUE(ReadFleetList("g.txt", text, &routers, &error)) << error;
  ASSERT_EQ(routers.size(), 4u);
  EXPECT_EQ(routers[0].group, 0);
  EXPECT_EQ(routers[1].group, 1);
  EXPECT_EQ(routers[2].group, 1);
  EXPECT_EQ(routers[3].group, 3);
  EXPECT_EQ(routers[3].line, 7);
  // Only three dashes alone make the line a group's end.
  EXPECT_FALSE(ReadFleetList("g.txt", "----\n", &routers, &error));
  EXPECT_FALSE(ReadFleetList("g.txt", "--- x\n", &routers, &error));
  EXPECT_FALSE(ReadFleetList("g.txt", "---\n", &routers, &error));
  EXPECT_NE(error.find("holds no router"), std::string::npos) << error;
}

TEST(FleetListTest, BadListNamesFileAndLine) {
  const std::string good = "/user:a /pw:p /port:22 /ip:10.0.0.1\n";
  struct Case {
    std::string text;
    std::string where;
  };
  const Case cases[] = {
      {good + "/user:a /pw:p /port:22 /ip:10.0.0.1\n", "f:2: 10.0.0.1 port 22 is already on line 1"},
      {good + "/user:a /pw:p /port:22.0 /ip:10.0.0.1\n", "f:2: 10.0.0.1 port 22 is already on line 1"},
      {"/user:a /pw:p /port:0 /ip:h\n/user:b /pw:q /port:22 /ip:h\n", "f:2: h port 22 is already on line 1"},
      {good + "/user:a /pw:" + std::string(128, 'p') + " /port:22 /ip:h\n", "f:2: /pw: is longer than 127 bytes"},
      {good + "/user:a /pw:p /port:99999 /ip:10.0.0.2\n", "f:2: port"},
      {good + "/user:a /pw:p /port:22\n", "f:2: /ip: missing"},
      {good + "/user:a secret /port:22 /ip:h\n", "f:2: parameter 2 has no known prefix"},
      {good + "/user:a /pw:p /pw:q /port:22 /ip:h\n", "f:2: /pw: given twice"},
      {"# nothing\n\n", "f: the list holds no router"},
      {"", "f: the list holds no router"},
  };
  for (const Case& c : cases) {
    std::vector<FleetRouter> routers;
    std::string error;
    EXPECT_FALSE(ReadFleetList("f", c.text, &routers, &error)) << c.text;
    EXPECT_EQ(error.substr(0, c.where.size()), c.where) << error;
    EXPECT_EQ(error.find("secret"), std::string::npos) << error;
    EXPECT_TRUE(routers.empty());
  }
}

// The SSH configuration's User and Port stand in for a line's /user: and
// /port: left out (they were refused as "/user: is empty", "/port: missing").
TEST(FleetListTest, UserAndPortMayBeLeftToTheConfiguration) {
  std::vector<FleetRouter> routers;
  std::string error;
  ASSERT_TRUE(ReadFleetList("f", "/pw: /ip:myrouter\n/user: /pw:p /ip:other\n", &routers, &error))
      << error;
  ASSERT_EQ(routers.size(), 2u);
  EXPECT_EQ(routers[0].user, "");
  EXPECT_EQ(routers[0].port, "");
  EXPECT_EQ(routers[0].portNumber, 22);
  EXPECT_EQ(routers[1].user, "");
}

// The README's own line, and the quoting a Windows program's command line
// gets: a quote anywhere groups, two quotes in a quoted stretch are one.
TEST(FleetListTest, QuotesGroupAValueWithSpaces) {
  struct Case {
    std::string line;
    std::vector<std::string> params;
  };
  const Case cases[] = {
      {"/user:admin /pw:\"two words\" /port:22 /ip:h",
       {"/user:admin", "/pw:two words", "/port:22", "/ip:h"}},
      {"\"/pw:two words\" /ip:h", {"/pw:two words", "/ip:h"}},
      {"/pw:a\"b c\"d", {"/pw:ab cd"}},
      {"/pw:\"say \"\"y\"\"\"", {"/pw:say \"y\""}},
      {"/pw:\"\"", {"/pw:"}},
      {"\"\"  /ip:h  ", {"/ip:h"}},
      {"/pw:back\\slash\tTab", {"/pw:back\\slash\tTab"}},
      {"   ", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> params;
    std::string reason;
    ASSERT_TRUE(SplitListLine(c.line, &params, &reason)) << reason;
    EXPECT_EQ(params, c.params);
  }
  std::vector<std::string> params;
  std::string reason;
  EXPECT_FALSE(SplitListLine("/pw:\"open secret /ip:h", &params, &reason));
  EXPECT_EQ(reason.find("secret"), std::string::npos) << reason;
  EXPECT_NE(reason.find("quote is left open"), std::string::npos) << reason;

  // The README's line is read as it shows, as a list line.
  std::vector<FleetRouter> routers;
  std::string error;
  ASSERT_TRUE(ReadFleetList(
      "f", "/user:admin /pw:\"two words\" /port:22 /ip:192.168.88.1\n", &routers, &error))
      << error;
  EXPECT_EQ(routers[0].password, "two words");
  EXPECT_EQ(routers[0].address, "192.168.88.1");
}

// Spellings of one router that can be compared without the network are one
// router: the second line is refused, naming the first.
TEST(FleetListTest, SpellingsOfOneRouterAreDuplicates) {
  struct Case {
    std::string first;
    std::string second;
    bool same;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.1", true},
      {"127.0.0.1", "2130706433", true},
      {"127.0.0.1", "0x7f.0.0.1", true},
      {"127.0.0.1", "0177.0.0.1", true},
      {"127.0.0.1", "::ffff:127.0.0.1", true},
      {"::1", "0:0:0:0:0:0:0:1", true},
      {"2001:db8::1", "2001:DB8:0::0001", true},
      {"router1.example", "ROUTER1.Example.", true},
      {"localhost", "LOCALHOST", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"localhost", "127.0.0.1", false},  // known only at connect time
      {"::1", "127.0.0.1", false},
      {"router1", "router10", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first + " / " + c.second);
    const std::string text = "/user:a /pw:p /port:22 /ip:" + c.first + "\n# x\n" +
                             "/user:b /pw:q /port:0 /ip:" + c.second + "\n";
    std::vector<FleetRouter> routers;
    std::string error;
    EXPECT_EQ(ReadFleetList("f", text, &routers, &error), !c.same);
    if (c.same) {
      EXPECT_EQ(error, "f:3: " + c.second + " port 22 is already on line 1");
    }
  }
}

TEST(FleetListTest, PrivateModes) {
  EXPECT_TRUE(ModeIsPrivate(0600));
  EXPECT_TRUE(ModeIsPrivate(0400));
  EXPECT_FALSE(ModeIsPrivate(0640));
  EXPECT_FALSE(ModeIsPrivate(0604));
  EXPECT_FALSE(ModeIsPrivate(0610));
}

TEST(FleetListTest, ReadTextStopsAtTheCapOrAnErrorAndWipes) {
  // A source giving count bytes of 'x' in pieces, then fail or its end.
  struct Source {
    size_t count;
    bool fails;
    size_t given = 0;
    long long operator()(char* buffer, size_t size) {
      const size_t n = std::min(size, count - given);
      if (n == 0) return fails ? -1 : 0;
      std::fill(buffer, buffer + n, 'x');
      given += n;
      return static_cast<long long>(n);
    }
  };
  struct Case {
    size_t count;
    bool fails;
    bool read;
  };
  const Case cases[] = {
      {0, false, true},
      {kFleetListMaxBytes, false, true},
      {kFleetListMaxBytes + 1, false, false},
      {100000, true, false},
  };
  for (const Case& c : cases) {
    Source source{c.count, c.fails};
    std::string text;
    std::string error;
    EXPECT_EQ(ReadFleetText("l", std::ref(source), &text, &error), c.read) << c.count;
    if (c.read) {
      EXPECT_EQ(text.size(), c.count);
    } else {
      EXPECT_TRUE(text.empty());
      EXPECT_EQ(error, "l: cannot be read, or holds more than 16 MB");
    }
  }
}

TEST(FleetListTest, GroupThatCanReadFromAccessList) {
  const std::string me = "S-1-5-21-1-2-3-1001";
  struct Case {
    const char* what;
    bool hasList;
    std::vector<AccessEntry> entries;
    std::string_view group;
  };
  const Case cases[] = {
      {"owner only", true, {{true, false, 0x1F01FF, me}}, ""},
      {"empty list", true, {}, ""},
      {"NULL DACL", false, {}, "Everyone"},
      {"Everyone read data", true, {{true, false, 0x1F01FF, me}, {true, false, 0x0001, "S-1-1-0"}},
       "Everyone"},
      {"Users generic read", true, {{true, false, 0x80000000, "S-1-5-32-545"}}, "Users"},
      {"Authenticated generic all", true, {{true, false, 0x10000000, "S-1-5-11"}},
       "Authenticated Users"},
      {"Users full access", true, {{true, false, 0x1F01FF, "S-1-5-32-545"}}, "Users"},
      {"Everyone write only", true, {{true, false, 0x0002 | 0x0004, "S-1-1-0"}}, ""},
      {"Everyone attributes", true, {{true, false, 0x0080 | 0x00020000, "S-1-1-0"}}, ""},
      {"Everyone denied", true, {{false, false, 0x80000000, "S-1-1-0"}}, ""},
      {"inherit only", true, {{true, true, 0x80000000, "S-1-1-0"}}, ""},
      {"another group", true, {{true, false, 0x80000000, "S-1-5-32-544"}}, ""},
      {"first one named", true,
       {{true, false, 0x0001, "S-1-5-11"}, {true, false, 0x0001, "S-1-1-0"}},
       "Authenticated Users"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GroupThatCanRead(c.hasList, c.entries), c.group) << c.what;
  }
}

}  // namespace
