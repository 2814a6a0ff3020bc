#include <gtest/gtest.h>

#include "app/cli.hpp"
#include "app/diagnose.hpp"
#include "base/event_log.hpp"
#include "base/installer_text.hpp"
#include "base/line_budget.hpp"
#include "base/log_format.hpp"

namespace guardian {
namespace {

TEST(LogFormat, PrefixLayoutAndLevelColumn) {
  const LogClock t{2026, 3, 4, 5, 6, 7, 89};
  EXPECT_EQ(format_log_line(t, 1234, "INFO", "hello"), "2026-03-04T05:06:07.089Z [1234] INFO  hello\r\n");
  EXPECT_EQ(format_log_line(t, 1, "WARN", "w"), "2026-03-04T05:06:07.089Z [1] WARN  w\r\n");
  EXPECT_EQ(format_log_line(t, 4294967295UL, "ERROR", "e"), "2026-03-04T05:06:07.089Z [4294967295] ERROR e\r\n");
  // No truncation; control bytes are escaped so a message can never start a line of its own.
  const std::string long_message(5000, 'x');
  const std::string line = format_log_line(t, 7, "INFO", "a\tb " + long_message);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  EXPECT_NE(line.find("a\\tb " + long_message), std::string::npos);
  EXPECT_EQ(format_log_line(t, 1, "WARN", std::string("op x\r\n2026-01-01T00:00:00.000Z [1] INFO  forged\x1b\x7f\0\\ \xC3\xA9", 54)),
            "2026-03-04T05:06:07.089Z [1] WARN  op x\\r\\n2026-01-01T00:00:00.000Z [1] INFO  forged\\x1b\\x7f\\x00\\ \xC3\xA9\r\n");
}

// Text a user chooses (a folder name, a forged log line) shows what it holds and nothing
// else: no terminal escape, no reordering, no second line, no bytes a terminal would guess at.
TEST(LogFormat, TextThatCouldDeceiveIsShownEscaped) {
  const std::string valid = "C:\\Program Files\\\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \xE2\x80\x94 ~";
  EXPECT_EQ(visible_text(valid), valid);  // é, 中, an emoji, a dash: as they are
  // Characters that show as nothing, so that two names look alike: a soft hyphen, a joiner,
  // a BOM, a Hangul filler, a variation selector; a tag, past U+FFFF, with eight digits.
  EXPECT_EQ(visible_text("a\xC2\xAD" "b\xE2\x80\x8D" "c\xEF\xBB\xBF" "d\xE3\x85\xA4" "e\xEF\xB8\x8F" "f\xF3\xA0\x81\x81"),
            "a\\u00adb\\u200dc\\ufeffd\\u3164e\\ufe0ff\\U000e0041");
  EXPECT_EQ(visible_text("\xE2\x81\xA4\xE2\x81\xAF\xEF\xBF\xBB\xF3\xA0\x81\xBF\xF3\xA0\x82\x80"),
            "\\u2064\\u206f\\ufffb\\U000e007f\xF3\xA0\x82\x80");  // ranges' ends; U+E0080 is kept
  EXPECT_EQ(visible_text("a\xC2\x9B" "2Jb\xC2\x85\xC2\x80"), "a\\u009b2Jb\\u0085\\u0080");  // C1 controls
  EXPECT_EQ(visible_text("exe.\xE2\x80\xAEtxt.\xE2\x81\xA6x\xE2\x81\xA9\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C"),
            "exe.\\u202etxt.\\u2066x\\u2069\\u200e\\u200f\\u061c");  // bidirectional controls
  EXPECT_EQ(visible_text("1\xE2\x80\xA8" "2\xE2\x80\xA9" "3"), "1\\u20282\\u20293");  // line, paragraph separators
  // Bytes that are no character: stray, cut short, overlong, a surrogate, past U+10FFFF.
  EXPECT_EQ(visible_text("\xFF\xFE" "a\x80" "b\xE2\x80"), "\\xff\\xfea\\x80b\\xe2\\x80");
  EXPECT_EQ(visible_text("\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80"),
            "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80");
  EXPECT_EQ(visible_text("\xE2\x80\xAE\xE2\x80"), "\\u202e\\xe2\\x80");  // a character cut at the end
}

TEST(LogFormat, RotationIsStrictlyAboveTheLimit) {
  EXPECT_FALSE(log_needs_rotation(kLogRotateBytes - 10, 10));
  EXPECT_TRUE(log_needs_rotation(kLogRotateBytes - 10, 11));
  EXPECT_TRUE(log_needs_rotation(kLogRotateBytes, 1));
  EXPECT_FALSE(log_needs_rotation(0, 0));
}

TEST(LogFormat, ProblemLinesAreTheLastWarnAndErrorLinesOfTheLayout) {
  const std::string tail =
      "T00:00:00.000Z [1] ERROR the cut first line\r\n"
      "2026-03-04T05:06:07.089Z [7] INFO  said WARN  and ERROR\r\n"
      "2026-03-04T05:06:07.089Z [7] WARN  w1\r\n"
      "2026-03-04T05:06:07.089Z [] ERROR no thread\r\n"
      "2026-03-04T05:06:07.089Z [8] ERROR e1\r\n"
      "2026-03-04T05:06:07.089Z [9] WARN  \x1b[2J\xC3\xA9\xC3\xA9\n"
      "2026-03-04T05:06:07.089Z [9] WARN  unended";
  using V = std::vector<std::string>;
  EXPECT_EQ(log_problem_lines(tail, false, 2, 100),
            (V{"2026-03-04T05:06:07.089Z [8] ERROR e1", "2026-03-04T05:06:07.089Z [9] WARN  \\x1b[2J\xC3\xA9\xC3\xA9",
               "2026-03-04T05:06:07.089Z [9] WARN  unended"}));
  // A flood of WARN lines keeps the last ERROR lines: the last `most` of each, in the log's order.
  std::string flood = "2026-03-04T05:06:07.089Z [1] ERROR e1\r\n2026-03-04T05:06:07.089Z [1] ERROR e2\r\n";
  for (int i = 0; i < 50; ++i) flood += "2026-03-04T05:06:07.089Z [2] WARN  w" + std::to_string(i) + "\r\n";
  flood += "2026-03-04T05:06:07.089Z [1] ERROR e3\r\n2026-03-04T05:06:07.089Z [2] WARN  w50\r\n";
  EXPECT_EQ(log_problem_lines(flood, true, 2, 100),
            (V{"2026-03-04T05:06:07.089Z [1] ERROR e2", "2026-03-04T05:06:07.089Z [2] WARN  w49",
               "2026-03-04T05:06:07.089Z [1] ERROR e3", "2026-03-04T05:06:07.089Z [2] WARN  w50"}));
  EXPECT_EQ(log_problem_lines(tail, false, 9, 100).front(), "2026-03-04T05:06:07.089Z [7] WARN  w1");
  EXPECT_EQ(log_problem_lines(tail, false, 9, 100).size(), 4u);
  EXPECT_EQ(log_problem_lines(tail, true, 9, 100).size(), 4u);  // the first line has no date
  // Cut between characters: 42 bytes end in the middle of the second "é".
  EXPECT_EQ(log_problem_lines(tail, false, 2, 42)[1], "2026-03-04T05:06:07.089Z [9] WARN  \\x1b[2J\xC3\xA9...");
  EXPECT_TRUE(log_problem_lines("2026-03-04T05:06:07.089Z [7] WARN  w", false, 5, 100).empty());
  // A line of exactly the limit is whole: neither cut nor marked.
  const std::string at_limit = "2026-03-04T05:06:07.089Z [7] WARN  w1";
  EXPECT_EQ(log_problem_lines(at_limit, true, 5, at_limit.size()), std::vector<std::string>{at_limit});
}

// The diagnosis shows texts from outside (a service's path, the log) by the same rule: one
// line per check, its evidence indented below it, whatever the texts hold.
TEST(LogFormat, DiagnoseReportKeepsOneLinePerCheck) {
  const std::vector<DiagnoseCheck> checks = {
      {"agent", Verdict::fail, "no_server", "none\r\nok   forged", "start it", {}},
      {"log", Verdict::ok, "ok", "12 bytes", "", {"a\nb"}}};
  EXPECT_EQ(diagnose_text(checks),
            "FAIL agent     none\\r\\nok   forged; to do: start it\n"
            "ok   log       12 bytes\n"
            "               a\\nb\n");

  // The document for tools: its format, when and where it ran, and per check its state code
  // beside the words; the verdict is the worst one.
  const nlohmann::json doc = diagnose_json(checks, DiagnoseRun{"2026-12-07T08:15:02Z", "host-1", "1.2.4"});
  EXPECT_EQ(doc["format"], kDiagnoseFormat);
  EXPECT_EQ(doc["time"], "2026-12-07T08:15:02Z");
  EXPECT_EQ(doc["host"], "host-1");
  EXPECT_EQ(doc["version"], "1.2.4");
  EXPECT_EQ(doc["verdict"], "FAIL");
  // Its texts as the lines show them: what a tool prints of them is what they hold, and bytes
  // that are no UTF-8 keep it a valid document.
  EXPECT_EQ(doc["checks"][0], (nlohmann::json{{"check", "agent"}, {"verdict", "FAIL"}, {"state", "no_server"},
                                              {"found", "none\\r\\nok   forged"}, {"todo", "start it"},
                                              {"lines", nlohmann::json::array()}}));
  EXPECT_EQ(doc["checks"][1]["lines"], (nlohmann::json{"a\\nb"}));
  const std::string dumped = diagnose_json({{"log", Verdict::ok, "ok", "x\xE2\x80\xAEy\xC2\x9B\xFF", "", {}}}, {})
                                 .dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
  EXPECT_NE(dumped.find("x\\\\u202ey\\\\u009b\\\\xff"), std::string::npos) << dumped;
  EXPECT_EQ(diagnose_json({}, DiagnoseRun{})["verdict"], "ok");
}

// A command meant for tools takes only its own flags: the first one it does not know is named.
TEST(LogFormat, UnknownFlagsAfterACommandAreFound) {
  constexpr const char* kKnown[] = {"--json", nullptr};
  const char* good[] = {"x.exe", "--diagnose", "--json", "--json"};
  const char* typo[] = {"x.exe", "--diagnose", "--json", "--jsn"};
  const char* empty[] = {"x.exe", "--diagnose", ""};
  EXPECT_EQ(first_unknown_flag(4, good, kKnown), nullptr);
  EXPECT_EQ(first_unknown_flag(2, good, kKnown), nullptr);
  EXPECT_STREQ(first_unknown_flag(4, typo, kKnown), "--jsn");
  EXPECT_STREQ(first_unknown_flag(3, empty, kKnown), "");
}

TEST(LineBudget, BurstThenOneAnIntervalWithTheRestCounted) {
  LineBudget budget(3, 60000);
  uint64_t skipped = 99;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(budget.admit(1000, skipped));
    EXPECT_EQ(skipped, 0u);
  }
  EXPECT_EQ(budget.unreported_due_in(1000), -1);  // nothing left out yet
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(budget.admit(1000 + i, skipped));
  EXPECT_EQ(budget.unreported_due_in(1500), 59500);  // the first line is earned a minute after the burst began
  EXPECT_EQ(budget.take_unreported(1500), 0u);
  // A minute on, one line: it carries the ten left out.
  ASSERT_TRUE(budget.admit(61000, skipped));
  EXPECT_EQ(skipped, 10u);
  EXPECT_FALSE(budget.admit(61001, skipped));
  // The next line is earned at 121,000; the one left out is then reported on its own.
  EXPECT_EQ(budget.unreported_due_in(90000), 31000);
  EXPECT_EQ(budget.take_unreported(121000), 1u);
  EXPECT_EQ(budget.unreported_due_in(121000), -1);
  // After a long quiet time the whole burst is back, and no more.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.admit(10000000, skipped));
  EXPECT_FALSE(budget.admit(10000000, skipped));
  // At the end, what is left out is handed out whatever the budget.
  EXPECT_EQ(budget.take_unreported(10000000), 0u);
  EXPECT_EQ(budget.take_unreported(10000000, true), 1u);
  // A burst of 0 is read as 1: the first event still has its line.
  LineBudget none(0, 60000);
  EXPECT_TRUE(none.admit(0, skipped));
  EXPECT_FALSE(none.admit(1, skipped));
}

// The Event Log's share of the same rules: its inserts are shown like log text and bounded,
// and its queue never grows or blocks.
TEST(EventLog, InsertsAreOneLineBoundedAndReferToNoOtherMessage) {
  EXPECT_EQ(event_insert_text("storage dir unusable: C:\\x\r\nforged"), "storage dir unusable: C:\\x\\r\\nforged");
  EXPECT_EQ(event_insert_text("C:\\%%1\\%%%2%"), "C:\\% %1\\% % %2%");
  EXPECT_EQ(event_insert_text(std::string(3000, 'b')), std::string(kEventInsertMaxBytes, 'b'));
  EXPECT_EQ(event_insert_text(std::string(kEventInsertMaxBytes - 1, 'x') + "\xC3\xA9"),
            std::string(kEventInsertMaxBytes - 1, 'x'));  // never half a character
  EXPECT_EQ(event_type_of(static_cast<uint32_t>(AgentEvent::startup_failed)), 1);
  EXPECT_EQ(event_type_of(static_cast<uint32_t>(AgentEvent::companion_failing)), 2);
  EXPECT_EQ(event_type_of(static_cast<uint32_t>(AgentEvent::started)), 4);
}

// The MSI's custom action: what it tells Windows Installer formats to itself, and a program that
// prints more than is kept loses the beginning of its output, never the end that says why.
TEST(InstallerText, BracketsAreEscapedAndTheOutputsTailIsKept) {
  EXPECT_EQ(installer_literal(L"C:\\a[ProductCode]{[%WINDIR]}[~]\\"),
            L"C:\\a[\\[]ProductCode[\\]][\\{][\\[]%WINDIR[\\]][\\}][\\[]~[\\]]\\");
  std::string output = "first\nsecond\nlast line\n";
  EXPECT_EQ(keep_output_tail(output, 100), 0u);
  EXPECT_EQ(keep_output_tail(output, 12), 13u);  // "second" is cut: it starts at the line after
  EXPECT_EQ(output, "last line\n");
  output = std::string(50, 'x');
  EXPECT_EQ(keep_output_tail(output, 20), 30u);  // one long line: its end
}

TEST(EventLog, AFullQueueDropsAndCountsAndSaysSoOnceEmptied) {
  EventQueue queue;
  for (size_t i = 0; i < EventQueue::kCapacity; ++i) EXPECT_TRUE(queue.push(1000 + static_cast<uint32_t>(i), {"x"}));
  EXPECT_FALSE(queue.push(7, {}));
  EXPECT_FALSE(queue.push(8, {}));
  for (size_t i = 0; i < EventQueue::kCapacity; ++i) EXPECT_EQ(queue.take()->id, 1000 + i);
  EXPECT_FALSE(queue.empty());
  const std::optional<QueuedEvent> note = queue.take();
  ASSERT_TRUE(note);
  EXPECT_EQ(note->id, static_cast<uint32_t>(AgentEvent::events_dropped));
  EXPECT_EQ(note->inserts, std::vector<std::string>{"2"});
  EXPECT_TRUE(queue.empty());
  EXPECT_FALSE(queue.take());
}

}  // namespace
}  // namespace guardian
