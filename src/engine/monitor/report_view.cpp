#include "engine/monitor/report_view.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "engine/common/json_writer.h"
#include "engine/os/native_path.h"

namespace engine::report {
namespace {

using json::Event;
using json::Reader;

// Python compares a whole number with a float exactly; so does this: -1, 0, 1.
int compare(std::int64_t a, double b) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (b >= kTwo63) return -1;
  if (b < -kTwo63) return 1;
  const double floor = std::floor(b);
  const auto whole = static_cast<std::int64_t>(floor);
  if (a != whole) return a < whole ? -1 : 1;
  return b > floor ? -1 : 0;
}

int compare(const Number& a, const Number& b) {
  if (a.whole && b.whole) return a.integer < b.integer ? -1 : (a.integer > b.integer ? 1 : 0);
  if (!a.whole && !b.whole) return a.real < b.real ? -1 : (a.real > b.real ? 1 : 0);
  return a.whole ? compare(a.integer, b.real) : -compare(b.integer, a.real);
}

double as_double(const Number& n) { return n.whole ? static_cast<double>(n.integer) : n.real; }

// The statistics of one session as its rounds stream past. Target names are
// stored once; a round's results and latencies go to small per-round tables
// (a repeated name keeps its last value, as in Python's dict) and are added
// to the targets when the round ends.
class SessionBuilder {
 public:
  void reset() { *this = SessionBuilder(); }

  // The id of a name; the k-th name of a round is most often the k-th of the
  // round before, which saves the hash lookup.
  std::uint32_t id(std::string_view name, std::vector<std::uint32_t>& order, std::size_t position) {
    if (position < order.size() && names_[order[position]] == name) return order[position];
    std::uint32_t found;
    if (const auto it = ids_.find(name); it != ids_.end()) {
      found = it->second;
    } else {
      found = static_cast<std::uint32_t>(names_.size());
      names_.emplace_back(name);
      ids_.emplace(names_.back(), found);
      stats_.emplace_back();
      result_mark_.push_back(0);
      result_slot_.push_back(0);
      latency_mark_.push_back(0);
      latency_value_.emplace_back();
    }
    if (position < order.size()) {
      order[position] = found;
    } else {
      order.push_back(found);
    }
    return found;
  }

  void begin_round() {
    clear_results();
    clear_latency();
  }
  void clear_results() {
    ++result_serial_;
    results_.clear();
  }
  void clear_latency() { ++latency_serial_; }

  std::uint32_t result_id(std::string_view name, std::size_t position) { return id(name, result_order_, position); }
  std::uint32_t latency_id(std::string_view name, std::size_t position) { return id(name, latency_order_, position); }

  void result(std::uint32_t target, bool ok) {
    if (result_mark_[target] == result_serial_) {
      results_[result_slot_[target]].second = ok;
      return;
    }
    result_mark_[target] = result_serial_;
    result_slot_[target] = static_cast<std::uint32_t>(results_.size());
    results_.emplace_back(target, ok);
  }

  void latency(std::uint32_t target, const Number& value) {
    latency_mark_[target] = latency_serial_;
    latency_value_[target] = value;
  }

  void end_round() {
    ++round_count_;
    for (const auto& [target, ok] : results_) {
      Entry& entry = stats_[target];
      entry.seen = true;
      ++checks_;
      if (ok) {
        ++successes_;
        ++entry.stats.ok;
      } else {
        ++entry.stats.fail;
      }
      if (latency_mark_[target] == latency_serial_) entry.stats.latencies.add(latency_value_[target]);
    }
  }

  void finish(SessionStats& session) {
    session.round_count = round_count_;
    session.checks = checks_;
    session.successes = successes_;
    session.targets.clear();
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (!stats_[i].seen) continue;
      stats_[i].stats.name = names_[i];
      session.targets.push_back(std::move(stats_[i].stats));
    }
    // UTF-8 byte order is code point order.
    std::sort(session.targets.begin(), session.targets.end(),
              [](const TargetStats& a, const TargetStats& b) { return a.name < b.name; });
  }

