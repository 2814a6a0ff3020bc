#include <windows.h>
#include <wbemidl.h>

#include "device/com.hpp"
#include "device/identity.hpp"
#include "device/identity_rules.hpp"
#include "device/wmi.hpp"
#include "base/log.hpp"
#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

static_assert(sizeof(MEMORYSTATUSEX) == 64, "GlobalMemoryStatusEx expects a 64-byte record");

// Connects to ROOT\CIMV2. On failure logs one ERROR line and leaves services empty.
void connect_wmi(const ComApi& com, ComPtr<IWbemLocator>& locator, ComPtr<IWbemServices>& services) {
  HRESULT hr = com.CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(locator.put()));
  if (FAILED(hr) || !locator) {
    log_error("WMI locator failed: " + win_error_text(static_cast<unsigned long>(hr)));
    locator.reset();
    return;
  }
  const UniqueBstr name_space = make_bstr(L"ROOT\\CIMV2");
  hr = locator.get()->ConnectServer(name_space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
  if (FAILED(hr) || !services) {
    log_error("WMI ConnectServer failed: " + win_error_text(static_cast<unsigned long>(hr)));
    services.reset();
    return;
  }
  // The outcome is not examined: the queries show soon enough whether the blanket took.
  com.CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}

SystemFallbacks read_system_fallbacks() {
  SystemFallbacks system;
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  system.processor_count = info.dwNumberOfProcessors;

  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (GlobalMemoryStatusEx(&memory)) system.total_physical_bytes = memory.ullTotalPhys;

  SYSTEM_INFO native{};
  GetNativeSystemInfo(&native);
  system.native_amd64 = native.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;

  wchar_t host[256];
  DWORD length = 256;
  if (GetComputerNameExW(ComputerNameDnsHostname, host, &length)) system.hostname = to_utf8({host, length});
  return system;
}

}  // namespace

std::string read_machine_guid() {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS)
    return {};
  wchar_t buffer[256];  // 512 bytes; a longer value fails the query
  DWORD size = sizeof buffer;
  DWORD type = 0;
  if (RegQueryValueExW(key.get(), L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return {};
  return to_utf8(std::wstring_view(buffer, registry_text_length(reinterpret_cast<const uint8_t*>(buffer), size)));
}

DeviceIdentity collect_device_identity() {
  const uint64_t deadline = GetTickCount64() + kIdentityQueryBudgetMs;
  IdentityRows rows;
  std::string unavailable;
  if (const ComApi* com = com_api(unavailable)) {
    // Declared first, so every COM object below is released before COM goes.
    const ScopedComInit init(COINIT_MULTITHREADED);
    // Another part of the process may have set security already; the default then stands.
    com->CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr);
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    connect_wmi(*com, locator, services);
    if (services) {
      for (const IdentityQuery& query : identity_queries())
        rows.*query.target = wmi_query(services.get(), query.wql, query.properties, deadline);
    }
  } else {
    log_error("WMI unavailable: " + unavailable);
  }
  return build_identity(rows, read_machine_guid(), read_system_fallbacks());
}

}  // namespace guardian
