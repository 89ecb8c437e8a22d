#pragma once
// The rounds a monitoring run keeps for its report: the newest 100000 of
// them, in round order. A run checks few distinct targets, so each name is
// stored once and a round holds small ids beside its flags and latencies.
//
// Python sees this type as engine.core._RoundLog. A run hands it to
// _save_run_report through the module namespace without copying it:
//   call("_save_run_report", start, counter, py::cast(&log, py::return_value_policy::reference));
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace engine {

class RoundLog {
 public:
  static constexpr std::size_t kKeep = 100000;

  struct Result {
    std::uint32_t target;
    bool success;
  };
  struct Latency {
    std::uint32_t target;
    std::int64_t ms;
  };
  struct Round {
    std::int64_t number;
    std::string time;               // "%H:%M:%S"
    std::vector<Result> results;    // in check order
    std::vector<Latency> latency;   // in check order; empty when no target gave one
  };

  explicit RoundLog(std::size_t keep = kKeep) : keep_(keep) {}

  // Appends one finished round; beyond the limit the oldest round is dropped.
  void append(std::int64_t number, std::string_view time,
              const std::vector<std::pair<std::string_view, bool>>& results,
              const std::vector<std::pair<std::string_view, std::int64_t>>& latency);

  std::size_t size() const { return rounds_.size(); }
  bool empty() const { return rounds_.empty(); }
  const std::deque<Round>& rounds() const { return rounds_; }
  // Every name ever appended, by id.
  const std::vector<std::string>& targets() const { return names_; }

 private:
  std::uint32_t intern(std::string_view name);

  std::size_t keep_;
  std::deque<Round> rounds_;
  std::vector<std::string> names_;
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
};

}  // namespace engine
