#include "device/wmi.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "device/com.hpp"
#include "base/text.hpp"

namespace guardian {
namespace {

// What SysStringLen gives, read from the length prefix every BSTR carries: the size of its text
// in bytes, in the four bytes before the first character.
size_t bstr_length(BSTR text) {
  uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - sizeof bytes, sizeof bytes);
  return bytes / sizeof(wchar_t);
}

}  // namespace

std::string variant_text(const VARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      if (!value.bstrVal) return {};
      return to_utf8(std::wstring_view(value.bstrVal, bstr_length(value.bstrVal)));
    case VT_I2:
      return std::to_string(value.iVal);
    case VT_I4:
      return std::to_string(value.lVal);
    case VT_I8:
      return std::to_string(value.llVal);
    case VT_UI1:
      return std::to_string(value.bVal);
    case VT_UI2:
      return std::to_string(value.uiVal);
    case VT_UI4:
      return std::to_string(value.ulVal);
    case VT_UI8:
      return std::to_string(value.ullVal);
    case VT_R8: {
      const int n = std::snprintf(nullptr, 0, "%f", value.dblVal);
      if (n <= 0) return {};
      std::string text(static_cast<size_t>(n) + 1, '\0');
      std::snprintf(text.data(), text.size(), "%f", value.dblVal);
      text.resize(static_cast<size_t>(n));
      return text;
    }
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE ? "true" : "false";
    default:
      return {};
  }
}

WmiRows wmi_query(IWbemServices* services, std::string_view query, const std::vector<std::string>& properties,
                  uint64_t deadline_ms) {
  WmiRows rows;
  // How long the next fetch may wait; 0 once the deadline has passed.
  auto fetch_wait = [deadline_ms]() -> long {
    if (deadline_ms == 0) return kWmiFetchTimeoutMs;
    const uint64_t now = GetTickCount64();
    return now >= deadline_ms ? 0 : static_cast<long>(std::min<uint64_t>(deadline_ms - now, kWmiFetchTimeoutMs));
  };
  if (!services || (deadline_ms != 0 && fetch_wait() == 0)) return rows;
  const UniqueBstr language = make_bstr(L"WQL");
  const UniqueBstr text = make_bstr(to_utf16(query).c_str());
  if (!language || !text) return rows;

  ComPtr<IEnumWbemClassObject> results;
  const HRESULT hr = services->ExecQuery(language.get(), text.get(),
                                         WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                         results.put());
  if (FAILED(hr) || !results) return rows;

  std::vector<std::wstring> wide_names;
  wide_names.reserve(properties.size());
  for (const std::string& name : properties) wide_names.push_back(to_utf16(name));

  for (;;) {
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    const long wait = fetch_wait();
    // Anything but exactly one object (end, S_FALSE, time-out, error) ends the enumeration.
    if (wait == 0 || results.get()->Next(wait, 1, object.put(), &returned) != WBEM_S_NO_ERROR || returned != 1 ||
        !object)
      break;
    WmiRow row;
    for (size_t i = 0; i < properties.size(); ++i) {
      ScopedVariant value;
      if (SUCCEEDED(object.get()->Get(wide_names[i].c_str(), 0, value.put(), nullptr, nullptr)))
        row[properties[i]] = variant_text(value.get());
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace guardian
