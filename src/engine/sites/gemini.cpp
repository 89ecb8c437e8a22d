// Gemini: after a bounded wait for the chat input, the page must not have been
// sent to Google's support site, must not carry an error title or a regional
// or account restriction, and must show a chat input.
#include <utility>

#include "engine/sites/site_checks.h"
#include "engine/sites/site_rules.h"

namespace engine::sites {

const std::array<std::string_view, 32> kGeminiRestrictionPhrases = {
    "isn't available in your",
    "not available in your region",
    "not available in your country",
    "unsupported country",
    "unsupported region",
    "access denied",
    "your access has been",
    "account suspended",
    "this account has been",
    "can't access",
    "cannot access",
    "banned",
    "restricted",
    "不支持你所在的地区",
    "不支持你所在的国家",
    "不支持您的国家",
    "不支持您的区域",
    "不支持该地区",
    "目前不支持你",
    "暂不支持你的",
    "尚不支持你",
    "当前地区暂不",
    "此服务在您所在",
    "尚未在您的地区",
    "无法在您的地区",
    "无法为你提供服务",
    "无法为您所在",
    "所在地区暂未",
    "访问被拒绝",
    "权限不足",
    "已停止服务",
    "暂停服务",
};

namespace {

constexpr const char* kInputWait = "rich-textarea, [role='textbox'], [contenteditable='true']";
constexpr int kInputWaitMs = 10000;
// The alternatives of the wait, queried one by one.
constexpr std::array<std::string_view, 3> kInputSelectors = {"rich-textarea", "[role=\"textbox\"]",
                                                             "[contenteditable=\"true\"]"};
constexpr std::array<std::string_view, 7> kTitleWords = {"error", "not found", "unavailable", "access denied",
                                                         "500",   "502",       "503"};
constexpr std::size_t kTitleCut = 80;

CheckResult gemini_test(PageCheck& check, const PhraseSource& restriction_phrases) {
  Page& page = check.page();
  Env& env = check.env();
  const std::string& name = check.member().display_name;

  // Only gives the page time to build its input; what is missing shows below.
  ignore_errors([&] { page.wait_for_selector(kInputWait, kInputWaitMs); });

  // The address in the case the tab reports it. An address or a title that
  // cannot be read is passed over.
  if (auto sent_away = guarded_test([&]() -> std::optional<CheckResult> {
        if (!contains(page.url(), kGoogleSupportHost)) return std::nullopt;
        return fail_regardless(check, Level::Warning, "err_redirect_support", {}, "redirected:support_page");
      })) {
    return std::move(*sent_away);
  }

  if (auto error_title = guarded_test([&]() -> std::optional<CheckResult> {
        const std::string title = env.lower(page.title());
        if (!first_contained(title, kTitleWords)) return std::nullopt;
        const std::string shown = cut(title, kTitleCut);
        return fail_regardless(check, Level::Warning, "err_error_title", {shown}, "error_title:" + shown);
      })) {
    return std::move(*error_title);
  }

  auto text = outcome_of([&] { return env.lower(page.inner_text("body")); });
  if (!text.ok()) {
    const std::string word = reason_word(text.error);
    return check.fail(Level::Warning, "err_body_unreadable", {name, word}, "body_unreadable:" + word);
  }
  const RestrictionPhrases restriction = restriction_phrases();
  if (auto phrase = first_contained(*text.value, restriction.phrases)) {
    return check.fail(Level::Warning, "err_restriction_text", {*phrase}, "restriction_text:" + *phrase);
  }
  if (restriction.unusable) throw PageError(*restriction.unusable);

  // Every alternative is queried, also after one has been found.
  bool input = false;
  for (std::string_view selector : kInputSelectors) {
    const bool found = page.query_selector(std::string(selector));
    input = input || found;
  }
  if (!input) return check.fail(Level::Warning, "err_no_ai_input", {}, "ui_not_ready");
  return check.ok();
}

}  // namespace

Site gemini_site(std::string address, PhraseSource restriction_phrases) {
  Member m;
  m.site_key = "gemini";
  m.display_name = "Gemini";
  m.address = std::move(address);
  m.load_timeout_ms = 20000;
  m.crash_log_key = "err_crash_long";
  return {std::move(m), [phrases = std::move(restriction_phrases)](PageCheck& check) {
            return gemini_test(check, phrases);
          }};
}

}  // namespace engine::sites
