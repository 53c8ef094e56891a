#include "gige/proto/gvcp_status.hpp"

#include "util/text.hpp"

namespace corvantic::gige::proto {

std::optional<std::string_view> GvcpStatus::name() const {
  switch (code) {
    case SUCCESS: return "success";
    case PACKET_RESEND: return "packet resend";
    case NOT_IMPLEMENTED: return "not implemented";
    case INVALID_PARAMETER: return "invalid parameter";
    case INVALID_ADDRESS: return "invalid address";
    case WRITE_PROTECT: return "write protect";
    case BAD_ALIGNMENT: return "bad alignment";
    case ACCESS_DENIED: return "access denied";
    case BUSY: return "busy";
    case PACKET_UNAVAILABLE: return "packet unavailable";
    case DATA_OVERRUN: return "data overrun";
    case INVALID_HEADER: return "invalid header";
    case PACKET_NOT_YET_AVAILABLE: return "packet not yet available";
    case PACKET_AND_PREVIOUS_REMOVED: return "packet and previous removed from memory";
    case PACKET_REMOVED: return "packet removed from memory";
    case NO_REFERENCE_TIME: return "no reference time";
    case PACKET_TEMPORARILY_UNAVAILABLE: return "packet temporarily unavailable";
    case OVERFLOW: return "overflow";
    case ACTION_LATE: return "action late";
    case LEADER_TRAILER_OVERFLOW: return "leader/trailer overflow";
    case GENERIC_ERROR: return "generic error";
    default: return std::nullopt;
  }
}

std::string GvcpStatus::display() const {
  if (const auto n = name()) return std::string(*n) + " (" + util::hex4(code) + ")";
  return "status " + util::hex4(code);
}

}  // namespace corvantic::gige::proto
