#include "base/object_owner.hpp"

#include <aclapi.h>
#include <sddl.h>

#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

// The user this process runs as, in the caller's buffer; null when it cannot be read.
struct ProcessUser {
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  PSID read() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return nullptr;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return nullptr;
    return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  }
};

bool is_current_user(PSID sid) {
  ProcessUser user;
  const PSID current = user.read();
  return current && EqualSid(sid, current) != FALSE;
}

}  // namespace

std::wstring process_user_sid() {
  ProcessUser user;
  const PSID current = user.read();
  wchar_t* text = nullptr;
  if (!current || !ConvertSidToStringSidW(current, &text)) return {};
  const UniqueLocal text_owner(text);
  return text;
}

std::string account_text(const std::string& sid_text) {
  if (sid_text.empty()) return "an entry of another kind";
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(to_utf16(sid_text).c_str(), &sid)) return sid_text;
  const UniqueLocal sid_owner(sid);
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) return sid_text;
  return to_utf8(domain_size ? std::wstring(domain) + L"\\" + name : std::wstring(name)) + " (" + sid_text + ")";
}

bool runs_as_local_system() {
  ProcessUser user;
  const PSID current = user.read();
  return current && IsWellKnownSid(current, WinLocalSystemSid) != FALSE;
}

ObjectOwner kernel_object_owner(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &sd) != ERROR_SUCCESS)
    return ObjectOwner::unreadable;
  UniqueLocal sd_owner(sd);
  if (!owner) return ObjectOwner::unreadable;
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
    return ObjectOwner::system_or_admins;
  return is_current_user(owner) ? ObjectOwner::current_user : ObjectOwner::other;
}

}  // namespace guardian
