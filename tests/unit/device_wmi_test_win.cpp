// WMI access and the identity pass against the system's own WMI and registry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <atomic>
#include <memory>
#include <thread>

#include "device/com.hpp"
#include "device/identity.hpp"
#include "device/identity_rules.hpp"
#include "device/wmi.hpp"
#include "runtime/agent.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {

bool is_lower_hex(const std::string& text, size_t length) {
  return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(VariantText, EveryType) {
  ScopedVariant v;
  auto text = [&](VARTYPE type, auto assign) {
    VARIANT* raw = v.put();
    raw->vt = type;
    assign(*raw);
    return variant_text(v.get());
  };
  EXPECT_EQ(text(VT_BSTR, [](VARIANT& x) { x.bstrVal = SysAllocString(L"Caf\u00e9 \u4e2d"); }), "Caf\xc3\xa9 \xe4\xb8\xad");
  EXPECT_EQ(text(VT_BSTR, [](VARIANT& x) { x.bstrVal = nullptr; }), "");
  EXPECT_EQ(text(VT_I2, [](VARIANT& x) { x.iVal = -32768; }), "-32768");
  EXPECT_EQ(text(VT_I4, [](VARIANT& x) { x.lVal = -2147483647 - 1; }), "-2147483648");
  EXPECT_EQ(text(VT_I8, [](VARIANT& x) { x.llVal = LLONG_MIN; }), "-9223372036854775808");
  EXPECT_EQ(text(VT_UI1, [](VARIANT& x) { x.bVal = 255; }), "255");
  EXPECT_EQ(text(VT_UI2, [](VARIANT& x) { x.uiVal = 65535; }), "65535");
  EXPECT_EQ(text(VT_UI4, [](VARIANT& x) { x.ulVal = 4294967295u; }), "4294967295");
  EXPECT_EQ(text(VT_UI8, [](VARIANT& x) { x.ullVal = UINT64_MAX; }), "18446744073709551615");
  EXPECT_EQ(text(VT_R8, [](VARIANT& x) { x.dblVal = -2.5; }), "-2.500000");
  EXPECT_EQ(text(VT_R8, [](VARIANT& x) { x.dblVal = 1e20; }), "100000000000000000000.000000");
  EXPECT_EQ(text(VT_BOOL, [](VARIANT& x) { x.boolVal = VARIANT_TRUE; }), "true");
  EXPECT_EQ(text(VT_BOOL, [](VARIANT& x) { x.boolVal = 1; }), "true");
  EXPECT_EQ(text(VT_BOOL, [](VARIANT& x) { x.boolVal = VARIANT_FALSE; }), "false");
  // Outside the table: empty, whatever the payload.
  EXPECT_EQ(text(VT_NULL, [](VARIANT&) {}), "");
  EXPECT_EQ(text(VT_EMPTY, [](VARIANT&) {}), "");
  EXPECT_EQ(text(VT_R4, [](VARIANT& x) { x.fltVal = 1.5f; }), "");
  EXPECT_EQ(text(VT_I1, [](VARIANT& x) { x.cVal = 'a'; }), "");
  EXPECT_EQ(text(VT_ARRAY | VT_BSTR, [](VARIANT& x) { x.parray = SafeArrayCreateVector(VT_BSTR, 0, 2); }), "");
  static LONG referenced = 7;
  EXPECT_EQ(text(VT_BYREF | VT_I4, [](VARIANT& x) { x.plVal = &referenced; }), "");
}

// An existing single-threaded apartment survives the pass: the multithreaded initialisation
// fails, the pass still works, and COM is not torn down under the thread's feet.
TEST(ComInit, LeavesAnExistingApartmentAlone) {
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
      const ScopedComInit mta(COINIT_MULTITHREADED);
      EXPECT_FALSE(mta.succeeded());
      EXPECT_EQ(mta.result(), RPC_E_CHANGED_MODE);
    }
    EXPECT_EQ(collect_device_identity().fingerprint.size(), 64u);
    // Still in the apartment: a further initialisation is only counted.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
  }).join();
}

