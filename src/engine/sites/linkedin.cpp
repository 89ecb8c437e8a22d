// LinkedIn: the page must not have ended on LinkedIn's China site, and its
// body must hold some text.
#include <utility>

#include "engine/sites/site_checks.h"
#include "engine/sites/site_rules.h"

namespace engine::sites {
namespace {

constexpr std::size_t kAddressCut = 100;

CheckResult linkedin_test(PageCheck& check) {
  // A plain substring of the whole lower-cased address, not its host part.
  // An address that cannot be read is passed over.
  if (auto redirected = guarded_test([&]() -> std::optional<CheckResult> {
        const std::string address = check.env().lower(check.page().url());
        if (!contains(address, kLinkedInChinaHost)) return std::nullopt;
        return fail_regardless(check, Level::Warning, "err_linkedin_cn_redirect", {cut(address, kAddressCut)},
                               "redirected_to_linkedin_cn");
      })) {
    return std::move(*redirected);
  }
  // The body test is the custom web-address check's, under the display name.
  return custom_url_test(check);
}

}  // namespace

Site linkedin_site(std::string address) {
  Member m;
  m.site_key = "linkedin";
  m.display_name = "LinkedIn";
  m.address = std::move(address);
  m.load_timeout_ms = 20000;
  return {std::move(m), linkedin_test};
}

}  // namespace engine::sites
