// The LinkStats class: the control channel's counters.
#include "py/value_class.hpp"
#include "py/value_types.hpp"

namespace corvantic::py {
namespace {

using gige::LinkStats;

constexpr ValueField<LinkStats> FIELDS[] = {
    {"commands", member<&LinkStats::commands>},
    {"acks", member<&LinkStats::acks>},
    {"retries", member<&LinkStats::retries>},
    {"timeouts", member<&LinkStats::timeouts>},
    {"naks", member<&LinkStats::naks>},
    {"pending_acks", member<&LinkStats::pending_acks>},
    {"heartbeats", member<&LinkStats::heartbeats>},
    {"events", member<&LinkStats::events>},
    {"unsolicited", member<&LinkStats::unsolicited>},
};

constexpr ValueClass<LinkStats> CLASS{"corvantic.LinkStats", "Control-channel counters.", FIELDS};

}  // namespace

PyObject* link_stats_type() { return value_class_type<CLASS>(); }

PyObject* make_link_stats(const gige::LinkStats& stats) { return make_value<CLASS>(stats); }

}  // namespace corvantic::py
