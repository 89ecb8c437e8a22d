#include "engine/common/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "engine/common/utf8.h"

namespace engine::json {
namespace {

constexpr std::size_t kFlushAt = 1 << 20;

// Bytes that json escapes, with their escape (0 for the \u00XX form).
struct EscapeTable {
  char code[256] = {};
  EscapeTable() {
    for (int c = 0; c < 0x20; ++c) code[c] = 'u';
    code[static_cast<unsigned char>('"')] = '"';
    code[static_cast<unsigned char>('\\')] = '\\';
    code[static_cast<unsigned char>('\n')] = 'n';
    code[static_cast<unsigned char>('\r')] = 'r';
    code[static_cast<unsigned char>('\t')] = 't';
    code[static_cast<unsigned char>('\b')] = 'b';
    code[static_cast<unsigned char>('\f')] = 'f';
    code[0xED] = 's';  // the lead byte of U+D000..U+DFFF: a lone surrogate, maybe
  }
};
const EscapeTable kEscape;

// The decimal exponent of the first significant digit of a JSON number text,
// saturated; used only to tell an overflow from an underflow.
long long leading_exponent(std::string_view text) {
  std::size_t i = text.empty() || text[0] != '-' ? 0 : 1;
  long long int_digits = 0;
  long long first = -1;  // index among all mantissa digits of the first non-zero one
  long long index = 0;
  bool in_fraction = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    if (c == 'e' || c == 'E') break;
    if (!in_fraction) ++int_digits;
    if (c != '0' && first < 0) first = index;
    ++index;
  }
  long long exponent = 0;
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size(); ++i) {
      if (exponent < 1'000'000'000'000LL) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (first < 0) return std::numeric_limits<long long>::min();
  return int_digits - 1 - first + exponent;
}

}  // namespace

std::string float_repr(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The shortest digits that read back as the same double, as Python's repr
  // picks them; then Python's layout: positional for exponents -4..15, else
  // scientific with a signed exponent of at least two digits.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const bool negative = sci[0] == '-';
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e_pos; ++i) {
    if (sci[i] != '.') digits.push_back(sci[i]);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  const int point = exponent + 1;  // digits before the decimal point
  std::string out = negative ? "-" : "";
  if (point > -4 && point <= 16) {
    const int n = static_cast<int>(digits.size());
    if (point <= 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-point), '0');
      out += digits;
    } else if (point >= n) {
      out += digits;
      out.append(static_cast<std::size_t>(point - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out += '.';
      out.append(digits, static_cast<std::size_t>(point));
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  }
  return out;
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return float_repr(value);
}

double parse_float(std::string_view text) {
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == "Infinity") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    const bool negative = !text.empty() && text[0] == '-';
    const double magnitude = leading_exponent(text) >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -magnitude : magnitude;
  }
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    throw std::invalid_argument("not a JSON number: " + std::string(text));
  }
  return value;
}

void append_number(std::string& out, std::string_view raw, NumberKind kind) {
  if (kind == NumberKind::Float) {
    out += float_text(parse_float(raw));
  } else if (raw == "-0") {
    out += '0';
  } else {
    out += raw;
  }
}

void append_string(std::string& out, std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* run = utf8.data();
  const char* const end = utf8.data() + utf8.size();
  for (const char* p = run; p != end; ++p) {
    const auto byte = static_cast<unsigned char>(*p);
    const char code = kEscape.code[byte];
    if (code == 0) continue;
    if (code == 's') {
      // A lone surrogate crosses from Python in its three-byte form, which no
      // UTF-8 reader takes: it is written as the \u escape Python reads back
      // into that same character.
      const char32_t cp = utf8::lone_surrogate_at(utf8, static_cast<std::size_t>(p - utf8.data()));
      if (cp == 0) continue;
      out.append(run, static_cast<std::size_t>(p - run));
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(cp >> shift) & 0xF]);
      p += 2;
      run = p + 1;
      continue;
    }
    out.append(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    out.push_back('\\');
    if (code == 'u') {
      out += "u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    } else {
      out.push_back(code);
    }
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

Writer::Writer(Sink& sink, std::string_view line_end, int level)
    : sink_(sink), line_end_(line_end), base_(static_cast<std::size_t>(level)) {
  buffer_.reserve(kFlushAt + 4096);
}

Writer::Writer(Sink& sink, Compact) : sink_(sink), base_(0), compact_(true) {}

void Writer::new_line(std::size_t depth) {
  if (compact_) return;
  buffer_ += line_end_;
  buffer_.append(2 * depth, ' ');
}

void Writer::maybe_flush() {
  if (buffer_.size() >= kFlushAt) flush();
}

void Writer::flush() {
  if (buffer_.empty()) return;
  sink_.write(buffer_);
  buffer_.clear();
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (!level.empty) buffer_ += ',';
  level.empty = false;
  new_line(base_ + levels_.size());
}

void Writer::before_member() {
  Level& level = levels_.back();
  if (!level.empty) buffer_ += ',';
  level.empty = false;
  new_line(base_ + levels_.size());
}

void Writer::end_container(char close) {
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) new_line(base_ + levels_.size());
  buffer_ += close;
  maybe_flush();
}

void Writer::begin_object() {
  before_value();
  buffer_ += '{';
  levels_.push_back({true, true});
}

void Writer::end_object() { end_container('}'); }

void Writer::begin_array() {
  before_value();
  buffer_ += '[';
  levels_.push_back({false, true});
}

void Writer::end_array() { end_container(']'); }

void Writer::after_name() {
  buffer_ += compact_ ? ":" : ": ";
  after_key_ = true;
}

void Writer::key(std::string_view utf8) {
  before_member();
  append_string(buffer_, utf8);
  after_name();
}

void Writer::quoted_key(std::string_view quoted) {
  before_member();
  buffer_ += quoted;
  after_name();
}

void Writer::string(std::string_view utf8) {
  before_value();
  append_string(buffer_, utf8);
  maybe_flush();
}

void Writer::number(std::string_view raw, NumberKind kind) {
  before_value();
  append_number(buffer_, raw, kind);
}

void Writer::integer(std::int64_t value) {
  before_value();
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  buffer_.append(digits, result.ptr);
}

void Writer::floating(double value) {
  before_value();
  buffer_ += float_text(value);
}

void Writer::boolean(bool value) {
  before_value();
  buffer_ += value ? "true" : "false";
}

void Writer::null() {
  before_value();
  buffer_ += "null";
}

void Writer::raw_value(std::string_view text) {
  before_value();
  if (text.size() >= kFlushAt) {
    flush();
    sink_.write(text);
  } else {
    buffer_ += text;
    maybe_flush();
  }
}

}  // namespace engine::json
