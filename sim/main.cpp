// corvantic-sim: runs one virtual camera until told to quit or until SIGINT
// or SIGTERM, controlled by lines on stdin (see HELP). It prints nothing but
// the replies of the control channel, one line each, and --help.
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "gige/proto/gvcp_status.hpp"
#include "sim/device.hpp"
#include "sim/gvsp_packet.hpp"

namespace {

using namespace corvantic::sim;

constexpr std::string_view HELP = R"(usage: corvantic-sim [options]

Runs one virtual GigE Vision camera on <address>:3956 (UDP). When it is
listening it prints "ready <address>" on stdout; then it reads control
commands from stdin, one per line, and answers each with one line: "ok"
(possibly followed by values) or "error <reason>". It ends on "quit", on
SIGINT or SIGTERM (exit status 0 after stopping the streams), and with
--quit-at-eof at the end of stdin; without that option the end of stdin only
ends the control channel, so that it can run in the background of a shell
(`corvantic-sim --address 127.0.0.5 &`). If it cannot start it prints
"error <reason>" and exits 1.

options:
  --address IP              IPv4 address to bind (default 127.0.0.2)
  --capabilities WORD       GVCP capability register 0x0934 (default 0xe000003f);
                            bits: 0x1 concatenation, 0x2 WRITEMEM, 0x4 PACKETRESEND,
                            0x8 EVENT, 0x10 EVENTDATA, 0x20 PENDING_ACK,
                            0x20000000 heartbeat disable, 0x40000000 serial number,
                            0x80000000 user-defined name
  --no-concatenation        clear bit 0x1: a READREG of several registers is answered
                            with the first value only, a WRITEREG writes its first pair only
  --no-writemem             clear bit 0x2: WRITEMEM is answered with not implemented
  --no-packetresend         clear bit 0x4: PACKETRESEND is ignored
  --description FORM        plain | zip-stored | zip-deflated (default plain): how the
                            GenICam description is served from device memory
  --tick-frequency HZ       timestamp ticks per second, registers 0x093c/0x0940
                            (default 1000000000)
  --frame-rate FPS          initial AcquisitionFrameRate; 0 = as fast as possible (default 30)
  --width N                 initial Width (default 64)
  --height N                initial Height (default 48)
  --heartbeat-timeout MS    initial heartbeat timeout, register 0x0938 (default 3000)
  --writes-need-control     refuse writes (other than to 0x0a00) with access denied while
                            nobody holds control
  --pending SPEC            a slow operation, repeatable: COMMAND[@ADDRESS]:MS[:DONE_MS]
                            (see the pending control command)
  --path-mtu BYTES          largest IP datagram the stream path carries (default 9216)
  --extended-ids            send stream packets in the extended-id header form
  --no-segmentation-offload send every stream packet with a send of its own instead of
                            runs as UDP GSO messages, which a capture on loopback shows
                            as one datagram each
  --no-single-frame         the description's AcquisitionMode has no SingleFrame entry
  --listen-broadcast        also receive DISCOVERY sent to 255.255.255.255 and to the
                            broadcast address of the camera's interface (answers stay unicast)
  --serial TEXT             serial number (default SIM + the address in hexadecimal)
  --user-name TEXT          initial user-defined name, DeviceUserID (default empty)
  --quit-at-eof             end at the end of stdin, as when the process that writes the
                            control commands is gone
  --help                    show this text and exit

control commands (numbers are decimal or 0x-prefixed hexadecimal):
  status                    counters and state as "ok key=value ..."
  drop-acks N               the next N acknowledges are not sent
  ignore-event-acks N       the next N event acknowledges are taken as lost
  duplicate-acks N          the next N acknowledges are sent twice
  reorder-acks N            the next N acknowledges are each sent after the one that follows
  delay-acks MS             every acknowledge leaves MS late; 0 ends it
  silence on|off            receive and answer nothing at all
  error-status ADDRESS STATUS [read|write|both]
                            answer STATUS (e.g. 0x8007 busy) for the register at ADDRESS
  error-status-clear ADDRESS|all
  pending COMMAND[@ADDRESS] MS [DONE_MS]
                            answer matching commands with a PENDING_ACK announcing MS and
                            the final acknowledge after DONE_MS (default MS * 4 / 5);
                            COMMAND is readreg, writereg, readmem, writemem or any
  pending-clear
  ignore-heartbeats on|off  commands of the control holder stop counting as heartbeats
  expire-heartbeat          release control now, as an expired heartbeat does
  path-mtu BYTES            limit the stream path
  extended-ids on|off       stream header form
  pattern-crc32 BLOCK SIZE  CRC-32 of the first SIZE payload bytes of frame BLOCK with the
                            current test pattern, pixel format, width and height, as
                            "ok crc32=N"
  stream-faults CHANNEL [loss=P] [reorder=P] [duplicate=P] [seed=N] [lying-chunks=0|1]
                            stream packet faults (probabilities 0..1); lying-chunks=1
                            gives the last chunk of every chunk-mode frame a length
                            past the payload
  url 1|2 TEXT              replace the text of location register 0x0200 (1) or 0x0400 (2)
  event ID [ack] [extended] [channel=N] [block=N] [timestamp=T] [also=ID:BLOCK:T]...
                            send an EVENT; each also= adds a record after the first
                            (same channel); extended: 24-byte records, 64-bit block
                            ids; "ok id=REQUEST_ID"
  eventdata ID [ack] [extended] [channel=N] [block=N] [timestamp=T] [data=HEX]
                            send an EVENTDATA
  clear-faults              end every injected fault
  quit                      stop the camera and exit
)";

