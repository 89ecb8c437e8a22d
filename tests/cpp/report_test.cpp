#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/common/json_reader.h"
#include "engine/common/json_writer.h"
#include "engine/monitor/report_file.h"
#include "engine/monitor/report_view.h"
#include "engine/monitor/rounds.h"

namespace engine {
namespace {

// Reads a document and writes it again, as the report writer copies old
// sessions; chunk sizes of a few bytes make every token cross a refill.
std::string rewrite(const std::string& text, std::size_t chunk) {
  json::TextSource source(text);
  json::Reader reader(source, chunk);
  json::StringSink sink;
  json::Writer writer(sink);
  for (json::Event e = reader.next(); e != json::Event::End; e = reader.next()) {
    switch (e) {
      case json::Event::BeginObject: writer.begin_object(); break;
      case json::Event::EndObject: writer.end_object(); break;
      case json::Event::BeginArray: writer.begin_array(); break;
      case json::Event::EndArray: writer.end_array(); break;
      case json::Event::Key: writer.key(reader.text()); break;
      case json::Event::String: writer.string(reader.text()); break;
      case json::Event::Integer: writer.number(reader.text(), json::NumberKind::Integer); break;
      case json::Event::Float: writer.number(reader.text(), json::NumberKind::Float); break;
      case json::Event::True: writer.boolean(true); break;
      case json::Event::False: writer.boolean(false); break;
      case json::Event::Null: writer.null(); break;
      case json::Event::End: break;
    }
  }
  writer.flush();
  return sink.text;
}

const std::size_t kChunks[] = {1, 2, 3, 7, 1 << 20};

// Expected texts are what Python 3.11 gives for
// json.dumps(json.loads(input), indent=2, ensure_ascii=False).
TEST(ReportJson, RewritesAsPythonDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"[0.1, 1e16, 1e15, 1E+2, 1e-5, 0.0001, -0.0, 0.0, 5e-324, 1.7976931348623157e308, 123456789.125, 2.5e-7, "
       "100.0, 0.30000000000000004, 1.5e300, 12345678901234567890.0]",
       "[\n  0.1,\n  1e+16,\n  1000000000000000.0,\n  100.0,\n  1e-05,\n  0.0001,\n  -0.0,\n  0.0,\n  5e-324,\n"
       "  1.7976931348623157e+308,\n  123456789.125,\n  2.5e-07,\n  100.0,\n  0.30000000000000004,\n  1.5e+300,\n"
       "  1.2345678901234567e+19\n]"},
      {"[1e400, -1e400, 1e-400, -1e-400, NaN, Infinity, -Infinity]",
       "[\n  Infinity,\n  -Infinity,\n  0.0,\n  -0.0,\n  NaN,\n  Infinity,\n  -Infinity\n]"},
      {"[0, -0, 7, -5, 12345678901234567890123456789012345678901234567890]",
       "[\n  0,\n  0,\n  7,\n  -5,\n  12345678901234567890123456789012345678901234567890\n]"},
      {R"(["q\"b\\s\/", "\b\f\n\r\t", "\u0001\u001f\u007f\u0000", "\u2028\ufeff", "\u5185\u7f51 内网", )"
       R"("\ud83d\ude00 😀", "\u00e9 é", ""])",
       "[\n  \"q\\\"b\\\\s/\",\n  \"\\b\\f\\n\\r\\t\",\n  \"\\u0001\\u001f\x7f\\u0000\",\n"
       "  \"\xE2\x80\xA8\xEF\xBB\xBF\",\n  \"内网 内网\",\n  \"😀 😀\",\n  \"é é\",\n  \"\"\n]"},
      {R"({"a": [], "b": {}, "c": [1, {"d": [true, false, null]}], "": "e"})",
       "{\n  \"a\": [],\n  \"b\": {},\n  \"c\": [\n    1,\n    {\n      \"d\": [\n        true,\n        false,\n"
       "        null\n      ]\n    }\n  ],\n  \"\": \"e\"\n}"},
      {" \t\r\n{ \"a\" :\r\n1 , \"b\":[ ]\n}\n ", "{\n  \"a\": 1,\n  \"b\": []\n}"},
      {R"("top")", R"("top")"},
      {R"({"\u00e9\n": 1})", "{\n  \"é\\n\": 1\n}"},
      // Lone surrogates, which Python reads too, are written back as escapes:
      // raw, they would make a file no UTF-8 reader takes.
      {R"(["\ud800", "a\udcff", "\ud800\u0041", "\udc00\ud800"])",
       "[\n  \"\\ud800\",\n  \"a\\udcff\",\n  \"\\ud800A\",\n  \"\\udc00\\ud800\"\n]"},
  };
  for (const auto& [input, expected] : cases) {
    for (std::size_t chunk : kChunks) EXPECT_EQ(rewrite(input, chunk), expected) << input << " chunk " << chunk;
  }
}

