// Time of one device identity pass (COM set-up, eight WMI queries, registry, inventory),
// and of the rules alone on the rows that pass produced.
#include <cstdio>

#include "bench_harness.hpp"
#include "device/identity.hpp"
#include "device/identity_rules.hpp"

int main() {
  using namespace guardian;
  // The agent collects once per process, so the first pass (WMI service start-up included)
  // is what start-up pays; later passes show the steady cost.
  const double t0 = bench::now_seconds();
  bench::keep(collect_device_identity());
  std::printf("%-40s %12.3f ms\n", "first collect_device_identity", (bench::now_seconds() - t0) * 1e3);
  const double pass = bench::time_per_call([] { bench::keep(collect_device_identity()); }, 1, 9);
  std::printf("%-40s %12.3f ms (median of 9)\n", "collect_device_identity", pass * 1e3);

  IdentityRows rows;
  rows.processor = {{{"ProcessorId", "BFEBFBFF000906EA"}, {"Name", "CPU"}, {"NumberOfCores", "8"}}};
  rows.disks = {{{"Index", "1"}, {"SerialNumber", "S3Z9NB0K"}, {"Size", "512110190592"}},
                {{"Index", "0"}, {"SerialNumber", "WD-1234"}, {"Size", "1000204886016"}}};
  rows.adapters = {{{"Index", "10"}, {"Name", "Ethernet"}, {"MACAddress", "00:11:22:33:44:55"},
                    {"PhysicalAdapter", "true"}}};
  const double rules = bench::time_per_call(
      [&] { bench::keep(build_identity(rows, "6f1c2d3e-aaaa-bbbb-cccc-0123456789ab", {8, 1ull << 34, true, "h"})); },
      200);
  std::printf("%-40s %12.3f us\n", "build_identity (rules only)", rules * 1e6);
  return 0;
}
