#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/alerts/alert_text.h"
#include "engine/alerts/mail.h"
#include "engine/alerts/secrets.h"
#include "engine/alerts/webhook.h"

namespace engine::alerts {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// Written out once so the tables read like the notices they stand for.
#define FWC "\xEF\xBC\x9A"          // full-width colon U+FF1A
#define IDEO "\xE3\x80\x80"         // ideographic space U+3000
#define NBSP "\xC2\xA0"             // no-break space U+00A0
#define SIREN "\xF0\x9F\x9A\xA8"    // 🚨
#define RED "\xF0\x9F\x94\xB4"      // 🔴
#define WARN "\xE2\x9A\xA0"         // ⚠ without its emoji selector
#define VS16 "\xEF\xB8\x8F"         // U+FE0F
#define CHECK "\xE2\x9C\x85"        // ✅
#define GREEN "\xF0\x9F\x9F\xA2"    // 🟢

TEST(AlertText, StripRemovesUnicodeSpaceOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {" \t\r\n\v\f x \t", "x"},
      {IDEO "x" IDEO, "x"},
      {NBSP "\xC2\x85" "x" "\xE2\x80\xA8\xE2\x80\xA9", "x"},            // U+0085, U+2028, U+2029
      {"\xE2\x80\x80\xE2\x80\x8A" "x" "\xE2\x80\xAF\xE2\x81\x9F", "x"},  // U+2000, U+200A, U+202F, U+205F
      {"\xE1\x9A\x80" "x" "\x1C\x1F", "x"},                              // U+1680, the information separators
      {"\xE2\x80\x8B" "x" "\xEF\xBB\xBF", "\xE2\x80\x8B" "x" "\xEF\xBB\xBF"},  // zero-width space, BOM: no space
      {"\xE2\x80\x8C" "x", "\xE2\x80\x8C" "x"},                          // U+200C lies outside the range
      {IDEO IDEO, ""},
      {"", ""},
      {"a " IDEO "b", "a " IDEO "b"},
      {"\xE7\xA9\x80", "\xE7\xA9\x80"},  // a letter whose last bytes look like nothing special
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(strip(in), out) << in;
}

TEST(AlertText, ParseTable) {
  struct Case {
    const char* name;
    const char* msg;
    const char* title;
    Fields fields;
  };
  const Case cases[] = {
      {"down notice",
       SIREN " Service down: Web\n\nTime" FWC "2024-05-01 10:00:00\nKeyword" FWC "web\nReason" FWC
             "cdp_connect_failed: timeout\n\nPlease check soon",
       SIREN " Service down: Web",
       {{"Time", "2024-05-01 10:00:00"}, {"Keyword", "web"}, {"Reason", "cdp_connect_failed: timeout"}}},
      {"one line", "Chrome not found", "Chrome not found", {}},
      {"empty", "", "", {}},
      {"only space", IDEO " \n \t", "", {}},
      {"title never split", "a" FWC "b: c\nx: y", "a" FWC "b: c", {{"x", "y"}}},
      {"full-width colon wins even when later", "t\nk: v" FWC "w", "t", {{"k: v", "w"}}},
      {"ascii colon needs its blank", "t\nhttps://x.test/a\n10:20:30\nport:80", "t", {}},
      {"trailing full-width colon keeps the label", "t\nlabel" FWC, "t", {{"label", ""}}},
      {"trailing colon-blank is stripped away", "t\nlabel: ", "t", {}},
      {"leading separators give an empty label", "t\n" FWC "a\n: b", "t", {{"", "b"}}},
      {"repeated label keeps its place, takes the later value", "t\na" FWC "1\nb" FWC "2\na" FWC "3", "t",
       {{"a", "3"}, {"b", "2"}}},
      {"carriage returns", "t\r\n\r\na" FWC "1\r\nb: 2\r\n", "t", {{"a", "1"}, {"b", "2"}}},
      {"unicode spaces around labels and values", IDEO "t" IDEO "\n" IDEO "a " FWC NBSP "1" IDEO, "t", {{"a", "1"}}},
      {"second colon stays in the value", "t\nReason" FWC "x" FWC "y", "t", {{"Reason", "x" FWC "y"}}},
      {"leading blank lines before the title", "\n\n  t\na" FWC "1", "t", {{"a", "1"}}},
  };
  for (const auto& c : cases) {
    const ParsedAlert parsed = parse_alert_msg(c.msg);
    EXPECT_EQ(parsed.title, c.title) << c.name;
    EXPECT_EQ(parsed.fields, c.fields) << c.name;
  }
}

TEST(AlertText, CardColorTable) {
  const std::pair<const char*, const char*> cases[] = {
      {SIREN " down", "red"},
      {CHECK " back\n" SIREN, "red"},  // first mark of the table wins, not the first in the text
      {"t\nreason" FWC RED, "carmine"},
      {WARN VS16 " Chrome not found", "yellow"},
      {WARN " without selector", "blue"},
      {VS16 " selector alone", "blue"},
      {CHECK " up", "green"},
      {RED CHECK, "carmine"},
      {GREEN " started", "blue"},
      {"plain", "blue"},
      {"", "blue"},
  };
  for (const auto& [msg, colour] : cases) EXPECT_EQ(alert_card_color(msg), colour) << msg;
}

TEST(AlertText, MarkdownTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "###"},
      {"Chrome not found", "### Chrome not found"},
      {"t\n\na" FWC "1\nb: <i>2</i>\n\nclosing words", "### t\n- **a**" FWC "1\n- **b**" FWC "<i>2</i>"},
      {"\na" FWC "1", "### a" FWC "1"},  // blank lines before the title go first; the title is never split
  };
  for (const auto& [msg, markdown] : cases) EXPECT_EQ(format_markdown(msg), markdown) << msg;
}

