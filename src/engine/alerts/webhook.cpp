#include "engine/alerts/webhook.h"

#include <charconv>
#include <limits>
#include <map>

#include "engine/common/json_reader.h"
#include "engine/common/json_writer.h"
#include "engine/common/utf8.h"

namespace engine::alerts {
namespace {

// A top-level member of a reply: how its value began, and how a person reads
// it (a string's content, anything else as the reply writes it).
struct Member {
  json::Event kind;
  std::string shown;
};

// A later duplicate replaces an earlier one, as Python's json module reads them.
using Members = std::map<std::string, Member, std::less<>>;

const Member* find(const Members& members, std::string_view name) {
  const auto found = members.find(name);
  return found == members.end() ? nullptr : &found->second;
}

// Every digit before the exponent is 0: 0, -0, 0.0, 0e5 alike.
bool is_number_zero(const Member& member) {
  if (member.kind != json::Event::Integer && member.kind != json::Event::Float) return false;
  const std::string_view mantissa = std::string_view(member.shown).substr(0, member.shown.find_first_of("eE"));
  return mantissa.find_first_not_of("-0.") == std::string_view::npos;  // NaN and Infinity hold other letters
}

// Whether text holds, at i, a \u escape of a code point from low to high.
bool escape_in(std::string_view text, std::size_t i, unsigned low, unsigned high) {
  if (text.substr(i, 2) != "\\u" || text.size() < i + 6) return false;
  unsigned cp = 0;
  const auto [end, error] = std::from_chars(text.data() + i + 2, text.data() + i + 6, cp, 16);
  return error == std::errc() && end == text.data() + i + 6 && cp >= low && cp <= high;
}

// Each escape of a lone surrogate as \ufffd, six bytes for six, so that every
// place in the text stays where it was. The reader refuses lone surrogates,
// since no UTF-8 text can hold one; nor could the log file take a failure
// line holding one.
std::string lone_surrogates_replaced(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '\\') {
      out += text[i++];
    } else if (escape_in(text, i, 0xD800, 0xDBFF) && escape_in(text, i + 6, 0xDC00, 0xDFFF)) {
      out += text.substr(i, 12);  // a pair
      i += 12;
    } else if (escape_in(text, i, 0xD800, 0xDFFF)) {
      out += "\\ufffd";
      i += 6;
    } else {
      out += text.substr(i, 2);  // any other escape, with the character it escapes
      i += 2;
    }
  }
  return out;
}

// How a person reads the value whose first event the reader just gave.
std::string shown_value(json::Reader& reader, json::Event first, std::string_view text) {
  if (first != json::Event::BeginObject && first != json::Event::BeginArray) return std::string(reader.text());
  const auto start = static_cast<std::size_t>(reader.offset()) - 1;  // the opening bracket
  reader.skip_value(first);
  return std::string(text.substr(start, static_cast<std::size_t>(reader.offset()) - start));
}

// The members of the reply's object, or nothing when the reply is JSON but
// no object. Throws json::SyntaxError when it is no JSON at all.
std::optional<Members> read_members(std::string_view body) {
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  // Invalid UTF-8 reads as U+FFFD, as the HTTP client decodes a reply's text.
  const std::string reply = utf8::replace_invalid(body);
  const std::string readable = lone_surrogates_replaced(reply);
  json::TextSource source(readable);
  // A reply may nest as deep as it likes: the reader keeps its place without recursion.
  json::Reader reader(source, json::Reader::kChunk, {}, std::numeric_limits<std::size_t>::max());
  std::optional<Members> members;
  const json::Event first = reader.next();
  if (first == json::Event::BeginObject) {
    members.emplace();
    while (reader.next() == json::Event::Key) {
      std::string name(reader.text());
      const json::Event kind = reader.next();
      members->insert_or_assign(std::move(name), Member{kind, shown_value(reader, kind, reply)});
    }
  } else {
    reader.skip_value(first);
  }
  reader.next();  // the end, or an error for anything after the value
  return members;
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

std::optional<std::string> judge_webhook_reply(long status, std::string_view body) {
  if (status >= 400) return "HTTP " + std::to_string(status);
  std::optional<Members> reply;
  try {
    reply = read_members(body);
  } catch (const json::SyntaxError&) {
    return std::nullopt;  // an empty or non-JSON body: nothing says it failed
  }
  // A list or a bare value carries no code at all, and that is no delivery.
  if (!reply) return std::string("reply is not a JSON object");

  const Member* code = find(*reply, "errcode");
  if (code == nullptr) code = find(*reply, "code");
  // Only the number 0 means delivered: a string "0" is some other answer.
  if (code != nullptr && is_number_zero(*code)) return std::nullopt;

  if (const Member* message = find(*reply, "errmsg")) return message->shown;
  if (const Member* message = find(*reply, "msg")) return message->shown;
  return "errcode=" + (code != nullptr ? code->shown : std::string("-1"));
}

}  // namespace engine::alerts
