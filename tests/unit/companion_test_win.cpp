#include <gtest/gtest.h>

#include "channel/auth.hpp"
#include "channel/pipe_server.hpp"
#include "peer/companion.hpp"
#include "runtime/agent_context.hpp"
#include "runtime/config.hpp"
#include "base/log.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;

// A companion on a pipe of the test's own, answering in the way the test chooses.
struct CompanionFixture : ::testing::Test {
  enum class Answer { good, other_nonce, bad_mac, not_ok };
  std::wstring pipe = L"\\\\.\\pipe\\guardian-test-peer-" + to_utf16(random_hex(8));
  test::LogCapture log;
  AgentContext ctx{L"C:\\storage", module_dir()};
  std::unique_ptr<PipeServer> companion;

  void SetUp() override {
    ctx.channel_key = derive_channel_key(Bytes(32, 3), std::string(64, 'a'));
    ctx.peer_since = 1000;
  }
  void TearDown() override {
    if (companion) companion->stop();
  }
  void serve(Answer answer) {
    if (companion) companion->stop();
    companion = std::make_unique<PipeServer>(pipe, module_dir(), [this, answer](const json& req, const std::wstring&) {
      std::string nonce = member_text(req, "nonce");
      if (!request_mac_valid(ctx.channel_key, "ping", nonce, member_text(req, "mac"))) return json{{"ok", false}};
      switch (answer) {
        case Answer::good: return make_reply(ctx.channel_key, true, nonce, json::object());
        case Answer::other_nonce: return make_reply(ctx.channel_key, true, nonce + "0", json::object());
        case Answer::bad_mac: return make_reply(Bytes(32, 9), true, nonce, json::object());
        case Answer::not_ok: return make_reply(ctx.channel_key, false, nonce, json::object());
      }
      return json();
    });
    ASSERT_TRUE(companion->start());
    for (int i = 0; i < 200 && !WaitNamedPipeW(pipe.c_str(), 10) && GetLastError() == ERROR_FILE_NOT_FOUND; ++i)
      Sleep(10);
  }
  std::string log_text() { return log.text(); }
  std::string state() {
    std::lock_guard<std::mutex> hold(ctx.state_lock);
    return ctx.peer_state;
  }
};

TEST_F(CompanionFixture, MissingCompanionGoesUnresponsiveThenMissing) {
  check_companion_at(ctx, pipe);
  EXPECT_EQ(state(), "unresponsive");
  const int64_t first_change = ctx.peer_since;
  EXPECT_GT(first_change, 1000);
  check_companion_at(ctx, pipe);
  EXPECT_EQ(state(), "unresponsive");
  EXPECT_EQ(ctx.peer_since, first_change);  // no change, no new time
  Sleep(1100);
  check_companion_at(ctx, pipe);
  EXPECT_EQ(state(), "missing");
  EXPECT_GT(ctx.peer_since, first_change);
  check_companion_at(ctx, pipe);
  EXPECT_EQ(ctx.peer_failures, 4);

  const std::string log = log_text();
  const std::string why = ": " + companion_failure_text("no_server") + "\r\n";
  EXPECT_NE(log.find("WARN  peer ping failed: no_server\r\n"), std::string::npos);
  EXPECT_NE(log.find("WARN  peer sentinel: not checked yet -> unresponsive" + why), std::string::npos);
  EXPECT_NE(log.find("WARN  peer sentinel: unresponsive -> missing" + why), std::string::npos);
  EXPECT_EQ(test::count_of(log, "peer ping failed"), 4u);

  // One good answer brings it back at once.
  serve(Answer::good);
  check_companion_at(ctx, pipe);
  EXPECT_EQ(state(), "ok");
  EXPECT_EQ(ctx.peer_failures, 0);
  EXPECT_NE(log_text().find("WARN  peer sentinel: missing -> ok\r\n"), std::string::npos);
}

TEST_F(CompanionFixture, WrongAnswersAreBadResponses) {
  for (Answer answer : {Answer::other_nonce, Answer::bad_mac, Answer::not_ok}) {
    serve(answer);
    check_companion_at(ctx, pipe);
  }
  EXPECT_EQ(state(), "missing");
  const std::string log = log_text();
  EXPECT_EQ(test::count_of(log, "peer ping failed: bad_response\r\n"), 3u);
  // A reply under another key (a companion that holds an earlier secret) and a refusal are
  // told apart in the record.
  EXPECT_NE(log.find("peer sentinel: not checked yet -> unresponsive: " + companion_failure_text("not_authentic")),
            std::string::npos);
  EXPECT_NE(log.find("peer sentinel: unresponsive -> missing: " + companion_failure_text("not_ok")),
            std::string::npos);
  EXPECT_EQ(ctx.peer_reason, "not_ok");
}

TEST_F(CompanionFixture, CompanionFromAnotherFolderIsUntrusted) {
  serve(Answer::good);
  ctx.install_dir = L"C:\\other\\folder";
  check_companion_at(ctx, pipe);
  EXPECT_EQ(state(), "unresponsive");
  EXPECT_NE(log_text().find("peer ping failed: untrusted_server"), std::string::npos);
}

TEST_F(CompanionFixture, GoodAnswerKeepsOkWithoutALogLine) {
  serve(Answer::good);
  check_companion_at(ctx, pipe);
  EXPECT_EQ(state(), "ok");
  EXPECT_EQ(ctx.peer_since, 1000);
  EXPECT_EQ(log_text(), "");
}

}  // namespace
}  // namespace guardian
