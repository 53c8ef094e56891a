// The StreamStats class: the stream channel's counters.
#include <utility>

#include "py/value_class.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

using gige::stream::STREAM_COUNTERS;
using gige::stream::StreamStats;

constexpr const char* FRAMES_DROPPED_DOC = "Completed frames a subscriber could not take (its channel was full).";

template <std::size_t... I>
constexpr std::array<ValueField<StreamStats>, sizeof...(I)> counter_fields(std::index_sequence<I...>) {
  return {{{STREAM_COUNTERS[I].name.data(), member<STREAM_COUNTERS[I].member>,
            STREAM_COUNTERS[I].name == "frames_dropped" ? FRAMES_DROPPED_DOC : nullptr}...}};
}

constexpr auto FIELDS = counter_fields(std::make_index_sequence<STREAM_COUNTERS.size()>{});

constexpr ValueClass<StreamStats> CLASS{"corvantic.StreamStats",
                                        "Stream receiver counters, all monotonic since stream open.", FIELDS};

}  // namespace

PyObject* stream_stats_type() { return value_class_type<CLASS>(); }

PyObject* make_stream_stats(const StreamStats& stats) { return make_value<CLASS>(stats); }

}  // namespace corvantic::py
