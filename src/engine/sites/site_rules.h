#pragma once
// What the built-in sites' own tests share: plain substring tests on page
// texts, cuts by characters, element queries in order, and guarded tests
// whose ordinary errors are ignored.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/sites/page_check.h"
#include "engine/common/utf8.h"

namespace engine::sites {

inline bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

// The first of words (in their order) that occurs in text, or nothing.
template <class Words>
std::optional<std::string> first_contained(std::string_view text, const Words& words) {
  for (const auto& word : words) {
    if (contains(text, word)) return std::string(word);
  }
  return std::nullopt;
}

// The first n characters (code points) of a UTF-8 text.
inline std::string cut(std::string_view text, std::size_t n) { return std::string(utf8::prefix(text, n)); }

// Queries the tab for each selector in order and stops at the first one that
// finds an element. A query that raises is not caught here.
template <class Selectors>
bool first_found(Page& page, const Selectors& selectors) {
  for (const auto& selector : selectors) {
    if (page.query_selector(std::string(selector))) return true;
  }
  return false;
}

// The failure that a guarded test found. Its log line and screenshot are
// made where they can be; their errors do not turn the verdict into a pass.
inline CheckResult fail_regardless(PageCheck& check, Level level, std::string_view key, const std::vector<LogArg>& args,
                                   std::string reason) {
  ignore_errors([&] { check.env().log_line(level, key, args); });
  ignore_errors([&] { check.screenshot(); });
  return {false, check.member().site_key, std::move(reason)};
}

// A test in its own guard whose ordinary errors (reading the page, its log
// line, its screenshot) are ignored: the failure it found, or nothing when it
// found none or failed itself.
template <class F>
std::optional<CheckResult> guarded_test(F&& block) {
  std::optional<std::optional<CheckResult>> out = ignore_errors(std::forward<F>(block));
  if (out && *out) return std::move(**out);
  return std::nullopt;
}

}  // namespace engine::sites