TEST(WmiQuery, RowsAndMissingProperties) {
  EXPECT_TRUE(wmi_query(nullptr, "SELECT Index FROM Win32_DiskDrive", {"Index"}).empty());

  const ScopedComInit com(COINIT_MULTITHREADED);
  ComPtr<IWbemLocator> locator;
  ASSERT_TRUE(SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                         reinterpret_cast<void**>(locator.put()))));
  ComPtr<IWbemServices> services;
  const UniqueBstr name_space = make_bstr(L"ROOT\\CIMV2");
  ASSERT_TRUE(SUCCEEDED(
      locator.get()->ConnectServer(name_space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put())));

  const WmiRows disks = wmi_query(services.get(), "SELECT Index, Size FROM Win32_DiskDrive", {"Index", "Size", "Bogus"});
  ASSERT_FALSE(disks.empty());
  for (const WmiRow& row : disks) {
    EXPECT_EQ(row.count("Bogus"), 0u);
    EXPECT_FALSE(row_text(row, "Index").empty());
    EXPECT_GT(std::stoll(row_text(row, "Size")), 0);  // a 64-bit count delivered as text
  }
  EXPECT_TRUE(wmi_query(services.get(), "SELECT FROM WHERE", {"Index"}).empty());
  // A pass whose time is up asks nothing more; one with time left is answered.
  const char* const index = "SELECT Index FROM Win32_DiskDrive";
  EXPECT_TRUE(wmi_query(services.get(), index, {"Index"}, GetTickCount64() - 1).empty());
  EXPECT_FALSE(wmi_query(services.get(), index, {"Index"}, GetTickCount64() + 60000).empty());
}

TEST(CollectDeviceIdentity, AgreesWithItsComponents) {
  const DeviceIdentity id = collect_device_identity();
  ASSERT_TRUE(is_lower_hex(id.fingerprint, 64)) << id.fingerprint;
  EXPECT_EQ(id.fingerprint, to_hex(sha256(composed_text(id.components))));

  size_t contributing = 0;
  for (const auto& [label, value] : id.components) {
    if (value.empty()) continue;
    ++contributing;
    ASSERT_EQ(id.parts.count(label), 1u) << label;
    EXPECT_TRUE(is_lower_hex(id.parts.at(label), 16));
    EXPECT_EQ(id.parts.at(label), to_hex(sha256(label + ":" + value)).substr(0, 16));
  }
  EXPECT_EQ(id.parts.size(), contributing);
  EXPECT_FALSE(read_machine_guid().empty());
  EXPECT_EQ(id.components.at("mguid"), normalize_id(read_machine_guid()));

  for (const char* key : {"board", "cpu", "disks", "gpu", "hostname", "os", "ram_mb"})
    EXPECT_TRUE(id.hardware.contains(key)) << key;
  EXPECT_GT(id.hardware["ram_mb"].get<int64_t>(), 0);

  const DeviceIdentity again = collect_device_identity();
  EXPECT_EQ(again.fingerprint, id.fingerprint);
  EXPECT_EQ(again.hardware, id.hardware);
}

// The agent's pass: a child that fails has it run in the agent, at the first attempt only, on a
// thread that a stop leaves behind, so a pass that never returns holds up neither start-up nor
// the stop.
TEST(AgentIdentityPass, AStopEndsAPassThatNeverReturns) {
  const HANDLE stop = create_stop_event();
  const auto hang = std::make_shared<UniqueHandle>(make_event());
  const auto runs = std::make_shared<std::atomic<int>>(0);
  const IdentityPasses passes{[](DeviceIdentity&, std::string&) { return ChildPass::failed; },
                              [hang, runs] {
                                ++*runs;
                                WaitForSingleObject(hang->get(), INFINITE);
                                return DeviceIdentity{};
                              }};
  EXPECT_EQ(collect_agent_identity(false, passes).fingerprint, "");
  EXPECT_EQ(runs->load(), 0);
  std::thread stopper([stop, runs] {
    for (int i = 0; i < 500 && runs->load() == 0; ++i) Sleep(10);
    Sleep(100);  // the pass is under way, and hangs
    SetEvent(stop);
  });
  const ULONGLONG began = GetTickCount64();
  EXPECT_EQ(collect_agent_identity(true, passes).fingerprint, "");
  EXPECT_LT(GetTickCount64() - began, 2000u);
  stopper.join();
  ResetEvent(stop);
  SetEvent(hang->get());
  EXPECT_EQ(runs->load(), 1);
}

}  // namespace
}  // namespace guardian
