#include "util/log.hpp"

#include <algorithm>
#include <charconv>

namespace corvantic::util::log {
namespace {

Mutex sink_mutex;
std::shared_ptr<Sink> current_sink GUARDED_BY(sink_mutex);

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Warn: return "WARN";
    case Level::Error: return "ERROR";
  }
  return "?";
}

Field field(std::string_view name, double value) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return {std::string(name), std::string(buf, ec == std::errc() ? end : buf)};
}

void set_sink(std::shared_ptr<Sink> sink, Level min_level) {
  MutexLock lock(sink_mutex);
  const int threshold = sink ? static_cast<int>(min_level) : detail::DISABLED;
  current_sink = std::move(sink);
  detail::threshold.store(threshold, std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string message, std::vector<Field> fields) {
  std::shared_ptr<Sink> sink;
  {
    MutexLock lock(sink_mutex);
    sink = current_sink;
  }
  // The sink may have been removed between the level check and here.
  if (!sink || !enabled(level)) return;
  sink->write(Event{level, std::string(target), std::move(message), std::move(fields)});
}

void CapturingSink::write(const Event& event) {
  MutexLock lock(mutex_);
  events_.push_back(event);
}

std::vector<Event> CapturingSink::events() const {
  MutexLock lock(mutex_);
  return events_;
}

std::vector<Event> CapturingSink::with_message(std::string_view message) const {
  MutexLock lock(mutex_);
  std::vector<Event> out;
  std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
               [&](const Event& e) { return e.message == message; });
  return out;
}

void CapturingSink::clear() {
  MutexLock lock(mutex_);
  events_.clear();
}

ScopedCapture::ScopedCapture(Level min_level) : sink_(std::make_shared<CapturingSink>()) {
  set_sink(sink_, min_level);
}

ScopedCapture::~ScopedCapture() { set_sink(nullptr); }

}  // namespace corvantic::util::log
