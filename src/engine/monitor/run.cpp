#include "engine/monitor/run.h"

#include <random>

namespace engine {

std::string targets_text(const std::vector<std::string>& names, std::string_view when_empty) {
  if (names.empty()) return std::string(when_empty);
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += " / ";
    text += name;
  }
  return text;
}

Seconds round_wait(Seconds interval, int jitter) {
  const Seconds sum = std::visit([&](auto v) -> Seconds { return v + jitter; }, interval);
  return to_double(sum) > kMinimumWait ? sum : Seconds{static_cast<long long>(kMinimumWait)};
}

double to_double(Seconds s) {
  return std::visit([](auto v) { return static_cast<double>(v); }, s);
}

int draw_jitter() {
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<int>(kJitterMin, kJitterMax)(generator);
}

}  // namespace engine
