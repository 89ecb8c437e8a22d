#include "engine/alerts/webhook.h"

#include "engine/alerts/json_text.h"

namespace engine::alerts {
namespace {

// A small writer for the bodies: members go out in the order they are written.
class Body {
 public:
  Body& open() { return comma('{'); }
  Body& close() { return end('}'); }
  Body& open_list() { return comma('['); }
  Body& close_list() { return end(']'); }
  Body& key(std::string_view name) {
    separate();
    json::append_string(out_, name);
    out_ += ':';
    fresh_ = true;
    return *this;
  }
  Body& open(std::string_view name) { return key(name).open(); }
  Body& member(std::string_view name, std::string_view value) {
    key(name);
    fresh_ = false;
    json::append_string(out_, value);
    return *this;
  }
  std::string text() const { return out_; }

 private:
  void separate() {
    if (!fresh_) out_ += ',';
  }
  Body& comma(char c) {
    separate();
    out_ += c;
    fresh_ = true;
    return *this;
  }
  Body& end(char c) {
    out_ += c;
    fresh_ = false;
    return *this;
  }
  std::string out_;
  bool fresh_ = true;  // nothing written yet at this level: no comma before the next item
};

// The value of the last member with this name (a later duplicate wins, as
// Python's json module reads it), or null when there is none.
const json::Value* find(const json::Document& reply, std::string_view name) {
  const json::Value* found = nullptr;
  for (const auto& [member, value] : reply.members) {
    if (member == name) found = &value;
  }
  return found;
}

}  // namespace

std::string_view channel_label(Robot robot) {
  switch (robot) {
    case Robot::DingTalk: return "\xE9\x92\x89\xE9\x92\x89";                          // 钉钉
    case Robot::Feishu: return "\xE9\xA3\x9E\xE4\xB9\xA6";                            // 飞书
    case Robot::WeCom: return "\xE4\xBC\x81\xE4\xB8\x9A\xE5\xBE\xAE\xE4\xBF\xA1";    // 企业微信
  }
  return {};
}

const char* address_setting(Robot robot) {
  switch (robot) {
    case Robot::DingTalk: return "WEBHOOK";
    case Robot::Feishu: return "FEISHU_WEBHOOK";
    case Robot::WeCom: return "WECOM_WEBHOOK";
  }
  return "";
}

std::string feishu_card_body(const ParsedAlert& parsed) {
  if (parsed.fields.empty()) return parsed.title;
  std::string body;
  for (std::size_t i = 0; i < parsed.fields.size(); ++i) {
    if (i > 0) body += "\n\n";
    body += "**" + parsed.fields[i].first + "**\xEF\xBC\x9A" + parsed.fields[i].second;
  }
  return body;
}

std::string webhook_payload(Robot robot, std::string_view msg) {
  const ParsedAlert parsed = parse_alert_msg(msg);
  Body body;
  body.open();
  switch (robot) {
    case Robot::DingTalk:
      body.member("msgtype", "markdown")
          .open("markdown")
          .member("title", parsed.title)
          .member("text", format_markdown(parsed))
          .close();
      break;
    case Robot::Feishu:
      body.member("msg_type", "interactive")
          .open("card")
          .open("header")
          .open("title")
          .member("tag", "plain_text")
          .member("content", parsed.title)
          .close()
          .member("template", alert_card_color(msg))
          .close()
          .key("elements")
          .open_list()
          .open()
          .member("tag", "markdown")
          .member("content", feishu_card_body(parsed))
          .close()
          .close_list()
          .close();
      break;
    case Robot::WeCom:
      body.member("msgtype", "markdown").open("markdown").member("content", format_markdown(parsed)).close();
      break;
  }
  body.close();
  return body.text();
}

std::optional<std::string> judge_webhook_reply(long status, std::string_view body) {
  if (status >= 400) return "HTTP " + std::to_string(status);
  const std::optional<json::Document> reply = json::parse(body);
  if (!reply) return std::nullopt;  // an empty or non-JSON body: nothing says it failed
  // A list or a bare value carries no code at all, and that is no delivery.
  if (!reply->is_object) return std::string("reply is not a JSON object");

  const json::Value* code = find(*reply, "errcode");
  if (code == nullptr) code = find(*reply, "code");
  // Only the number 0 means delivered: a string "0" is some other answer.
  if (code != nullptr && !code->text && json::is_zero(code->source)) return std::nullopt;

  if (const json::Value* message = find(*reply, "errmsg")) return message->shown();
  if (const json::Value* message = find(*reply, "msg")) return message->shown();
  return "errcode=" + (code != nullptr ? code->shown() : std::string("-1"));
}

}  // namespace engine::alerts
