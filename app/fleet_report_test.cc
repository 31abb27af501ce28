// The fleet's report records: CSV quoting, the header and rows with and
// without the waited columns, and cells a spreadsheet would take for a
// formula.
#include "app/fleet_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FleetReportTest, CsvQuotingAndRows) {
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"y\""), "\"say \"\"y\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");

  const RouterResult failed = {.line = 7,
                               .address = "10.0.0.9",
                               .port = "22",
                               .user = "ad,min",
                               .status = 4,
                               .reason = "timed out",
                               .seconds = 45.04};
  EXPECT_EQ(ReportHeader(false),
            "line,address,port,user,exit status,outcome,reason,seconds,name as given,"
            "added host key,added to,question\r\n");
  EXPECT_EQ(ReportRow(failed, false),
            "7,10.0.0.9,22,\"ad,min\",4,failed,timed out,45.0,,,,\r\n");
  RouterResult back = failed;
  back.status = 0;
  back.reason = "";
  back.downSeconds = 3;
  back.backSeconds = 61.5;
  EXPECT_EQ(ReportRow(back, true),
            "7,10.0.0.9,22,\"ad,min\",0,rebooted,,45.0,3.0,61.5,,,,\r\n");
  EXPECT_EQ(ReportRow(failed, true),
            "7,10.0.0.9,22,\"ad,min\",4,failed,timed out,45.0,,,,,,\r\n");
  // Where an alias went, and the key its first contact recorded.
  RouterResult alias = back;
  alias.address = "127.0.0.1";
  alias.port = "2201";
  alias.givenName = "myrouter";
  alias.addedKey = "ED25519 SHA256:abc";
  alias.addedTo = "/root/.ssh/known_hosts";
  EXPECT_EQ(ReportRow(alias, false),
            "7,127.0.0.1,2201,\"ad,min\",0,rebooted,,45.0,myrouter,ED25519 SHA256:abc,"
            "/root/.ssh/known_hosts,\r\n");
  // The question answered, as asked, for the audit; a preflight's router is
  // ready, not rebooted.
  RouterResult asked = back;
  asked.question = "Reboot, really? [y/N]: ";
  EXPECT_EQ(ReportRow(asked, false),
            "7,10.0.0.9,22,\"ad,min\",0,rebooted,,45.0,,,,\"Reboot, really? [y/N]: \"\r\n");
  RouterResult ready = failed;
  ready.preflight = true;
  ready.status = 0;
  ready.reason = "";
  EXPECT_EQ(OutcomeOf(ready), "ready");
  ready.status = 6;
  EXPECT_EQ(OutcomeOf(ready), "failed");
}

// A router's question is its own text: a control character in it, which a
// terminal showing the report would obey, is shown as ?; a formula is
// neutralised as in any cell.
TEST(FleetReportTest, QuestionCellShowsNoControlCharacters) {
  const struct {
    std::string question;
    std::string cell;
  } kCases[] = {
      {"Reboot now? [y/N]: ", "Reboot now? [y/N]: "},
      {"Reboot\x1b" "[2J now?\x07", "Reboot?[2J now??"},
      {"caf\xc3\xa9 \xc2\x9b" "31m?", "caf\xc3\xa9 ?31m?"},
      {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
      {"", ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.question);
    EXPECT_EQ(QuestionCell(c.question), c.cell);
  }
}

// A cell a spreadsheet would take for a formula is text with a leading '.
TEST(FleetReportTest, FormulaCellsAreNeutralised) {
  struct Case {
    std::string text;
    std::string cell;
  };
  const Case cases[] = {
      {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
      {"+1", "'+1"},
      {"-2+3", "'-2+3"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tadmin", "'\tadmin"},
      {"\radmin", "\"'\radmin\""},
      {"=a,b", "\"'=a,b\""},
      {"admin=1", "admin=1"},
      {"a-b", "a-b"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ReportCell(c.text), c.cell);
  }
  const RouterResult result = {.line = 3,
                               .address = "10.0.0.9",
                               .port = "22",
                               .user = "=cmd",
                               .status = 7,
                               .reason = "-the router ended"};
  EXPECT_EQ(ReportRow(result, false),
            "3,10.0.0.9,22,'=cmd,7,failed,'-the router ended,0.0,,,,\r\n");
}

}  // namespace
