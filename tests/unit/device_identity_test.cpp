// The identity rules on rows built by hand: components, composition, inventory, masking.
#include <gtest/gtest.h>

#include "base/json_text.hpp"
#include "device/identity_rules.hpp"
#include "store/crypto.hpp"

namespace guardian {
namespace {

using nlohmann::json;

std::string hex_sha256(const std::string& text) { return to_hex(sha256(text)); }

WmiRow adapter(const std::string& index, const std::string& name, const std::string& mac,
               const std::string& physical = "true") {
  return {{"Index", index}, {"Name", name}, {"MACAddress", mac}, {"PhysicalAdapter", physical}};
}

TEST(NormalizeId, RejectsPlaceholdersAndBlanks) {
  for (const char* id : {"To be filled by O.E.M.", "  default string\t", "none", " NONE ", "0", "\r\n0 ", "", "   ",
                         "\x01\x1f"})
    EXPECT_EQ(normalize_id(id), "") << '"' << id << '"';
  // Only the whole value is compared: a placeholder inside a serial is kept.
  EXPECT_EQ(normalize_id(" ab 12  cd\t"), "AB 12  CD");
  EXPECT_EQ(normalize_id("00"), "00");
  EXPECT_EQ(normalize_id("None1"), "NONE1");
  // Bytes of 0x80 and above are neither trimmed nor case-mapped.
  EXPECT_EQ(normalize_id("\xc3\xa9x\xc2\xa0"), "\xc3\xa9X\xc2\xa0");
}

TEST(ContainsCi, AsciiCaseInsensitive) {
  EXPECT_TRUE(contains_ci("Intel(R) Wireless Bluetooth(R)", "BLUETOOTH"));
  EXPECT_TRUE(contains_ci("hyper-v virtual ethernet", "Hyper-V"));
  EXPECT_TRUE(contains_ci("anything", ""));
  EXPECT_FALSE(contains_ci("Realtek PCIe GbE", "TAP"));
  EXPECT_FALSE(contains_ci("", "x"));
}

TEST(Components, FirstRowsAndUuidRules) {
  IdentityRows rows;
  rows.board = {{{"SerialNumber", "  bsn-1 "}}, {{"SerialNumber", "second"}}};
  rows.processor = {{{"ProcessorId", "bfebfbff000906ea"}}};
  for (const char* nil : {"00000000-0000-0000-0000-000000000000", "ffffffff-ffff-ffff-ffff-ffffffffffff",
                          " FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF "}) {
    rows.system_product = {{{"UUID", nil}}};
    const auto c = derive_components(rows, "");
    ASSERT_EQ(c.count("uuid"), 1u);
    EXPECT_EQ(c.at("uuid"), "") << nil;
  }
  rows.system_product = {{{"UUID", "4c4c4544-0042-3510-8052-b4c04f4b4e32"}}};
  const auto c = derive_components(rows, "");
  EXPECT_EQ(c.at("uuid"), "4C4C4544-0042-3510-8052-B4C04F4B4E32");
  EXPECT_EQ(c.at("board"), "BSN-1");
  EXPECT_EQ(c.at("cpu"), "BFEBFBFF000906EA");
  // Looked up but empty; never looked up at all.
  EXPECT_EQ(c.at("mguid"), "");
  EXPECT_EQ(c.count("disk"), 0u);
  EXPECT_EQ(c.count("mac"), 0u);
}

TEST(Components, DiskAtIndexZeroWhateverTheOrder) {
  IdentityRows rows;
  rows.disks = {{{"Index", "1"}, {"SerialNumber", "second"}},
                {{"Index", "0"}, {"SerialNumber", " system "}},
                {{"Index", "0"}, {"SerialNumber", "later"}}};
  EXPECT_EQ(derive_components(rows, "").at("disk"), "SYSTEM");
  // " 0" is numerically zero but not the text "0".
  rows.disks = {{{"Index", "1"}, {"SerialNumber", "a"}}, {{"Index", " 0"}, {"SerialNumber", "b"}}};
  EXPECT_EQ(derive_components(rows, "").count("disk"), 0u);
}

TEST(Components, AdapterFilterAndNumericOrder) {
  IdentityRows rows;
  rows.adapters = {adapter("3", "Bluetooth Device (Personal Area Network)", "AA:AA:AA:AA:AA:01"),
                   adapter("7", "Hyper-V Virtual Ethernet Adapter", "AA:AA:AA:AA:AA:02")};
  EXPECT_EQ(derive_components(rows, "").count("mac"), 0u);

  // Index 10 sorts after 9 although WMI lists it first and "10" < "9" as text.
  rows.adapters = {adapter("10", "Intel Ethernet", "00:00:00:00:00:10"),
                   adapter("9", "Realtek Ethernet", "00:00:00:00:00:09")};
  EXPECT_EQ(derive_components(rows, "").at("mac"), "00:00:00:00:00:09");

  // Skipped: not physical, no MAC, and each virtual marker in any case.
  rows.adapters = {adapter("0", "Intel Ethernet", "00:00:00:00:00:01", "false"),
                   adapter("1", "Intel Ethernet", ""),
                   adapter("2", "VMWARE network", "00:00:00:00:00:02"),
                   adapter("3", "TAP-Windows Adapter V9", "00:00:00:00:00:03"),
                   adapter("4", "virtual box", "00:00:00:00:00:04"),
                   adapter("x", "Wi-Fi", "00:00:00:00:00:05"),  // non-numeric Index counts as 0
                   adapter("5", "Ethernet", "00:00:00:00:00:06")};
  EXPECT_EQ(derive_components(rows, "").at("mac"), "00:00:00:00:00:05");
}

TEST(Fingerprint, ComposedTextAndParts) {
  DeviceIdentity id;
  id.components = {{"board", ""}, {"cpu", "C1"}, {"mguid", "G1"}, {"uuid", ""}};
  EXPECT_EQ(composed_text(id.components), "cpu=C1|mguid=G1");
  compose_fingerprint(id);
  EXPECT_EQ(id.fingerprint, hex_sha256("cpu=C1|mguid=G1"));
  ASSERT_EQ(id.parts.size(), 2u);
  EXPECT_EQ(id.parts.at("cpu"), hex_sha256("cpu:C1").substr(0, 16));
  EXPECT_EQ(id.parts.at("mguid"), hex_sha256("mguid:G1").substr(0, 16));

  // Fixed label order, not alphabetical.
  id.components = {{"board", "B"}, {"uuid", "U"}, {"cpu", "C"}, {"disk", "D"}, {"mac", "M"}, {"mguid", "G"}};
  EXPECT_EQ(composed_text(id.components), "board=B|uuid=U|cpu=C|disk=D|mac=M|mguid=G");

  id.components.clear();
  compose_fingerprint(id);
  EXPECT_EQ(id.fingerprint, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_TRUE(id.parts.empty());
}

TEST(Fingerprint, StableAcrossCaseAndBlanks) {
  IdentityRows rows;
  rows.processor = {{{"ProcessorId", "bfebfbff000906ea"}}};
  const DeviceIdentity lower = build_identity(rows, "6f1c2d3e-aaaa-bbbb-cccc-0123456789ab", {});
  rows.processor = {{{"ProcessorId", "BFEBFBFF000906EA   "}}};
  const DeviceIdentity upper = build_identity(rows, "6F1C2D3E-AAAA-BBBB-CCCC-0123456789AB", {});
  EXPECT_EQ(lower.fingerprint, upper.fingerprint);
  EXPECT_EQ(lower.parts, upper.parts);
}

TEST(Fingerprint, AnIdentityWithoutAdapterRowsHasNotSettled) {
  IdentityRows rows;
  rows.processor = {{{"ProcessorId", "C1"}}};
  DeviceIdentity id = build_identity(rows, "G1", {});
  EXPECT_EQ(id.empty_queries,
            (std::vector<std::string>{"Win32_BaseBoard", "Win32_ComputerSystemProduct", "Win32_DiskDrive",
                                      "Win32_NetworkAdapter", "Win32_OperatingSystem", "Win32_ComputerSystem",
                                      "Win32_VideoController"}));
  EXPECT_FALSE(identity_settled(id));
  // A row that the filter rejects still shows the adapters are listed: settled, without "mac".
  rows.adapters = {adapter("0", "Bluetooth Device", "AA:BB:CC:DD:EE:FF")};
  id = build_identity(rows, "G1", {});
  EXPECT_TRUE(identity_settled(id));
  EXPECT_EQ(id.parts.count("mac"), 0u);
}

TEST(Fingerprint, WithoutWmiOnlyTheMachineGuid) {
  const DeviceIdentity id = build_identity({}, "6f1c2d3e-aaaa-bbbb-cccc-0123456789ab", {4, 1ull << 34, true, "host"});
  EXPECT_EQ(id.fingerprint, hex_sha256("mguid=6F1C2D3E-AAAA-BBBB-CCCC-0123456789AB"));
  ASSERT_EQ(id.parts.size(), 1u);
  EXPECT_EQ(id.parts.count("mguid"), 1u);
  EXPECT_EQ(id.empty_queries.size(), 8u);
  EXPECT_FALSE(identity_settled(id));
  EXPECT_EQ(id.hardware, json::parse(R"({
    "board": {"product": "", "vendor": ""},
    "cpu": {"cores": 4, "mhz": 0, "name": "", "threads": 4},
    "disks": [], "gpu": [], "hostname": "host",
    "os": {"arch": "64-bit", "build": "", "name": "Windows", "version": ""},
    "ram_mb": 16384})"));
}

// The agent reads its identity back from the document a child process printed.
TEST(IdentityDocument, ReadBackAsWrittenAndRefusedWhenMalformed) {
  DeviceIdentity written;
  written.fingerprint = std::string(64, 'a');
  written.parts = {{"cpu", "0123456789abcdef"}, {"mguid", "fedcba9876543210"}};
  written.hardware = json{{"ram_mb", 1024}, {"disks", json::array()}};
  DeviceIdentity read;
  ASSERT_TRUE(identity_from_document(identity_document(written), read));
  EXPECT_EQ(read.fingerprint, written.fingerprint);
  EXPECT_EQ(read.parts, written.parts);
  EXPECT_EQ(read.hardware, written.hardware);

  const json good = identity_document(written);
  std::vector<json> bad(8, good);
  bad[0] = json::array();
  bad[1]["fp"] = std::string(63, 'a');
  bad[2]["fp"] = std::string(64, 'A');
  bad[3]["fp_parts"]["cpu"] = 7;
  bad[4]["hw"] = json::array();
  bad[5].erase("hw");
  bad[6]["fp_parts"] = "cpu";
  json deep = json::object();  // one level more than a "specs" reply can carry
  for (int depth = 1; depth < kMaxJsonDepth - 1; ++depth) deep = json{{"x", std::move(deep)}};
  bad[7]["hw"] = std::move(deep);
  for (const json& document : bad) {
    DeviceIdentity untouched = read;
    EXPECT_FALSE(identity_from_document(document, untouched)) << document.dump();
    EXPECT_EQ(untouched.parts, read.parts);
  }
}

TEST(MaskSerial, KeepsLastFourCharacters) {
  EXPECT_EQ(mask_serial(""), "");
  EXPECT_EQ(mask_serial("WD12"), "****");
  EXPECT_EQ(mask_serial("a"), "*");
  EXPECT_EQ(mask_serial("S3Z9NB"), "**Z9NB");
  // A multi-byte character is masked or kept whole, never cut.
  EXPECT_EQ(mask_serial("\xc3\xa9" "ABCD"), "*ABCD");
  EXPECT_EQ(mask_serial("XY\xc3\xa9" "ABC"), "**\xc3\xa9" "ABC");
}

TEST(Inventory, NumberRules) {
  IdentityRows rows;
  rows.video = {{{"Name", " GPU A "}, {"AdapterRAM", "-2147483648"}},  // 2 GiB through a signed 32-bit value
                {{"Name", "GPU B"}, {"AdapterRAM", "1073741824"}},
                {{"Name", "GPU C"}}};
  rows.disks = {{{"Index", "1"}, {"Model", "Second "}, {"Size", "999999999"}, {"SerialNumber", "S3Z9NB    "}},
                {{"Index", "0"}, {"Model", "First"}, {"Size", "512110190592"}, {"SerialNumber", "WD12"}}};
  rows.computer_system = {{{"TotalPhysicalMemory", "17179869184"}}};
  const json hw = build_inventory(rows, {2, 1ull << 33, true, ""});
  EXPECT_EQ(hw["gpu"], json::parse(R"([{"name": "GPU A", "vram_mb": 2048}, {"name": "GPU B", "vram_mb": 1024},
                                       {"name": "GPU C", "vram_mb": 0}])"));
  EXPECT_EQ(hw["disks"], json::parse(R"([{"model": "First", "serial_masked": "****", "size_gb": 512},
                                         {"model": "Second", "serial_masked": "**Z9NB", "size_gb": 0}])"));
  EXPECT_EQ(hw["ram_mb"], 16384);
  EXPECT_TRUE(hw["ram_mb"].is_number_integer());

  // A zero or unreadable total falls back to the system's figure.
  rows.computer_system = {{{"TotalPhysicalMemory", "unknown"}}};
  EXPECT_EQ(build_inventory(rows, {2, 1ull << 33, true, ""})["ram_mb"], 8192);
}

TEST(Inventory, RowsWithMissingPropertiesStillFillEveryKey) {
  IdentityRows rows;
  rows.board = {{}};
  rows.processor = {{{"Name", " CPU "}, {"NumberOfCores", "8"}, {"NumberOfLogicalProcessors", "16"}}};
  rows.disks = {{}};
  rows.video = {{}};
  rows.os = {{{"Caption", "Windows 11 Pro "}, {"BuildNumber", "22631"}, {"OSArchitecture", "  "}}};
  const json hw = build_inventory(rows, {2, 0, false, "h"});
  EXPECT_EQ(hw["cpu"], json::parse(R"({"cores": 8, "mhz": 0, "name": "CPU", "threads": 16})"));
  EXPECT_EQ(hw["os"], json::parse(R"({"arch": "32-bit", "build": "22631", "name": "Windows 11 Pro", "version": ""})"));
  EXPECT_EQ(hw["board"], json::parse(R"({"product": "", "vendor": ""})"));
  EXPECT_EQ(hw["disks"][0], json::parse(R"({"model": "", "serial_masked": "", "size_gb": 0})"));
  EXPECT_EQ(hw["ram_mb"], 0);

  std::vector<const json*> pending = {&hw};
  while (!pending.empty()) {
    const json* node = pending.back();
    pending.pop_back();
    EXPECT_FALSE(node->is_null());
    if (node->is_structured())
      for (const json& child : *node) pending.push_back(&child);
  }
  for (const char* key : {"board", "cpu", "disks", "gpu", "hostname", "os", "ram_mb"})
    EXPECT_TRUE(hw.contains(key)) << key;
}

TEST(RegistryText, TerminatorIsOptional) {
  const uint8_t with_nul[] = {'a', 0, 'b', 0, 0, 0};  // three UTF-16 characters stored, the last a terminator
  EXPECT_EQ(registry_text_length(with_nul, 6), 2u);
  EXPECT_EQ(registry_text_length(with_nul, 4), 2u);  // stored without one: nothing is lost
  EXPECT_EQ(registry_text_length(with_nul, 5), 2u);  // an odd byte is not a character
  EXPECT_EQ(registry_text_length(with_nul, 1), 0u);
}

}  // namespace
}  // namespace guardian
