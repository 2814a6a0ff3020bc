// Portable: no Windows headers.
#include <cstring>

#include "app/cli.hpp"
#include "build_config.hpp"

namespace guardian {

std::string help_text() {
  std::string out = "Ostrival Guardian ";
  out += build::kVersion;
  out +=
      "\n"
      "  (no args)       run as a Windows service (started by the SCM)\n"
      "  --console       run in the foreground (Ctrl+C stops)\n"
      "  --install       create + start the OstrivalGuardian service (admin)\n"
      "  --uninstall     stop + delete the service (admin)\n"
      "  --fingerprint   print fp, fp_parts and hw JSON\n"
      "  --ping | --specs | --peer   other pipe ops\n"
      "  ... --unpinned  (diagnostics) skip the client-side server pin\n"
      "  env OV_STORAGE_DIR / OV_WATCHDOG_INTERVAL_SEC  (console + CLI only) see README\n"
      "  --diagnose [--json]   check the installation: one ok / warn / FAIL line per check\n";
  return out;
}

bool scan_flag(int argc, const char* const* argv, const char* flag) {
  for (int i = 2; i < argc; ++i)
    if (argv[i] && std::strcmp(argv[i], flag) == 0) return true;
  return false;
}

const char* flag_value(int argc, const char* const* argv, const char* flag) {
  for (int i = 2; i + 1 < argc; ++i)
    if (argv[i] && std::strcmp(argv[i], flag) == 0) return argv[i + 1];
  return nullptr;
}

const char* first_unknown_flag(int argc, const char* const* argv, const char* const* known) {
  for (int i = 2; i < argc; ++i) {
    const char* given = argv[i] ? argv[i] : "";
    bool found = false;
    for (const char* const* flag = known; *flag && !found; ++flag) found = std::strcmp(given, *flag) == 0;
    if (!found) return given;
  }
  return nullptr;
}

}  // namespace guardian