 private:
  struct Entry {
    bool seen = false;  // has a result in some round: only then a target
    TargetStats stats;
  };
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };

  std::vector<std::string> names_;
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
  std::vector<Entry> stats_;
  std::vector<std::uint32_t> result_order_, latency_order_;
  std::vector<std::pair<std::uint32_t, bool>> results_;
  std::vector<std::uint64_t> result_mark_;
  std::vector<std::uint32_t> result_slot_;
  std::vector<std::uint64_t> latency_mark_;
  std::vector<Number> latency_value_;
  std::uint64_t result_serial_ = 0, latency_serial_ = 0;
  std::int64_t round_count_ = 0, checks_ = 0, successes_ = 0;
};

// A latency the viewer can use: a whole number within 64 bits or a finite float.
bool read_latency(Event e, std::string_view text, Number& out) {
  if (e == Event::Integer) {
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
    out = Number{true, value, 0};
    return true;
  }
  if (e == Event::Float) {
    const double value = json::parse_float(text);
    if (!std::isfinite(value)) return false;
    out = Number{false, 0, value};
    return true;
  }
  return false;
}

// Python's truth of the value whose first event the reader just gave; the
// rest of the value is read.
bool truth(Reader& reader, Event first) {
  switch (first) {
    case Event::True: return true;
    case Event::Integer: return reader.text().find_first_not_of("-0") != std::string_view::npos;
    case Event::Float: return json::parse_float(reader.text()) != 0.0;  // NaN is true; 1e-400 is 0.0
    case Event::String: return !reader.text().empty();
    case Event::BeginObject:
    case Event::BeginArray: {
      const Event e = reader.next();
      const bool empty = e == Event::EndObject || e == Event::EndArray;
      if (!empty) {
        reader.skip_value(e);
        for (Event rest = reader.next(); rest != Event::EndObject && rest != Event::EndArray; rest = reader.next())
          reader.skip_value(rest);
      }
      return !empty;
    }
    default: return false;
  }
}

// A head value as stored, as compact JSON.
std::string stored(Reader& reader, Event first) {
  json::StringSink out;
  json::Writer writer(out, json::Writer::Compact{});
  json::copy_value(reader, first, writer);
  writer.flush();
  return std::move(out.text);
}

void read_round(Reader& reader, SessionBuilder& builder) {
  builder.begin_round();
  while (reader.next() == Event::Key) {
    const std::string_view key = reader.text();
    const bool results = key == "results";
    const bool latency = !results && key == "latency";
    Event e = reader.next();
    if (results) builder.clear_results();
    if (latency) builder.clear_latency();
    if (!(results || latency) || e != Event::BeginObject) {
      reader.skip_value(e);
      continue;
    }
    for (std::size_t position = 0; reader.next() == Event::Key; ++position) {
      const std::uint32_t target =
          results ? builder.result_id(reader.text(), position) : builder.latency_id(reader.text(), position);
      e = reader.next();
      Number value;
      if (results) {
        builder.result(target, truth(reader, e));
      } else if (read_latency(e, reader.text(), value)) {
        builder.latency(target, value);
      } else {
        reader.skip_value(e);
      }
    }
  }
  builder.end_round();
}

SessionStats read_session(Reader& reader, SessionBuilder& builder) {
  SessionStats session;
  builder.reset();
  while (reader.next() == Event::Key) {
    const std::string_view key = reader.text();
    enum { Start, End, Total, Rounds, Other } field = key == "start_time"     ? Start
                                                      : key == "end_time"     ? End
                                                      : key == "total_rounds" ? Total
                                                      : key == "rounds"       ? Rounds
                                                                              : Other;
    Event e = reader.next();
    switch (field) {
      case Start: session.start_time = stored(reader, e); continue;
      case End: session.end_time = stored(reader, e); continue;
      case Total: session.total_rounds = stored(reader, e); continue;
      case Rounds:
        builder.reset();
        if (e == Event::BeginArray) {
          while ((e = reader.next()) != Event::EndArray) {
            if (e == Event::BeginObject) {
              read_round(reader, builder);
            } else {
              reader.skip_value(e);
            }
          }
          continue;
        }
        break;
      case Other:
        break;
    }
    reader.skip_value(e);
  }
  builder.finish(session);
  return session;
}

}  // namespace

