// The client library's C boundary, called in-process: arguments, options, documents, and the
// companion's side. Requests to a running agent are black-box tests (test_agent.py).
#include <gtest/gtest.h>

#include "base/module_path.hpp"
#include "base/unique.hpp"
#include "build_config.hpp"
#include "channel/auth.hpp"
#include "device/identity.hpp"
#include "guardian_client.h"
#include "sdk_rules.hpp"
#include "store/protected_store.hpp"
#include "test_support.hpp"

namespace guardian {
namespace {

using nlohmann::json;

guardian_result open_with(const guardian_client_options& options) {
  guardian_client* client = nullptr;
  const guardian_result result = guardian_client_open(&options, &client);
  EXPECT_EQ(client != nullptr, result == GUARDIAN_OK);
  guardian_client_close(client);
  return result;
}

TEST(ClientLibrary, OptionsAndArgumentsAreChecked) {
  struct Later {  // a later version's record: larger, with a field this version does not know
    guardian_client_options known;
    uint64_t added;
  } later{};
  later.known.size = sizeof later;
  EXPECT_EQ(open_with(later.known), GUARDIAN_OK);
  later.added = 1;
  EXPECT_EQ(open_with(later.known), GUARDIAN_BAD_ARGUMENT);
  // An application built against the first version's header hands in the first version's
  // record: it is taken, the fields it lacks count as zero. One byte short is not a record.
  struct First {
    uint32_t size, flags, timeout_ms;
    const wchar_t *pipe_name, *server_folder, *storage_folder;
  } first{};
  static_assert(sizeof first == GUARDIAN_CLIENT_OPTIONS_SIZE_V1);
  first.size = sizeof first;
  EXPECT_EQ(open_with(reinterpret_cast<const guardian_client_options&>(first)), GUARDIAN_OK);
  first.pipe_name = L"C:\\some\\file";  // its fields are read
  EXPECT_EQ(open_with(reinterpret_cast<const guardian_client_options&>(first)), GUARDIAN_BAD_ARGUMENT);
  struct Between {  // a record that ends inside a field is no version's record
    First known;
    uint16_t half;
  } between{};
  between.known.size = GUARDIAN_CLIENT_OPTIONS_SIZE_V1 + 2;
  between.half = 0xFFFF;
  EXPECT_EQ(open_with(reinterpret_cast<const guardian_client_options&>(between)), GUARDIAN_BAD_ARGUMENT);
  between.known.size = GUARDIAN_CLIENT_OPTIONS_SIZE_V1 + 4;
  EXPECT_EQ(open_with(reinterpret_cast<const guardian_client_options&>(between)), GUARDIAN_OK);
  guardian_client_options options{};
  options.size = GUARDIAN_CLIENT_OPTIONS_SIZE_V1 - 1;
  EXPECT_EQ(open_with(options), GUARDIAN_BAD_ARGUMENT);
  options.size = 0;
  EXPECT_EQ(open_with(options), GUARDIAN_BAD_ARGUMENT);  // no size
  options.size = sizeof options;
  EXPECT_EQ(open_with(options), GUARDIAN_OK);
  const auto with = [&options](auto change) {
    guardian_client_options changed = options;
    change(changed);
    return open_with(changed);
  };
  EXPECT_EQ(with([](auto& o) { o.flags = 2; }), GUARDIAN_BAD_ARGUMENT);
  EXPECT_EQ(with([](auto& o) { o.pipe_name = L"C:\\some\\file"; }), GUARDIAN_BAD_ARGUMENT);
  EXPECT_EQ(with([](auto& o) { o.pipe_name = L"\\\\.\\PIPE\\"; }), GUARDIAN_BAD_ARGUMENT);
  EXPECT_EQ(with([](auto& o) { o.pipe_name = L"\\\\.\\pipe\\..\\C:\\x"; }), GUARDIAN_BAD_ARGUMENT);
  EXPECT_EQ(with([](auto& o) { o.pipe_name = L"\\\\.\\pipe\\a/../../x"; }), GUARDIAN_BAD_ARGUMENT);
  EXPECT_EQ(with([](auto& o) { o.pipe_name = L"\\\\.\\PIPE\\x\\y"; }), GUARDIAN_OK);
  for (const wchar_t* folder : {L"", L"C:", L"relative\\dir", L"\\dir"}) {  // not full paths
    EXPECT_EQ(with([folder](auto& o) { o.server_folder = folder; }), GUARDIAN_BAD_ARGUMENT);
    EXPECT_EQ(with([folder](auto& o) { o.storage_folder = folder; }), GUARDIAN_BAD_ARGUMENT);
  }
  EXPECT_EQ(with([](auto& o) { o.server_folder = L"\\\\server\\share"; }), GUARDIAN_OK);
  EXPECT_EQ(guardian_client_open(nullptr, nullptr), GUARDIAN_BAD_ARGUMENT);

  guardian_client* client = nullptr;
  ASSERT_EQ(guardian_client_open(nullptr, &client), GUARDIAN_OK);
  char marker = 'x';  // outputs are set to NULL whatever the result
  char* body = &marker;
  char* code = &marker;
  for (const char* op : {"", "caf\xC3", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(guardian_client_send(client, op, &body, &code), GUARDIAN_BAD_ARGUMENT);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(code, nullptr);
  }
  EXPECT_EQ(guardian_client_send(nullptr, "ping", nullptr, nullptr), GUARDIAN_BAD_ARGUMENT);
  guardian_client_close(client);
  guardian_client_close(nullptr);

  EXPECT_STREQ(guardian_result_text(GUARDIAN_NOT_OK), "not_ok");
  EXPECT_STREQ(guardian_result_text(static_cast<guardian_result>(-1)), "unknown");
  EXPECT_STREQ(guardian_version(), build::kVersion);
  char* payload = &marker;
  EXPECT_EQ(guardian_verify_document("{\"payload\":", &payload), GUARDIAN_BAD_JSON);
  EXPECT_EQ(payload, nullptr);
  EXPECT_EQ(guardian_verify_document(R"({"payload":1,"signature":"AAAA"})", &payload), GUARDIAN_NOT_AUTHENTIC);
  EXPECT_EQ(guardian_verify_document(nullptr, &payload), GUARDIAN_BAD_ARGUMENT);
}

// The 32-bit DLL trusts the folder above its own only from a folder named x86.
TEST(ClientLibrary, DefaultTrustedFolder) {
  using sdk::default_trusted_folder;
  EXPECT_EQ(default_trusted_folder(L"C:\\Agent\\x86", true), L"C:\\Agent");
  EXPECT_EQ(default_trusted_folder(L"C:\\Agent\\X86", true), L"C:\\Agent");
  EXPECT_EQ(default_trusted_folder(L"Y:\\x86", true), L"Y:");  // opened as Y:'s root
  for (const wchar_t* own : {L"C:\\Users\\me\\Downloads", L"C:\\Agent\\x86-old", L"\\\\server\\x86", L"C:\\"})
    EXPECT_EQ(default_trusted_folder(own, true), own);
  EXPECT_EQ(default_trusted_folder(L"C:\\Agent\\x86", false), L"C:\\Agent\\x86");
}

// A cancel that comes with the identity child's end (a closing client ends its job) stops
// the pass: it is not the child's failure. The pass's thread is held while both happen.
TEST(ClientLibrary, ACancelThatComesWithTheChildsEndStopsThePass) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"FAKE_IDENTITY", L"hang"));  // for the child
  const UniqueHandle cancel = make_event();
  const UniqueHandle job(static_cast<HANDLE>(make_identity_job()));
  struct Pass {
    HANDLE cancel, job;
    ChildPass end;
    std::string why;
  } pass{cancel.get(), job.get(), ChildPass::done, {}};
  const auto run = [](void* context) -> DWORD {
    auto& p = *static_cast<Pass*>(context);
    DeviceIdentity ignored;
    p.end = identity_from_program(module_dir() + L"\\fake_identity.exe", 30000, p.cancel, ignored, p.why, p.job);
    return 0;
  };
  const UniqueHandle thread(CreateThread(nullptr, 0, run, &pass, 0, nullptr));
  const auto children = [&job] {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &info, sizeof info, nullptr);
    return info.ActiveProcesses;
  };
  for (int i = 0; i < 500 && children() == 0; ++i) Sleep(10);
  ASSERT_EQ(SuspendThread(thread.get()), 0u);
  SetEvent(cancel.get());
  TerminateJobObject(job.get(), 1);
  for (int i = 0; i < 500 && children() != 0; ++i) Sleep(10);
  ResumeThread(thread.get());
  WaitForSingleObject(thread.get(), 10000);
  SetEnvironmentVariableW(L"FAKE_IDENTITY", nullptr);
  EXPECT_EQ(pass.end, ChildPass::stopped) << pass.why;
}

