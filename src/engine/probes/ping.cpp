#include "engine/probes/ping.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "engine/common/utf8.h"
#include "engine/os/process.h"

namespace engine::probes {
namespace {

// The option signs of each platform's ping: "-" everywhere, and on Windows
// "/" as well ("/?", "/n"). Only the first character makes an option: ping
// reads " -V" or " /?" as a name that does not resolve (iputils and Wine's
// ping, measured), so such text goes to ping as it stands.
constexpr std::string_view kPosixOptionSigns = "-";
constexpr std::string_view kWindowsOptionSigns = "-/";
constexpr std::string_view kDashAddress =
    "the address begins with \"-\", which ping reads as an option, so it is no address";
constexpr std::string_view kSlashAddress =
    "the address begins with \"/\", which ping reads as an option, so it is no address";

void refuse_option_like(std::string_view platform, std::string_view address) {
  const std::string_view signs = platform == "win32" ? kWindowsOptionSigns : kPosixOptionSigns;
  if (address.empty() || signs.find(address.front()) == std::string_view::npos) return;
  throw NotAnAddress(std::string(address.front() == '-' ? kDashAddress : kSlashAddress));
}

// What marks an echo reply line of Windows' ping in every language it speaks
// (the words around them are translated; these are not): the reply's TTL,
// which only an IPv4 reply carries, or its round-trip time, a whole number of
// milliseconds straight after "=" or "<" ("Zeit<1ms", "temps=14ms",
// "время<1мс"). A summary line puts a blank after its "=" ("Minimum = 0ms"),
// an unreachable or timed-out line has no figures at all.
constexpr std::string_view kTtlMark = "TTL=";
constexpr std::string_view kRoundTripSigns = "=<";
constexpr std::string_view kMillisecondUnits[] = {"ms", "мс"};

// The zero of every run of ten decimal digits in Unicode 14 (general category
// Nd), the digits Python's \d matches in a text pattern.
constexpr char32_t kDigitZeros[] = {
    0x30,    0x660,   0x6f0,   0x7c0,   0x966,   0x9e6,   0xa66,   0xae6,   0xb66,   0xbe6,   0xc66,
    0xce6,   0xd66,   0xde6,   0xe50,   0xed0,   0xf20,   0x1040,  0x1090,  0x17e0,  0x1810,  0x1946,
    0x19d0,  0x1a80,  0x1a90,  0x1b50,  0x1bb0,  0x1c40,  0x1c50,  0xa620,  0xa8d0,  0xa900,  0xa9d0,
    0xa9f0,  0xaa50,  0xabf0,  0xff10,  0x104a0, 0x10d30, 0x11066, 0x110f0, 0x11136, 0x111d0, 0x112f0,
    0x11450, 0x114d0, 0x11650, 0x116c0, 0x11730, 0x118e0, 0x11950, 0x11c50, 0x11d50, 0x11da0, 0x16a60,
    0x16ac0, 0x16b50, 0x1d7ce, 0x1d7d8, 0x1d7e2, 0x1d7ec, 0x1d7f6, 0x1e140, 0x1e2f0, 0x1e950, 0x1fbf0,
};

int digit_value(char32_t c) {
  const auto* z = std::upper_bound(std::begin(kDigitZeros), std::end(kDigitZeros), c);
  if (z == std::begin(kDigitZeros)) return -1;
  --z;
  return c - *z < 10 ? static_cast<int>(c - *z) : -1;
}

// Python's \s in a text pattern.
bool is_space(char32_t c) {
  return (c >= 0x9 && c <= 0xd) || (c >= 0x1c && c <= 0x20) || c == 0x85 || c == 0xa0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

// A letter of "time" or "ms" compared as Python's IGNORECASE does, which also
// takes the dotted and dotless I and the long s.
bool same_letter(char32_t c, char lower) {
  if (c == static_cast<char32_t>(lower) || c == static_cast<char32_t>(lower - 'a' + 'A')) return true;
  if (lower == 'i') return c == 0x130 || c == 0x131;
  if (lower == 's') return c == 0x17f;
  return false;
}

bool word_at(const std::u32string& text, std::size_t& pos, std::string_view word) {
  if (text.size() - pos < word.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k)
    if (!same_letter(text[pos + k], word[k])) return false;
  pos += word.size();
  return true;
}

bool chars_at(const std::u32string& text, std::size_t& pos, std::u32string_view chars) {
  if (text.compare(pos, chars.size(), chars) != 0) return false;
  pos += chars.size();
  return true;
}

// The number as Python's float() reads the captured digits.
double to_double(const std::string& ascii) {
  double value = 0;
  const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Only digits: too large is infinity, too small is zero.
    const bool large = ascii.find_first_of("123456789") < ascii.find('.');
    return large ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

// The number of "(\d+\.?\d*)\s*ms" at pos, or nothing.
std::optional<double> number_at(const std::u32string& text, std::size_t pos) {
  std::string ascii;
  auto digits = [&] {
    std::size_t n = 0;
    for (int d; pos < text.size() && (d = digit_value(text[pos])) >= 0; ++pos, ++n) ascii.push_back(static_cast<char>('0' + d));
    return n;
  };
  if (digits() == 0) return std::nullopt;
  if (pos < text.size() && text[pos] == U'.') {
    ascii.push_back('.');
    ++pos;
    digits();
  }
  while (pos < text.size() && is_space(text[pos])) ++pos;
  if (!word_at(text, pos, "ms")) return std::nullopt;
  return to_double(ascii);
}

}  // namespace

bool ping_wait_in_milliseconds(std::string_view platform) { return platform == "win32" || platform == "darwin"; }

PingCommand ping_command(std::string_view platform, const std::string& address, const std::string& wait) {
  refuse_option_like(platform, address);
  if (platform == "win32") return {{"ping", "-n", "1", "-w", wait, address}, {}};
  return {{"ping", "-c", "1", "-W", wait, address}, {{"LC_ALL", "C"}}};
}

PingRun run_ping(std::string_view platform, const std::string& address, const std::string& wait, double limit,
                 const os::Interrupt& interrupt) {
  const PingCommand command = ping_command(platform, address, wait);
  os::RunOptions options;
  options.env = command.env;
  options.limit = limit;
  // Monotonic, so that a wall-clock step is not taken for the round trip.
  const auto start = std::chrono::steady_clock::now();
  os::RunResult result = os::run(command.argv, options, interrupt);
  const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  return {result.exit_status, std::move(result.out), std::move(result.err), elapsed.count()};
}

std::optional<double> reported_time_ms(std::string_view utf8_output) {
  std::u32string text;
  for (std::size_t i = 0; i < utf8_output.size();) text.push_back(utf8::decode(utf8_output, i));
  for (std::size_t start = 0; start < text.size(); ++start) {
    std::size_t pos = start;
    if (!word_at(text, pos, "time") && !chars_at(text, pos, U"时间")) continue;
    if (pos >= text.size() || (text[pos] != U'=' && text[pos] != U'<' && text[pos] != U'>')) continue;
    ++pos;
    while (pos < text.size() && is_space(text[pos])) ++pos;
    if (const auto ms = number_at(text, pos)) return ms;
  }
  return std::nullopt;
}

bool windows_reply_seen(std::string_view output) {
  if (output.find(kTtlMark) != std::string_view::npos) return true;
  for (std::size_t sign = output.find_first_of(kRoundTripSigns); sign != std::string_view::npos;
       sign = output.find_first_of(kRoundTripSigns, sign + 1)) {
    std::size_t pos = sign + 1;
    while (pos < output.size() && output[pos] >= '0' && output[pos] <= '9') ++pos;
    if (pos == sign + 1) continue;
    const std::string_view unit = output.substr(pos);
    if (std::any_of(std::begin(kMillisecondUnits), std::end(kMillisecondUnits),
                    [&](std::string_view ms) { return unit.starts_with(ms); }))
      return true;
  }
  return false;
}

}  // namespace engine::probes
