#pragma once
// The rounds a monitoring run keeps for its report: the newest 100000 of
// them, in round order. A run checks the same few targets round after round,
// so names are stored once, the list of names a round checked (its shape) is
// stored once per distinct list, and a round itself is its number, its time,
// its shape and its flags and latencies in two shared pools.
//
// Python sees this type as engine.core._RoundLog. A run keeps its rounds in
// one made as a Python object and hands that to _save_run_report through the
// module namespace, without copying it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace engine {

class RoundLog {
 public:
  static constexpr std::size_t kKeep = 100000;

  // One kept round as the report writes it: targets are ids into targets().
  struct RoundView {
    std::int64_t number;
    std::string_view time;                         // "%H:%M:%S"
    const std::vector<std::uint32_t>& result_targets;  // in check order
    const std::uint8_t* flags;                     // one per result target
    const std::vector<std::uint32_t>& latency_targets; // in check order; empty when no target gave one
    const std::int64_t* latency_ms;                // one per latency target

    bool success(std::size_t i) const { return flags[i] != 0; }
  };

  explicit RoundLog(std::size_t keep = kKeep) : keep_(keep) {}

  // Appends one finished round; beyond the limit the oldest round is dropped.
  // A name given twice in one round keeps its first place and its last value,
  // as a Python dict does: two user-defined targets may share a name.
  void append(std::int64_t number, std::string_view time,
              const std::vector<std::pair<std::string_view, bool>>& results,
              const std::vector<std::pair<std::string_view, std::int64_t>>& latency);

  std::size_t size() const { return rounds_.size(); }
  bool empty() const { return rounds_.empty(); }
  // The i-th kept round, oldest first.
  RoundView round(std::size_t i) const;
  // Every name ever appended, by id.
  const std::vector<std::string>& targets() const { return names_; }

 private:
  struct Shape {
    std::vector<std::uint32_t> results;
    std::vector<std::uint32_t> latency;
    bool operator<(const Shape& other) const {
      return std::tie(results, latency) < std::tie(other.results, other.latency);
    }
  };
  struct Stored {
    std::int64_t number;
    std::array<char, 8> time;
    std::uint32_t shape;
    std::uint64_t flags_at;    // position in the flag pool, counted from the run's first round
    std::uint64_t latency_at;  // position in the latency pool, likewise
  };
  // A pool that drops from the front as old rounds go; positions count from
  // the first value ever added, so dropping moves no round's position.
  template <class T>
  struct Pool {
    std::vector<T> values;
    std::uint64_t dropped = 0;
    std::uint64_t end() const { return dropped + values.size(); }
    const T* at(std::uint64_t position) const { return values.data() + (position - dropped); }
    void drop_before(std::uint64_t position);
  };

  std::uint32_t intern(std::string_view name);
  std::uint32_t shape_of(Shape&& shape);

  std::size_t keep_;
  std::deque<Stored> rounds_;
  Pool<std::uint8_t> flags_;
  Pool<std::int64_t> latencies_;
  std::vector<Shape> shapes_;
  std::map<Shape, std::uint32_t> shape_ids_;
  std::vector<std::string> names_;
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
  };
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;
};

}  // namespace engine
