#pragma once
// The short reason word that every page check puts after its prefixes
// ("page_load_failed:", "crash:", ...), made from an error's text.
#include <string>
#include <string_view>

namespace engine::sites {

// The first rule that matches the lower-cased text wins: "timeout",
// "connection"/"closed", "crashed", "refused", "resolve"/"dns", "aborted";
// otherwise the text itself in its own case, cut to its first 80 characters
// (code points). The text is UTF-8.
std::string crash_reason(std::string_view error_text);

}  // namespace engine::sites
