// Portable: no Windows headers.
#include "device/identity_rules.hpp"

#include <algorithm>

#include "base/json_text.hpp"
#include "base/paths.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {

using nlohmann::json;

constexpr std::string_view kPlaceholderIds[] = {"TO BE FILLED BY O.E.M.", "DEFAULT STRING", "NONE", "0"};
constexpr std::string_view kVirtualAdapterMarkers[] = {"Virtual", "VMware", "Hyper-V", "TAP", "Bluetooth"};
constexpr std::string_view kNilUuid = "00000000-0000-0000-0000-000000000000";
constexpr std::string_view kMaxUuid = "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF";

constexpr int64_t kMiB = 1048576;
constexpr int64_t kDecimalGB = 1000000000;
constexpr int64_t kTwoTo32 = 4294967296;

bool is_blank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

void upper_ascii(std::string& text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

int64_t number(const WmiRow& row, const std::string& name) { return parse_leading_int64(row_text(row, name)); }

std::string trimmed(const WmiRow& row, const std::string& name) { return trim_blanks(row_text(row, name)); }

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

const std::array<IdentityQuery, 8>& identity_queries() {
  static const std::array<IdentityQuery, 8> queries = {{
      {"SELECT SerialNumber, Manufacturer, Product FROM Win32_BaseBoard",
       {"SerialNumber", "Manufacturer", "Product"},
       &IdentityRows::board, "Win32_BaseBoard"},
      {"SELECT UUID FROM Win32_ComputerSystemProduct",
       {"UUID"},
       &IdentityRows::system_product, "Win32_ComputerSystemProduct"},
      {"SELECT ProcessorId, Name, NumberOfCores, NumberOfLogicalProcessors, MaxClockSpeed FROM Win32_Processor",
       {"ProcessorId", "Name", "NumberOfCores", "NumberOfLogicalProcessors", "MaxClockSpeed"},
       &IdentityRows::processor, "Win32_Processor"},
      {"SELECT Index, SerialNumber, Model, Size FROM Win32_DiskDrive",
       {"Index", "SerialNumber", "Model", "Size"},
       &IdentityRows::disks, "Win32_DiskDrive"},
      {"SELECT Name, MACAddress, PhysicalAdapter, Index FROM Win32_NetworkAdapter WHERE PhysicalAdapter=TRUE",
       {"Name", "MACAddress", "PhysicalAdapter", "Index"},
       &IdentityRows::adapters, kAdapterClass},
      {"SELECT Caption, Version, BuildNumber, OSArchitecture FROM Win32_OperatingSystem",
       {"Caption", "Version", "BuildNumber", "OSArchitecture"},
       &IdentityRows::os, "Win32_OperatingSystem"},
      {"SELECT TotalPhysicalMemory FROM Win32_ComputerSystem",
       {"TotalPhysicalMemory"},
       &IdentityRows::computer_system, "Win32_ComputerSystem"},
      {"SELECT Name, AdapterRAM FROM Win32_VideoController",
       {"Name", "AdapterRAM"},
       &IdentityRows::video, "Win32_VideoController"},
  }};
  return queries;
}

std::string trim_blanks(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string normalize_id(std::string_view text) {
  std::string id = trim_blanks(text);
  upper_ascii(id);
  for (std::string_view placeholder : kPlaceholderIds)
    if (id == placeholder) return {};
  return id;
}

bool contains_ci(std::string_view text, std::string_view needle) {
  std::string haystack(text);
  std::string wanted(needle);
  upper_ascii(haystack);
  upper_ascii(wanted);
  return haystack.find(wanted) != std::string::npos;
}

const std::string& row_text(const WmiRow& row, const std::string& name) {
  static const std::string empty;
  const auto it = row.find(name);
  return it == row.end() ? empty : it->second;
}

std::vector<const WmiRow*> sorted_by_index(const WmiRows& rows) {
  std::vector<std::pair<int64_t, const WmiRow*>> keyed;
  keyed.reserve(rows.size());
  for (const WmiRow& row : rows) keyed.emplace_back(number(row, "Index"), &row);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<const WmiRow*> out;
  out.reserve(keyed.size());
  for (const auto& entry : keyed) out.push_back(entry.second);
  return out;
}

std::map<std::string, std::string> derive_components(const IdentityRows& rows, std::string_view machine_guid) {
  std::map<std::string, std::string> components;
  if (!rows.board.empty()) components["board"] = normalize_id(row_text(rows.board.front(), "SerialNumber"));
  if (!rows.system_product.empty()) components["uuid"] = normalize_id(row_text(rows.system_product.front(), "UUID"));
  if (!rows.processor.empty()) components["cpu"] = normalize_id(row_text(rows.processor.front(), "ProcessorId"));

  // The system disk is the one at Index 0, wherever WMI lists it.
  for (const WmiRow& disk : rows.disks) {
    if (row_text(disk, "Index") == "0") {
      components["disk"] = normalize_id(row_text(disk, "SerialNumber"));
      break;
    }
  }

  // The lowest-numbered real network card; virtual switches, tunnels and radios are skipped.
  for (const WmiRow* adapter : sorted_by_index(rows.adapters)) {
    if (row_text(*adapter, "PhysicalAdapter") != "true") continue;
    const std::string& mac = row_text(*adapter, "MACAddress");
    if (mac.empty()) continue;
    const std::string& name = row_text(*adapter, "Name");
    const bool is_virtual = std::any_of(std::begin(kVirtualAdapterMarkers), std::end(kVirtualAdapterMarkers),
                                        [&](std::string_view marker) { return contains_ci(name, marker); });
    if (is_virtual) continue;
    components["mac"] = normalize_id(mac);
    break;
  }

  components["mguid"] = normalize_id(machine_guid);

  // Firmware that never set a UUID reports all zeros or all F's; neither tells machines apart.
  const auto uuid = components.find("uuid");
  if (uuid != components.end() && (uuid->second == kNilUuid || uuid->second == kMaxUuid)) uuid->second.clear();
  return components;
}

std::string composed_text(const std::map<std::string, std::string>& components) {
  std::string text;
  for (std::string_view label : kFingerprintLabels) {
    const auto it = components.find(std::string(label));
    if (it == components.end() || it->second.empty()) continue;
    if (!text.empty()) text += '|';
    text.append(label).append("=").append(it->second);
  }
  return text;
}

void compose_fingerprint(DeviceIdentity& identity) {
  identity.parts.clear();
  for (std::string_view label : kFingerprintLabels) {
    const auto it = identity.components.find(std::string(label));
    if (it == identity.components.end() || it->second.empty()) continue;
    const std::string digest = to_hex(sha256(std::string(label) + ":" + it->second));
    identity.parts[it->first] = digest.substr(0, 16);
  }
  identity.fingerprint = to_hex(sha256(composed_text(identity.components)));
}

std::string mask_serial(std::string_view trimmed_serial) {
  // Start offsets of the characters; a stray continuation byte at the front counts as one.
  std::vector<size_t> starts;
  for (size_t i = 0; i < trimmed_serial.size(); ++i)
    if (i == 0 || !is_utf8_continuation(trimmed_serial[i])) starts.push_back(i);
  const size_t count = starts.size();
  if (count <= 4) return std::string(count, '*');
  std::string masked(count - 4, '*');
  masked.append(trimmed_serial.substr(starts[count - 4]));
  return masked;
}

json build_inventory(const IdentityRows& rows, const SystemFallbacks& system) {
  json hw = json::object();

  json board = json::object();
  board["vendor"] = rows.board.empty() ? std::string() : trimmed(rows.board.front(), "Manufacturer");
  board["product"] = rows.board.empty() ? std::string() : trimmed(rows.board.front(), "Product");
  hw["board"] = std::move(board);

  json cpu = json::object();
  if (rows.processor.empty()) {
    cpu["name"] = "";
    cpu["cores"] = system.processor_count;
    cpu["threads"] = system.processor_count;
    cpu["mhz"] = 0;
  } else {
    const WmiRow& row = rows.processor.front();
    cpu["name"] = trimmed(row, "Name");
    cpu["cores"] = number(row, "NumberOfCores");
    cpu["threads"] = number(row, "NumberOfLogicalProcessors");
    cpu["mhz"] = number(row, "MaxClockSpeed");
  }
  hw["cpu"] = std::move(cpu);

  json gpus = json::array();
  for (const WmiRow& row : rows.video) {
    // AdapterRAM is an unsigned 32-bit count that arrives as a signed one: 2 GiB and more
    // come out negative.
    int64_t bytes = number(row, "AdapterRAM");
    if (bytes < 0) bytes += kTwoTo32;
    json gpu = json::object();
    gpu["name"] = trimmed(row, "Name");
    gpu["vram_mb"] = bytes / kMiB;
    gpus.push_back(std::move(gpu));
  }
  hw["gpu"] = std::move(gpus);

  int64_t memory = rows.computer_system.empty() ? 0 : number(rows.computer_system.front(), "TotalPhysicalMemory");
  if (memory == 0) memory = static_cast<int64_t>(system.total_physical_bytes);
  hw["ram_mb"] = memory / kMiB;

  json disks = json::array();
  for (const WmiRow* row : sorted_by_index(rows.disks)) {
    json disk = json::object();
    disk["model"] = trimmed(*row, "Model");
    disk["size_gb"] = number(*row, "Size") / kDecimalGB;
    disk["serial_masked"] = mask_serial(trimmed(*row, "SerialNumber"));
    disks.push_back(std::move(disk));
  }
  hw["disks"] = std::move(disks);

  const std::string fallback_arch = system.native_amd64 ? "64-bit" : "32-bit";
  json os = json::object();
  if (rows.os.empty()) {
    os["name"] = "Windows";
    os["version"] = "";
    os["build"] = "";
    os["arch"] = fallback_arch;
  } else {
    const WmiRow& row = rows.os.front();
    os["name"] = trimmed(row, "Caption");
    os["version"] = trimmed(row, "Version");
    os["build"] = trimmed(row, "BuildNumber");
    std::string arch = trimmed(row, "OSArchitecture");
    os["arch"] = arch.empty() ? fallback_arch : arch;
  }
  hw["os"] = std::move(os);

  hw["hostname"] = system.hostname;
  return hw;
}

DeviceIdentity build_identity(const IdentityRows& rows, std::string_view machine_guid,
                              const SystemFallbacks& system) {
  DeviceIdentity identity;
  identity.components = derive_components(rows, machine_guid);
  compose_fingerprint(identity);
  identity.hardware = build_inventory(rows, system);
  for (const IdentityQuery& query : identity_queries())
    if ((rows.*query.target).empty()) identity.empty_queries.push_back(query.wmi_class);
  return identity;
}

bool identity_settled(const DeviceIdentity& identity) {
  return std::find(identity.empty_queries.begin(), identity.empty_queries.end(), kAdapterClass) ==
         identity.empty_queries.end();
}

size_t registry_text_length(const uint8_t* data, size_t byte_size) {
  size_t length = byte_size / 2;
  while (length > 0 && data[2 * length - 2] == 0 && data[2 * length - 1] == 0) --length;
  return length;
}

json identity_document(const DeviceIdentity& identity) {
  json document = json::object();
  document["fp"] = identity.fingerprint;
  document["fp_parts"] = json(identity.parts);
  document["hw"] = identity.hardware;
  return document;
}

bool identity_from_document(const json& document, DeviceIdentity& identity) {
  if (!document.is_object()) return false;
  const auto fp = document.find("fp");
  const auto parts = document.find("fp_parts");
  const auto hw = document.find("hw");
  if (fp == document.end() || parts == document.end() || hw == document.end()) return false;
  if (!fp->is_string() || !parts->is_object() || !hw->is_object()) return false;
  // The "specs" reply carries the inventory two levels down (reply, body): one nested deeper
  // would make a reply that no client accepts.
  if (!json_depth_within(*hw, kMaxJsonDepth - 2)) return false;
  const std::string& fingerprint = fp->get_ref<const std::string&>();
  if (fingerprint.size() != 64 ||
      fingerprint.find_first_not_of("0123456789abcdef") != std::string::npos)
    return false;
  DeviceIdentity read;
  for (const auto& [label, part] : parts->items()) {
    if (!part.is_string()) return false;
    read.parts[label] = part.get<std::string>();
  }
  read.fingerprint = fingerprint;
  read.hardware = *hw;
  identity = std::move(read);
  return true;
}

}  // namespace guardian