// Every one of these fails in Python's json.loads too.
TEST(ReportJson, RefusesWhatPythonRefuses) {
  const std::string cases[] = {
      "", " ", "\xEF\xBB\xBF{}", R"({"a":1,})", "[1,]", "01", "1.", "-", "Inf", "-NaN", "nan", "[1 2]",
      R"({"a" 1})", "\"\x01\"", R"("\x")", R"("abc)", "{} x", "[1e]", "[1e+]", "tru", "True", "{'a':1}", "[-]",
      "[.5]", R"({"a":})", "{,}", "[1,,2]", R"("\u12G4")",
      "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\x80\"", "\"\xE4\xB8\"", std::string("[1]\0", 4),
      std::string("\"a\0\"", 4),
      std::string(1001, '[') + std::string(1001, ']'),
  };
  for (const std::string& input : cases) {
    for (std::size_t chunk : kChunks) EXPECT_THROW(rewrite(input, chunk), json::SyntaxError) << input << " " << chunk;
  }
  const std::string deep = std::string(900, '[') + std::string(900, ']');
  EXPECT_NO_THROW(rewrite(deep, 1 << 20));
}

// Lone surrogates read as Python reads them, each in the three-byte form in
// which a Python text crosses into the core; the writer escapes them again.
TEST(ReportJson, LoneSurrogatesReadInTheirThreeByteForm) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("\ud800")", "\xED\xA0\x80"},
      {R"("\uDCFF")", "\xED\xB3\xBF"},
      {R"("a\ud800\u0041b")", "a\xED\xA0\x80" "Ab"},
      {R"("\ud800\ud800\udc00")", "\xED\xA0\x80𐀀"},
      {R"("\ude00\ud83d")", "\xED\xB8\x80\xED\xA0\xBD"},
      {R"("\ud83d\ude00")", "😀"},
      {R"("\\udcff")", "\\udcff"},
  };
  for (const auto& [input, text] : cases) {
    for (std::size_t chunk : kChunks) {
      json::TextSource source(input);
      json::Reader reader(source, chunk);
      ASSERT_EQ(reader.next(), json::Event::String) << input << " chunk " << chunk;
      EXPECT_EQ(reader.text(), text) << input << " chunk " << chunk;
      EXPECT_EQ(reader.next(), json::Event::End);
    }
  }
  for (const std::string input : {R"("\ud800\u12G4")", R"("\ud800)", R"("\udc0")"}) {
    for (std::size_t chunk : kChunks) {
      json::TextSource source(input);
      json::Reader reader(source, chunk);
      EXPECT_THROW(reader.next(), json::SyntaxError) << input << " chunk " << chunk;
    }
  }
}