std::optional<std::uint64_t> parse_number(std::string_view text) {
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  const std::string s(text);
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(s.c_str(), &end, 0);
  if (errno != 0 || end != s.c_str() + s.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_real(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::string s(text);
  char* end = nullptr;
  const double value = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  const auto value = parse_number(text);
  if (!value || *value > 0xFFFFFFFF) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<bool> parse_switch(std::string_view text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

std::optional<std::uint16_t> parse_command_name(std::string_view text) {
  if (text == "any") return 0;
  if (text == "readreg") return gvcp_code::READREG;
  if (text == "writereg") return gvcp_code::WRITEREG;
  if (text == "readmem") return gvcp_code::READMEM;
  if (text == "writemem") return gvcp_code::WRITEMEM;
  return std::nullopt;
}

// COMMAND[@ADDRESS] with the times given apart.
std::optional<PendingRule> parse_pending(std::string_view selector, std::string_view ms,
                                         std::optional<std::string_view> done_ms) {
  PendingRule rule;
  const auto at = selector.find('@');
  const auto command = parse_command_name(selector.substr(0, at));
  if (!command) return std::nullopt;
  rule.command = *command;
  if (at != std::string_view::npos) {
    const auto address = parse_u32(selector.substr(at + 1));
    if (!address) return std::nullopt;
    rule.address = *address;
  }
  const auto announce = parse_u32(ms);
  if (!announce) return std::nullopt;
  rule.announce_ms = *announce;
  rule.complete_ms = *announce / 5 * 4 + *announce % 5 * 4 / 5;
  if (done_ms) {
    const auto done = parse_u32(*done_ms);
    if (!done) return std::nullopt;
    rule.complete_ms = *done;
  }
  return rule;
}

std::optional<std::vector<std::uint8_t>> parse_hex_bytes(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto byte = parse_number("0x" + std::string(text.substr(i, 2)));
    if (!byte) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(*byte));
  }
  return out;
}

std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string format_peer(const Peer& peer) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", peer.ip >> 24, (peer.ip >> 16) & 0xFF,
                (peer.ip >> 8) & 0xFF, peer.ip & 0xFF, peer.port);
  return text;
}

