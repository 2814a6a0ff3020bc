// WMI rows as text, through the fingerprint and inventory rules (build_identity). The input
// is read as lines: the MachineGuid; then the host name, processor count, memory bytes and
// "1" for a 64-bit system, separated by tabs; then one line per row: the query's number
// (0-7, in the order the queries run) and the values of its SELECT list in order, each after
// a tab (an empty or missing value is an absent property, which reads as empty).
//
// Whatever the rows hold, the identity is whole: a 64-hex fingerprint over the normalised
// components, a 16-hex part for each contributing one, and an inventory with every key and
// every type in place. When the text is valid UTF-8 (as text converted from WMI's UTF-16
// always is) the identity also travels: the "specs" reply that carries it verifies after a
// trip over the wire, and the document that the identity pass in a child process prints
// reads back as the same identity.
#include <set>

#include "base/paths.hpp"
#include "device/identity_rules.hpp"
#include "fuzz_support.hpp"
#include "store/crypto.hpp"

namespace {

using guardian::IdentityRows;
using guardian::WmiRow;
using nlohmann::json;

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t cut = text.find(separator);
    parts.push_back(text.substr(0, cut));
    if (cut == text.npos) return parts;
    text.remove_prefix(cut + 1);
  }
}

bool valid_utf8(std::string_view text) {
  try {
    (void)json(std::string(text)).dump();
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

bool is_string_object(const json& v, std::initializer_list<const char*> keys) {
  if (!v.is_object() || v.size() != keys.size()) return false;
  for (const char* key : keys)
    if (!v.contains(key) || !v[key].is_string()) return false;
  return true;
}

size_t utf8_characters(std::string_view text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i)
    if (i == 0 || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
  return n;
}

void check_inventory(const json& hw, const IdentityRows& rows, const guardian::SystemFallbacks& system) {
  FUZZ_CHECK(hw.is_object() && hw.size() == 7);
  FUZZ_CHECK(is_string_object(hw["board"], {"vendor", "product"}));
  FUZZ_CHECK(is_string_object(hw["os"], {"name", "version", "build", "arch"}));
  FUZZ_CHECK(hw["hostname"] == system.hostname);
  FUZZ_CHECK(hw["ram_mb"].is_number_integer());
  const json& cpu = hw["cpu"];
  FUZZ_CHECK(cpu.is_object() && cpu.size() == 4 && cpu["name"].is_string());
  for (const char* key : {"cores", "threads", "mhz"}) FUZZ_CHECK(cpu[key].is_number_integer());

  FUZZ_CHECK(hw["gpu"].is_array() && hw["gpu"].size() == rows.video.size());
  for (const json& gpu : hw["gpu"])
    FUZZ_CHECK(gpu.size() == 2 && gpu["name"].is_string() && gpu["vram_mb"].is_number_integer());

  const auto sorted = guardian::sorted_by_index(rows.disks);
  FUZZ_CHECK(hw["disks"].is_array() && hw["disks"].size() == sorted.size());
  for (size_t i = 0; i < sorted.size(); ++i) {
    const json& disk = hw["disks"][i];
    FUZZ_CHECK(disk.size() == 3 && disk["model"].is_string() && disk["size_gb"].is_number_integer());
    // Only the last four characters of the serial show; the rest are as many asterisks.
    const std::string serial = guardian::trim_blanks(guardian::row_text(*sorted[i], "SerialNumber"));
    const std::string& masked = disk["serial_masked"].get_ref<const std::string&>();
    const size_t count = utf8_characters(serial);
    FUZZ_CHECK(utf8_characters(masked) == count);
    const size_t stars = count > 4 ? count - 4 : count;
    FUZZ_CHECK(masked.compare(0, stars, std::string(stars, '*')) == 0);
    const size_t shown = masked.size() - stars;
    FUZZ_CHECK(count > 4 || shown == 0);
    FUZZ_CHECK(shown <= serial.size() && serial.compare(serial.size() - shown, shown, masked, stars, shown) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = guardian::fuzz::text_of(data, size);
  const std::vector<std::string_view> lines = split(text, '\n');
  const std::string machine_guid(lines[0]);

  guardian::SystemFallbacks system;
  if (lines.size() > 1) {
    const auto fields = split(lines[1], '\t');
    system.hostname = std::string(fields[0]);
    if (fields.size() > 1) system.processor_count = guardian::parse_leading_int64(fields[1]);
    if (fields.size() > 2) system.total_physical_bytes = static_cast<uint64_t>(guardian::parse_leading_int64(fields[2]));
    if (fields.size() > 3) system.native_amd64 = fields[3] == "1";
  }

  IdentityRows rows;
  const auto& queries = guardian::identity_queries();
  for (size_t i = 2; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const auto fields = split(lines[i], '\t');
    // "0" to "7" name the queries; any other first byte stands for one of them too.
    const unsigned char tag = fields[0].empty() ? '0' : static_cast<unsigned char>(fields[0][0]);
    const auto& query = queries[static_cast<unsigned>(tag - '0') % queries.size()];
    WmiRow row;
    for (size_t p = 0; p < query.properties.size() && p + 1 < fields.size(); ++p)
      if (!fields[p + 1].empty()) row[query.properties[p]] = std::string(fields[p + 1]);
    (rows.*query.target).push_back(std::move(row));
  }

  const guardian::DeviceIdentity identity = guardian::build_identity(rows, machine_guid, system);

  // Components: looked up by label, each already in normal form.
  std::set<std::string> labels(guardian::kFingerprintLabels.begin(), guardian::kFingerprintLabels.end());
  FUZZ_CHECK(identity.components.count("mguid") == 1);
  for (const auto& [label, value] : identity.components) {
    FUZZ_CHECK(labels.count(label) == 1);
    FUZZ_CHECK(guardian::normalize_id(value) == value);
  }
  const auto uuid = identity.components.find("uuid");
  if (uuid != identity.components.end())
    FUZZ_CHECK(uuid->second != "00000000-0000-0000-0000-000000000000" &&
               uuid->second != "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF");

  // The fingerprint over exactly the contributing components, one part for each.
  FUZZ_CHECK(guardian::fuzz::is_lower_hex(identity.fingerprint, 64));
  FUZZ_CHECK(identity.fingerprint ==
             guardian::to_hex(guardian::sha256(guardian::composed_text(identity.components))));
  size_t contributing = 0;
  for (const auto& [label, value] : identity.components) {
    if (value.empty()) continue;
    ++contributing;
    FUZZ_CHECK(identity.parts.count(label) == 1 && guardian::fuzz::is_lower_hex(identity.parts.at(label), 16));
  }
  FUZZ_CHECK(identity.parts.size() == contributing);

  check_inventory(identity.hardware, rows, system);

  if (valid_utf8(text)) {
    const json body = {{"fp", identity.fingerprint}, {"fp_parts", identity.parts}, {"hw", identity.hardware}};
    guardian::fuzz::check_reply_travels(guardian::make_reply(guardian::fuzz::channel_key(), true, "n", body), "n");
    // The identity pass in a child process: its document as printed, read back by the agent.
    const std::string printed = guardian::pretty_json(guardian::identity_document(identity));
    guardian::DeviceIdentity read;
    FUZZ_CHECK(guardian::identity_from_document(guardian::parse_json(printed.begin(), printed.end()), read));
    FUZZ_CHECK(read.fingerprint == identity.fingerprint && read.parts == identity.parts &&
               read.hardware == identity.hardware);
  }
  return 0;
}