TEST(ReportJson, FloatRepr) {
  const std::pair<double, const char*> cases[] = {
      {1.0 / 3, "0.3333333333333333"}, {2.0 / 3 * 1e22, "6.666666666666666e+21"}, {-1.5, "-1.5"},
      {1e-4, "0.0001"}, {123e-7, "1.23e-05"}, {9007199254740993.0, "9007199254740992.0"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(json::float_repr(value), text);
}

TEST(ReportRounds, KeepsTheNewestAndNamesOnce) {
  RoundLog log(3);
  for (int n = 1; n <= 5; ++n) log.append(n, "10:00:0" + std::to_string(n), {{"A", true}, {"B", n % 2 == 0}}, {});
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log.round(0).number, 3);
  EXPECT_EQ(log.round(2).number, 5);
  EXPECT_EQ(log.targets(), (std::vector<std::string>{"A", "B"}));

  // A name twice in one round keeps its first place and its last value, as a dict does.
  log.append(6, "10:00:06", {{"B", true}, {"A", true}, {"B", false}}, {{"A", 5}, {"A", 7}});
  const auto round = log.round(log.size() - 1);
  ASSERT_EQ(round.result_targets.size(), 2u);
  EXPECT_EQ(log.targets()[round.result_targets[0]], "B");
  EXPECT_FALSE(round.success(0));
  ASSERT_EQ(round.latency_targets.size(), 1u);
  EXPECT_EQ(round.latency_ms[0], 7);
}

TEST(ReportRounds, SessionAsPythonWritesIt) {
  RoundLog log;
  log.append(4, "09:00:00", {{"内网", true}, {"a\"b", false}}, {{"内网", 12}});
  log.append(5, "09:01:00", {}, {});
  json::StringSink sink;
  json::Writer writer(sink);
  report::write_session(writer, {"2024-01-01 08:00:00", "2024-01-01 09:02:00", 6}, log);
  writer.flush();
  EXPECT_EQ(sink.text,
            "{\n  \"start_time\": \"2024-01-01 08:00:00\",\n  \"end_time\": \"2024-01-01 09:02:00\",\n"
            "  \"total_rounds\": 6,\n  \"rounds\": [\n    {\n      \"round\": 4,\n      \"time\": \"09:00:00\",\n"
            "      \"results\": {\n        \"内网\": true,\n        \"a\\\"b\": false\n      },\n"
            "      \"latency\": {\n        \"内网\": 12\n      }\n    },\n    {\n      \"round\": 5,\n"
            "      \"time\": \"09:01:00\",\n      \"results\": {},\n      \"latency\": {}\n    }\n  ]\n}");
}

std::vector<report::SessionStats> sessions_of(const std::string& text) {
  json::TextSource source(text);
  json::Reader reader(source, 5);
  return report::read_sessions(reader);
}

report::SessionStats session_of(const std::string& rounds) {
  const auto sessions = sessions_of(R"({"sessions": [{"rounds": )" + rounds + "}]}");
  EXPECT_EQ(sessions.size(), 1u);
  return sessions.empty() ? report::SessionStats{} : sessions[0];
}

const report::TargetStats* find(const report::SessionStats& s, const std::string& name) {
  for (const auto& t : s.targets) {
    if (t.name == name) return &t;
  }
  return nullptr;
}

TEST(ReportStats, CountsPerTarget) {
  // A target only in the second of three rounds; a result without latency; a
  // latency without a result (ignored); a repeated name keeps its last value.
  const auto s = session_of(R"([
    {"results": {"web": true, "db": true}, "latency": {"db": 10, "ghost": 99}},
    {"results": {"web": false, "db": true, "late": true}, "latency": {"db": 20}},
    {"results": {"web": true, "db": false, "db": true}, "latency": {"db": 33, "web": 5}}
  ])");
  EXPECT_EQ(s.round_count, 3);
  EXPECT_EQ(s.checks, 7);
  EXPECT_EQ(s.successes, 6);
  ASSERT_EQ(s.targets.size(), 3u);
  const auto* late = find(s, "late");
  ASSERT_TRUE(late);
  EXPECT_EQ(late->ok + late->fail, 1);
  EXPECT_EQ(find(s, "ghost"), nullptr);
  const auto* db = find(s, "db");
  EXPECT_EQ(db->ok, 3);
  EXPECT_EQ(report::average_text(db->latencies), "21.0ms");
  EXPECT_EQ(report::number_text(db->latencies.min()), "10ms");
  EXPECT_EQ(report::number_text(db->latencies.max()), "33ms");
  EXPECT_EQ(report::spread_text(db->latencies), "23ms");
  const auto* web = find(s, "web");
  EXPECT_EQ(web->fail, 1);
  EXPECT_EQ(web->latencies.count(), 1);
}

TEST(ReportStats, SortsByCodePoint) {
  const auto s = session_of(R"([{"results": {"b": true, "内网": true, "B": true, "a": true, "Z": false}}])");
  std::vector<std::string> names;
  for (const auto& t : s.targets) names.push_back(t.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "Z", "a", "b", "内网"}));
}

TEST(ReportStats, SkipsWhatItCannotRead) {
  struct Case {
    const char* rounds;
    std::int64_t round_count, checks;
    std::size_t targets;
  };
  const Case cases[] = {
      {R"([{}, {"results": {}}])", 2, 0, 0},
      {R"([5, "x", null, {"results": {"a": true}}])", 1, 1, 1},
      {R"([{"results": ["a"]}, {"results": {"a": 1, "b": null, "c": "yes", "d": false}}])", 2, 4, 4},
      {R"([{"results": {"a": true}, "results": {"b": true}}])", 1, 1, 1},
      {R"("none")", 0, 0, 0},
      {R"([])", 0, 0, 0},
  };
  for (const auto& c : cases) {
    const auto s = session_of(c.rounds);
    EXPECT_EQ(s.round_count, c.round_count) << c.rounds;
    EXPECT_EQ(s.checks, c.checks) << c.rounds;
    EXPECT_EQ(s.targets.size(), c.targets) << c.rounds;
  }
  // Latencies that are not finite numbers are left out.
  const auto s = session_of(
      R"([{"results": {"a": true}, "latency": {"a": "12"}}, {"results": {"a": true}, "latency": {"a": NaN}},
          {"results": {"a": true}, "latency": {"a": true}}, {"results": {"a": true}, "latency": {"a": 99999999999999999999}},
          {"results": {"a": true}, "latency": {"a": 7}}])");
  EXPECT_EQ(s.targets.at(0).latencies.count(), 1);
}