std::string status_line(const DeviceStatus& status) {
  const auto& c = status.counters;
  std::ostringstream out;
  out << "ok control=" << (status.control_holder ? format_peer(*status.control_holder) : "none")
      << " ccp=" << status.ccp << " acquiring=" << (status.acquisition_active ? 1 : 0)
      << " commands=" << c.commands << " acks_sent=" << c.acks_sent << " error_acks=" << c.error_acks
      << " pending_acks=" << c.pending_acks << " acks_dropped=" << c.acks_dropped
      << " acks_duplicated=" << c.acks_duplicated << " acks_delayed=" << c.acks_delayed
      << " acks_reordered=" << c.acks_reordered << " malformed=" << c.malformed << " silenced=" << c.silenced
      << " discoveries=" << c.discoveries << " resend_requests=" << c.resend_requests
      << " retransmissions=" << c.retransmissions << " busy=" << c.busy
      << " control_grants=" << c.control_grants << " control_releases=" << c.control_releases
      << " heartbeat_expiries=" << c.heartbeat_expiries << " events_sent=" << c.events_sent
      << " event_retransmissions=" << c.event_retransmissions << " event_acks=" << c.event_acks
      << " unexpected_acks=" << c.unexpected_acks << " event_timeouts=" << c.event_timeouts
      << " event_acks_ignored=" << c.event_acks_ignored;
  for (std::size_t ch = 0; ch < status.streams.size(); ++ch) {
    const auto& s = status.streams[ch];
    out << " stream" << ch << "_running=" << (status.streaming[ch] ? 1 : 0) << " stream" << ch
        << "_frames=" << s.frames_sent << " stream" << ch << "_packets=" << s.packets_sent << " stream" << ch
        << "_resent=" << s.packets_resent << " stream" << ch << "_unavailable=" << s.resend_unavailable
        << " stream" << ch << "_refused=" << s.packets_refused;
  }
  return out.str();
}

// A further record of an EVENT: "ID:BLOCK:TIMESTAMP".
std::optional<EventRecordFields> further_record(std::string_view text, std::uint16_t channel) {
  const auto first = text.find(':');
  const auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const auto id = parse_number(text.substr(0, first));
  const auto block = parse_number(text.substr(first + 1, second - first - 1));
  const auto timestamp = parse_number(text.substr(second + 1));
  if (!id || *id > 0xFFFF || !block || !timestamp) return std::nullopt;
  return EventRecordFields{static_cast<std::uint16_t>(*id), channel, *block, *timestamp};
}

// Sends an EVENT or EVENTDATA from the words after the command name.
std::string event_command(VirtualCamera& camera, const std::vector<std::string>& words, bool with_data) {
  if (words.size() < 2) return "error usage: " + words[0] + " ID [ack] [channel=N] [block=N] [timestamp=T]";
  EventMessage event;
  event.with_data = with_data;
  const auto id = parse_number(words[1]);
  if (!id || *id > 0xFFFF) return "error bad event id '" + words[1] + "'";
  event.event_id = static_cast<std::uint16_t>(*id);
  std::vector<std::string_view> also;
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "ack" || word == "extended") {
      (word == "ack" ? event.ack_required : event.extended) = true;
      continue;
    }
    const auto eq = word.find('=');
    const std::string key = word.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (key == "data" && with_data) {
      auto bytes = parse_hex_bytes(value);
      if (!bytes || bytes->size() > MAX_EVENT_DATA) return "error bad data '" + value + "'";
      event.data = std::move(*bytes);
    } else if (key == "also" && !with_data && also.size() + 1 < MAX_EVENT_RECORDS) {
      also.push_back(std::string_view(word).substr(eq + 1));
    } else if (const auto number = parse_number(value); !number) {
      return "error bad argument '" + word + "'";
    } else if (key == "channel" && *number <= 0xFFFF) {
      event.stream_channel = static_cast<std::uint16_t>(*number);
    } else if (key == "block") {
      event.block_id = *number;
    } else if (key == "timestamp") {
      event.timestamp = *number;
    } else {
      return "error bad argument '" + word + "'";
    }
  }
  for (const std::string_view text : also) {
    const auto record = further_record(text, event.stream_channel);
    if (!record) return "error bad argument 'also=" + std::string(text) + "'";
    event.further.push_back(*record);
  }
  const auto sent = camera.send_event(event);
  if (!sent) return "error " + sent.error();
  return "ok id=" + std::to_string(*sent);
}

