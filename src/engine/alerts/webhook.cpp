#include "engine/alerts/webhook.h"

#include "engine/common/json_writer.h"

namespace engine::alerts {

std::string_view channel_label(Robot robot) {
  switch (robot) {
    case Robot::DingTalk: return "钉钉";
    case Robot::Feishu: return "飞书";
    case Robot::WeCom: return "企业微信";
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
    body += "**" + parsed.fields[i].first + "**";
    body += kFullWidthColon;
    body += parsed.fields[i].second;
  }
  return body;
}

std::string webhook_payload(Robot robot, std::string_view msg) {
  const ParsedAlert parsed = parse_alert_msg(msg);
  json::StringSink out;
  json::Writer body(out, json::Writer::Compact{});
  const auto member = [&](std::string_view name, std::string_view value) {
    body.key(name);
    body.string(value);
  };
  const auto open = [&](std::string_view name) {
    body.key(name);
    body.begin_object();
  };
  body.begin_object();
  switch (robot) {
    case Robot::DingTalk:
      member("msgtype", "markdown");
      open("markdown");
      member("title", parsed.title);
      member("text", format_markdown(parsed));
      body.end_object();
      break;
    case Robot::Feishu:
      member("msg_type", "interactive");
      open("card");
      open("header");
      open("title");
      member("tag", "plain_text");
      member("content", parsed.title);
      body.end_object();
      member("template", alert_card_color(msg));
      body.end_object();
      body.key("elements");
      body.begin_array();
      body.begin_object();
      member("tag", "markdown");
      member("content", feishu_card_body(parsed));
      body.end_object();
      body.end_array();
      body.end_object();
      break;
    case Robot::WeCom:
      member("msgtype", "markdown");
      open("markdown");
      member("content", format_markdown(parsed));
      body.end_object();
      break;
  }
  body.end_object();
  body.flush();
  return std::move(out.text);
}

std::optional<std::string> judge_webhook_reply(WebhookReply& reply) {
  const long status = reply.status();
  if (status >= 400) return "HTTP " + std::to_string(status);  // the body is not even read
  switch (reply.decode()) {
    case WebhookReply::Body::NotJson: return std::nullopt;
    // A list or a bare value carries no code at all, and that is no delivery.
    case WebhookReply::Body::NotObject: return std::string(kNotAnObject);
    case WebhookReply::Body::Object: break;
  }
  // DingTalk and WeCom answer with errcode, Feishu with code; only a code
  // equal to the number 0 means delivered (a string "0" is some other answer).
  const char* code = reply.has("errcode") ? "errcode" : reply.has("code") ? "code" : nullptr;
  if (code != nullptr && reply.equals_zero(code)) return std::nullopt;
  if (reply.has("errmsg")) return reply.text("errmsg");
  if (reply.has("msg")) return reply.text("msg");
  return "errcode=" + (code != nullptr ? reply.text(code) : std::string("-1"));
}

}  // namespace engine::alerts
