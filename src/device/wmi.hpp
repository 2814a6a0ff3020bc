#pragma once
// WMI access for the identity pass.
#include <windows.h>
#include <wbemidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/identity_rules.hpp"

namespace guardian {

// Each fetch from an enumeration waits at most this long, so a stuck provider cannot hang
// the agent's start-up.
inline constexpr long kWmiFetchTimeoutMs = 15000;
// All the queries of one identity pass end this long after the pass began, the connection
// to WMI included, however many rows they fetch: a WMI that is slow but answers costs the
// last queries (the inventory's), not the whole pass.
inline constexpr uint32_t kIdentityQueryBudgetMs = 90000;

// The value as text: strings as UTF-8, integers in decimal, doubles as "%f", booleans as
// "true"/"false"; "" for every other type (null, empty, arrays, references).
std::string variant_text(const VARIANT& value);

// Runs one WQL query and reads the named properties of each object, one object at a time,
// in the order WMI returns them. No services, a failed query or a failed fetch give the rows
// gathered so far; a property that cannot be read is left out of its row. With a deadline
// (a GetTickCount64 value), no fetch waits beyond it, and none is begun once it has passed.
WmiRows wmi_query(IWbemServices* services, std::string_view query, const std::vector<std::string>& properties,
                  uint64_t deadline_ms = 0);

}  // namespace guardian
