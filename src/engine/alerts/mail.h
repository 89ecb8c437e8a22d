#pragma once
// The alert mail: who it goes to, which kind of notice it is, and the HTML
// document it carries. Composing the MIME message and the SMTP exchange are
// the shell's.
#include <string>
#include <string_view>
#include <vector>

#include "engine/alerts/alert_text.h"

namespace engine::alerts {

// Addresses separated by commas, full-width commas or white space, in order;
// duplicates stay and nothing checks that a piece looks like an address.
std::vector<std::string> parse_email_recipients(std::string_view raw);

// Recovery is tested first: a text with both ✅ and 🚨 is good news.
enum class NoticeKind { Recovery, Alert, Status };
NoticeKind notice_kind(std::string_view msg);
std::string_view band_colour(NoticeKind kind);
std::string_view heading(NoticeKind kind);

// The display name of the sender, and the same subject for every mail of a kind.
inline constexpr std::string_view kSenderName = "Quorvelta 栖柯";
std::string mail_subject(NoticeKind kind);

// The product's site, linked from the mail's footer.
inline constexpr std::string_view kSiteHost = "quorvelta.example.com";

// The notice's title and fields as a text that HTML shows literally.
std::string html_escape(std::string_view text);

// The whole HTML document, one line, for the notice text.
std::string mail_html(std::string_view msg);

}  // namespace engine::alerts
