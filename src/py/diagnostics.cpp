// The private functions behind corvantic.diagnostics: a queue sink for the
// core's log events, and the taking of its events by a Python thread.
//
// The threads that log (the control and stream workers, and callers of the
// core with the interpreter released) only push into the queue
// (util/log_queue.hpp); they never touch the interpreter. A Python thread
// started by corvantic.diagnostics waits on the queue detached from the
// interpreter and turns what it takes into logging records. With no queue
// installed the facade stays disabled and a log site costs one relaxed load.
//
// Lock order: `queue_mutex` alone; it is taken detached and held only to
// swap the pointer and the facade's sink, never across a wait.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "py/args.hpp"
#include "py/functions.hpp"
#include "py/guard.hpp"
#include "py/ref.hpp"
#include "util/log.hpp"
#include "util/log_queue.hpp"
#include "util/mutex.hpp"

namespace corvantic::py {
namespace {

namespace log = util::log;

util::Mutex queue_mutex;
// The installed queue; after disable, the closed queue until its last events
// are taken.
std::shared_ptr<log::QueueSink> current_queue GUARDED_BY(queue_mutex);
// Counts the queues made, so that a thread that took from an earlier queue
// learns that it has been replaced.
std::uint64_t current_generation GUARDED_BY(queue_mutex) = 0;

// The installed queue if it is still of `generation`.
std::shared_ptr<log::QueueSink> installed_queue(std::uint64_t generation) {
  ReleasedGil gil;
  util::MutexLock lock(queue_mutex);
  return generation == current_generation ? current_queue : nullptr;
}

constexpr Parameter ENABLE_PARAMETERS[] = {{"level", true}, {"capacity", true}};
constexpr Signature ENABLE_SIGNATURE{"_diagnostics_enable", ENABLE_PARAMETERS};

struct LevelName {
  std::string_view name;
  log::Level level;
};
constexpr LevelName LEVELS[] = {
    {"trace", log::Level::Trace}, {"debug", log::Level::Debug}, {"warn", log::Level::Warn}, {"error", log::Level::Error}};

std::optional<log::Level> level_named(std::string_view name) {
  for (const LevelName& entry : LEVELS) {
    if (entry.name == name) return entry.level;
  }
  return std::nullopt;
}

const char* name_of(log::Level level) {
  for (const LevelName& entry : LEVELS) {
    if (entry.level == level) return entry.name.data();
  }
  return "?";
}

// Installs a queue of `capacity` events for events at `level` and above and
// returns its generation; an open queue is kept (with its capacity) and only
// its level changes.
PyObject* enable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<2> a{};
  if (!parse_arguments(ENABLE_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
  std::string_view name;
  std::uint64_t capacity = 0;
  if (!convert_text(a[0], "level", name) || !convert_unsigned(a[1], "capacity", 32, capacity)) return nullptr;
  const std::optional<log::Level> level = level_named(name);
  if (!level) {
    PyErr_Format(PyExc_ValueError, "unknown diagnostics level: %U", a[0]);
    return nullptr;
  }
  if (capacity == 0) {
    PyErr_SetString(PyExc_ValueError, "capacity must be at least 1");
    return nullptr;
  }
  std::uint64_t generation = 0;
  {
    ReleasedGil gil;
    util::MutexLock lock(queue_mutex);
    if (!current_queue || current_queue->closed()) {
      current_queue = std::make_shared<log::QueueSink>(capacity);
      ++current_generation;
    }
    log::set_sink(current_queue, *level);
    generation = current_generation;
  }
  return PyLong_FromUnsignedLongLong(generation);
}

// Removes the sink and closes the queue: a waiting take returns at once, and
// takes return what is left, then None.
PyObject* disable(PyObject*, PyObject*) {
  {
    ReleasedGil gil;
    util::MutexLock lock(queue_mutex);
    log::set_sink(nullptr);
    if (current_queue) current_queue->close();
  }
  Py_RETURN_NONE;
}

// Text from the core as str; bytes that are not UTF-8 become U+FFFD.
PyObject* text(std::string_view s) { return PyUnicode_DecodeUTF8(s.data(), std::ssize(s), "replace"); }

PyObject* make_event(const log::QueueSink::Entry& entry) {
  const log::Event& e = entry.event;
  Ref fields = Ref::steal(PyTuple_New(std::ssize(e.fields)));
  if (!fields) return nullptr;
  for (std::size_t i = 0; i < e.fields.size(); ++i) {
    Ref name = Ref::steal(text(e.fields[i].name));
    Ref value = Ref::steal(text(e.fields[i].value));
    if (!name || !value) return nullptr;
    PyObject* pair = PyTuple_Pack(2, name.get(), value.get());
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), pair);
  }
  Ref target = Ref::steal(text(e.target));
  Ref message = Ref::steal(text(e.message));
  if (!target || !message) return nullptr;
  const double time = std::chrono::duration<double>(entry.time.time_since_epoch()).count();
  return Py_BuildValue("(sOOOd)", name_of(e.level), target.get(), message.get(), fields.get(), time);
}

constexpr Parameter TAKE_PARAMETERS[] = {{"generation", true}, {"timeout", true}};
constexpr Signature TAKE_SIGNATURE{"_diagnostics_take", TAKE_PARAMETERS};

// Waits detached up to `timeout` seconds for events of the queue of
// `generation` and returns
// ([(level, target, message, ((name, value), ...), time), ...], dropped), or
// None once that queue is closed and empty or has been replaced.
PyObject* take(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments<2> a{};
  if (!parse_arguments(TAKE_SIGNATURE, args, nargs, kwnames, a)) return nullptr;
  std::uint64_t generation = 0;
  std::chrono::nanoseconds timeout{};
  if (!convert_unsigned(a[0], "generation", 64, generation) || !convert_seconds(a[1], "timeout", timeout)) {
    return nullptr;
  }
  const std::shared_ptr<log::QueueSink> queue = installed_queue(generation);
  if (!queue) Py_RETURN_NONE;
  log::QueueSink::Batch batch;
  {
    ReleasedGil gil;
    batch = queue->take_for(timeout);
  }
  if (batch.closed && batch.entries.empty() && batch.dropped == 0) Py_RETURN_NONE;
  Ref events = Ref::steal(PyList_New(std::ssize(batch.entries)));
  if (!events) return nullptr;
  for (std::size_t i = 0; i < batch.entries.size(); ++i) {
    PyObject* event = make_event(batch.entries[i]);
    if (event == nullptr) return nullptr;
    PyList_SET_ITEM(events.get(), static_cast<Py_ssize_t>(i), event);
  }
  return Py_BuildValue("(OK)", events.get(), static_cast<unsigned long long>(batch.dropped));
}

PyMethodDef METHODS[] = {
    {"_diagnostics_enable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<enable>)),
     METH_FASTCALL | METH_KEYWORDS,
     "_diagnostics_enable(level, capacity)\n--\n\n"
     "Queue the core's log events at `level` (\"trace\", \"debug\", \"warn\" or \"error\") and above,\n"
     "at most `capacity` at once; return the queue's generation."},
    {"_diagnostics_disable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<disable>)),
     METH_NOARGS,
     "_diagnostics_disable()\n--\n\n"
     "Stop queueing log events and close the queue."},
    {"_diagnostics_take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<take>)),
     METH_FASTCALL | METH_KEYWORDS,
     "_diagnostics_take(generation, timeout)\n--\n\n"
     "Wait up to `timeout` seconds for log events queued by the queue of `generation` and\n"
     "return them with the count of those dropped; None once it is closed and empty or replaced."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_diagnostics_functions(PyObject* module) { return PyModule_AddFunctions(module, METHODS); }

}  // namespace corvantic::py
