#pragma once
// The page-check template: attach, open a tab, load one address, reject an
// HTTP error status, run the member's own tests, turn every ordinary failure
// into a CheckResult with a short reason, keep a screenshot of every failure
// that has a tab, and always close the tab.
//
// A member (one site's single attempt) is its constants plus a test for step
// 4 written against PageCheck. Checks that attach or load their own way
// compose attach(), with_tab() and the Page operations directly.
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "engine/sites/crash_reason.h"
#include "engine/sites/page.h"

namespace engine::sites {

inline constexpr const char* kDomContentLoaded = "domcontentloaded";

struct Member {
  std::string site_key;      // item 2 of every result
  std::string display_name;  // first argument of the member's log lines
  std::string address;       // loaded in step 2
  int load_timeout_ms = 15000;
  std::optional<std::string> wait_until = kDomContentLoaded;
  std::string crash_log_key = "err_crash_short";  // step 5, at error level
  // The screenshot tag, asked afresh for each screenshot; empty means the site key.
  std::function<std::string()> screenshot_tag;
};

// What a member's test works with: the tab, its constants, the log, and the
// usual ways to end.
class PageCheck {
 public:
  PageCheck(Page& page, const Member& member, Env& env) : page_(page), member_(member), env_(env) {}

  Page& page() { return page_; }
  const Member& member() const { return member_; }
  Env& env() { return env_; }

  // (true, site key, "OK")
  CheckResult ok() const { return {true, member_.site_key, "OK"}; }
  // One screenshot of the tab under the member's tag.
  void screenshot();
  // Screenshot, then (false, site key, reason), with no log line.
  CheckResult fail(std::string reason);
  // The log line, then the screenshot, then (false, site key, reason).
  CheckResult fail(Level level, std::string_view key, const std::vector<LogArg>& args, std::string reason);

 private:
  Page& page_;
  const Member& member_;
  Env& env_;
};

// Step 4 of a member; a PageError it lets out ends the attempt in step 5.
using MemberTest = std::function<CheckResult(PageCheck&)>;

// Step 1: attach to endpoint, take the browser's first context or make one,
// open a new tab. Failures leave as PageError.
std::unique_ptr<Page> attach(Session& session, const std::string& endpoint);

// What a guarded block gave: its value, or the text of the PageError it raised.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::string error;
  bool ok() const { return value.has_value(); }
};

// Runs a guarded block and catches its PageError; everything else passes.
// Handle a failure after this returns, not inside a catch block: Playwright's
// sync API switches greenlets (C stacks) under every call, which must not
// happen while a C++ exception is being handled.
template <class F>
auto outcome_of(F&& block) {
  using R = decltype(block());
  if constexpr (std::is_void_v<R>) {
    Outcome<std::monostate> out;
    try {
      std::forward<F>(block)();
      out.value.emplace();
    } catch (const PageError& e) {
      out.error = e.what();
    }
    return out;
  } else {
    Outcome<R> out;
    try {
      out.value.emplace(std::forward<F>(block)());
    } catch (const PageError& e) {
      out.error = e.what();
    }
    return out;
  }
}

// A guarded block whose ordinary errors the check ignores: its value, or
// nothing when it failed (for a block without value: whether it succeeded).
template <class F>
auto ignore_errors(F&& block) {
  auto out = outcome_of(std::forward<F>(block));
  if constexpr (std::is_same_v<decltype(out), Outcome<std::monostate>>) {
    return out.ok();
  } else {
    return std::move(out.value);
  }
}

// Runs body with the tab open and closes the tab afterwards in every case:
// after a result, after an ordinary error and after an interrupt. An ordinary
// error of the close is ignored; an interrupt during the close goes on (and
// replaces an ordinary error that was leaving body).
template <class F>
auto with_tab(Page& page, F&& body) -> decltype(body()) {
  std::optional<decltype(body())> result;
  std::exception_ptr leaving;
  try {
    result.emplace(std::forward<F>(body)());
  } catch (...) {
    leaving = std::current_exception();
  }
  if (leaving) {
    ignore_errors([&] { page.close_while_unwinding(); });
    std::rethrow_exception(leaving);
  }
  ignore_errors([&] { page.close(); });
  return std::move(*result);
}

// The reason word of an error text.
inline std::string reason_word(const std::string& error_text) { return crash_reason(error_text); }

// The whole template: steps 1 to 6 with `test` as step 4. PageErrors raised
// inside the failure branches of steps 1 and 5 leave (after the close, for
// step 5); so does everything that is not a PageError.
CheckResult run_page_check(Session& session, const std::string& endpoint, const Member& member, Env& env,
                           const MemberTest& test);

// Step 4 of the custom web-address check: the body must hold some text.
CheckResult custom_url_test(PageCheck& check);

// The custom web-address check's member: site key and display name `name`,
// address `url`, 15000 ms, err_crash_short, the given screenshot tag.
Member custom_url_member(const std::string& name, const std::string& url, std::function<std::string()> tag);

}  // namespace engine::sites