void Latencies::add(const Number& value) {
  if (count_ == 0) {
    min_ = max_ = value;
  } else {
    if (compare(value, min_) < 0) min_ = value;
    if (compare(value, max_) > 0) max_ = value;
  }
  ++count_;
  if (sum_whole_ && value.whole) {
    constexpr std::int64_t kHigh = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kLow = std::numeric_limits<std::int64_t>::min();
    const std::int64_t b = value.integer;
    const bool overflow = (b > 0 && sum_integer_ > kHigh - b) || (b < 0 && sum_integer_ < kLow - b);
    if (!overflow) {
      sum_integer_ += b;
      return;
    }
    // Python's sum would go on exactly; past 64 bits a float is close enough.
  }
  if (sum_whole_) {
    sum_whole_ = false;
    sum_real_ = static_cast<double>(sum_integer_);
  }
  sum_real_ += as_double(value);
}

double Latencies::average() const {
  if (sum_whole_) return static_cast<double>(sum_integer_) / static_cast<double>(count_);
  return sum_real_ / static_cast<double>(count_);
}

std::vector<SessionStats> read_sessions(Reader& reader) {
  if (reader.next() != Event::BeginObject) throw std::runtime_error("the report is not a JSON object");
  std::vector<SessionStats> sessions;
  bool listed = true;
  SessionBuilder builder;
  while (reader.next() == Event::Key) {
    const bool is_sessions = reader.text() == "sessions";
    Event e = reader.next();
    if (!is_sessions) {
      reader.skip_value(e);
      continue;
    }
    // A repeated "sessions" member counts with its last value, as in Python.
    sessions.clear();
    listed = e == Event::BeginArray || e == Event::Null;
    if (e != Event::BeginArray) {
      reader.skip_value(e);
      continue;
    }
    while ((e = reader.next()) != Event::EndArray) {
      if (e == Event::BeginObject) {
        sessions.push_back(read_session(reader, builder));
      } else {
        reader.skip_value(e);
      }
    }
  }
  reader.next();  // End, or SyntaxError for text after the object
  if (!listed) throw std::runtime_error("the report's sessions are not a list");
  return sessions;
}

ReportView read_report_view(const std::string& path, const os::Interrupt& interrupt) {
  ReportView view;
  std::error_code ec;
  if (!std::filesystem::exists(os::native_path(path), ec)) return view;
  view.state = ReportState::Unreadable;
  try {
    json::FileSource source(path);
    Reader reader(source, Reader::kChunk, interrupt);
    view.sessions = read_sessions(reader);
    view.state = ReportState::Read;
  } catch (const std::runtime_error&) {
    view.sessions.clear();
  }
  return view;
}

std::string average_text(const Latencies& latencies) {
  char buffer[512];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, latencies.average(), std::chars_format::fixed, 1);
  return std::string(buffer, result.ptr) + "ms";
}

std::string number_text(const Number& value) {
  return (value.whole ? std::to_string(value.integer) : json::float_repr(value.real)) + "ms";
}

std::string spread_text(const Latencies& latencies) {
  const Number& high = latencies.max();
  const Number& low = latencies.min();
  if (high.whole && low.whole) {
    // max >= min, so the difference fits in 64 unsigned bits.
    const std::uint64_t spread = static_cast<std::uint64_t>(high.integer) - static_cast<std::uint64_t>(low.integer);
    return std::to_string(spread) + "ms";
  }
  return json::float_repr(as_double(high) - as_double(low)) + "ms";
}

}  // namespace engine::report
