// The stream side of the virtual camera: one GvspStreamer per stream channel
// sends GVSP frames (leader, data packets, trailer) to the host, answers
// PACKETRESEND requests from a history of recent frames, sends fire-test
// packets, and injects loss, reordering and duplication on demand.
//
// The control side (the register map) owns one streamer per channel and
// drives it: it calls configure() whenever a stream channel register or an
// image feature changes, start()/stop() on AcquisitionStart/AcquisitionStop,
// fire_test() on a write of SCPS with bit 31 set, and resend() when a
// PACKETRESEND command arrives. All methods are thread-safe.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "sim/gvsp_packet.hpp"

namespace corvantic::sim {

enum class AcquisitionMode : std::uint8_t { Continuous, SingleFrame, MultiFrame };

// Pixel format codes as GigE Vision leaders carry them.
inline constexpr std::uint32_t PIXEL_MONO8 = 0x01080001;
inline constexpr std::uint32_t PIXEL_MONO16 = 0x01100007;
inline constexpr std::uint32_t PIXEL_RGB8 = 0x02180014;

// Everything a frame's bytes and packets depend on. Copied at start(); a
// configure() while running takes effect from the next frame on.
struct StreamConfig {
  sockaddr_in destination{};          // SCDA:SCP resolved by the control side (never 0:0 when started)
  std::uint16_t packet_size = 1500;   // SCPS low 16 bits: whole IP datagram size
  bool do_not_fragment = false;       // SCPS bit 30
  std::uint32_t packet_delay = 0;     // SCPD, in timestamp ticks between packets
  bool extended_ids = false;          // extended-id (EI) header form
  std::uint32_t pixel_format = PIXEL_MONO8;
  std::uint32_t width = 64, height = 48, offset_x = 0, offset_y = 0;
  std::uint32_t test_pattern = 0;     // selects the payload (fill_payload in gvsp_packet.hpp)
  // Chunk mode and what the chunks report (FrameLayout in gvsp_packet.hpp).
  bool chunk_mode = false;
  std::uint32_t chunks = 0;
  std::uint64_t exposure_bits = 0;
  std::uint32_t gain_bits = 0;
  std::uint32_t image_flags = 0;
  AcquisitionMode mode = AcquisitionMode::Continuous;
  std::uint32_t frame_count = 1;      // frames sent in MultiFrame mode
  double frame_rate = 30.0;           // frames per second; 0 = as fast as possible
  std::uint32_t path_mtu = 9216;      // largest IP datagram the simulated path carries
  std::uint64_t first_block_id = 0;   // block id of the first frame after start(); 0 = go on counting
};

// The frame `config` describes, as frame `block_id`: header form, packet
// size, image geometry, format, test pattern and chunks (the rest is
// planned later).
[[nodiscard]] FrameLayout frame_layout(const StreamConfig& config, std::uint64_t block_id = 0);

// Faults injected into stream packets, drawn from a seeded generator.
struct StreamFaults {
  double loss = 0.0;        // probability a packet is not sent (first transmission only)
  double reorder = 0.0;     // probability a packet is held back and sent after its successor
  double duplicate = 0.0;   // probability a packet is sent twice
  std::uint64_t seed = 1;
  // Test packets no larger than this many bytes (IP datagram), as a device
  // that answers every fire test with a packet of its own size; 0: as asked.
  std::uint32_t fire_test_limit = 0;
  // In chunk mode, the last chunk's tag claims more bytes than the whole
  // payload holds (a layout that lies about its lengths).
  bool lying_chunk_length = false;
};

struct StreamCounters {
  std::uint64_t frames_sent = 0;
  std::uint64_t packets_sent = 0;
  std::uint64_t packets_resent = 0;
  std::uint64_t resend_unavailable = 0;   // requested packets no longer in history
  std::uint64_t packets_refused = 0;      // packets the kernel would not send (too big for the path, link down)
};

class GvspStreamer {
 public:
  // `socket_fd` is the device's own UDP socket bound to its address; the
  // streamer reads that address from it and sends stream packets from a
  // socket of its own bound to the same IP (port chosen by the system). The
  // streamer does not use or close `socket_fd` afterwards. `tick_frequency`
  // is the device timestamp rate in Hz. Without `segmentation_offload` every
  // packet is a send of its own: a capture on loopback, which sees a UDP GSO
  // message before the receiver splits it, then shows the datagrams a link
  // would carry.
  GvspStreamer(int channel, int socket_fd, std::uint64_t tick_frequency, bool segmentation_offload = true);
  ~GvspStreamer();
  GvspStreamer(const GvspStreamer&) = delete;
  GvspStreamer& operator=(const GvspStreamer&) = delete;

  void configure(const StreamConfig& config);
  void set_faults(const StreamFaults& faults);
  // Starts sending frames; `on_finished` runs on the sender thread when a
  // SingleFrame or MultiFrame acquisition has sent its last frame.
  void start(std::function<void()> on_finished);
  void stop();
  [[nodiscard]] bool running() const;
  // Called on the sender thread with the block id and timestamp of each new
  // frame (not of resends) as its exposure ends, before the frame is sent.
  // It must not wait for anything that waits for this streamer.
  void set_exposure_observer(std::function<void(std::uint64_t block_id, std::uint64_t timestamp)> observer);
  // Whether the send that ends a SingleFrame or MultiFrame acquisition has
  // begun: the acquisition ends as soon as it returns.
  [[nodiscard]] bool sending_final_frame() const;

  // Sends one test packet of `ip_datagram_size` bytes (IP + UDP + payload)
  // to the configured destination, unless it exceeds the path MTU.
  void fire_test(std::uint32_t ip_datagram_size);

  // Re-sends packets first..last of block `block_id` from history. Packets
  // that are gone are answered with a GVSP packet carrying the error status
  // 0x800C (packet unavailable) and no payload. `block_id` is the id as the
  // frame carried it: 16 bits in the standard form (without the channel
  // index of a standard PACKETRESEND), 64 bits in the extended form.
  void resend(std::uint64_t block_id, std::uint32_t first_packet, std::uint32_t last_packet);

  [[nodiscard]] StreamCounters counters() const;
  // Device timestamp now, in ticks.
  [[nodiscard]] std::uint64_t timestamp() const;

  // The deterministic test pattern: byte `index` of frame `block_id`'s
  // payload, so tests can check every byte of a received frame.
  [[nodiscard]] static std::uint8_t pattern_byte(std::uint32_t test_pattern, std::uint64_t block_id,
                                                 std::uint64_t index);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvantic::sim
