#include "engine/alerts/webhook.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace engine::alerts {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void text(Writer& w, std::string_view value) {
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void member(Writer& w, std::string_view key, std::string_view value) {
  text(w, key);
  text(w, value);
}

// A member's value as the failure text shows it: a string as it is, anything
// else as its JSON text.
std::string shown(const rapidjson::Value& value) {
  if (value.IsString()) return std::string(value.GetString(), value.GetStringLength());
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  value.Accept(w);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// The value of the last member with this name (a later duplicate wins, as
// Python's json module reads it), or null when there is none.
const rapidjson::Value* find(const rapidjson::Value& object, std::string_view name) {
  const rapidjson::Value* found = nullptr;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
    if (std::string_view(it->name.GetString(), it->name.GetStringLength()) == name) found = &it->value;
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
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  switch (robot) {
    case Robot::DingTalk:
      member(w, "msgtype", "markdown");
      text(w, "markdown");
      w.StartObject();
      member(w, "title", parsed.title);
      member(w, "text", format_markdown(parsed));
      w.EndObject();
      break;
    case Robot::Feishu:
      member(w, "msg_type", "interactive");
      text(w, "card");
      w.StartObject();
      text(w, "header");
      w.StartObject();
      text(w, "title");
      w.StartObject();
      member(w, "tag", "plain_text");
      member(w, "content", parsed.title);
      w.EndObject();
      member(w, "template", alert_card_color(msg));
      w.EndObject();
      text(w, "elements");
      w.StartArray();
      w.StartObject();
      member(w, "tag", "markdown");
      member(w, "content", feishu_card_body(parsed));
      w.EndObject();
      w.EndArray();
      w.EndObject();
      break;
    case Robot::WeCom:
      member(w, "msgtype", "markdown");
      text(w, "markdown");
      w.StartObject();
      member(w, "content", format_markdown(parsed));
      w.EndObject();
      break;
  }
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::optional<std::string> judge_webhook_reply(long status, std::string_view body) {
  if (status >= 400) return "HTTP " + std::to_string(status);
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  rapidjson::Document reply;
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNanAndInfFlag;
  reply.Parse<kFlags>(body.data(), body.size());
  if (reply.HasParseError()) return std::nullopt;
  // A list or a bare value carries no code at all, and that is no delivery.
  if (!reply.IsObject()) return std::string("reply is not a JSON object");

  const rapidjson::Value* code = find(reply, "errcode");
  if (code == nullptr) code = find(reply, "code");
  // Only the number 0 means delivered: a string "0" is some other answer.
  if (code != nullptr && code->IsNumber() && code->GetDouble() == 0.0) return std::nullopt;

  if (const rapidjson::Value* message = find(reply, "errmsg")) return shown(*message);
  if (const rapidjson::Value* message = find(reply, "msg")) return shown(*message);
  return "errcode=" + (code != nullptr ? shown(*code) : std::string("-1"));
}

}  // namespace engine::alerts
