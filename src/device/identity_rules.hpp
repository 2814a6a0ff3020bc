#pragma once
// The rules that turn WMI rows and registry text into the device identity. Portable: no
// Windows header, so they can be exercised on rows built by hand.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/identity.hpp"

namespace guardian {

// One WMI result object: property name -> value as text. A property that could not be read
// is absent, and reads as "".
using WmiRow = std::map<std::string, std::string>;
using WmiRows = std::vector<WmiRow>;

// The results of the eight identity queries, in the order they run.
struct IdentityRows {
  WmiRows board;             // Win32_BaseBoard
  WmiRows system_product;    // Win32_ComputerSystemProduct
  WmiRows processor;         // Win32_Processor
  WmiRows disks;             // Win32_DiskDrive
  WmiRows adapters;          // Win32_NetworkAdapter (physical only)
  WmiRows os;                // Win32_OperatingSystem
  WmiRows computer_system;   // Win32_ComputerSystem
  WmiRows video;             // Win32_VideoController
};

struct IdentityQuery {
  const char* wql;
  std::vector<std::string> properties;  // exactly the SELECT list
  WmiRows IdentityRows::*target;
  const char* wmi_class;                // the class after FROM
};

// The eight queries, in the order they run.
const std::array<IdentityQuery, 8>& identity_queries();

// What the system reports outside WMI. The inventory falls back to these values when WMI
// has nothing; the host name always comes from here.
struct SystemFallbacks {
  int64_t processor_count = 0;        // GetSystemInfo
  uint64_t total_physical_bytes = 0;  // GlobalMemoryStatusEx, 0 when it failed
  bool native_amd64 = false;          // GetNativeSystemInfo
  std::string hostname;               // GetComputerNameExW(ComputerNameDnsHostname), "" on failure
};

// The fingerprint labels, in the order they enter the hashed text.
inline constexpr std::array<std::string_view, 6> kFingerprintLabels = {"board", "uuid", "cpu",
                                                                       "disk",  "mac",  "mguid"};

// Removes leading and trailing bytes of value 0x20 or below.
std::string trim_blanks(std::string_view text);

// Trimmed and ASCII upper-cased; "" for an empty text and for the firmware placeholders
// ("TO BE FILLED BY O.E.M.", "DEFAULT STRING", "NONE", "0").
std::string normalize_id(std::string_view text);

// ASCII case-insensitive substring test; an empty needle always occurs.
bool contains_ci(std::string_view text, std::string_view needle);

// The value of a property, "" when the row lacks it.
const std::string& row_text(const WmiRow& row, const std::string& name);

// Rows ordered by the numeric value of "Index" (non-numeric counts as 0); rows with equal
// Index keep their WMI order.
std::vector<const WmiRow*> sorted_by_index(const WmiRows& rows);

// The looked-up labels with their normalised values.
std::map<std::string, std::string> derive_components(const IdentityRows& rows, std::string_view machine_guid);

// board=B|uuid=U|... over the present, non-empty components in label order.
std::string composed_text(const std::map<std::string, std::string>& components);

// Fills fingerprint and parts from components.
void compose_fingerprint(DeviceIdentity& identity);

// A disk serial shown only by its last four characters: "****1234"; four characters or
// fewer become as many asterisks. Counted in UTF-8 characters, so a multi-byte character
// is never cut.
std::string mask_serial(std::string_view trimmed_serial);

// The hardware inventory; every key is present whatever the rows hold.
nlohmann::json build_inventory(const IdentityRows& rows, const SystemFallbacks& system);

// Components, fingerprint, parts, inventory and the queries without rows from one set of
// query results.
DeviceIdentity build_identity(const IdentityRows& rows, std::string_view machine_guid,
                              const SystemFallbacks& system);

// UTF-16 characters of a REG_SZ value, given as the byte_size bytes the registry returned:
// whole characters only, trailing terminators dropped (the registry does not promise one).
size_t registry_text_length(const uint8_t* data, size_t byte_size);

}  // namespace guardian
