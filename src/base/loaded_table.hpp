#pragma once
// A table of a library's functions, filled once per process when first needed: the first
// caller runs the loader, later ones (on any thread) wait for it and share its result, which
// stays, failure included. Portable: the loader is whatever fills the table on each platform.
#include <string>

namespace guardian {

template <class Table>
struct LoadedTable {
  Table api{};        // every member null unless ready
  std::string error;  // why not, when not ready
  bool ready = false;
};

template <class Table, bool (*Load)(Table&, std::string&)>
const LoadedTable<Table>& load_once() {
  static const LoadedTable<Table> once = [] {
    LoadedTable<Table> loaded;
    loaded.ready = Load(loaded.api, loaded.error);
    if (!loaded.ready) loaded.api = Table{};
    return loaded;
  }();
  return once;
}

// The table when it is ready; otherwise null, and error says why.
template <class Table>
const Table* ready_table(const LoadedTable<Table>& loaded, std::string& error) {
  if (loaded.ready) return &loaded.api;
  error = loaded.error;
  return nullptr;
}

}  // namespace guardian
