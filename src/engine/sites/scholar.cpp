// Google Scholar is judged by a real search for a keyword drawn at random: the
// result page must show result blocks, result titles and at least 10 links.
// It is no member of the template: item 2 of its results is the keyword, it
// waits for the page's load event and does not look at the status, and a
// failure while the page is loaded or read is reported by its own text.
#include <random>
#include <utility>

#include "engine/sites/site_checks.h"

namespace engine::sites {
namespace {

constexpr const char* kDisplayName = "Google Scholar";
constexpr int kLoadTimeoutMs = 15000;
constexpr const char* kTitle = "h3.gs_rt";
constexpr const char* kBlock = "div.gs_r";
constexpr int kWaitMs = 5000;
constexpr std::size_t kMinimumLinks = 10;

CheckResult search_and_judge(PageCheck& check) {
  Page& page = check.page();
  page.go_to(check.member().address, kLoadTimeoutMs, std::nullopt);  // the response is not examined

  // Ordinary errors only: the user's interrupt during a wait still stops the run.
  const bool ready = ignore_errors([&] {
    page.wait_for_selector(kTitle, kWaitMs);
    page.wait_for_selector(kBlock, kWaitMs);
  });
  if (!ready) return check.fail("ui_not_ready");

  const std::size_t blocks = page.query_selector_all(kBlock);
  const std::size_t titles = page.query_selector_all(kTitle);
  const std::size_t links = page.query_selector_all("a");
  if (blocks == 0) return check.fail("no_result_blocks");
  if (titles == 0) return check.fail("no_titles");
  if (links < kMinimumLinks) return check.fail("too_few_links(" + std::to_string(links) + ")");
  return check.ok();
}

}  // namespace

std::string scholar_address(std::string_view search_url, std::string_view keyword) {
  constexpr std::string_view placeholder = "{keyword}";
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = search_url.find(placeholder, from)) != std::string_view::npos;
       from = at + placeholder.size()) {
    out.append(search_url.substr(from, at - from)).append(keyword);
  }
  return out.append(search_url.substr(from));
}

std::size_t draw_keyword_index(std::size_t count) {
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::size_t>(0, count - 1)(generator);
}

CheckResult scholar_check(Session& session, const std::string& endpoint, Env& env, const std::string& keyword,
                          const std::string& address) {
  auto attached = outcome_of([&] { return attach(session, endpoint); });
  if (!attached.ok()) {
    const std::string word = reason_word(attached.error);
    env.log_line(Level::Error, "err_cdp_failed", {std::string(kDisplayName), word});
    return {false, keyword, "cdp_connect_failed:" + word};
  }
  // The keyword stands where the members have their site key: in the results
  // and as the screenshot tag.
  Member search;
  search.site_key = keyword;
  search.display_name = kDisplayName;
  search.address = address;
  search.load_timeout_ms = kLoadTimeoutMs;
  search.wait_until = std::nullopt;
  Page& page = **attached.value;
  PageCheck check(page, search, env);
  return with_tab(page, [&] {
    auto judged = outcome_of([&] { return search_and_judge(check); });
    if (judged.ok()) return std::move(*judged.value);
    return check.fail(judged.error);  // the failure's text, whole; no log line
  });
}

}  // namespace engine::sites
