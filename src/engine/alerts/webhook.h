#pragma once
// The three group-robot webhooks: what each one is posted, and how a reply is
// judged. The robots answer most failures with HTTP 200 and an error code in
// the body, so the status alone says little.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/alerts/alert_text.h"

namespace engine::alerts {

enum class Robot { DingTalk, Feishu, WeCom };

// A webhook post gives up after this, counted from its start to the last byte
// of the reply, however slowly the robot answers; the mail exchange gives up
// on each of its waits after this.
inline constexpr int kTimeoutSeconds = 10;

// The failure of a post that the robot's reply outlasted.
inline constexpr std::string_view kPostTimedOut = "timed out: the robot's reply did not end within 10 s";
// The failure of a post that ended with neither a reply nor an error.
inline constexpr std::string_view kPostWithoutReply = "the post ended without a reply";

// A robot replies with a small JSON object; a reply that goes on past this is
// cut and counts as a failure.
inline constexpr std::size_t kReplyLimit = 1 << 20;
inline constexpr std::string_view kReplyTooLarge = "the robot's reply is larger than 1 MiB";

// The label that names a channel in the failure log.
std::string_view channel_label(Robot robot);
inline constexpr std::string_view kMailLabel = "邮件";

// The setting holding the robot's whole address; an empty one switches the channel off.
const char* address_setting(Robot robot);

// Feishu's card body: one "**label**：value" per field, an empty line between
// them; the title alone when there are no fields (it is in the header otherwise).
std::string feishu_card_body(const ParsedAlert& parsed);

// The JSON body the robot is posted, members in the order the robot documents.
std::string webhook_payload(Robot robot, std::string_view msg);

// A webhook reply as the HTTP client hands it over: its status, and its body
// decoded as JSON the client's way (the charset the reply declares). How a
// decoded value compares with 0 and how it reads as text are the host
// language's, so the judge only asks.
class WebhookReply {
 public:
  enum class Body { NotJson, NotObject, Object };
  virtual ~WebhookReply() = default;
  virtual long status() const = 0;
  // Decodes the body; asked only when the status leaves the verdict to it.
  virtual Body decode() = 0;
  // A member of the decoded object: whether it is there, whether it equals
  // the number 0, and its value as text.
  virtual bool has(std::string_view name) const = 0;
  virtual bool equals_zero(std::string_view name) const = 0;
  virtual std::string text(std::string_view name) const = 0;
};

inline constexpr std::string_view kNotAnObject = "reply is not a JSON object";

// Nothing for a delivered notice, else the failure's text: "HTTP <status>"
// for a status of 400 or more, kNotAnObject, the reply's errmsg or msg, or
// "errcode=<code>". A body that is not JSON at all (an empty one too) counts
// as delivered: nothing in it says the notice failed.
std::optional<std::string> judge_webhook_reply(WebhookReply& reply);

}  // namespace engine::alerts
