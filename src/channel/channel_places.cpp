// Portable: no Windows headers.
#include "channel/channel_places.hpp"

#include "base/paths.hpp"

namespace guardian {
namespace {

constexpr std::wstring_view kFallbackPrefix = L"Ostrival-";
constexpr std::wstring_view kFallbackLevel = L"\\guardian";
constexpr size_t kFallbackDigits = 8;

}  // namespace

std::wstring storage_fallback_dir(std::wstring_view base, std::string_view suffix) {
  std::wstring name(kFallbackPrefix);
  for (const char c : suffix) name += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return path_join(path_join(base, name), kFallbackLevel.substr(1));
}

bool is_storage_fallback_dir(std::wstring_view base, std::wstring_view dir) {
  const std::wstring start = path_join(base, kFallbackPrefix);
  if (dir.size() != start.size() + kFallbackDigits + kFallbackLevel.size() || !dir.starts_with(start) ||
      !dir.ends_with(kFallbackLevel))
    return false;
  for (size_t i = start.size(); i < start.size() + kFallbackDigits; ++i)
    if (!((dir[i] >= L'0' && dir[i] <= L'9') || (dir[i] >= L'a' && dir[i] <= L'f'))) return false;
  return true;
}

}  // namespace guardian
