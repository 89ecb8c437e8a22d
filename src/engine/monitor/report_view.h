#pragma once
// What the report viewer shows of the report file: every session's head and
// the statistics of its rounds, gathered in one streaming pass so that a
// report of hundreds of MB is never held in memory.
//
// A file in the layout the writer makes is the contract. Every entry of a
// round's results is a check, read as Python reads a truth value: "ok" when
// the value is true in Python's sense (true, a number other than 0, a
// non-empty text, list or object), "fail" otherwise (false, null, 0, "",
// [], {}). What else a file holds out of that layout is skipped rather than
// guessed at: a session or round that is not an object, results or latency
// that are not objects, a latency that is not a finite number (or a whole
// number beyond 64 bits).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/common/json_reader.h"
#include "engine/os/interrupt.h"

namespace engine::report {

// A latency as read: a whole number, or a float.
struct Number {
  bool whole = true;
  std::int64_t integer = 0;
  double real = 0;
};

// The latencies of one target, folded as they arrive, with Python's results
// for sum(latencies) / len(latencies), min() and max().
class Latencies {
 public:
  void add(const Number& value);
  std::int64_t count() const { return count_; }
  double average() const;
  const Number& min() const { return min_; }
  const Number& max() const { return max_; }

 private:
  std::int64_t count_ = 0;
  bool sum_whole_ = true;  // sum() stays an exact whole number until a float comes
  std::int64_t sum_integer_ = 0;
  double sum_real_ = 0;
  Number min_, max_;
};

struct TargetStats {
  std::string name;
  std::int64_t ok = 0;    // rounds with a true result
  std::int64_t fail = 0;  // rounds with any other result
  Latencies latencies;    // from the rounds in which the target has a result
};

struct SessionStats {
  // The head's values as stored, each written as compact JSON, so that the
  // viewer shows whatever a session holds (text, a number, null, a list) as
  // Python shows that value; only a missing one is "?" or 0.
  std::string start_time = R"("?")";
  std::string end_time = R"("?")";
  std::string total_rounds = "0";
  std::int64_t round_count = 0;    // the round records read
  std::int64_t checks = 0;         // (round, target) pairs with a result
  std::int64_t successes = 0;
  std::vector<TargetStats> targets;  // sorted by name in code point order
};

enum class ReportState {
  Missing,     // no file of that name
  Unreadable,  // cannot be read, not JSON, not an object, or "sessions" neither a list nor null
  Read,
};

struct ReportView {
  ReportState state = ReportState::Missing;
  std::vector<SessionStats> sessions;  // in stored order, oldest first
};

ReportView read_report_view(const std::string& path, const os::Interrupt& interrupt = {});

// The sessions of a report text. Throws json::SyntaxError or
// std::runtime_error where read_report_view reports Unreadable.
std::vector<SessionStats> read_sessions(json::Reader& reader);

// The figures as the viewer prints them: the average with one decimal
// ("21.0ms"), the others as the plain text of the number ("10ms", "10.5ms").
std::string average_text(const Latencies& latencies);
std::string number_text(const Number& value);
std::string spread_text(const Latencies& latencies);

}  // namespace engine::report