std::string stream_faults_command(VirtualCamera& camera, const std::vector<std::string>& words) {
  if (words.size() < 2)
    return "error usage: stream-faults CHANNEL [loss=P] [reorder=P] [duplicate=P] [seed=N] [lying-chunks=0|1]";
  const auto channel = parse_number(words[1]);
  if (!channel || *channel >= static_cast<std::uint64_t>(reg::STREAM_CHANNEL_COUNT)) {
    return "error bad channel '" + words[1] + "'";
  }
  StreamFaults faults;
  for (std::size_t i = 2; i < words.size(); ++i) {
    const auto eq = words[i].find('=');
    const std::string key = words[i].substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : words[i].substr(eq + 1);
    if (key == "seed") {
      const auto seed = parse_number(value);
      if (!seed) return "error bad argument '" + words[i] + "'";
      faults.seed = *seed;
      continue;
    }
    if (key == "lying-chunks") {
      if (value != "0" && value != "1") return "error bad argument '" + words[i] + "'";
      faults.lying_chunk_length = value == "1";
      continue;
    }
    const auto p = parse_real(value);
    if (!p || !(*p >= 0.0 && *p <= 1.0)) return "error bad argument '" + words[i] + "'";
    if (key == "loss") {
      faults.loss = *p;
    } else if (key == "reorder") {
      faults.reorder = *p;
    } else if (key == "duplicate") {
      faults.duplicate = *p;
    } else {
      return "error bad argument '" + words[i] + "'";
    }
  }
  camera.set_stream_faults(static_cast<int>(*channel), faults);
  return "ok";
}

// The CRC-32 of a frame's payload as the camera sends it, so a client's
// frame can be checked byte for byte without shipping the bytes.
std::string pattern_crc_command(VirtualCamera& camera, const std::vector<std::string>& words) {
  constexpr std::uint64_t MAX_SIZE = 64ull << 20;
  if (words.size() != 3) return "error usage: pattern-crc32 BLOCK SIZE";
  const auto block = parse_number(words[1]);
  if (!block) return "error bad block id '" + words[1] + "'";
  const auto size = parse_number(words[2]);
  if (!size || *size > MAX_SIZE) return "error bad size '" + words[2] + "'";
  std::vector<std::uint8_t> payload(*size);
  fill_payload(camera.payload_layout(*block), 0, payload);
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), payload.data(), static_cast<uInt>(payload.size()));
  return "ok crc32=" + std::to_string(crc);
}

std::string error_status_command(VirtualCamera& camera, const std::vector<std::string>& words) {
  if (words.size() < 3 || words.size() > 4)
    return "error usage: error-status ADDRESS STATUS [read|write|both]";
  const auto address = parse_u32(words[1]);
  if (!address) return "error bad address '" + words[1] + "'";
  const auto status = parse_number(words[2]);
  if (!status || *status > 0xFFFF) return "error bad status '" + words[2] + "'";
  InjectedStatus injected;
  injected.status = static_cast<std::uint16_t>(*status);
  if (words.size() == 4) {
    if (words[3] == "read") {
      injected.writes = false;
    } else if (words[3] == "write") {
      injected.reads = false;
    } else if (words[3] != "both") {
      return "error bad access '" + words[3] + "'";
    }
  }
  camera.inject_status(*address, injected);
  return "ok";
}

