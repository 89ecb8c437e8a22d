// The Google home page is up when it shows its search box, or else its logo.
#include <utility>

#include "engine/sites/site_checks.h"
#include "engine/sites/site_rules.h"

namespace engine::sites {
namespace {

// Each entry is one selector with its alternatives, queried as a whole.
constexpr std::array<std::string_view, 2> kKeyElements = {
    "input[name='q'], textarea[name='q'], [aria-label*='Search'], [role='combobox']",  // the search box
    "img[alt='Google'], [aria-label='Google']",                                        // the logo
};

CheckResult google_home_test(PageCheck& check) {
  if (first_found(check.page(), kKeyElements)) return check.ok();
  return check.fail(Level::Warning, "err_no_search_box", {}, "no_search_box");
}

}  // namespace

Site google_home_site(std::string address) {
  Member m;
  m.site_key = "google";
  m.display_name = "Google";
  m.address = std::move(address);
  m.load_timeout_ms = 15000;
  return {std::move(m), google_home_test};
}

}  // namespace engine::sites
