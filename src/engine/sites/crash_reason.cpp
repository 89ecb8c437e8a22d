#include "engine/sites/crash_reason.h"

#include <algorithm>
#include <array>

#include "engine/sites/page_text.h"
#include "engine/common/utf8.h"

namespace engine::sites {
namespace {

struct Rule {
  std::array<std::string_view, 2> words;  // either one matches; an empty slot never does
  std::string_view reason;
};

// Order matters: a refused connection's text names the connection too and so
// reads "connection_lost"; a text that holds "timeout" is a time-out whatever else it says.
constexpr Rule kRules[] = {
    {{"timeout", ""}, "timeout"},
    {{"connection", "closed"}, "connection_lost"},
    {{"crashed", ""}, "renderer_crashed"},
    {{"refused", ""}, "connection_refused"},
    {{"resolve", "dns"}, "dns_error"},
    {{"aborted", ""}, "aborted"},
};

constexpr std::size_t kCut = 80;

}  // namespace

std::string crash_reason(std::string_view error_text) {
  // ASCII lower-casing is enough here: every rule word is ASCII, and no other
  // character lower-cases to one of their letters.
  const std::string lowered = ascii_lower(error_text);
  for (const Rule& rule : kRules) {
    const bool hit = std::any_of(rule.words.begin(), rule.words.end(), [&](std::string_view word) {
      return !word.empty() && lowered.find(word) != std::string::npos;
    });
    if (hit) return std::string(rule.reason);
  }
  return std::string(utf8::prefix(error_text, kCut));
}

}  // namespace engine::sites
