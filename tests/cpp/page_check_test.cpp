#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/sites/crash_reason.h"
#include "engine/sites/page_check.h"
#include "engine/sites/page_text.h"

namespace engine::sites {
namespace {

TEST(CrashReason, RulesInOrder) {
  const std::string long_text(100, 'x');
  const std::pair<std::string, std::string> cases[] = {
      // Playwright's own texts: multi-line, with a call log.
      {"Page.goto: Timeout 15000ms exceeded.\nCall log:\n  - navigating to \"http://127.0.0.1:5/\", waiting until "
       "\"domcontentloaded\"\n",
       "timeout"},
      {"Page.goto: net::ERR_CONNECTION_REFUSED at http://127.0.0.1:5/\nCall log:\n  - navigating to "
       "\"http://127.0.0.1:5/\", waiting until \"domcontentloaded\"\n",
       "connection_lost"},
      {"Page.goto: net::ERR_NAME_NOT_RESOLVED at http://x.invalid/\nCall log:\n  - navigating to "
       "\"http://x.invalid/\", waiting until \"domcontentloaded\"\n",
       "dns_error"},
      {"Page.inner_text: Target page, context or browser has been closed", "connection_lost"},
      {"BrowserType.connect_over_cdp: connect ECONNREFUSED 127.0.0.1:9222\nCall log:\n  - <ws preparing> retrieving "
       "websocket url from http://127.0.0.1:9222\n",
       "connection_refused"},
      {"Page.goto: net::ERR_ABORTED at http://127.0.0.1:5/", "aborted"},
      {"Page crashed", "renderer_crashed"},
      // Order between overlapping words, and any letter case.
      {"TimeOut while the connection was refused", "timeout"},
      {"Connection refused", "connection_lost"},
      {"refused", "connection_refused"},
      {"Crashed; socket closed", "connection_lost"},
      {"crashed and refused", "renderer_crashed"},
      {"host could not be resolved", "dns_error"},
      {"DNS lookup failed, aborted", "dns_error"},
      {"Navigation ABORTED", "aborted"},
      // No rule: the text in its own case, cut to 80 code points.
      {"Something Odd", "Something Odd"},
      {long_text, std::string(80, 'x')},
      {std::string(79, 'a') + "\xC3\xA9\xC3\xA9", std::string(79, 'a') + "\xC3\xA9"},
      {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(crash_reason(text), expected) << text;
}

TEST(PageText, StripLikePython) {
  const std::pair<std::string, std::string> cases[] = {
      {"  hi \n", "hi"},
      {"\t\r\n\x0b\x0c", ""},
      {"\xC2\xA0", ""},                                // no-break space
      {"\xE3\x80\x80 a b \xE2\x80\xA9", "a b"},        // ideographic space, paragraph separator
      {"\xE2\x80\x8B", "\xE2\x80\x8B"},                // zero-width space is not whitespace
      {"\x1f" "x\xC2\x85", "x"},                       // unit separator, next line
      {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(strip(text), expected) << text;
}

// --- the template over fakes ----------------------------------------------

// Not a PageError: stands for the user's interrupt.
struct Interrupt {};

struct Script {
  std::vector<std::string> events;  // what happened, in order
  // Each hook may throw; an empty hook succeeds.
  std::function<void()> connect, new_page, go_to, status, inner_text, close, log, save_debug;
  std::map<std::string, int> fail_save_debug_calls;  // n-th screenshot (1-based) raises
  bool has_context = true;
  bool has_response = true;
  long long status_code = 200;
  std::string body = "some text";
  int screenshots = 0;
  std::vector<std::string> contexts_used;
};

void run(const std::function<void()>& hook) {
  if (hook) hook();
}

struct FakeResponse : Response {
  Script& s;
  explicit FakeResponse(Script& script) : s(script) {}
  long long status() override {
    run(s.status);
    return s.status_code;
  }
};

struct FakePage : Page {
  Script& s;
  explicit FakePage(Script& script) : s(script) {}
  std::unique_ptr<Response> go_to(const std::string& address, int timeout_ms,
                                  const std::optional<std::string>& wait_until) override {
    s.events.push_back("goto " + address + " " + std::to_string(timeout_ms) + " " + wait_until.value_or("-"));
    run(s.go_to);
    return s.has_response ? std::make_unique<FakeResponse>(s) : nullptr;
  }
  std::string url() override { return "http://x/"; }
  std::string title() override { return ""; }
  std::string inner_text(const std::string& selector) override {
    s.events.push_back("inner_text " + selector);
    run(s.inner_text);
    return s.body;
  }
  bool query_selector(const std::string&) override { return false; }
  std::size_t query_selector_all(const std::string&) override { return 0; }
  void wait_for_selector(const std::string&, int) override {}
  void save_debug(const std::string& tag) override {
    s.events.push_back("screenshot " + tag);
    ++s.screenshots;
    if (s.fail_save_debug_calls.count(std::to_string(s.screenshots))) throw PageError("cannot create error_pages");
    run(s.save_debug);
  }
  void close() override {
    s.events.push_back("close");
    run(s.close);
  }
  void close_while_unwinding() override {
    s.events.push_back("close while unwinding");
    run(s.close);
  }
};

struct FakeContext : Context {
  Script& s;
  std::string name;
  FakeContext(Script& script, std::string n) : s(script), name(std::move(n)) {}
  std::unique_ptr<Page> new_page() override {
    s.contexts_used.push_back(name);
    run(s.new_page);
    return std::make_unique<FakePage>(s);
  }
};

struct FakeBrowser : Browser {
  Script& s;
  explicit FakeBrowser(Script& script) : s(script) {}
  std::unique_ptr<Context> first_context() override {
    return s.has_context ? std::make_unique<FakeContext>(s, "first") : nullptr;
  }
  std::unique_ptr<Context> new_context() override { return std::make_unique<FakeContext>(s, "new"); }
};

struct FakeSession : Session {
  Script& s;
  explicit FakeSession(Script& script) : s(script) {}
  std::unique_ptr<Browser> connect_over_cdp(const std::string& endpoint) override {
    s.events.push_back("connect " + endpoint);
    run(s.connect);
    return std::make_unique<FakeBrowser>(s);
  }
};

struct FakeEnv : Env {
  Script& s;
  explicit FakeEnv(Script& script) : s(script) {}
  void log_line(Level level, std::string_view key, const std::vector<LogArg>& args) override {
    std::string line = std::string(level == Level::Info ? "info " : level == Level::Warning ? "warning " : "error ");
    line += key;
    for (const LogArg& a : args) {
      line += std::holds_alternative<std::string>(a) ? " '" + std::get<std::string>(a) + "'"
                                                     : " " + std::to_string(std::get<long long>(a));
    }
    s.events.push_back(line);
    run(s.log);
  }
  void pause(double) override {}
  std::string lower(std::string_view text) override { return ascii_lower(text); }
};

CheckResult check_custom(Script& s, const std::string& name = "My site/1") {
  FakeSession session(s);
  FakeEnv env(s);
  int tags = 0;
  const Member m = custom_url_member(name, "http://127.0.0.1:1/", [&] { return "tag" + std::to_string(++tags); });
  return run_page_check(session, "http://127.0.0.1:9", m, env, custom_url_test);
}

using Events = std::vector<std::string>;
const std::string kConnect = "connect http://127.0.0.1:9";
const std::string kGoto = "goto http://127.0.0.1:1/ 15000 domcontentloaded";
const std::string kBody = "inner_text body";
const std::function<void()> kTimeout = [] { throw PageError("Page.goto: Timeout 15000ms exceeded.\nCall log:\n"); };

TEST(PageCheckTemplate, Outcomes) {
  struct Case {
    const char* what;
    std::function<void(Script&)> setup;
    CheckResult expected;
    Events events;
  };
  const Case cases[] = {
      {"success", [](Script&) {}, {true, "My site/1", "OK"}, {kConnect, kGoto, kBody, "close"}},
      {"attach refused",
       [](Script& s) { s.connect = [] { throw PageError("connect ECONNREFUSED 127.0.0.1:9"); }; },
       {false, "My site/1", "cdp_connect_failed:connection_refused"},
       {kConnect, "error err_cdp_failed 'My site/1' 'connection_refused'"}},
      {"tab cannot be opened",
       [](Script& s) { s.new_page = [] { throw PageError("Target closed"); }; },
       {false, "My site/1", "cdp_connect_failed:connection_lost"},
       {kConnect, "error err_cdp_failed 'My site/1' 'connection_lost'"}},
      {"load times out",
       [](Script& s) { s.go_to = kTimeout; },
       {false, "My site/1", "page_load_failed:timeout"},
       {kConnect, kGoto, "warning err_page_load 'My site/1' 'timeout'", "screenshot tag1", "close"}},
      {"status 399 passes", [](Script& s) { s.status_code = 399; }, {true, "My site/1", "OK"},
       {kConnect, kGoto, kBody, "close"}},
      {"status 400",
       [](Script& s) { s.status_code = 400; },
       {false, "My site/1", "http_error:400"},
       {kConnect, kGoto, "warning err_http 'My site/1' 400", "screenshot tag1", "close"}},
      {"no response skips the status", [](Script& s) {
         s.has_response = false;
         s.status = [] { throw PageError("must not be read"); };
       },
       {true, "My site/1", "OK"}, {kConnect, kGoto, kBody, "close"}},
      {"status cannot be read",
       [](Script& s) { s.status = [] { throw PageError("Target page, context or browser has been closed"); }; },
       {false, "My site/1", "crash:connection_lost"},
       {kConnect, kGoto, "error err_crash_short 'My site/1' 'connection_lost'", "screenshot tag1", "close"}},
      {"whitespace-only body",
       [](Script& s) { s.body = " \n\xC2\xA0\xE3\x80\x80\t"; },
       {false, "My site/1", "empty_body"},
       {kConnect, kGoto, kBody, "warning err_page_empty 'My site/1'", "screenshot tag1", "close"}},
      {"body unreadable",
       [](Script& s) { s.inner_text = [] { throw PageError("Execution context was destroyed"); }; },
       {false, "My site/1", "body_unreadable:Execution context was destroyed"},
       {kConnect, kGoto, kBody, "warning err_body_unreadable_short 'My site/1' 'Execution context was destroyed'",
        "screenshot tag1", "close"}},
      {"screenshot of the empty body fails: unreadable",
       [](Script& s) {
         s.body = "";
         s.fail_save_debug_calls["1"] = 1;
       },
       {false, "My site/1", "body_unreadable:cannot create error_pages"},
       {kConnect, kGoto, kBody, "warning err_page_empty 'My site/1'", "screenshot tag1",
        "warning err_body_unreadable_short 'My site/1' 'cannot create error_pages'", "screenshot tag2", "close"}},
      {"screenshot of the unreadable body fails: crash",
       [](Script& s) {
         s.inner_text = [] { throw PageError("gone"); };
         s.fail_save_debug_calls["1"] = 1;
       },
       {false, "My site/1", "crash:cannot create error_pages"},
       {kConnect, kGoto, kBody, "warning err_body_unreadable_short 'My site/1' 'gone'", "screenshot tag1",
        "error err_crash_short 'My site/1' 'cannot create error_pages'", "screenshot tag2", "close"}},
      {"screenshot of a failed load fails: crash",
       [](Script& s) {
         s.go_to = kTimeout;
         s.fail_save_debug_calls["1"] = 1;
       },
       {false, "My site/1", "crash:cannot create error_pages"},
       {kConnect, kGoto, "warning err_page_load 'My site/1' 'timeout'", "screenshot tag1",
        "error err_crash_short 'My site/1' 'cannot create error_pages'", "screenshot tag2", "close"}},
      {"a close that fails leaves the result",
       [](Script& s) { s.close = [] { throw PageError("already closed"); }; },
       {true, "My site/1", "OK"}, {kConnect, kGoto, kBody, "close"}},
  };
  for (const Case& c : cases) {
    Script s;
    c.setup(s);
    EXPECT_EQ(check_custom(s), c.expected) << c.what;
    EXPECT_EQ(s.events, c.events) << c.what;
  }
}

TEST(PageCheckTemplate, ContextChoice) {
  Script with;
  check_custom(with);
  EXPECT_EQ(with.contexts_used, std::vector<std::string>{"first"});
  Script without;
  without.has_context = false;
  check_custom(without);
  EXPECT_EQ(without.contexts_used, std::vector<std::string>{"new"});
}

TEST(PageCheckTemplate, WhatLeavesTheAttempt) {
  // An interrupt during the load is no result; the tab is still closed.
  Script interrupted;
  interrupted.go_to = [] { throw Interrupt{}; };
  EXPECT_THROW(check_custom(interrupted), Interrupt);
  EXPECT_EQ(interrupted.events, (Events{kConnect, kGoto, "close while unwinding"}));

  // The same in a member's own pause, with a close that fails as well.
  Script paused;
  paused.close = [] { throw PageError("closed"); };
  FakeSession session(paused);
  FakeEnv env(paused);
  Member m = custom_url_member("n", "http://127.0.0.1:1/", nullptr);
  EXPECT_THROW(run_page_check(session, "e", m, env, [](PageCheck&) -> CheckResult { throw Interrupt{}; }), Interrupt);
  EXPECT_EQ(paused.events.back(), "close while unwinding");

  // An error inside the crash branch leaves after the close.
  Script crash_branch;
  crash_branch.status = [] { throw PageError("boom"); };
  crash_branch.fail_save_debug_calls["1"] = 1;
  EXPECT_THROW(check_custom(crash_branch), PageError);
  EXPECT_EQ(crash_branch.events.back(), "close while unwinding");

  // An error inside the attach failure branch leaves; there is no tab.
  Script attach_branch;
  attach_branch.connect = [] { throw PageError("refused"); };
  attach_branch.log = [] { throw PageError("log broken"); };
  EXPECT_THROW(check_custom(attach_branch), PageError);
  EXPECT_EQ(attach_branch.events, (Events{kConnect, "error err_cdp_failed 'My site/1' 'connection_refused'"}));

  // An interrupt while the tab closes goes on, also in place of an ordinary
  // error that was leaving.
  Script interrupted_close;
  interrupted_close.status = [] { throw PageError("boom"); };
  interrupted_close.fail_save_debug_calls["1"] = 1;
  interrupted_close.close = [] { throw Interrupt{}; };
  EXPECT_THROW(check_custom(interrupted_close), Interrupt);

  Script closing;
  closing.close = [] { throw Interrupt{}; };
  EXPECT_THROW(check_custom(closing), Interrupt);
}

TEST(PageCheckTemplate, MemberConstants) {
  // Another member: its own key, load time-out, wait mode, crash key and tag.
  Script s;
  s.status = [] { throw PageError("boom"); };
  FakeSession session(s);
  FakeEnv env(s);
  Member m;
  m.site_key = "gemini";
  m.display_name = "Gemini";
  m.address = "https://g/";
  m.load_timeout_ms = 20000;
  m.wait_until = std::nullopt;
  m.crash_log_key = "err_crash_long";
  const CheckResult r = run_page_check(session, "e", m, env, [](PageCheck& c) { return c.ok(); });
  EXPECT_EQ(r, (CheckResult{false, "gemini", "crash:boom"}));
  EXPECT_EQ(s.events, (Events{"connect e", "goto https://g/ 20000 -", "error err_crash_long 'Gemini' 'boom'",
                              "screenshot gemini", "close"}));
}

TEST(PageCheckTemplate, GuardedBlocks) {
  EXPECT_EQ(ignore_errors([]() -> int { throw PageError("x"); }), std::nullopt);
  EXPECT_EQ(ignore_errors([] { return 3; }), 3);
  EXPECT_FALSE(ignore_errors([] { throw PageError("x"); }));
  EXPECT_TRUE(ignore_errors([] {}));
  EXPECT_THROW(ignore_errors([] { throw Interrupt{}; }), Interrupt);
}

}  // namespace
}  // namespace engine::sites
