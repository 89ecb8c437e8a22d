#pragma once
// The browser as the page checks see it: a session that attaches to the
// running Chrome, its browser contexts, one tab, and the tab's operations.
// The judging rules are written once against these interfaces; the shell
// implements them over Playwright's sync API, tests over plain fakes.
//
// Errors: an ordinary failure of any operation below is a PageError carrying
// the error's text (what Python's str(e) gives). The checks catch PageError
// and nothing else, so anything of another type (the user's interrupt, an exit
// request) passes through them unchanged, after the tab has been closed.
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace engine::sites {

// An ordinary error raised by the browser, the page, the log or a screenshot.
struct PageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The outcome of one attempt: success flag, keyword (site key or target
// name), reason ("OK" or a reason text).
struct CheckResult {
  bool ok = false;
  std::string keyword;
  std::string reason;
  bool operator==(const CheckResult&) const = default;
};

// The main response of a load.
class Response {
 public:
  virtual ~Response() = default;
  // The HTTP status code; reading it can fail like any page operation.
  virtual long long status() = 0;
};

// One browser tab.
class Page {
 public:
  virtual ~Page() = default;
  // goto(address, timeout=timeout_ms, wait_until=wait_until); without a wait
  // mode the library's default (the load event) applies. Gives the main
  // response, or nullptr when the load gave none.
  virtual std::unique_ptr<Response> go_to(const std::string& address, int timeout_ms,
                                          const std::optional<std::string>& wait_until) = 0;
  // The tab's current address, after redirects.
  virtual std::string url() = 0;
  // The document title.
  virtual std::string title() = 0;
  // The rendered text of the first element matching the selector.
  virtual std::string inner_text(const std::string& selector) = 0;
  // Whether some element matches, answered at once without waiting.
  virtual bool query_selector(const std::string& selector) = 0;
  // How many elements match, answered at once.
  virtual std::size_t query_selector_all(const std::string& selector) = 0;
  // Waits until an element matching the selector is there (the library's
  // default condition); fails when the time-out passes.
  virtual void wait_for_selector(const std::string& selector, int timeout_ms) = 0;
  // A full-page debug screenshot of this tab under the given tag. A picture
  // that cannot be taken is logged, not raised; what can raise is the
  // creation of the screenshot directory.
  virtual void save_debug(const std::string& tag) = 0;
  // Closes the tab.
  virtual void close() = 0;
  // Closes the tab while an error or an interrupt is leaving the attempt.
  // It must not hang: an implementation whose close can block gives up on it
  // after a short while. Its PageErrors are dropped by the caller.
  virtual void close_while_unwinding() { close(); }
};

// A browser context.
class Context {
 public:
  virtual ~Context() = default;
  virtual std::unique_ptr<Page> new_page() = 0;
};

// The browser reached over the DevTools Protocol.
class Browser {
 public:
  virtual ~Browser() = default;
  // The first of the browser's existing contexts, or nullptr when it has none.
  virtual std::unique_ptr<Context> first_context() = 0;
  virtual std::unique_ptr<Context> new_context() = 0;
};

// The browser-automation session that the retry wrapper opened.
class Session {
 public:
  virtual ~Session() = default;
  // chromium.connect_over_cdp(endpoint)
  virtual std::unique_ptr<Browser> connect_over_cdp(const std::string& endpoint) = 0;
};

enum class Level { Info, Warning, Error };

// A log argument: a text or a whole number (status codes, attempt numbers).
using LogArg = std::variant<std::string, long long>;

// What a check needs besides the browser.
class Env {
 public:
  virtual ~Env() = default;
  // One log line: the catalogue text of key as the format, args beside it.
  virtual void log_line(Level level, std::string_view key, const std::vector<LogArg>& args) = 0;
  // A pause of the calling thread (fractions allowed); an interrupt ends it.
  virtual void pause(double seconds) = 0;
  // The text lower-cased the way the host language does it (Unicode-aware);
  // texts that the checks echo into reasons and logs are lower-cased here.
  virtual std::string lower(std::string_view text) = 0;
};

}  // namespace engine::sites