// One control command; the reply line, or nothing for "quit".
std::optional<std::string> control(VirtualCamera& camera, const std::string& line) {
  const auto words = split(line);
  if (words.empty()) return "error empty command";
  const std::string& name = words[0];
  auto count_arg = [&](auto apply) -> std::string {
    if (words.size() != 2) return "error usage: " + name + " N";
    const auto n = parse_u32(words[1]);
    if (!n) return "error bad number '" + words[1] + "'";
    apply(*n);
    return "ok";
  };
  auto switch_arg = [&](auto apply) -> std::string {
    if (words.size() != 2) return "error usage: " + name + " on|off";
    const auto on = parse_switch(words[1]);
    if (!on) return "error expected on or off, got '" + words[1] + "'";
    apply(*on);
    return "ok";
  };

  if (name == "quit") return std::nullopt;
  if (name == "status") return status_line(camera.status());
  if (name == "drop-acks") return count_arg([&](std::uint32_t n) { camera.drop_acks(n); });
  if (name == "ignore-event-acks") return count_arg([&](std::uint32_t n) { camera.ignore_event_acks(n); });
  if (name == "duplicate-acks") return count_arg([&](std::uint32_t n) { camera.duplicate_acks(n); });
  if (name == "reorder-acks") return count_arg([&](std::uint32_t n) { camera.reorder_acks(n); });
  if (name == "delay-acks") return count_arg([&](std::uint32_t n) { camera.set_ack_delay(n); });
  if (name == "path-mtu") return count_arg([&](std::uint32_t n) { camera.set_path_mtu(n); });
  if (name == "silence") return switch_arg([&](bool on) { camera.set_silent(on); });
  if (name == "ignore-heartbeats") return switch_arg([&](bool on) { camera.set_ignore_heartbeats(on); });
  if (name == "extended-ids") return switch_arg([&](bool on) { camera.set_extended_ids(on); });
  if (name == "expire-heartbeat") {
    camera.expire_heartbeat();
    return "ok";
  }
  if (name == "error-status") return error_status_command(camera, words);
  if (name == "error-status-clear") {
    if (words.size() != 2) return "error usage: error-status-clear ADDRESS|all";
    if (words[1] == "all") {
      camera.clear_statuses();
      return "ok";
    }
    const auto address = parse_u32(words[1]);
    if (!address) return "error bad address '" + words[1] + "'";
    camera.clear_status(*address);
    return "ok";
  }
  if (name == "pending") {
    if (words.size() < 3 || words.size() > 4) return "error usage: pending COMMAND[@ADDRESS] MS [DONE_MS]";
    const auto rule = parse_pending(
        words[1], words[2], words.size() == 4 ? std::optional<std::string_view>(words[3]) : std::nullopt);
    if (!rule) return "error bad pending rule '" + line.substr(line.find(words[1])) + "'";
    camera.add_pending(*rule);
    return "ok";
  }
  if (name == "pending-clear") {
    camera.clear_pending();
    return "ok";
  }
  if (name == "stream-faults") return stream_faults_command(camera, words);
  if (name == "pattern-crc32") return pattern_crc_command(camera, words);
  if (name == "url") {
    if (words.size() < 2 || (words[1] != "1" && words[1] != "2")) return "error usage: url 1|2 TEXT";
    // The text is the rest of the line after the index, blanks inside kept.
    const auto start = line.find(words[1]) + 1;
    const auto text_start = line.find_first_not_of(" \t", start);
    camera.set_url(words[1] == "1" ? 0 : 1, text_start == std::string::npos ? "" : line.substr(text_start));
    return "ok";
  }
  if (name == "event") return event_command(camera, words, false);
  if (name == "eventdata") return event_command(camera, words, true);
  if (name == "clear-faults") {
    camera.clear_faults();
    return "ok";
  }
  return "error unknown command '" + name + "'";
}

