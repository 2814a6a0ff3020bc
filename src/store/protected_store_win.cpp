#include <windows.h>
#include <dpapi.h>

#include "base/json_text.hpp"
#include "base/library.hpp"
#include "base/unique.hpp"
#include "base/log.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "store/file_io.hpp"
#include "store/protected_store.hpp"

namespace guardian {
namespace {

DATA_BLOB blob_of(const Bytes& bytes) {
  return DATA_BLOB{static_cast<DWORD>(bytes.size()), const_cast<BYTE*>(bytes.data())};
}

// DPAPI's library is held for one call only: the agent seals and unseals at start only, and
// the library brings the window manager's libraries with it.
constexpr wchar_t kDpapi[] = L"crypt32.dll";

}  // namespace

std::wstring ProtectedStore::path_of(const std::wstring& name) const { return path_join(directory_, name); }

bool ProtectedStore::seal(const Bytes& plain, Bytes& blob) const {
  DATA_BLOB in = blob_of(plain);
  DATA_BLOB entropy = blob_of(entropy_);
  DATA_BLOB out{};
  UniqueLibrary dpapi;  // let go keeping the error
  decltype(&CryptProtectData) protect = nullptr;
  if (!hold_system_function(dpapi, kDpapi, "CryptProtectData", protect) ||
      !protect(&in, kProtectedDescription, &entropy, nullptr, nullptr,
               CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_LOCAL_MACHINE, &out))
    return false;
  blob.assign(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return true;
}

bool ProtectedStore::unseal(const Bytes& blob, Bytes& plain) const {
  DATA_BLOB in = blob_of(blob);
  DATA_BLOB entropy = blob_of(entropy_);
  DATA_BLOB out{};
  UniqueLibrary dpapi;
  decltype(&CryptUnprotectData) unprotect = nullptr;
  if (!hold_system_function(dpapi, kDpapi, "CryptUnprotectData", unprotect) ||
      !unprotect(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
    return false;
  plain.assign(out.pbData, out.pbData + out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return true;
}

bool ProtectedStore::write(const std::wstring& name, const Bytes& bytes) const {
  Bytes blob;
  if (!seal(bytes, blob)) {
    const DWORD error = GetLastError();
    log_error("DPAPI protect failed for " + to_utf8(name) + ": " + win_error_text(error));
    return false;
  }
  if (write_file_atomic(path_of(name), blob)) return true;
  const DWORD error = GetLastError();
  log_error("write failed for " + to_utf8(name) + ": " + win_error_text(error));
  return false;
}

bool ProtectedStore::read(const std::wstring& name, Bytes& out) const {
  Bytes blob;
  if (!read_whole_file(path_of(name), blob)) return false;
  if (!unseal(blob, out)) {
    log_warn("DPAPI unprotect failed for " + to_utf8(name) + " (fingerprint changed or file damaged)");
    return false;
  }
  return true;
}

bool ProtectedStore::write_json(const std::wstring& name, const nlohmann::json& value) const {
  return write(name, bytes_of(compact_json(value)));
}

bool ProtectedStore::read_json(const std::wstring& name, nlohmann::json& out) const {
  Bytes plain;
  if (!read(name, plain)) return false;
  nlohmann::json parsed = parse_json(plain.begin(), plain.end());
  SecureZeroMemory(plain.data(), plain.size());
  if (parsed.is_discarded()) {
    out = nullptr;
    return false;
  }
  out = std::move(parsed);
  return true;
}

}  // namespace guardian