TEST(ReportStats, EveryResultIsACheckReadAsPythonTruth) {
  const std::pair<const char*, bool> cases[] = {
      {"true", true},     {"false", false},   {"null", false},    {"0", false},      {"-0", false},
      {"0.0", false},     {"0e5", false},     {"1e-400", false},  {"1", true},       {"-3", true},
      {"0.5", true},      {"NaN", true},      {"Infinity", true}, {R"("")", false},  {R"("false")", true},
      {R"("0")", true},   {"[]", false},      {"{}", false},      {"[false]", true}, {R"({"a": {"b": []}})", true},
      {"[[], {}]", true},
  };
  for (const auto& [value, ok] : cases) {
    // Another target after the value shows the reader kept its place.
    const auto s = session_of(std::string(R"([{"results": {"a": )") + value + R"(, "z": true}, "latency": {"a": 4}}])");
    EXPECT_EQ(s.checks, 2) << value;
    EXPECT_EQ(s.successes, ok ? 2 : 1) << value;
    ASSERT_EQ(s.targets.size(), 2u) << value;
    EXPECT_EQ(s.targets[0].ok, ok ? 1 : 0) << value;
    EXPECT_EQ(s.targets[0].fail, ok ? 0 : 1) << value;
    EXPECT_EQ(s.targets[0].latencies.count(), 1) << value;  // a result of any kind takes its latency
  }
}

TEST(ReportStats, FloatLatencies) {
  const auto s = session_of(R"([{"results": {"a": true}, "latency": {"a": 10.5}},
                                {"results": {"a": true}, "latency": {"a": 11}},
                                {"results": {"a": true}, "latency": {"a": 11.0}}])");
  const auto& l = s.targets.at(0).latencies;
  EXPECT_EQ(report::average_text(l), "10.8ms");  // 32.5 / 3
  EXPECT_EQ(report::number_text(l.min()), "10.5ms");
  EXPECT_EQ(report::number_text(l.max()), "11ms");  // the first of equal values, as max() keeps it
  EXPECT_EQ(report::spread_text(l), "0.5ms");
}

TEST(ReportStats, SessionHeads) {
  // Each head value as stored, in compact JSON; only a missing one is "?" or 0.
  const auto sessions = sessions_of(R"({"x": 1, "sessions": [
      {"start_time": "a", "end_time": 3, "total_rounds": -0},
      [1],
      {"total_rounds": 123456789012345678901234567890, "start_time": null},
      {"total_rounds": "9", "start_time": "b", "start_time": "c", "end_time": {"at": [1, 2.50, true]}},
      {"rounds": []}]})");
  ASSERT_EQ(sessions.size(), 4u);
  EXPECT_EQ(sessions[0].start_time, R"("a")");
  EXPECT_EQ(sessions[0].end_time, "3");
  EXPECT_EQ(sessions[0].total_rounds, "0");
  EXPECT_EQ(sessions[1].total_rounds, "123456789012345678901234567890");
  EXPECT_EQ(sessions[1].start_time, "null");
  EXPECT_EQ(sessions[1].end_time, R"("?")");
  EXPECT_EQ(sessions[2].total_rounds, R"("9")");
  EXPECT_EQ(sessions[2].start_time, R"("c")");
  EXPECT_EQ(sessions[2].end_time, R"({"at":[1,2.5,true]})");
  EXPECT_EQ(sessions[3].start_time, R"("?")");
  EXPECT_EQ(sessions[3].total_rounds, "0");

  EXPECT_TRUE(sessions_of(R"({"sessions": null})").empty());
  EXPECT_TRUE(sessions_of(R"({})").empty());
  EXPECT_TRUE(sessions_of(R"({"sessions": 1, "sessions": []})").empty());
  EXPECT_THROW(sessions_of(R"({"sessions": "abc"})"), std::runtime_error);
  EXPECT_THROW(sessions_of(R"([])"), std::runtime_error);
  EXPECT_THROW(sessions_of(R"({"sessions": []} [])"), json::SyntaxError);
}

}  // namespace
}  // namespace engine
