#pragma once
// Path and number rules that need no Windows call.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace guardian {

// name alone for an empty dir; dir + name when dir ends in '\' or '/'; else dir + '\' + name.
std::wstring path_join(std::wstring_view dir, std::wstring_view name);

// Everything before the last '\' or '/'; "." when there is no separator.
std::wstring dir_of(std::wstring_view path);

// The path without the "\\?\" prefix that GetFinalPathNameByHandleW puts before its answer:
// "\\?\C:\x" is "C:\x", "\\?\UNC\server\share\x" is "\\server\share\x". A path in another form
// (a volume GUID path, a device path) is returned as it is.
std::wstring plain_path_form(std::wstring_view path);

// Whether path is a full path, one that no current directory completes: a drive and its root
// ("C:\x"), a share ("\\server\share"), or either in its "\\?\" form. A bare drive ("C:"), a
// drive's current directory ("C:x"), a root without a drive ("\x") and a relative path are not.
bool is_full_path(std::wstring_view path);

// Whether folder is the root of its volume: "C:", "C:\", "\\server\share" (with a trailing
// separator or without), and their "\\?\" forms.
bool is_volume_root(std::wstring_view folder);

// The folder as it must be opened: a bare drive ("C:", "\\?\C:") means that drive's root, which
// Windows would otherwise read as the drive's current directory; any other folder as it is.
std::wstring folder_to_open(std::wstring_view folder);

// The folders above folder, nearest first, down to (not including) its volume's root: "C:",
// "\\server\share", and their "\\?\" forms.
std::vector<std::wstring> folders_above(std::wstring_view folder);

// The root of the volume folder stands on, as it is opened: "C:\", "\\server\share\".
std::wstring volume_root_of(std::wstring_view folder);

// Reads a decimal number the way _wtoi does: leading white space, an optional sign, digits,
// stopping at the first other character. No digits gives 0; out-of-range values saturate
// at the limits of a 32-bit int.
int32_t parse_leading_int(std::wstring_view text);

// Leading signed 64-bit decimal of a narrow text (blanks, sign, digits); 0 when there is none.
int64_t parse_leading_int64(std::string_view text);

}  // namespace guardian
