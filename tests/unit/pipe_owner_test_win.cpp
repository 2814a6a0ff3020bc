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
  json reply;
  std::string error;
  auto served = [&] {
    return pipe_request(name, module_dir(), json{{"op", "x"}}, reply, error, 10000) && reply == json{{"op", "x"}};
  };
  // Each look comes while the server waits for a client, as it does when another agent
  // starts beside it.
  ASSERT_TRUE(served()) << error;
  Sleep(200);
  const PipeServerInfo info = find_pipe_server(name);
  EXPECT_TRUE(info.served);
  EXPECT_EQ(info.pid, GetCurrentProcessId());
  EXPECT_EQ(info.image, module_path());
  Sleep(200);
  EXPECT_EQ(pipe_taken_by_another_process(name), "");  // this process is no other process
  Sleep(200);
  EXPECT_TRUE(served()) << error;  // the looks left the server as it was

  PipeServer second(name, module_dir(), echo);
  const bool started = second.start();
  second.stop();
  first.stop();
  if (test::running_under_wine() && started)
    GTEST_SKIP() << "Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
  EXPECT_FALSE(started);
  EXPECT_EQ(second.last_error().rfind("CreateNamedPipe: ", 0), 0u);
  // Wine does not enforce the flag; there the name's instance count refuses (ERROR_PIPE_BUSY).
  EXPECT_NE(second.last_error().find(test::running_under_wine() ? "(0x000000E7)" : "(0x00000005)"), std::string::npos);
  EXPECT_TRUE(second.name_taken());
  EXPECT_EQ(log.text(), "");  // the refusal is the caller's to report
}

}  // namespace
}  // namespace guardian
