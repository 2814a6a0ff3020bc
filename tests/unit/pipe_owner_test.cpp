// One server per pipe name: who serves a name, and the refused second server.
#include <gtest/gtest.h>

#include "channel/pipe_client.hpp"
#include "channel/pipe_owner.hpp"
#include "channel/pipe_server.hpp"
#include "runtime/config.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;

TEST(PipeOwner, FindsTheServingProcessAndRefusesASecondServer) {
  test::LogCapture log;
  const std::wstring name = L"\\\\.\\pipe\\guardian-test-" + to_utf16(random_hex(8));
  EXPECT_FALSE(find_pipe_server(name).served);

  auto echo = [](const json& request, const std::wstring&) { return request; };
  PipeServer first(name, module_dir(), echo);
  ASSERT_TRUE(first.start());
  const PipeServerInfo info = find_pipe_server(name);
  EXPECT_TRUE(info.served);
  EXPECT_EQ(info.pid, GetCurrentProcessId());
  EXPECT_EQ(info.image, module_path());
  EXPECT_EQ(pipe_taken_by_another_process(name), "");  // this process is no other process

  // The look left the server as it was.
  json reply;
  std::string error;
  ASSERT_TRUE(pipe_request(name, module_dir(), json{{"op", "x"}}, reply, error, 10000)) << error;
  EXPECT_EQ(reply, (json{{"op", "x"}}));

  PipeServer second(name, module_dir(), echo);
  const bool started = second.start();
  second.stop();
  first.stop();
  if (test::running_under_wine() && started)
    GTEST_SKIP() << "Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
  EXPECT_FALSE(started);
  EXPECT_EQ(second.last_error().rfind("CreateNamedPipe: ", 0), 0u);
  EXPECT_NE(second.last_error().find("(0x00000005)"), std::string::npos);
  EXPECT_EQ(log.text(), "");  // the refusal is the caller's to report
}

}  // namespace
}  // namespace guardian
