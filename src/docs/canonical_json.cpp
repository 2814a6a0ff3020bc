// Portable: no Windows headers.
#include "docs/canonical_json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace guardian {
namespace {

void append_string(std::string& out, const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run = 0;  // start of the pending run of bytes copied unchanged
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s, run, i - run);
    run = i + 1;
    switch (c) {
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
        out.append(esc, 6);
      }
    }
  }
  out.append(s, run, s.size() - run);
  out += '"';
}

template <class Int>
void append_integer(std::string& out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_scalar(std::string& out, const nlohmann::json& v) {
  using T = nlohmann::json::value_t;
  switch (v.type()) {
    case T::boolean: out += v.get_ref<const bool&>() ? "true" : "false"; return;
    case T::number_integer: append_integer(out, v.get_ref<const nlohmann::json::number_integer_t&>()); return;
    case T::number_unsigned: append_integer(out, v.get_ref<const nlohmann::json::number_unsigned_t&>()); return;
    case T::number_float: append_canonical_number(out, v.get_ref<const double&>()); return;
    case T::string: append_string(out, v.get_ref<const std::string&>()); return;
    default: out += "null"; return;  // null, and the library's discarded and binary values
  }
}

// One depth-first walk with a stack of its own rather than the thread's, so a value nested
// as deep as memory allows is written as safely as a flat one.
void append_walk(std::string& out, const nlohmann::json& root) {
  struct Frame {
    const nlohmann::json* container;
    size_t index;                                          // next element of an array
    nlohmann::json::object_t::const_iterator member;       // next member of an object
  };
  std::vector<Frame> stack;
  const nlohmann::json* next = &root;
  for (;;) {
    if (next) {
      const nlohmann::json& v = *next;
      next = nullptr;
      if (v.is_array()) {
        out += '[';
        stack.push_back({&v, 0, {}});
      } else if (v.is_object()) {
        out += '{';
        stack.push_back({&v, 0, v.get_ref<const nlohmann::json::object_t&>().begin()});
      } else {
        append_scalar(out, v);
      }
    }
    if (stack.empty()) return;
    Frame& top = stack.back();
    if (top.container->is_array()) {
      const auto& elements = top.container->get_ref<const nlohmann::json::array_t&>();
      if (top.index == elements.size()) {
        out += ']';
        stack.pop_back();
        continue;
      }
      if (top.index > 0) out += ',';
      next = &elements[top.index++];
    } else {
      // std::map<std::string, ...> with std::less: plain unsigned byte order of the names.
      const auto& members = top.container->get_ref<const nlohmann::json::object_t&>();
      if (top.member == members.end()) {
        out += '}';
        stack.pop_back();
        continue;
      }
      if (top.member != members.begin()) out += ',';
      append_string(out, top.member->first);
      out += ':';
      next = &top.member->second;
      ++top.member;
    }
  }
}

}  // namespace

void append_canonical_number(std::string& out, double x) {
  if (x == 0.0) {
    out += '0';
    return;
  }
  const bool negative = std::signbit(x);
  const double mag = negative ? -x : x;
  if (mag < 1e21 && std::floor(mag) == mag) {
    // Integral and below 2^70: the exact digits of the magnitude (fixed notation with no
    // fraction is exact, as printf's "%.0f" is, on 32-bit targets too).
    if (negative) out += '-';
    char buf[32];
    const auto digits = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::fixed, 0);
    out.append(buf, digits.ptr);
    return;
  }
  // Shortest round-trip digits in scientific form: d[.ddd]e±XX.
  char sci[40];
  const auto r = std::to_chars(sci, sci + sizeof sci, mag, std::chars_format::scientific);
  const char* e = static_cast<const char*>(std::memchr(sci, 'e', static_cast<size_t>(r.ptr - sci)));
  char digits[24];
  int k = 0;
  for (const char* p = sci; p < e; ++p)
    if (*p != '.') digits[k++] = *p;
  while (k > 1 && digits[k - 1] == '0') --k;
  int exp10 = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, exp10);
  const int n = exp10 + 1;  // x = 0.d1...dk * 10^n

  if (negative) out += '-';
  if (n > 0 && n <= 21) {
    if (k <= n) {
      out.append(digits, static_cast<size_t>(k));
      out.append(static_cast<size_t>(n - k), '0');
    } else {
      out.append(digits, static_cast<size_t>(n));
      out += '.';
      out.append(digits + n, static_cast<size_t>(k - n));
    }
  } else if (n > -6 && n <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-n), '0');
    out.append(digits, static_cast<size_t>(k));
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out.append(digits + 1, static_cast<size_t>(k - 1));
    }
    out += 'e';
    out += (n - 1 >= 0) ? '+' : '-';
    append_integer(out, n - 1 >= 0 ? n - 1 : -(n - 1));
  }
}

void append_canonical_json(std::string& out, const nlohmann::json& value) { append_walk(out, value); }

std::string to_canonical_json(const nlohmann::json& value) {
  std::string out;
  append_walk(out, value);
  return out;
}

}  // namespace guardian
