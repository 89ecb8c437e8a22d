// NotebookLM: the ways the service turns a visitor away: an "unsupported"
// address, a page that stays (almost) empty, a restriction phrase in its text.
#include <utility>

#include "engine/sites/page_text.h"
#include "engine/sites/site_checks.h"
#include "engine/sites/site_rules.h"

namespace engine::sites {
namespace {

constexpr std::size_t kAddressCut = 100;
constexpr const char* kContentWait = "a, button, [role='link'], [role='button'], nav, main, header";
constexpr int kContentWaitMs = 8000;
constexpr std::size_t kMinimumText = 20;
// A fixed list of this check; the apostrophes are ASCII ones.
constexpr std::array<std::string_view, 6> kRestrictionPhrases = {
    "not available in your", "unsupported", "access denied", "can't access", "cannot access", "isn't available",
};

CheckResult notebooklm_test(PageCheck& check) {
  Page& page = check.page();
  Env& env = check.env();

  // Before the wait: a page sent to an "unsupported" address fails at once.
  // An address that cannot be read is passed over.
  if (auto turned_away = guarded_test([&]() -> std::optional<CheckResult> {
        const std::string address = env.lower(page.url());
        if (contains(address, "location=unsupported")) {
          return fail_regardless(check, Level::Warning, "err_notebooklm_restriction", {},
                                 "restriction:location_unsupported");
        }
        if (contains(address, "unsupported")) {
          return fail_regardless(check, Level::Warning, "err_notebooklm_unsupported", {cut(address, kAddressCut)},
                                 "restriction:unsupported");
        }
        return std::nullopt;
      })) {
    return std::move(*turned_away);
  }

  // Only gives the page time to build its content; the text is judged below.
  ignore_errors([&] { page.wait_for_selector(kContentWait, kContentWaitMs); });

  std::string text;
  auto read = outcome_of([&]() -> std::optional<CheckResult> {
    text = std::string(strip(page.inner_text("body")));
    if (utf8::length(text) < kMinimumText) return check.fail("empty_or_blank_page");
    return std::nullopt;
  });
  if (!read.ok()) return check.fail("body_unreadable:" + reason_word(read.error));
  if (*read.value) return std::move(**read.value);

  if (auto phrase = first_contained(env.lower(text), kRestrictionPhrases)) {
    return check.fail(Level::Warning, "err_notebooklm_keyword", {*phrase}, "restriction_text:" + *phrase);
  }
  return check.ok();
}

}  // namespace

Site notebooklm_site(std::string address) {
  Member m;
  m.site_key = "notebooklm";
  m.display_name = "NotebookLM";
  m.address = std::move(address);
  m.load_timeout_ms = 20000;
  return {std::move(m), notebooklm_test};
}

}  // namespace engine::sites
