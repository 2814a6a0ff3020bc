#pragma once
// The device identity: a fingerprint of the machine, its per-component digests and a small
// hardware inventory, gathered in one pass over WMI and the registry.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace guardian {

struct DeviceIdentity {
  // 64 lowercase hex characters (SHA-256 of the composed text); empty only if hashing failed.
  std::string fingerprint;
  // For each label that contributed: the first 16 hex characters of SHA-256 of label ":" value.
  std::map<std::string, std::string> parts;
  // The hardware inventory: board, cpu, disks, gpu, hostname, os, ram_mb.
  nlohmann::json hardware = nlohmann::json::object();
  // Every label that was looked up, with its normalised value ("" when it was rejected).
  std::map<std::string, std::string> components;
  // The WMI classes whose query returned no rows, in query order; all eight when WMI could
  // not be reached.
  std::vector<std::string> empty_queries;
};

// The WMI class of the network adapters: a machine that is still booting shows them late.
inline constexpr char kAdapterClass[] = "Win32_NetworkAdapter";

// False when the pass saw no network adapter at all (or no WMI): every machine the agent
// serves has one, and one that is still booting lists its adapters only a little later. A
// secret sealed under such a pass would not open for the clients, which see the adapter.
bool identity_settled(const DeviceIdentity& identity);

// One full identity pass on the calling thread. Never throws for a WMI or registry failure:
// without WMI the fingerprint comes from the MachineGuid alone and the inventory from system
// calls, and one ERROR line is logged. Its queries end within kIdentityQueryBudgetMs of its
// start (device/wmi.hpp); the connection to WMI has no time-out of its own.
DeviceIdentity collect_device_identity();

// How an identity pass ended, in a child process or on a thread of its own: no_resources
// when this process could not make what the pass needs (a pipe, a job, an event).
enum class ChildPass { done, failed, timed_out, stopped, no_resources };

// The limit of an identity pass: its queries end within kIdentityQueryBudgetMs of its start
// (device/wmi.hpp); the rest is for starting the child process, a slow connection to WMI, the
// registry and the hashing.
inline constexpr unsigned long kIdentityPassLimitMs = 120000;

// Runs program (the agent's executable) with "--fingerprint --to-pipe NAME" in a child process
// that inherits no handle and has no window, and reads back the document it writes into the
// pipe NAME, which this process makes for it (identity_pipe_sddl) and takes only from that
// child: another client is disconnected, and foreign_client (optional) set. The child runs
// in job (a job object handle; when null, a job of the pass's own), which ends it when the
// job's last handle is closed, with its holder or with this process. The pass ends early, the
// child with it, when cancel_event (optional) is signalled: stopped, also when the child ended
// meanwhile; or after limit_ms: timed_out. On any other end than done, why says what went
// wrong. COM and WMI are loaded into the child only, never into the calling process.
ChildPass identity_from_program(const std::wstring& program, unsigned long limit_ms, void* cancel_event,
                                DeviceIdentity& identity, std::string& why, void* job = nullptr,
                                bool* foreign_client = nullptr);

// The security of the pipe that identity_from_program's child writes into, as SDDL: a
// protected access list for the user this process runs as and LocalSystem, and a label at
// this process's integrity level that refuses every lower level reading, writing and running.
// Empty when the process's token cannot be read.
std::wstring identity_pipe_sddl();

// A job object for identity_from_program's children, which ends every process in it when its
// last handle is closed: a HANDLE for the caller to close, null on failure.
void* make_identity_job();

// The name a child of identity_from_program writes its document into: a pipe of this machine
// with a name of letters, digits and dots only.
bool identity_pipe_name_acceptable(const std::wstring& name);

// A pass (collect_device_identity, or a stand-in) on a thread of its own, waited for together
// with cancel_event (optional), for at most limit_ms: the calling thread's COM apartment is
// never touched (the process's COM security may be). A pass left behind (WMI may keep it
// waiting) writes only into a record of its own, and holds the module its code is in until it
// ends. When no thread can be made: failed, with why.
ChildPass identity_on_own_thread(const std::function<DeviceIdentity()>& pass, unsigned long limit_ms,
                                 void* cancel_event, DeviceIdentity& identity, std::string& why);

// HKLM\SOFTWARE\Microsoft\Cryptography "MachineGuid" as UTF-8; empty on any failure.
std::string read_machine_guid();

// {"fp": fingerprint, "fp_parts": parts, "hw": hardware}, as the command line and the
// channel report it.
nlohmann::json identity_document(const DeviceIdentity& identity);

// The identity read back from such a document (components stay empty): false unless "fp" is
// 64 lowercase hexadecimal characters, "fp_parts" an object of strings and "hw" an object
// that a reply can carry (nested no deeper than kMaxJsonDepth - 2).
bool identity_from_document(const nlohmann::json& document, DeviceIdentity& identity);

}  // namespace guardian
