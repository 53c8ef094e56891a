// The process-wide structured logging facade.
//
// An event has a level, a target, a message and named fields. Nothing is
// installed by default: until a sink is set, CORVANTIC_LOG costs one relaxed
// atomic load and formats nothing (the message and field expressions are not
// even evaluated).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "util/mutex.hpp"

namespace corvantic::util::log {

enum class Level : std::uint8_t { Trace = 0, Debug = 1, Warn = 2, Error = 3 };

[[nodiscard]] std::string_view level_name(Level level);

// Log targets, one per component.
namespace target {
inline constexpr std::string_view GIGE = "corvantic::gige";
inline constexpr std::string_view GIGE_RUNNER = "corvantic::gige::runner";
inline constexpr std::string_view GIGE_DISCOVERY = "corvantic::gige::discovery";
inline constexpr std::string_view STREAM_RUNNER = "corvantic::gige::stream::runner";
inline constexpr std::string_view GENICAM = "corvantic::genicam";
inline constexpr std::string_view GENICAM_SNAPSHOT = "corvantic::genicam::snapshot";
inline constexpr std::string_view PY = "corvantic::py";
inline constexpr std::string_view THREAD_UTIL = "corvantic::thread_util";
}  // namespace target

struct Field {
  std::string name;
  std::string value;
  bool operator==(const Field&) const = default;
};

struct Event {
  Level level;
  std::string target;
  std::string message;
  std::vector<Field> fields;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Called on the thread that logs; must be thread-safe.
  virtual void write(const Event& event) = 0;
};

namespace detail {
// Lowest level that reaches the sink; above Error when no sink is set.
inline constexpr int DISABLED = 0x100;
inline std::atomic<int> threshold{DISABLED};
}  // namespace detail

[[nodiscard]] inline bool enabled(Level level) {
  return static_cast<int>(level) >= detail::threshold.load(std::memory_order_relaxed);
}

// Installs `sink` for events at `min_level` and above; nullptr removes it.
void set_sink(std::shared_ptr<Sink> sink, Level min_level = Level::Trace);

// Hands one event to the sink. Callers go through CORVANTIC_LOG.
void emit(Level level, std::string_view target, std::string message, std::vector<Field> fields = {});

[[nodiscard]] inline Field field(std::string_view name, std::string_view value) {
  return {std::string(name), std::string(value)};
}
[[nodiscard]] inline Field field(std::string_view name, const char* value) {
  return field(name, std::string_view(value));
}
[[nodiscard]] inline Field field(std::string_view name, bool value) {
  return field(name, value ? "true" : "false");
}
// The shortest text that reads back as the same double.
[[nodiscard]] Field field(std::string_view name, double value);
template <typename T>
  requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
[[nodiscard]] Field field(std::string_view name, T value) {
  return {std::string(name), std::to_string(value)};
}

// A sink that keeps every event, for tests.
class CapturingSink final : public Sink {
 public:
  void write(const Event& event) override;
  [[nodiscard]] std::vector<Event> events() const;
  // Events whose message equals `message`.
  [[nodiscard]] std::vector<Event> with_message(std::string_view message) const;
  void clear();

 private:
  mutable Mutex mutex_;
  std::vector<Event> events_ GUARDED_BY(mutex_);
};

// Installs a CapturingSink for the lifetime of this object.
class ScopedCapture {
 public:
  explicit ScopedCapture(Level min_level = Level::Trace);
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  CapturingSink& sink() { return *sink_; }

 private:
  std::shared_ptr<CapturingSink> sink_;
};

}  // namespace corvantic::util::log

#define CORVANTIC_LOG(level, target, message, ...)                              \
  do {                                                                          \
    if (::corvantic::util::log::enabled(level)) {                               \
      ::corvantic::util::log::emit((level), (target), (message), {__VA_ARGS__}); \
    }                                                                           \
  } while (0)
