#pragma once
// The device identity: a fingerprint of the machine, its per-component digests and a small
// hardware inventory, gathered in one pass over WMI and the registry.
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

// How an identity pass ended, in a child process or on a thread of its own.
enum class ChildPass { done, failed, timed_out, stopped };

// The limit of an identity pass: its queries end within kIdentityQueryBudgetMs of its start
// (device/wmi.hpp); the rest is for starting the child process, a slow connection to WMI, the
// registry and the hashing.
inline constexpr unsigned long kIdentityPassLimitMs = 120000;

// Runs program (the agent's executable) with "--fingerprint" in a child process that inherits
// nothing but its standard handles (output to a pipe, the rest to NUL) and has no window, and
// reads back its document. The pass ends early, the child with it, when cancel_event (optional)
// is signalled: stopped; or after limit_ms: timed_out. On failed, why says what went wrong.
// COM and WMI are loaded into the child only, never into the calling process.
ChildPass identity_from_program(const std::wstring& program, unsigned long limit_ms, void* cancel_event,
                                DeviceIdentity& identity, std::string& why);

// collect_device_identity on a thread of its own, which the caller waits for: the calling
// thread's COM apartment is never touched (the process's COM security may be).
DeviceIdentity collect_identity_on_own_thread();

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