// Answers control lines from stdin until "quit", SIGINT or SIGTERM (read
// from `signals`, a signalfd), or the end of stdin with `quit_at_eof`.
// True when the control channel ended it ("quit" or the end of stdin).
//
// The Python handle passes --quit-at-eof: the end of its pipe means the
// process that started the camera is gone (it ended or was killed), and the
// camera must not outlive it. PR_SET_PDEATHSIG is no substitute: it fires
// when the *thread* that started the program ends, which in a threaded
// Python program is often long before the process does.
bool serve(VirtualCamera& camera, int signals, bool quit_at_eof) {
  pollfd fds[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  nfds_t watched = 2;
  std::string pending;
  char buffer[4096];
  for (;;) {
    const int ready = ::poll(fds, watched, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents != 0) return false;  // SIGINT or SIGTERM
    if (watched < 2 || fds[1].revents == 0) continue;
    const ssize_t got = (fds[1].revents & POLLNVAL) ? 0 : ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // EIO: a terminal this process is in the background of (SIGTTIN is
    // ignored, see quit_signal_fd); commands cannot come from there.
    if (got <= 0) {
      // The end of stdin (or no stdin at all): a last line without its
      // newline still counts.
      if (!pending.empty()) {
        const auto reply = control(camera, pending);
        if (!reply) return true;
        std::cout << *reply << std::endl;
        pending.clear();
      }
      if (quit_at_eof) return true;
      watched = 1;  // from now on only a signal ends it
      continue;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      const auto reply = control(camera, line);
      if (!reply) return true;
      std::cout << *reply << std::endl;
    }
  }
}

int usage_error(const std::string& message) {
  std::cout << "error " << message << " (see corvantic-sim --help)" << std::endl;
  return 2;
}

// What the command line asks for.
struct Options {
  VirtualCameraConfig config;
  std::vector<PendingRule> pending;
  bool quit_at_eof = false;
};

// A signalfd for SIGINT and SIGTERM, or -1 with errno set. The signals are
// blocked here, before any thread exists, so every thread the camera starts
// inherits the mask and the signal waits for serve(). Their dispositions go
// back to the default first: a shell starts a background command with
// SIGINT ignored, and `kill -INT` must still end it.
int quit_signal_fd() {
  sigset_t quit_signals;
  sigemptyset(&quit_signals);
  sigaddset(&quit_signals, SIGINT);
  sigaddset(&quit_signals, SIGTERM);
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  // Reading a terminal from the background of an interactive shell then
  // fails instead of stopping the process.
  std::signal(SIGTTIN, SIG_IGN);
  pthread_sigmask(SIG_BLOCK, &quit_signals, nullptr);
  return signalfd(-1, &quit_signals, SFD_CLOEXEC);
}

// Applies `arg` when it is an option without a value; false when it is not one.
bool set_switch(const std::string& arg, Options& options) {
  VirtualCameraConfig& config = options.config;
  if (arg == "--no-concatenation") {
    config.capabilities &= ~reg::cap::CONCATENATION;
  } else if (arg == "--no-writemem") {
    config.capabilities &= ~reg::cap::WRITEMEM;
  } else if (arg == "--no-packetresend") {
    config.capabilities &= ~reg::cap::PACKETRESEND;
  } else if (arg == "--writes-need-control") {
    config.writes_need_control = true;
  } else if (arg == "--extended-ids") {
    config.extended_ids = true;
  } else if (arg == "--no-segmentation-offload") {
    config.segmentation_offload = false;
  } else if (arg == "--no-single-frame") {
    config.single_frame_entry = false;
  } else if (arg == "--listen-broadcast") {
    config.listen_broadcast = true;
  } else if (arg == "--quit-at-eof") {
    options.quit_at_eof = true;
  } else {
    return false;
  }
  return true;
}

// The --pending option's COMMAND[@ADDRESS]:MS[:DONE_MS].
std::optional<PendingRule> parse_pending_option(std::string_view text) {
  const auto first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = text.find(':', first + 1);
  return parse_pending(
      text.substr(0, first),
      text.substr(first + 1, second == std::string_view::npos ? second : second - first - 1),
      second == std::string_view::npos ? std::nullopt
                                       : std::optional<std::string_view>(text.substr(second + 1)));
}

// Applies the option `arg`, one of VALUED_OPTIONS, with its value `v`; the
// usage error when the value is bad.
std::optional<std::string> set_valued(const std::string& arg, const std::string& v, Options& options) {
  VirtualCameraConfig& config = options.config;
  if (arg == "--address") {
    config.address = v;
  } else if (arg == "--capabilities") {
    const auto n = parse_u32(v);
    if (!n) return "bad capability word '" + v + "'";
    // The whole word: --no-* options take effect when given after it.
    config.capabilities = *n;
  } else if (arg == "--description") {
    if (!parse_description_form(v, config.description)) return "bad description form '" + v + "'";
  } else if (arg == "--tick-frequency") {
    const auto n = parse_number(v);
    if (!n || *n == 0) return "bad tick frequency '" + v + "'";
    config.tick_frequency = *n;
  } else if (arg == "--frame-rate") {
    const auto r = parse_real(v);
    if (!r || !(*r >= 0.0 && *r <= 10000.0)) return "bad frame rate '" + v + "'";
    config.frame_rate = *r;
  } else if (arg == "--width" || arg == "--height") {
    const auto n = parse_u32(v);
    if (!n) return "bad " + arg.substr(2) + " '" + v + "'";
    (arg == "--width" ? config.width : config.height) = *n;
  } else if (arg == "--heartbeat-timeout") {
    const auto n = parse_u32(v);
    if (!n) return "bad heartbeat timeout '" + v + "'";
    config.heartbeat_timeout_ms = *n;
  } else if (arg == "--pending") {
    const auto rule = parse_pending_option(v);
    if (!rule) return "bad pending rule '" + v + "'";
    options.pending.push_back(*rule);
  } else if (arg == "--path-mtu") {
    const auto n = parse_u32(v);
    if (!n) return "bad path MTU '" + v + "'";
    config.path_mtu = *n;
  } else if (arg == "--serial") {
    config.serial = v;
  } else if (arg == "--user-name") {
    config.user_name = v;
  }
  return std::nullopt;
}

// Reads the command line into `options`. The exit status when the program
// ends here: 0 after --help, 2 after a usage error (both printed).
std::optional<int> parse_arguments(const std::vector<std::string>& args, Options& options) {
  static const std::set<std::string> VALUED_OPTIONS = {
      "--address",    "--capabilities", "--description", "--tick-frequency",
      "--frame-rate", "--width",        "--height",      "--heartbeat-timeout",
      "--pending",    "--path-mtu",     "--serial",      "--user-name"};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << HELP;
      return 0;
    }
    if (set_switch(arg, options)) continue;
    if (!VALUED_OPTIONS.contains(arg)) return usage_error("unknown option " + arg);
    if (i + 1 >= args.size()) return usage_error("option " + arg + " needs a value");
    if (const auto error = set_valued(arg, args[++i], options)) return usage_error(*error);
  }
  return std::nullopt;
}

// Runs the camera until serve() ends; the exit status.
int run(const Options& options, int signals) {
  VirtualCamera camera(options.config);
  for (const auto& rule : options.pending) camera.add_pending(rule);
  if (const auto started = camera.start(); !started) {
    std::cout << "error " << started.error() << std::endl;
    return 1;
  }
  std::cout << "ready " << options.config.address << std::endl;
  const bool by_command = serve(camera, signals, options.quit_at_eof);
  camera.stop();
  if (by_command) std::cout << "ok" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int signals = quit_signal_fd();
  if (signals < 0) {
    std::cout << "error signalfd: " << std::strerror(errno) << std::endl;
    return 1;
  }
  Options options;
  if (const auto status = parse_arguments(std::vector<std::string>(argv + 1, argv + argc), options)) {
    return *status;
  }
  return run(options, signals);
}
