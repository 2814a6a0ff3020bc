#pragma once
// Who owns a kernel object, for the checks that decide whether to rely on one that another
// process may have created (a pipe served by someone, a named lock).
#include <windows.h>

#include <string>

namespace guardian {

enum class ObjectOwner {
  unreadable,        // the owner could not be read, or the object has none
  system_or_admins,  // LocalSystem or the built-in Administrators
  current_user,      // the user this process runs as
  other,
};

ObjectOwner kernel_object_owner(HANDLE object);

// The user this process runs as, as a SID string ("S-1-5-21-..."); empty when unreadable.
std::wstring process_user_sid();

// The integrity level this process runs at, as a SID string ("S-1-16-8192"); empty when
// unreadable.
std::wstring process_integrity_sid();

// An account named for people: "DOMAIN\name (SID)" for a SID given as text, the text alone
// when it names no account here, and "an entry of another kind" for an empty one.
std::string account_text(const std::string& sid_text);

// Whether the process token's user is LocalSystem (S-1-5-18), as for a service that runs
// under that account.
bool runs_as_local_system();

}  // namespace guardian
