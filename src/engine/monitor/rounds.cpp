#include "engine/monitor/rounds.h"

#include <algorithm>
#include <tuple>

namespace engine {

template <class T>
void RoundLog::Pool<T>::drop_before(std::uint64_t position) {
  // Erase only when at least half the pool is dead, so each value moves O(1) times.
  const std::uint64_t dead = position - dropped;
  if (dead < 4096 || dead * 2 < values.size()) return;
  values.erase(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(dead));
  dropped = position;
}

std::uint32_t RoundLog::intern(std::string_view name) {
  if (const auto it = ids_.find(name); it != ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(name);
  ids_.emplace(names_.back(), id);
  return id;
}

std::uint32_t RoundLog::shape_of(Shape&& shape) {
  if (const auto it = shape_ids_.find(shape); it != shape_ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(shapes_.size());
  shapes_.push_back(shape);
  shape_ids_.emplace(std::move(shape), id);
  return id;
}

void RoundLog::append(std::int64_t number, std::string_view time,
                      const std::vector<std::pair<std::string_view, bool>>& results,
                      const std::vector<std::pair<std::string_view, std::int64_t>>& latency) {
  Shape shape;
  std::vector<std::uint8_t> flags;
  for (const auto& [name, success] : results) {
    const std::uint32_t target = intern(name);
    const auto same = std::find(shape.results.begin(), shape.results.end(), target);
    if (same != shape.results.end()) {
      flags[static_cast<std::size_t>(same - shape.results.begin())] = success;
    } else {
      shape.results.push_back(target);
      flags.push_back(success);
    }
  }
  std::vector<std::int64_t> values;
  for (const auto& [name, ms] : latency) {
    const std::uint32_t target = intern(name);
    const auto same = std::find(shape.latency.begin(), shape.latency.end(), target);
    if (same != shape.latency.end()) {
      values[static_cast<std::size_t>(same - shape.latency.begin())] = ms;
    } else {
      shape.latency.push_back(target);
      values.push_back(ms);
    }
  }
  Stored stored{number, {}, shape_of(std::move(shape)), flags_.end(), latencies_.end()};
  std::copy_n(time.begin(), std::min(time.size(), stored.time.size()), stored.time.begin());
  flags_.values.insert(flags_.values.end(), flags.begin(), flags.end());
  latencies_.values.insert(latencies_.values.end(), values.begin(), values.end());
  rounds_.push_back(stored);
  while (rounds_.size() > keep_) rounds_.pop_front();
  if (!rounds_.empty()) {
    flags_.drop_before(rounds_.front().flags_at);
    latencies_.drop_before(rounds_.front().latency_at);
  }
}

RoundLog::RoundView RoundLog::round(std::size_t i) const {
  const Stored& stored = rounds_[i];
  const Shape& shape = shapes_[stored.shape];
  const auto time_length = static_cast<std::size_t>(
      std::find(stored.time.begin(), stored.time.end(), '\0') - stored.time.begin());
  return RoundView{stored.number,
                   std::string_view(stored.time.data(), time_length),
                   shape.results,
                   flags_.at(stored.flags_at),
                   shape.latency,
                   latencies_.at(stored.latency_at)};
}

}  // namespace engine
