#include "base/object_owner.hpp"

#include <aclapi.h>
#include <sddl.h>

#include "base/text.hpp"
#include "base/unique.hpp"

namespace guardian {
namespace {

// The user this process runs as (or, with TokenIntegrityLevel, its integrity level), in the
// caller's buffer; null when it cannot be read. TOKEN_USER and TOKEN_MANDATORY_LABEL are both
// one SID_AND_ATTRIBUTES.
struct ProcessUser {
  alignas(SID_AND_ATTRIBUTES) unsigned char buffer[sizeof(SID_AND_ATTRIBUTES) + SECURITY_MAX_SID_SIZE];
  PSID read(TOKEN_INFORMATION_CLASS what = TokenUser) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return nullptr;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), what, buffer, sizeof buffer, &size)) return nullptr;
    return reinterpret_cast<SID_AND_ATTRIBUTES*>(buffer)->Sid;
  }
};

std::wstring process_sid_text(TOKEN_INFORMATION_CLASS what) {
  ProcessUser user;
  const PSID sid = user.read(what);
  wchar_t* text = nullptr;
  if (!sid || !ConvertSidToStringSidW(sid, &text)) return {};
  const UniqueLocal text_owner(text);
  return text;
}

bool is_current_user(PSID sid) {
  ProcessUser user;
  const PSID current = user.read();
  return current && EqualSid(sid, current) != FALSE;
}

}  // namespace

std::wstring process_user_sid() { return process_sid_text(TokenUser); }

std::wstring process_integrity_sid() { return process_sid_text(TokenIntegrityLevel); }

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
