#pragma once
// What "--install" registers with Windows beside the service, and "--uninstall" removes: the
// Event Log source of the service's entries. Whoever checks an installation reads the same
// names and values from here.
#include <cstdint>

namespace guardian {

// HKLM\<kEventSourceKey>: EventMessageFile (REG_EXPAND_SZ, the full path of the agent's
// executable, which holds the message table) and TypesSupported (REG_DWORD: error, warning
// and information).
inline constexpr wchar_t kEventSourceName[] = L"OstrivalGuardian";
inline constexpr wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\OstrivalGuardian";
inline constexpr wchar_t kEventMessageFileValue[] = L"EventMessageFile";
inline constexpr wchar_t kTypesSupportedValue[] = L"TypesSupported";
inline constexpr uint32_t kEventTypesSupported = 0x7;  // EVENTLOG_ERROR_TYPE | _WARNING_TYPE | _INFORMATION_TYPE

}  // namespace guardian
