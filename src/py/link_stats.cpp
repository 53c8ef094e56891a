// The LinkStats class: the control channel's counters.
#include <array>
#include <string>

#include "py/boxed.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

struct CounterField {
  const char* name;
  std::uint64_t gige::LinkStats::*member;
};

constexpr std::array<CounterField, 9> COUNTERS = {{
    {"commands", &gige::LinkStats::commands},
    {"acks", &gige::LinkStats::acks},
    {"retries", &gige::LinkStats::retries},
    {"timeouts", &gige::LinkStats::timeouts},
    {"naks", &gige::LinkStats::naks},
    {"pending_acks", &gige::LinkStats::pending_acks},
    {"heartbeats", &gige::LinkStats::heartbeats},
    {"events", &gige::LinkStats::events},
    {"unsolicited", &gige::LinkStats::unsolicited},
}};

template <std::size_t I>
PyObject* get_counter(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<gige::LinkStats>(self).*(COUNTERS[I].member));
}

PyObject* repr(PyObject* self) {
  const gige::LinkStats& stats = unbox<gige::LinkStats>(self);
  std::string text = "LinkStats { ";
  for (std::size_t i = 0; i < COUNTERS.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::string(COUNTERS[i].name) + ": " + std::to_string(stats.*(COUNTERS[i].member));
  }
  text += " }";
  return PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
}

template <std::size_t... I>
constexpr std::array<PyGetSetDef, sizeof...(I) + 1> make_getset(std::index_sequence<I...>) {
  return {{{COUNTERS[I].name, get_counter<I>, nullptr, nullptr, nullptr}..., {nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

auto GETSET = make_getset(std::make_index_sequence<COUNTERS.size()>{});

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Control-channel counters.")},
    {Py_tp_getset, GETSET.data()},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<gige::LinkStats>)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "corvantic.LinkStats",
    sizeof(Boxed<gige::LinkStats>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    SLOTS,
};

}  // namespace

PyObject* link_stats_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return create_once(slot, [] { return PyType_FromSpec(&SPEC); });
}

PyObject* make_link_stats(const gige::LinkStats& stats) { return box(link_stats_type(), stats); }

}  // namespace corvantic::py