TEST(Webhook, PayloadTable) {
  struct Case {
    Robot robot;
    const char* msg;
    const char* json;
  };
  const char* notice = SIREN " down\n\nTime" FWC "10:00\nReason" FWC "a \"b\"\n\nbye";
  const Case cases[] = {
      {Robot::DingTalk, notice,
       R"({"msgtype":"markdown","markdown":{"title":")" SIREN R"( down","text":"### )" SIREN
       R"( down\n- **Time**)" FWC R"(10:00\n- **Reason**)" FWC R"(a \"b\""}})"},
      {Robot::WeCom, notice,
       R"({"msgtype":"markdown","markdown":{"content":"### )" SIREN R"( down\n- **Time**)" FWC
       R"(10:00\n- **Reason**)" FWC R"(a \"b\""}})"},
      {Robot::Feishu, notice,
       R"({"msg_type":"interactive","card":{"header":{"title":{"tag":"plain_text","content":")" SIREN
       R"( down"},"template":"red"},"elements":[{"tag":"markdown","content":"**Time**)" FWC
       R"(10:00\n\n**Reason**)" FWC R"(a \"b\""}]}})"},
      // Without fields the card's only element holds the title; the Markdown is the heading alone.
      {Robot::Feishu, CHECK " back",
       R"({"msg_type":"interactive","card":{"header":{"title":{"tag":"plain_text","content":")" CHECK
       R"( back"},"template":"green"},"elements":[{"tag":"markdown","content":")" CHECK R"( back"}]}})"},
      {Robot::DingTalk, "solo",
       R"({"msgtype":"markdown","markdown":{"title":"solo","text":"### solo"}})"},
      {Robot::WeCom, "", R"({"msgtype":"markdown","markdown":{"content":"###"}})"},
      {Robot::DingTalk, "a\tb\x01\\c",
       R"({"msgtype":"markdown","markdown":{"title":"a\tb\u0001\\c","text":"### a\tb\u0001\\c"}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(webhook_payload(c.robot, c.msg), c.json) << c.msg;
}

// A decoded reply written out: each member's value as its text, and whether
// it equals the number 0. Records whether the judge asked for the body.
class FakeReply : public WebhookReply {
 public:
  struct Member {
    std::string name;
    bool zero;
    std::string text;
  };
  FakeReply(long status, Body body, std::vector<Member> members)
      : status_(status), body_(body), members_(std::move(members)) {}
  long status() const override { return status_; }
  Body decode() override {
    decoded = true;
    return body_;
  }
  bool has(std::string_view name) const override { return find(name) != nullptr; }
  bool equals_zero(std::string_view name) const override { return find(name)->zero; }
  std::string text(std::string_view name) const override { return find(name)->text; }
  bool decoded = false;

 private:
  const Member* find(std::string_view name) const {
    for (const auto& m : members_)
      if (m.name == name) return &m;
    return nullptr;
  }
  long status_;
  Body body_;
  std::vector<Member> members_;
};

TEST(Webhook, ReplyJudgeTable) {
  using Body = WebhookReply::Body;
  struct Case {
    long status;
    Body body;
    std::vector<FakeReply::Member> members;
    std::optional<std::string> failure;
  };
  const FakeReply::Member zero_code{"errcode", true, "0"}, ok{"errmsg", false, "ok"};
  const Case cases[] = {
      {200, Body::Object, {zero_code, ok}, std::nullopt},
      {200, Body::Object, {{"code", true, "0"}, {"msg", false, "success"}}, std::nullopt},
      {204, Body::NotJson, {}, std::nullopt},  // an empty or non-JSON body: nothing says it failed
      {302, Body::Object, {zero_code}, std::nullopt},
      {399, Body::NotJson, {}, std::nullopt},
      {200, Body::NotObject, {}, std::string(kNotAnObject)},
      {200, Body::Object, {{"errcode", false, "310000"}, {"errmsg", false, "keywords not in content"}},
       "keywords not in content"},
      {200, Body::Object, {{"code", false, "19024"}, {"msg", false, "Key Words Not Found"}}, "Key Words Not Found"},
      {200, Body::Object, {{"errcode", false, "93000"}, {"msg", false, "other member"}}, "other member"},
      {200, Body::Object, {{"msg", false, "m"}, {"errcode", false, "1"}, {"errmsg", false, "e"}}, "e"},
      {200, Body::Object, {zero_code, {"code", false, "5"}}, std::nullopt},  // errcode wins over code
      {200, Body::Object, {{"errcode", false, "5"}, {"code", true, "0"}}, "errcode=5"},
      {200, Body::Object, {{"errcode", false, "None"}}, "errcode=None"},
      {200, Body::Object, {{"code", false, "1.5"}}, "errcode=1.5"},
      {200, Body::Object, {}, "errcode=-1"},
      {200, Body::Object, {{"errmsg", false, "no code at all"}}, "no code at all"},
  };
  for (const auto& c : cases) {
    FakeReply reply(c.status, c.body, c.members);
    EXPECT_EQ(judge_webhook_reply(reply), c.failure) << c.status << " " << (c.failure ? *c.failure : "delivered");
  }
}

TEST(Webhook, FailedStatusDecidesWithoutTheBody) {
  for (const long status : {400L, 404L, 500L, 503L}) {
    FakeReply reply(status, WebhookReply::Body::Object, {{"errcode", true, "0"}});
    EXPECT_EQ(judge_webhook_reply(reply), "HTTP " + std::to_string(status));
    EXPECT_FALSE(reply.decoded) << status;
  }
}

TEST(Secrets, WebhookTokenTable) {
  struct Case {
    const char* address;
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      // The HTTP client names the address from its path on.
      {"https://oapi.dingtalk.com/robot/send?access_token=9f3c",
       "HTTPSConnectionPool(host='oapi.dingtalk.com', port=443): Max retries exceeded with url: "
       "/robot/send?access_token=9f3c (Caused by ConnectTimeoutError(<c>, 'Connection to oapi.dingtalk.com "
       "timed out. (connect timeout=10)'))",
       "HTTPSConnectionPool(host='oapi.dingtalk.com', port=443): Max retries exceeded with url: "
       "/robot/send?access_token=*** (Caused by ConnectTimeoutError(<c>, 'Connection to oapi.dingtalk.com "
       "timed out. (connect timeout=10)'))"},
      // Every query value, and only there: the same digits elsewhere stay.
      {"http://127.0.0.1:1/robot/send?access_token=1&timestamp=1&sign=x%2B1",
       "port=1: url: /robot/send?access_token=1&timestamp=1&sign=x%2B1 refused",
       "port=1: url: /robot/send?access_token=***&timestamp=***&sign=*** refused"},
      // The whole address, as the client quotes an address it cannot use.
      {"qyapi.weixin.qq.com/cgi-bin/webhook/send?key=693a",
       "No connection adapters were found for 'qyapi.weixin.qq.com/cgi-bin/webhook/send?key=693a'",
       "No connection adapters were found for 'qyapi.weixin.qq.com/cgi-bin/webhook/send?key=***'"},
      {"http://h/send?key=K1",
       "Invalid URL 'http://h/send?key=K1' then url: /send?key=K1",
       "Invalid URL 'http://h/send?key=***' then url: /send?key=***"},
      // A hook's token is its last path segment.
      {"https://open.feishu.cn/open-apis/bot/v2/hook/0a1b-2c3d",
       "Max retries exceeded with url: /open-apis/bot/v2/hook/0a1b-2c3d (Caused by x)",
       "Max retries exceeded with url: /open-apis/bot/v2/hook/*** (Caused by x)"},
      {"https://open.feishu.cn/open-apis/bot/v2/hook/0a1b/?key=s", "url: /open-apis/bot/v2/hook/0a1b/?key=s",
       "url: /open-apis/bot/v2/hook/***/?key=***"},
      {"http://relay.test/hook/0a1b", "url: /hook/0a1b", "url: /hook/***"},
      {"https://open.feishu.cn", "to https://open.feishu.cn", "to https://open.feishu.cn"},
      // No value to hide: an empty one, a member without "=", the fragment.
      {"http://h/s?debug&key=&k=v#top", "for 'http://h/s?debug&key=&k=v#top' url: /s?debug&key=&k=v",
       "for 'http://h/s?debug&key=&k=***#top' url: /s?debug&key=&k=***"},
      // Only the secret is hidden: brackets and punctuation around the address stay.
      {"http://h/send?key=T0K", "(http://h/send?key=T0K)", "(http://h/send?key=***)"},
      {"http://h/send?key=T0K", "[http://h/send?key=T0K] {http://h/send?key=T0K}",
       "[http://h/send?key=***] {http://h/send?key=***}"},
      {"http://h/send?key=T0K", "f(http://h/send?key=T0K);", "f(http://h/send?key=***);"},
      {"http://h/send?key=T0K", "(http://h/send?key=T0K&x=)", "(http://h/send?key=***&x=)"},
      {"http://h/robot/send?access_token=A1&sign=B2", "(http://h/robot/send?access_token=A1&sign=B2)",
       "(http://h/robot/send?access_token=***&sign=***)"},
      {"http://h/send?key=T0K", "오류(http://h/send?key=T0K)가 Ошибка [url: /send?key=T0K&x=1]Ё",
       "오류(http://h/send?key=***)가 Ошибка [url: /send?key=***&x=***]Ё"},
      {"http://h/hook/T0K", "(http://h/hook/T0K) (http://h/hook/T0K?x=1)",
       "(http://h/hook/***) (http://h/hook/***?x=***)"},
      {"http://h/send?key=T0K", "\x01(http://h/send?key=T0K)\\ud800", "\x01(http://h/send?key=***)\\ud800"},
      // Texts without the address are left as they are.
      {"http://h/send?key=K1", "HTTPConnectionPool(host='h', port=80): Read timed out. (read timeout=10)",
       "HTTPConnectionPool(host='h', port=80): Read timed out. (read timeout=10)"},
      {"http://h/hook/T", "Key Words Not Found", "Key Words Not Found"},
      {"", "HTTP 500", "HTTP 500"},
  };
  for (const auto& c : cases) EXPECT_EQ(hide_webhook_token(c.text, {c.address}), c.shown) << c.address;
}

// The client quotes the address as it prepared it: percent-encoded, trimmed,
// its empty query dropped, its dot segments resolved.
TEST(Secrets, WebhookTokenInTheFormsTheClientWrites) {
  struct Case {
    const char* address;
    const char* prepared;  // "" when the client could not prepare it
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      // Found by the path: every value of an address that leads to the robot.
      {"http://h/robot/send?access_token=T0K ", "", "url: /robot/send?access_token=T0K%20 (Caused",
       "url: /robot/send?access_token=*** (Caused"},
      {"http://h/robot/发送?access_token=T0K", "", "url: /robot/%E5%8F%91%e9%80%81?access_token=T0K",
       "url: /robot/%E5%8F%91%e9%80%81?access_token=***"},
      {"http://h/send?key=T0K&x=a b", "", "url: /send?key=T0K&x=a%20b (x)", "url: /send?key=***&x=*** (x)"},
      {"http://h/send?key=T0K\"", "", "url: /send?key=T0K%22 (x)", "url: /send?key=*** (x)"},
      {"http://h/hook/中T0K", "", "url: /hook/%E4%B8%ADT0K (x)", "url: /hook/*** (x)"},
      {"http://h/hook/T0K ", "", "url: /hook/T0K%20 (x)", "url: /hook/*** (x)"},
      // Found by its value, as the prepared form holds it.
      {"http://h/a/../hook/T0K%7c", "http://h/hook/T0K%7C", "url: /hook/T0K%7C (x)", "url: /hook/*** (x)"},
      {"http://h/a/../send?access_token=T0K|x", "http://h/send?access_token=T0K%7Cx",
       "url: /send?access_token=T0K%7Cx (x)", "url: /send?access_token=*** (x)"},
      // Quoted as configured, blanks and quotes included, or trimmed.
      {"http://h/send?key=T0K&x=a b", "", "Invalid URL 'http://h/send?key=T0K&x=a b': x",
       "Invalid URL 'http://h/send?key=***&x=***': x"},
      {"  h/send?key=T0K ", "", "Invalid URL 'h/send?key=T0K': Perhaps you meant https://h/send?key=T0K?",
       "Invalid URL 'h/send?key=***': Perhaps you meant https://h/send?key=***?"},
      {"http://h/hook/T0K?", "http://h/hook/T0K", "url: /hook/T0K (x)", "url: /hook/*** (x)"},
      // A value hides only as that value: the same text elsewhere stays.
      {"http://127.0.0.1:1/robot/send?access_token=1", "", "port=1): url: /robot/send?access_token=1 1",
       "port=1): url: /robot/send?access_token=*** 1"},
      {"http://h/send?key=ab", "", "key=ab is not ?key=abc nor &key=ab%41", "key=ab is not ?key=abc nor &key=ab%41"},
      // Found by the path, its values hidden up to where they end.
      {"http://h/send?key=T0K ", "", "(url: /send?key=T0K%20) and [/send?x=1]",
       "(url: /send?key=***) and [/send?x=***]"},
      {"http://h/hook/T0K ", "", "{url: /hook/T0K%20?x=1}", "{url: /hook/***?x=***}"},
      // Letters of any script, control characters, a lone surrogate (as its escape), a long token.
      {"http://h/send?key=한국어Кириллица", "", "url: /send?key=한국어Кириллица (x)", "url: /send?key=*** (x)"},
      {"http://h/send?key=T\x01\\ud800", "",
       "url: /send?key=T%01%5Cud800 then 'http://h/send?key=T\x01\\ud800'", "url: /send?key=*** then 'http://h/send?key=***'"},
      {"http://h/hook/T\x01K", "", "url: /hook/T%01K (x)", "url: /hook/*** (x)"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> forms{c.address};
    if (*c.prepared != '\0') forms.emplace_back(c.prepared);
    EXPECT_EQ(hide_webhook_token(c.text, forms), c.shown) << c.address;
  }
  const std::string token(255, 'k');
  EXPECT_EQ(hide_webhook_token("url: /send?key=" + token + "%20", {"http://h/send?key=" + token + " "}),
            "url: /send?key=***");
  EXPECT_EQ(hide_webhook_token("(url: /send?key=" + token + "%20);", {"http://h/send?key=" + token + " "}),
            "(url: /send?key=***);");
}

// A robot may redirect the post, a proxy's text quotes the whole address,
// and a hook pasted into another robot's field keeps its token in its path:
// a secret of the configured address hides in every address of the text.
TEST(Secrets, WebhookTokenInAnyAddressOfTheText) {
  struct Case {
    std::vector<std::string> forms;
    std::string text;
    std::string shown;
  };
  const std::string refused =
      " (Caused by NewConnectionError(\"HTTPConnection(host='127.0.0.1', port=1): Failed to establish a new "
      "connection: [Errno 111] Connection refused\"))";
  const std::string k255(255, 'k');
  const std::string word23 = "abcdefghijklmnopqrstuvw";
  const Case cases[] = {
      // Redirected: the token under another name, in a path, percent-encoded another way.
      {{"http://127.0.0.1:8/robot/send?access_token=9f3c"},
       "HTTPConnectionPool(host='127.0.0.1', port=1): Max retries exceeded with url: /v2/x?t=9f3c" + refused,
       "HTTPConnectionPool(host='127.0.0.1', port=1): Max retries exceeded with url: /v2/x?t=***" + refused},
      {{"http://h/robot/send?access_token=9f3c"}, "url: /v2/9f3c/x?a=1&b=9f3c", "url: /v2/***/x?a=1&b=***"},
      {{"http://h/send?key=T0K|x", "http://h/send?key=T0K%7Cx"}, "url: /v2?t=T0K%7cx (x)", "url: /v2?t=*** (x)"},
      {{"http://h/open-apis/bot/v2/hook/0a1b-2c3d"}, "[url: /v2/x?t=0a1b-2c3d]", "[url: /v2/x?t=***]"},
      {{"http://h/send?key=" + k255}, "(http://h:1/v2/" + k255 + ")", "(http://h:1/v2/***)"},
      // A Feishu hook in any field, quoted from its path on or whole (as through a proxy).
      {{"http://127.0.0.1:9/open-apis/bot/v2/hook/0a1b-2c3d"},
       "port=2): Max retries exceeded with url: http://127.0.0.1:9/open-apis/bot/v2/hook/0a1b-2c3d (Caused by "
       "ProxyError('Unable to connect to proxy', x))",
       "port=2): Max retries exceeded with url: http://127.0.0.1:9/open-apis/bot/v2/hook/*** (Caused by "
       "ProxyError('Unable to connect to proxy', x))"},
      // The last segment is a token unless it reads as a word of the path, in any script.
      {{"http://h/api/send-message"}, "url: /api/send-message (x)", "url: /api/send-message (x)"},
      {{"http://h/robot/发送"}, "url: /robot/%E5%8F%91%E9%80%81 (x)", "url: /robot/%E5%8F%91%E9%80%81 (x)"},
      {{"http://h/api/Кириллица"}, "url: /api/Кириллица (x)", "url: /api/Кириллица (x)"},
      {{"http://h/api/" + word23}, "url: /api/" + word23, "url: /api/" + word23},
      {{"http://h/api/" + word23 + "x"}, "url: /api/" + word23 + "x", "url: /api/***"},
      // A hook's id is one whatever it holds, letters alone too.
      {{"http://h/open-apis/bot/v2/hook/SecretToken"}, "url: /open-apis/bot/v2/hook/SecretToken (x)",
       "url: /open-apis/bot/v2/hook/*** (x)"},
      {{"http://h/hook/Кириллица"}, "url: /hook/%D0%9A%D0%B8%D1%80%D0%B8%D0%BB%D0%BB%D0%B8%D1%86%D0%B0 (x)",
       "url: /hook/*** (x)"},
      {{"http://h/hook/한국어키"}, "url: /v2/x?t=한국어키", "url: /v2/x?t=***"},
      {{"http://h/hook/send-message"}, "url: /hook/send-message (x)", "url: /hook/*** (x)"},
      {{"http://h/hook/한국어토큰Кириллица-токен-длинный"}, "url: /v2?t=한국어토큰Кириллица-токен-длинный!", "url: /v2?t=***!"},
      {{"http://h/hook/" + k255}, "url: /hook/" + k255 + "?x=1", "url: /hook/***?x=***"},
      {{"http://h/hook/T\x01K"}, "url: /v2/T%01K then /hook/T\x01K", "url: /v2/*** then /hook/***"},
      {{"h/hook/T\x01K", "h/hook/T\\x01K"}, "No connection adapters were found for 'h/hook/T\\x01K'",
       "No connection adapters were found for 'h/hook/***'"},
      {{"http://h/hook/a\\udc80b"}, "url: /v2/a%5Cudc80b?t=a\\udc80b", "url: /v2/***?t=***"},
      // A plain word of the robot's path stays, and so does a secret's text that is no whole value.
      {{"http://h/robot/send?access_token=T0K"}, "url: /send/x?y=send (x)", "url: /send/x?y=send (x)"},
      {{"http://h/send?key=ab"}, "url: /v2/abc?t=xab&u=ab%41 /ab.cd ab", "url: /v2/abc?t=xab&u=ab%41 /ab.cd ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(hide_webhook_token(c.text, c.forms), c.shown) << c.forms[0];
  // In the field of a robot that keeps its token in the path, the last
  // segment is its token whatever it holds.
  const std::string address = "http://h/relay/abcdefabcdefabcd";
  EXPECT_EQ(hide_webhook_token("url: /relay/abcdefabcdefabcd (x)", {address}, true), "url: /relay/*** (x)");
  EXPECT_EQ(hide_webhook_token("url: /relay/abcdefabcdefabcd (x)", {address}), "url: /relay/abcdefabcdefabcd (x)");
}

TEST(Secrets, PasswordTable) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"(535, b'5.7.8 s3cret is not s3cret!')", "s3cret", "(535, b'5.7.8 *** is not ***!')"},
      {"(535, b'5.7.8 Authentication credentials invalid')", "s3cret", "(535, b'5.7.8 Authentication credentials invalid')"},
      {"(535, b'5.7.8 Authentication credentials invalid')", "", "(535, b'5.7.8 Authentication credentials invalid')"},
      // Only where it stands as a word of its own: the code and the words stay.
      {"(535, b'5.7.8 Authentication credentials invalid')", "5", "(535, b'5.7.8 Authentication credentials invalid')"},
      {"(535, b'5.7.8 Authentication credentials invalid')", "8", "(535, b'5.7.8 Authentication credentials invalid')"},
      {"(535, b'5.7.8 Authentication credentials invalid')", "in", "(535, b'5.7.8 Authentication credentials invalid')"},
      {"(535, b'5.7.8 5 is not it')", "5", "(535, b'5.7.8 *** is not it')"},
      {"(535, b'5.7.8 Password: 5.')", "5", "(535, b'5.7.8 Password: ***.')"},
      {"(535, b'5.7.8 pw=5, user 5x')", "5", "(535, b'5.7.8 pw=***, user 5x')"},
      // Escapes of the bytes literal end a word; letters of any script do not.
      {"(535, b'5.7.8 no\\n5\\r\\n')", "5", "(535, b'5.7.8 no\\n***\\r\\n')"},
      {"(535, b'\\xe5\\xaf\\x865')", "5", "(535, b'\\xe5\\xaf\\x86***')"},
      {"암호5 пароль5 密码：5", "5", "암호5 пароль5 密码：***"},
      {"'한국어Кириллица' не тот", "한국어Кириллица", "'***' не тот"},
  };
  for (const auto& [text, password, shown] : cases) EXPECT_EQ(hide_password(text, {password}), shown) << text;
  // The longer form first, so that a shorter one inside it leaves nothing behind.
  EXPECT_EQ(hide_password("b'a\\\\b is not it'", {"a\\b", "a\\\\b"}), "b'*** is not it'");
  const std::string long_password(255, 'p');
  EXPECT_EQ(hide_password("(535, b'" + long_password + "')", {long_password}), "(535, b'***')");
}

TEST(Mail, RecipientsTable) {
  using List = std::vector<std::string>;
  const std::pair<const char*, List> cases[] = {
      {"", {}},
      {" , \xEF\xBC\x8C ,,\t\n" IDEO, {}},
      {",a@x.test\xEF\xBC\x8C" "b@x.test, c@x.test\nd@x.test,", {"a@x.test", "b@x.test", "c@x.test", "d@x.test"}},
      {"a@x.test;b@x.test", {"a@x.test;b@x.test"}},
      {"a@x.test a@x.test", {"a@x.test", "a@x.test"}},
      {"a@x.test" NBSP "b@x.test" IDEO "c@x.test", {"a@x.test", "b@x.test", "c@x.test"}},
      {"\xE7\x8E\x8B@x.test", {"\xE7\x8E\x8B@x.test"}},  // nothing checks what a piece looks like
  };
  for (const auto& [raw, list] : cases) EXPECT_EQ(parse_email_recipients(raw), list) << raw;
}

TEST(Mail, NoticeKindTable) {
  const std::pair<const char*, NoticeKind> cases[] = {
      {CHECK " back", NoticeKind::Recovery},
      {CHECK SIREN, NoticeKind::Recovery},
      {SIREN " down: \xE6\x81\xA2\xE5\xA4\x8D-box", NoticeKind::Recovery},  // 恢复 inside a target's name
      {SIREN " down", NoticeKind::Alert},
      {"\xE6\x9C\x8D\xE5\x8A\xA1\xE5\xBC\x82\xE5\xB8\xB8", NoticeKind::Alert},  // 服务异常
      {GREEN " started", NoticeKind::Status},
      {RED " stopped", NoticeKind::Status},
      {"", NoticeKind::Status},
  };
  for (const auto& [msg, kind] : cases) EXPECT_EQ(notice_kind(msg), kind) << msg;
  EXPECT_EQ(mail_subject(NoticeKind::Recovery), "[Quorvelta] \xE6\x9C\x8D\xE5\x8A\xA1\xE6\x81\xA2\xE5\xA4\x8D\xE9\x80\x9A\xE7\x9F\xA5");
}

std::string document_around(const char* colour, const char* heading, const std::string& body) {
  return std::string(
             "<!DOCTYPE html><html lang=\"zh-CN\"><head><meta charset=\"UTF-8\"></head><body style=\"margin:0;padding:0;"
             "background:#f1f5f9;font-family:-apple-system,'Microsoft YaHei','PingFang SC',sans-serif;\"><table "
             "width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" style=\"background:#f1f5f9;padding:40px 0;\"><tr><td "
             "align=\"center\"><table width=\"520\" cellpadding=\"0\" cellspacing=\"0\" style=\"background:#fff;"
             "border-radius:12px;overflow:hidden;box-shadow:0 2px 16px rgba(0,0,0,0.06);\"><tr><td style=\"background:") +
         colour +
         ";padding:28px 30px;text-align:center;\"><p style=\"margin:0;color:rgba(255,255,255,0.9);font-size:13px;"
         "letter-spacing:2px;\">Quorvelta \xE6\xA0\x96\xE6\x9F\xAF</p><h2 style=\"margin:8px 0 0;color:#fff;"
         "font-size:20px;font-weight:700;\">" +
         heading +
         "</h2></td></tr><tr><td style=\"padding:28px 30px;\"><div style=\"color:#334155;font-size:14px;"
         "line-height:1.8;\">" +
         body +
         "</div></td></tr><tr><td style=\"background:#f8fafc;padding:16px 30px;text-align:center;\"><p "
         "style=\"margin:0 0 4px;color:#94a3b8;font-size:11px;\"><strong style=\"color:#4f46e5;\">Quorvelta</strong> "
         "\xC2\xB7 \xE5\xAE\x9E\xE6\x97\xB6\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x8F\xAF\xE7\x94\xA8\xE6\x80\xA7\xE7\x9B\x91"
         "\xE6\x8E\xA7</p><p style=\"margin:0;color:#94a3b8;font-size:11px;\"><a href=\"https://quorvelta.example.com\" "
         "style=\"color:#6366f1;text-decoration:none;\">quorvelta.example.com</a></p></td></tr></table></td></tr>"
         "</table></body></html>";
}

TEST(Mail, DocumentWithFields) {
  const std::string expected = document_around(
      "#ef4444", "\xE6\x9C\x8D\xE5\x8A\xA1\xE5\xBC\x82\xE5\xB8\xB8\xE5\x91\x8A\xE8\xAD\xA6",
      "<p style=\"margin:0 0 18px;color:#1e293b;font-size:16px;font-weight:600;\">" SIREN " down: Web</p><table "
      "width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" style=\"border-collapse:collapse;\"><tr><td "
      "style=\"padding:10px 14px;color:#64748b;font-size:13px;white-space:nowrap;vertical-align:top;border-bottom:1px "
      "solid #f1f5f9;\">Time</td><td style=\"padding:10px 14px;color:#1e293b;font-size:14px;border-bottom:1px solid "
      "#f1f5f9;\">10:00</td></tr><tr><td style=\"padding:10px 14px;color:#64748b;font-size:13px;white-space:nowrap;"
      "vertical-align:top;border-bottom:1px solid #f1f5f9;\">Reason</td><td style=\"padding:10px 14px;color:#1e293b;"
      "font-size:14px;border-bottom:1px solid #f1f5f9;\">crash: x</td></tr></table>");
  EXPECT_EQ(mail_html(SIREN " down: Web\n\nTime" FWC "10:00\nReason" FWC "crash: x\n\nbye"), expected);
}

TEST(Mail, DocumentWithoutFields) {
  EXPECT_EQ(mail_html(GREEN " started"),
            document_around("#4f46e5", "\xE7\x9B\x91\xE6\x8E\xA7\xE7\x8A\xB6\xE6\x80\x81\xE9\x80\x9A\xE7\x9F\xA5",
                            "<p style=\"margin:0;color:#1e293b;font-size:16px;font-weight:600;\">" GREEN " started</p>"));
}

// Page titles and error texts reach the mail; markup in them must show as text.
TEST(Mail, MarkupIsEscaped) {
  const std::string html = mail_html("<b>Shop</b> & co\n\n<i>Label</i>" FWC "<img src=x onerror=\"alert('1')\">");
  EXPECT_NE(html.find(">&lt;b&gt;Shop&lt;/b&gt; &amp; co</p>"), std::string::npos);
  EXPECT_NE(html.find(">&lt;i&gt;Label&lt;/i&gt;</td>"), std::string::npos);
  EXPECT_NE(html.find(">&lt;img src=x onerror=&quot;alert(&#x27;1&#x27;)&quot;&gt;</td>"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("<img"), std::string::npos);
}

}  // namespace
}  // namespace engine::alerts
