// ChatGPT and Claude: twins. After a fixed pause the page is up when one of
// six key elements is there, or else when its text names the service or its
// maker.
#include <utility>

#include "engine/sites/site_checks.h"
#include "engine/sites/site_rules.h"

namespace engine::sites {

const ChatTwin kChatGpt = {
    "chatgpt",
    "ChatGPT",
    {"textarea", "[data-slate-editor]", "[contenteditable='true']", "img[alt*='ChatGPT']", "img[alt*='OpenAI']",
     "[class*='chat']"},
    {"chatgpt", "openai"},
};

const ChatTwin kClaude = {
    "claude",
    "Claude",
    {"textarea", "[contenteditable='true']", "[data-slate-editor]", "img[alt*='Claude']", "img[alt*='Anthropic']",
     "[class*='chat']"},
    {"claude", "anthropic"},
};

namespace {

CheckResult chat_test(PageCheck& check, const ChatTwin& twin, double pause_seconds) {
  // These pages build their input with scripts after the document is loaded.
  check.env().pause(pause_seconds);
  if (first_found(check.page(), twin.selectors)) return check.ok();
  // A body that cannot be read counts as one without the words.
  const bool named = ignore_errors([&] {
                       const std::string text = check.env().lower(check.page().inner_text("body"));
                       return first_contained(text, twin.body_words).has_value();
                     }).value_or(false);
  if (named) return check.ok();
  return check.fail(Level::Warning, "err_no_key_element", {check.member().display_name}, "ui_not_ready");
}

}  // namespace

Site chat_site(const ChatTwin& twin, std::string address, double pause_seconds) {
  Member m;
  m.site_key = std::string(twin.site_key);
  m.display_name = std::string(twin.display_name);
  m.address = std::move(address);
  m.load_timeout_ms = 20000;
  return {std::move(m), [&twin, pause_seconds](PageCheck& check) { return chat_test(check, twin, pause_seconds); }};
}

}  // namespace engine::sites
