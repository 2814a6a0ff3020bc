#pragma once
// The agent's two settings and the places where it keeps its files.
#include <cstdint>
#include <string>

#include "base/module_path.hpp"
#include "base/paths.hpp"
#include "channel/channel_places.hpp"

namespace guardian {

inline constexpr wchar_t kStorageDirVar[] = L"OV_STORAGE_DIR";
inline constexpr wchar_t kWatchdogIntervalVar[] = L"OV_WATCHDOG_INTERVAL_SEC";
inline constexpr int64_t kDefaultWatchdogIntervalSec = 60;

// A variable's value, or empty when it is unset, empty, or 4096 characters or longer.
std::wstring env_value(const wchar_t* name);

// OV_STORAGE_DIR unchanged when honour_env is set and the variable is non-empty;
// otherwise the default storage directory. Empty when honour_env is set and the variable is
// too long to read (4096 characters or more): a value "used as given" has no fallback, so
// the caller reports storage_dir_env_error() instead.
std::wstring resolve_storage_dir(bool honour_env);

// For the clients (the commands, the companion): OV_STORAGE_DIR as resolve_storage_dir(true)
// reads it, else the folder the service uses (storage_dir_in_use), where channel.bin is.
std::wstring resolve_client_storage_dir();

// Why resolve_storage_dir gave nothing: "OV_STORAGE_DIR is too long (N characters; ...)".
std::string storage_dir_env_error();

// default_storage_dir() is the channel's (channel/channel_places.hpp), module_dir() and its
// kin are base's (base/module_path.hpp): the client library reads them too.

// The longest storage directory, in characters. Without long-path support a Windows path
// holds at most 259 characters, and the agent's files need room below the directory
// ("guardian.log.1", the temporary files of "channel.bin").
inline constexpr size_t kStorageDirMaxChars = 200;

// SHCreateDirectoryExW of the directory: 0 when created, 80/183 when it already exists,
// any other Windows error code otherwise (ERROR_FILENAME_EXCED_RANGE, without creating
// anything, for a directory longer than kStorageDirMaxChars). The default storage directory and
// its parent "Ostrival", when this call creates them, get kStorageDirSddl instead of what the
// common application-data folder passes on (which would let any user create folders there
// and own them); see create_secured_dir.
int create_storage_dir(const std::wstring& dir);

// Creates the directory and its parent, each with kStorageDirSddl when this call creates it
// (any missing level above them as SHCreateDirectoryExW would). The results of
// create_storage_dir: 0 when the directory was created, 183 when it was already there.
int create_secured_dir(const std::wstring& dir);

// One level of create_secured_dir: the directory with kStorageDirSddl, any missing level
// above it without.
int create_secured_level(const std::wstring& dir);

// Whether dir names the default storage directory (case-insensitive, as spelled).
bool is_default_storage_dir(const std::wstring& dir);

// LocalSystem and Administrators: full control; authenticated users: read and traverse, so
// the suite's applications can read "channel.bin". Not inherited from the parent.
inline constexpr wchar_t kStorageDirSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;AU)";
inline bool storage_dir_result_ok(int result) { return result == 0 || result == 80 || result == 183; }

// Creates the storage directory where it is missing and checks that a directory stands
// there. Empty when it is usable; otherwise why not, for the log: the path is too long, a
// file stands in its place, or the Windows error of the creation.
std::string prepare_storage_dir(const std::wstring& dir);

// The folder where Windows Error Reporting keeps the agent's crash dumps ("dumps" in the
// default storage folder, as "--install" configures it): created with kDumpFolderSddl, or,
// when it is there already (Windows Error Reporting creates a missing one with what the
// storage folder passes on, which every authenticated user may read), given that protection
// again, which also reaches the dumps in it. Empty when done; otherwise a line for the log.
std::string prepare_dump_folder(const std::wstring& storage_dir);

// Records in the registry the folder the service uses, dir: StorageFolder while it is a
// fallback (removed when it is the default), and Windows Error Reporting's DumpFolder for the
// agent (where "--install" has set one) in its "dumps", since a dump holds the channel key and
// a default folder that could not be used is one a user holds. Empty when done; otherwise
// what failed, for a WARN line.
std::string record_storage_in_use(const std::wstring& dir, bool fallback);

// OV_WATCHDOG_INTERVAL_SEC when it holds a number above 0, else the default of 60.
int64_t watchdog_interval_from_env();

}  // namespace guardian
