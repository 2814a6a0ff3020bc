// The canonical writer against the JSON library's compact dump() on the same documents.
#include <cstdio>
#include <iterator>
#include <random>

#include "bench_harness.hpp"
#include "docs/canonical_json.hpp"

using nlohmann::json;

namespace {

json number_heavy(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> real(-1e6, 1e6);
  std::uniform_int_distribution<int64_t> integer(-1000000000, 1000000000);
  json doc = json::object();
  json& values = doc["values"] = json::array();
  for (int i = 0; i < 500; ++i) values.push_back(i % 2 ? json(real(rng)) : json(integer(rng)));
  doc["small"] = json::array({1e-7, 0.000001, 1e21, 123.456, 2.5});
  return doc;
}

json string_heavy(std::mt19937_64& rng) {
  json doc = json::object();
  const char* alphabet[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q",
                            "r", "s", "t", "u", "v", "w", "x", "y", "z", " ", " ", " ", "\t", "\"", "\\", "/",
                            "\xC3\xA9", "\xE2\x82\xAC"};
  std::uniform_int_distribution<size_t> pick(0, std::size(alphabet) - 1);
  for (int i = 0; i < 200; ++i) {
    std::string s;
    for (int j = 0; j < 60; ++j) s += alphabet[pick(rng)];
    doc["key" + std::to_string(i)] = s;
  }
  return doc;
}

json nested(int depth) {
  if (depth == 0) return json{{"leaf", true}, {"n", 42}, {"s", "text"}};
  return json{{"a", nested(depth - 1)}, {"b", json::array({nested(depth - 1), nullptr, 1.5})}, {"c", "x"}};
}

}  // namespace

int main() {
  std::mt19937_64 rng(12345);
  const struct {
    const char* name;
    json doc;
  } docs[] = {{"number-heavy (500 numbers)", number_heavy(rng)},
              {"string-heavy (200 strings)", string_heavy(rng)},
              {"nested (depth 7)", nested(7)}};
  std::printf("canonical writer vs nlohmann dump(): time per document, median of 7 runs\n");
  for (const auto& d : docs) {
    const double canon = bench::time_per_call([&] { bench::keep(guardian::to_canonical_json(d.doc)); }, 2000);
    const double dump = bench::time_per_call([&] { bench::keep(d.doc.dump()); }, 2000);
    bench::report_ratio(d.name, canon, dump);
  }
  return 0;
}