TEST(ClientLibrary, CompanionSideChecksRequestsAndMakesReplies) {
  test::ScratchDir dir;
  guardian_client_options options{};
  options.size = sizeof options;
  options.flags = GUARDIAN_IDENTITY_IN_PROCESS;
  const std::wstring storage = dir.path();
  options.storage_folder = storage.c_str();
  guardian_client* client = nullptr;
  ASSERT_EQ(guardian_client_open(&options, &client), GUARDIAN_OK);
  EXPECT_EQ(guardian_client_load_key(client), GUARDIAN_NO_KEY);  // no channel.bin yet

  const DeviceIdentity identity = collect_device_identity();
  const ProtectedStore store(storage, identity.fingerprint);
  ASSERT_EQ(load_or_create_channel_secret(store).size(), 32u);
  Bytes key;
  ASSERT_EQ(load_channel_key(store, identity.fingerprint, key), ChannelFileState::opens);
  const std::string mac = request_mac(key, "ping", "n1");
  EXPECT_EQ(guardian_client_check_request(client, "ping", "n1", mac.c_str()), GUARDIAN_OK);
  EXPECT_EQ(guardian_client_check_request(client, "peer", "n1", mac.c_str()), GUARDIAN_NOT_AUTHENTIC);

  char* reply = nullptr;
  ASSERT_EQ(guardian_client_make_reply(client, 1, "n1", R"({"a":1})", &reply), GUARDIAN_OK);
  const json made = json::parse(reply);
  guardian_free(reply);
  EXPECT_TRUE(verify_reply(key, made, "n1"));
  EXPECT_EQ(made["ok"], true);
  ASSERT_EQ(guardian_client_make_reply(client, 0, "", "{}", &reply), GUARDIAN_OK);
  EXPECT_EQ(json::parse(reply)["nonce"].get<std::string>().size(), 32u);  // the nonce rule's
  guardian_free(reply);
  EXPECT_EQ(guardian_client_make_reply(client, 1, "n1", "[1]", &reply), GUARDIAN_BAD_ARGUMENT);
  EXPECT_EQ(guardian_client_make_reply(client, 1, "n1", "{", &reply), GUARDIAN_BAD_JSON);
  EXPECT_EQ(reply, nullptr);
  guardian_client_close(client);
}

}  // namespace
}  // namespace guardian
