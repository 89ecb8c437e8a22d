#include "engine/sites/page_check.h"

#include "engine/sites/page_text.h"

namespace engine::sites {

void PageCheck::screenshot() {
  page_.save_debug(member_.screenshot_tag ? member_.screenshot_tag() : member_.site_key);
}

CheckResult PageCheck::fail(std::string reason) {
  screenshot();
  return {false, member_.site_key, std::move(reason)};
}

CheckResult PageCheck::fail(Level level, std::string_view key, const std::vector<LogArg>& args, std::string reason) {
  env_.log_line(level, key, args);
  return fail(std::move(reason));
}

std::unique_ptr<Page> attach(Session& session, const std::string& endpoint) {
  std::unique_ptr<Browser> browser = session.connect_over_cdp(endpoint);
  std::unique_ptr<Context> context = browser->first_context();
  if (!context) context = browser->new_context();
  return context->new_page();
}

namespace {

// Steps 2 to 4. Their failure branches (log line, screenshot) run inside the
// crash guard of step 5, so an error there becomes a crash.
CheckResult load_and_test(PageCheck& check, const MemberTest& test) {
  const Member& m = check.member();
  auto load = outcome_of([&] { return check.page().go_to(m.address, m.load_timeout_ms, m.wait_until); });
  if (!load.ok()) {
    const std::string word = reason_word(load.error);
    return check.fail(Level::Warning, "err_page_load", {m.display_name, word}, "page_load_failed:" + word);
  }
  if (const std::unique_ptr<Response>& response = *load.value) {
    const long long status = response->status();
    if (status >= 400) {
      return check.fail(Level::Warning, "err_http", {m.display_name, status}, "http_error:" + std::to_string(status));
    }
  }
  return test(check);
}

// Steps 2 to 5. An error inside the crash branch itself leaves.
CheckResult load_and_judge(PageCheck& check, const MemberTest& test) {
  auto judged = outcome_of([&] { return load_and_test(check, test); });
  if (judged.ok()) return std::move(*judged.value);
  const Member& m = check.member();
  const std::string word = reason_word(judged.error);
  return check.fail(Level::Error, m.crash_log_key, {m.display_name, word}, "crash:" + word);
}

}  // namespace

CheckResult run_page_check(Session& session, const std::string& endpoint, const Member& member, Env& env,
                           const MemberTest& test) {
  auto attached = outcome_of([&] { return attach(session, endpoint); });
  if (!attached.ok()) {
    // No tab: no screenshot and nothing to close.
    const std::string word = reason_word(attached.error);
    env.log_line(Level::Error, "err_cdp_failed", {member.display_name, word});
    return {false, member.site_key, "cdp_connect_failed:" + word};
  }
  Page& page = **attached.value;
  PageCheck check(page, member, env);
  return with_tab(page, [&] { return load_and_judge(check, test); });
}

CheckResult custom_url_test(PageCheck& check) {
  const std::string& name = check.member().display_name;
  auto read = outcome_of([&] {
    const std::string text = check.page().inner_text("body");
    if (strip(text).empty()) return check.fail(Level::Warning, "err_page_empty", {name}, "empty_body");
    return check.ok();
  });
  if (read.ok()) return std::move(*read.value);
  const std::string word = reason_word(read.error);
  return check.fail(Level::Warning, "err_body_unreadable_short", {name, word}, "body_unreadable:" + word);
}

Member custom_url_member(const std::string& name, const std::string& url, std::function<std::string()> tag) {
  Member m;
  m.site_key = name;
  m.display_name = name;
  m.address = url;
  m.load_timeout_ms = 15000;
  m.crash_log_key = "err_crash_short";
  m.screenshot_tag = std::move(tag);
  return m;
}

}  // namespace engine::sites
