#pragma once
// An exact oracle for the float writer, independent of it: glibc's printf
// gives the exact decimal expansion of a double, strtod reads decimals back
// correctly rounded, and the expected text is built from those with string
// arithmetic only.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace oracle {

struct Expected {
  std::string text;
  bool tie = false;  // the upper digit was chosen at an exact halfway point
};

// Exact digits of a > 0 (no leading zeros) and the decimal exponent of the first.
inline void exact_expansion(double a, std::string& digits, int& exponent) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%.120e", a);  // exact: a double has < 120 significant digits here
  const char* e = std::strchr(buf, 'e');
  exponent = std::atoi(e + 1);
  digits.assign(1, buf[0]);
  digits.append(buf + 2, static_cast<std::size_t>(e - (buf + 2)));
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

// The n-digit rounding of the expansion, half up; returns digits and exponent.
inline std::string round_half_up(const std::string& digits, int exponent, std::size_t n, int& out_exponent, bool& tie) {
  out_exponent = exponent;
  tie = false;
  if (digits.size() <= n) return digits;
  std::string head = digits.substr(0, n);
  const char next = digits[n];
  tie = next == '5' && digits.find_first_not_of('0', n + 1) == std::string::npos;
  if (next >= '5') {
    int i = static_cast<int>(n) - 1;
    while (i >= 0 && head[i] == '9') head[i--] = '0';
    if (i < 0) {
      head.insert(head.begin(), '1');
      head.pop_back();
      ++out_exponent;
    } else {
      ++head[i];
    }
  }
  while (head.size() > 1 && head.back() == '0') head.pop_back();
  return head;
}

inline bool reads_back(const std::string& digits, int exponent, double a) {
  const std::string text = digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(exponent);
  return std::strtod(text.c_str(), nullptr) == a;
}

// Positional layout of digits * 10^(exponent - len + 1).
inline std::string layout(const std::string& digits, int exponent) {
  const int point = exponent + 1;  // digits before the decimal point
  const int len = static_cast<int>(digits.size());
  if (point >= len) return digits + std::string(static_cast<std::size_t>(point - len), '0') + ".0";
  if (point > 0) return digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
  return "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
}

// The text json_dumps must write for x (x in the accepted range).
inline Expected expected(double x) {
  Expected result;
  const std::string sign = std::signbit(x) ? "-" : "";
  const double a = std::fabs(x);
  if (a == 0.0) {
    result.text = sign + "0.0";
    return result;
  }
  if (a == std::trunc(a)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", a);
    result.text = sign + buf + ".0";
    return result;
  }
  std::string digits;
  int exponent = 0;
  exact_expansion(a, digits, exponent);
  // Shortest length: the first n whose half-up rounding reads back. A string
  // of n digits reads back only if the nearest one does, and lengths are
  // monotone, so to_chars' length serves as a starting hint that is checked.
  char hint[64];
  const auto hint_end = std::to_chars(hint, hint + sizeof hint, a, std::chars_format::scientific).ptr;
  std::size_t n = 0;
  for (const char* p = hint; p < hint_end && *p != 'e'; ++p) n += (*p >= '0' && *p <= '9');
  int e = 0;
  bool tie = false;
  if (n > 1) {
    const std::string shorter = round_half_up(digits, exponent, n - 1, e, tie);
    if (reads_back(shorter, e, a)) n = 1;  // the hint was wrong: search from the start
  }
  for (;; ++n) {
    const std::string candidate = round_half_up(digits, exponent, n, e, tie);
    if (reads_back(candidate, e, a)) {
      result.text = sign + layout(candidate, e);
      result.tie = tie;
      return result;
    }
  }
}

}  // namespace oracle
