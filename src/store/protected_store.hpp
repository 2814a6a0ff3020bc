#pragma once
// Files in the storage directory sealed with DPAPI in machine scope, with the device
// fingerprint as entropy: readable on this machine only, and only while the fingerprint
// stays the same.
#include <string>

#include <nlohmann/json.hpp>

#include "store/hex.hpp"

namespace guardian {

inline constexpr wchar_t kProtectedDescription[] = L"Ostrival guardian";

class ProtectedStore {
 public:
  ProtectedStore() = default;
  ProtectedStore(std::wstring directory, std::string_view fingerprint)
      : directory_(std::move(directory)), entropy_(fingerprint.begin(), fingerprint.end()) {}

  std::wstring path_of(const std::wstring& name) const;
  bool write(const std::wstring& name, const Bytes& bytes) const;
  bool read(const std::wstring& name, Bytes& out) const;
  bool write_json(const std::wstring& name, const nlohmann::json& value) const;
  bool read_json(const std::wstring& name, nlohmann::json& out) const;

  const std::wstring& directory() const { return directory_; }
  const Bytes& entropy() const { return entropy_; }

  // Seals bytes as every protected file is sealed; false on failure (error in GetLastError).
  bool seal(const Bytes& plain, Bytes& blob) const;
  // Unseals a blob under this store's entropy, quietly: false when it does not open.
  bool unseal(const Bytes& blob, Bytes& plain) const;

 private:
  std::wstring directory_;
  Bytes entropy_;
};

}  // namespace guardian
