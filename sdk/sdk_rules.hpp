#pragma once
// The client library's rules for the options record that its callers hand in, whatever
// version of the header they were built with. Portable: no Windows headers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/paths.hpp"

namespace guardian::sdk {

// The first version's record: three 32-bit fields, then three pointers (aligned as pointers).
inline constexpr size_t kOptionsSizeV1 =
    (3 * sizeof(uint32_t) + alignof(void*) - 1) / alignof(void*) * alignof(void*) + 3 * sizeof(void*);

// A record a caller may hand in: at least the first version's, and no larger than limit (a
// size beyond it is not a record at all).
constexpr bool options_size_acceptable(size_t given, size_t known, size_t limit) {
  return given >= kOptionsSizeV1 && given <= (known > limit ? known : limit);
}

// Whether the bytes of record from `from` up to `to` (the fields of a later version that this
// one does not know) are all zero, that is, at their defaults.
inline bool bytes_zero(const unsigned char* record, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (record[i] != 0) return false;
  return true;
}

// How much of a record of size `given` this version reads into its own of size `known`.
constexpr size_t bytes_to_copy(size_t given, size_t known) { return given < known ? given : known; }

// Whether a record of size `given` holds the whole field at offset with size bytes (an older,
// smaller record lacks the fields added after it, which then count as zero).
constexpr bool field_present(size_t given, size_t offset, size_t size) { return given >= offset + size; }

// Whether a record of size `given` ends inside the field at offset with size bytes: a record
// cut there is no version's record.
constexpr bool field_cut(size_t given, size_t offset, size_t size) { return given > offset && given < offset + size; }

// The folder a client trusts by default, for a DLL in library_dir: its own. The 32-bit DLL is
// installed in the subfolder x86 of the agent's folder, so for it (x86_dll) a folder named x86,
// in any case, that is not a volume's root stands for the folder above it; a 32-bit DLL
// anywhere else trusts its own folder like the 64-bit one.
inline std::wstring default_trusted_folder(std::wstring_view library_dir, bool x86_dll) {
  const size_t cut = library_dir.find_last_of(L"\\/");
  if (!x86_dll || cut == std::wstring_view::npos || is_volume_root(library_dir)) return std::wstring(library_dir);
  const std::wstring_view name = library_dir.substr(cut + 1);
  const bool named_x86 = name.size() == 3 && (name[0] == L'x' || name[0] == L'X') && name[1] == L'8' && name[2] == L'6';
  return named_x86 ? dir_of(library_dir) : std::wstring(library_dir);
}

}  // namespace guardian::sdk
