#include "base/library.hpp"
#include "base/loaded_table.hpp"
#include "device/com.hpp"

namespace guardian {
namespace {

bool load(ComApi& api, std::string& error) {
  const HMODULE ole = load_system_library(L"ole32.dll", error);
  const HMODULE automation = ole ? load_system_library(L"oleaut32.dll", error) : nullptr;
  return automation && resolve(ole, "CoInitializeEx", api.CoInitializeEx, error) &&
         resolve(ole, "CoUninitialize", api.CoUninitialize, error) &&
         resolve(ole, "CoInitializeSecurity", api.CoInitializeSecurity, error) &&
         resolve(ole, "CoCreateInstance", api.CoCreateInstance, error) &&
         resolve(ole, "CoSetProxyBlanket", api.CoSetProxyBlanket, error) &&
         resolve(automation, "SysAllocString", api.SysAllocString, error) &&
         resolve(automation, "SysFreeString", api.SysFreeString, error) &&
         resolve(automation, "VariantClear", api.VariantClear, error);
}

const LoadedTable<ComApi>& loaded() { return load_once<ComApi, load>(); }

}  // namespace

const ComApi* com_api(std::string& error) { return ready_table(loaded(), error); }

const ComApi& loaded_com_api() { return loaded().api; }

}  // namespace guardian
