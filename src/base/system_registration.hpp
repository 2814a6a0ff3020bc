#pragma once
// What "--install" registers with Windows beside the service, and "--uninstall" removes: the
// Event Log source of the service's entries, and Windows Error Reporting's local dumps of the
// agent. Whoever checks an installation reads the same names and values from here.
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

// HKLM\<kInstallRecordKey>: Version (REG_SZ), the version that "--install" installed last.
// An uninstall for an upgrade keeps it (with the Event Log source), so that the installation
// that follows names the version it replaces; a final removal deletes it, and the key above
// it when nothing else is left there.
inline constexpr wchar_t kInstallRecordKey[] = L"SOFTWARE\\Ostrival\\Guardian";
inline constexpr wchar_t kInstallRecordParentKey[] = L"SOFTWARE\\Ostrival";
inline constexpr wchar_t kInstalledVersionValue[] = L"Version";
// StorageFolder (REG_SZ) beside it: the folder the service uses instead of its default storage
// folder while a level of the default cannot be used (see runtime/storage_guard.hpp); absent
// otherwise. The clients read channel.bin there. Only LocalSystem and the Administrators may
// write the key.
inline constexpr wchar_t kStorageFolderValue[] = L"StorageFolder";

// HKLM\<kLocalDumpsKey>: DumpFolder (REG_EXPAND_SZ, kDumpFolderName in the default storage
// folder), DumpCount (REG_DWORD, the most dumps kept; the oldest is replaced) and DumpType
// (REG_DWORD, 1: a minidump). The key above it holds the machine-wide settings, and its
// presence alone turns local dumps on for every program: when "--install" has to create it,
// kCreatedParentValue (REG_DWORD 1) says so, and "--uninstall" removes it again if it is
// empty by then.
inline constexpr wchar_t kLocalDumpsParentKey[] = L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";
inline constexpr wchar_t kLocalDumpsKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\ostrival_guardian.exe";
inline constexpr wchar_t kCreatedParentValue[] = L"OstrivalCreatedLocalDumps";
inline constexpr wchar_t kDumpFolderValue[] = L"DumpFolder";
inline constexpr wchar_t kDumpCountValue[] = L"DumpCount";
inline constexpr wchar_t kDumpTypeValue[] = L"DumpType";
inline constexpr uint32_t kDumpCount = 5;
inline constexpr uint32_t kDumpTypeMini = 1;
inline constexpr wchar_t kDumpFolderName[] = L"dumps";

// The dump folder's protection: LocalSystem (which writes the service's dumps) and the
// Administrators only, not inherited. A dump holds the agent's memory, the channel key
// included, and the storage folder above lets every authenticated user read.
inline constexpr wchar_t kDumpFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace guardian
