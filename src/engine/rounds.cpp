#include "engine/rounds.h"

#include <algorithm>

namespace engine {

std::uint32_t RoundLog::intern(std::string_view name) {
  if (const auto it = ids_.find(name); it != ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(names_.size());
  names_.emplace_back(name);
  ids_.emplace(names_.back(), id);
  return id;
}

void RoundLog::append(std::int64_t number, std::string_view time,
                      const std::vector<std::pair<std::string_view, bool>>& results,
                      const std::vector<std::pair<std::string_view, std::int64_t>>& latency) {
  // A name given twice in one round keeps its first place and its last value,
  // as a Python dict does: two user-defined targets may share a name.
  Round round{number, std::string(time), {}, {}};
  round.results.reserve(results.size());
  for (const auto& [name, success] : results) {
    const std::uint32_t target = intern(name);
    const auto same = std::find_if(round.results.begin(), round.results.end(),
                                   [&](const Result& r) { return r.target == target; });
    if (same != round.results.end()) {
      same->success = success;
    } else {
      round.results.push_back({target, success});
    }
  }
  round.latency.reserve(latency.size());
  for (const auto& [name, ms] : latency) {
    const std::uint32_t target = intern(name);
    const auto same = std::find_if(round.latency.begin(), round.latency.end(),
                                   [&](const Latency& l) { return l.target == target; });
    if (same != round.latency.end()) {
      same->ms = ms;
    } else {
      round.latency.push_back({target, ms});
    }
  }
  rounds_.push_back(std::move(round));
  while (rounds_.size() > keep_) rounds_.pop_front();
}

}  // namespace engine
