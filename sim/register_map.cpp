#include "sim/register_map.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "gige/proto/gvcp_status.hpp"
#include "sim/description.hpp"
#include "sim/gvsp_packet.hpp"
#include "util/bytes.hpp"

namespace corvantic::sim {
namespace {

using Status = gige::proto::GvcpStatus;

constexpr std::uint32_t IMAGE_FLAGS_MASK = 0x000000F3;  // ReverseX, ReverseY, DigitalShift (bits 4..7)
constexpr std::uint32_t MAX_DIGITAL_SHIFT = 4;
constexpr std::uint32_t MAX_BINNING_RAW = 3;
constexpr std::uint32_t MIN_PACKET_SIZE = 100;
constexpr std::uint32_t MAX_PACKET_SIZE = 9216;
constexpr std::uint32_t CCP_KNOWN_BITS = reg::CCP_EXCLUSIVE | reg::CCP_CONTROL | reg::CCP_SWITCHOVER_ENABLE;

void put_text(std::span<std::uint8_t> field, std::string_view text) {
  std::fill(field.begin(), field.end(), 0);
  std::memcpy(field.data(), text.data(), std::min(text.size(), field.size()));
}

float float_of(std::uint32_t bits) {
  return std::bit_cast<float>(bits);
}
std::uint32_t bits_of(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

bool valid_pixel_format(std::uint32_t format) {
  return format == PIXEL_MONO8 || format == PIXEL_MONO16 || format == PIXEL_RGB8;
}

std::uint32_t bytes_per_pixel(std::uint32_t format) {
  return ((format >> 16) & 0xFF) / 8;
}

std::unexpected<std::uint16_t> fail(std::uint16_t status) {
  return std::unexpected(status);
}

}  // namespace

RegisterMap::RegisterMap(RegisterMapConfig config) : config_(std::move(config)) {
  const auto& id = config_.identity;
  std::uint8_t* b = bootstrap_.data();
  util::store_be32(b + reg::VERSION, 0x00020000);      // GigE Vision 2.0
  util::store_be32(b + reg::DEVICE_MODE, 0x80000001);  // big-endian registers, transmitter, UTF-8 texts
  util::store_be32(b + reg::MAC_HIGH, (std::uint32_t{id.mac[0]} << 8) | id.mac[1]);
  util::store_be32(b + reg::MAC_LOW, util::load_be32(id.mac.data() + 2));
  util::store_be32(b + reg::SUPPORTED_IP_CONFIG, 0x00000007);  // persistent IP, DHCP, link-local
  util::store_be32(b + reg::CURRENT_IP_CONFIG, 0x00000005);    // persistent IP, link-local
  util::store_be32(b + reg::CURRENT_IP, id.ip);
  util::store_be32(b + reg::SUBNET_MASK, id.subnet_mask);
  util::store_be32(b + reg::GATEWAY, id.gateway);
  put_text({b + reg::MANUFACTURER_NAME, 32}, id.manufacturer);
  put_text({b + reg::MODEL_NAME, 32}, id.model);
  put_text({b + reg::DEVICE_VERSION, 32}, id.device_version);
  put_text({b + reg::MANUFACTURER_INFO, 48}, id.manufacturer_info);
  put_text({b + reg::SERIAL_NUMBER, 16}, id.serial);
  put_text({b + reg::USER_DEFINED_NAME, 16}, id.user_name);

  const auto url = local_url(config_.description_file, reg::DESCRIPTION_BASE,
                             static_cast<std::uint32_t>(config_.description.size()));
  set_url(0, url);
  set_url(1, url);

  heartbeat_timeout_ms_ = std::max(config_.heartbeat_timeout_ms, MIN_HEARTBEAT_TIMEOUT_MS);
  width_ = std::clamp<std::uint32_t>(config_.width & ~3u, 16, SENSOR_WIDTH);
  height_ = std::clamp<std::uint32_t>(config_.height, 8, SENSOR_HEIGHT);
  exposure_bits_ = std::bit_cast<std::uint64_t>(10000.0);
  gain_bits_ = bits_of(1.5f);
  frame_rate_bits_ = bits_of(config_.frame_rate);
  for (std::size_t i = 0; i < user_data_.size(); ++i) user_data_[i] = static_cast<std::uint8_t>(i);
  if (!config_.timestamp) {
    const auto start = Clock::now();
    const auto frequency = config_.tick_frequency;
    config_.timestamp = [start, frequency] {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
      return static_cast<std::uint64_t>(static_cast<long double>(ns) * frequency / 1e9L);
    };
  }
}

void RegisterMap::set_url(int index, std::string_view text) {
  auto& url = urls_[static_cast<std::size_t>(index & 1)];
  put_text(std::span(url).first(reg::URL_SIZE - 1), text);
  url[reg::URL_SIZE - 1] = 0;
}

std::vector<std::uint8_t> RegisterMap::discovery_block() const {
  return {bootstrap_.begin(), bootstrap_.begin() + 248};
}

// ---------------------------------------------------------------- privilege

bool RegisterMap::excluded(const Peer& who) const {
  return holder_ && *holder_ != who && (ccp_ & reg::CCP_EXCLUSIVE) != 0;
}

std::uint16_t RegisterMap::precheck(const Access& access, Op op, std::uint32_t address) const {
  if (excluded(access.who)) return Status::ACCESS_DENIED;
  if (op == Op::Write) {
    if (holder_ && *holder_ != access.who) return Status::ACCESS_DENIED;
    if (!holder_ && config_.writes_need_control && address != reg::CCP) return Status::ACCESS_DENIED;
  }
  if (auto it = injected_.find(address); it != injected_.end()) {
    if ((op == Op::Read && it->second.reads) || (op == Op::Write && it->second.writes))
      return it->second.status;
  }
  return Status::SUCCESS;
}

void RegisterMap::note_command(const Access& access) {
  if (holder_ && *holder_ == access.who) last_seen_ = access.now;
}

std::optional<Clock::time_point> RegisterMap::control_deadline() const {
  if (!holder_ || (gvcp_configuration_ & 0x1) != 0) return std::nullopt;
  return last_seen_ + std::chrono::milliseconds(heartbeat_timeout_ms_);
}

bool RegisterMap::expire_control(Clock::time_point now, Effects& effects) {
  const auto deadline = control_deadline();
  if (!deadline || now < *deadline) return false;
  release_control(effects);
  return true;
}

bool RegisterMap::force_release(Effects& effects) {
  if (!holder_) return false;
  release_control(effects);
  return true;
}

void RegisterMap::release_control(Effects& effects) {
  holder_.reset();
  ccp_ = 0;
  gvcp_configuration_ = 0;
  mcp_ = 0;
  tl_params_locked_ = 0;
  for (int c = 0; c < reg::STREAM_CHANNEL_COUNT; ++c) {
    channels_[static_cast<std::size_t>(c)].scp = 0;
    effects.stream_changed[static_cast<std::size_t>(c)] = true;
  }
  effects.acquisition_stop = true;
  effects.control_released = true;
}

std::expected<void, std::uint16_t> RegisterMap::write_ccp(const Access& access, std::uint32_t value,
                                                          Effects& effects) {
  const bool wants_control = (value & (reg::CCP_CONTROL | reg::CCP_EXCLUSIVE)) != 0;
  if (holder_) {
    // Only the holder gets here (precheck refuses the others).
    if (!wants_control) {
      release_control(effects);
    } else {
      ccp_ = value & CCP_KNOWN_BITS;
      last_seen_ = access.now;
    }
    return {};
  }
  if (wants_control) {
    holder_ = access.who;
    ccp_ = value & CCP_KNOWN_BITS;
    last_seen_ = access.now;
  }
  return {};
}

// ---------------------------------------------------------------- access

void RegisterMap::inject_status(std::uint32_t address, InjectedStatus injected) {
  injected_[address & ~3u] = injected;
}
void RegisterMap::clear_injected_status(std::uint32_t address) {
  injected_.erase(address & ~3u);
}
void RegisterMap::clear_all_injected_statuses() {
  injected_.clear();
}

std::expected<std::uint32_t, std::uint16_t> RegisterMap::read_register(const Access& access,
                                                                       std::uint32_t address) {
  if (const auto status = precheck(access, Op::Read, address); status != Status::SUCCESS) return fail(status);
  return load_word(address);
}

std::expected<void, std::uint16_t> RegisterMap::write_register(const Access& access, std::uint32_t address,
                                                               std::uint32_t value, Effects& effects) {
  if (const auto status = precheck(access, Op::Write, address); status != Status::SUCCESS)
    return fail(status);
  return store_word(access, address, value, effects);
}

std::expected<void, std::uint16_t> RegisterMap::read_memory(const Access& access, std::uint32_t address,
                                                            std::span<std::uint8_t> out) {
  for (std::size_t offset = 0; offset < out.size(); offset += 4) {
    const std::uint64_t at = std::uint64_t{address} + offset;
    if (at > 0xFFFFFFFF) return fail(Status::INVALID_ADDRESS);
    auto word = read_register(access, static_cast<std::uint32_t>(at));
    if (!word) return fail(word.error());
    util::store_be32(out.data() + offset, *word);
  }
  return {};
}

RegisterMap::WriteResult RegisterMap::write_memory(const Access& access, std::uint32_t address,
                                                   std::span<const std::uint8_t> data, Effects& effects) {
  WriteResult result;
  for (std::size_t offset = 0; offset + 4 <= data.size(); offset += 4) {
    const std::uint64_t at = std::uint64_t{address} + offset;
    if (at > 0xFFFFFFFF) {
      result.status = Status::INVALID_ADDRESS;
      return result;
    }
    auto written =
        write_register(access, static_cast<std::uint32_t>(at), util::load_be32(data.data() + offset), effects);
    if (!written) {
      result.status = written.error();
      return result;
    }
    result.written = offset + 4;
  }
  return result;
}

std::uint32_t RegisterMap::payload_size() const {
  return width_ * height_ * bytes_per_pixel(pixel_format_) + (chunk_mode_ ? chunk_data_size(chunks_) : 0);
}

std::uint16_t RegisterMap::stream_port(int channel) const {
  return static_cast<std::uint16_t>(channels_[static_cast<std::size_t>(channel)].scp & 0xFFFF);
}

StreamConfig RegisterMap::stream_config(int channel) const {
  const auto& ch = channels_[static_cast<std::size_t>(channel)];
  StreamConfig config;
  config.destination.sin_family = AF_INET;
  config.destination.sin_addr.s_addr = htonl(ch.scda);
  config.destination.sin_port = htons(static_cast<std::uint16_t>(ch.scp & 0xFFFF));
  config.packet_size = static_cast<std::uint16_t>(ch.scps & 0xFFFF);
  config.do_not_fragment = (ch.scps & reg::SCPS_DO_NOT_FRAGMENT) != 0;
  config.packet_delay = ch.scpd;
  config.pixel_format = pixel_format_;
  config.width = width_;
  config.height = height_;
  config.offset_x = offset_x_;
  config.offset_y = offset_y_;
  config.test_pattern = test_pattern_;
  config.chunk_mode = chunk_mode_;
  config.chunks = chunks_;
  config.exposure_bits = exposure_bits_;
  config.gain_bits = gain_bits_;
  config.image_flags = image_flags_;
  config.mode = acquisition_mode_ == 1   ? AcquisitionMode::SingleFrame
                : acquisition_mode_ == 2 ? AcquisitionMode::MultiFrame
                                         : AcquisitionMode::Continuous;
  config.frame_count = frame_count_;
  config.frame_rate = static_cast<double>(float_of(frame_rate_bits_));
  return config;
}

// ---------------------------------------------------------------- load

std::expected<std::uint32_t, std::uint16_t> RegisterMap::load_word(std::uint32_t address) const {
  if (address < reg::BOOTSTRAP_BLOCK_END) return util::load_be32(bootstrap_.data() + address);
  if (address >= reg::FIRST_URL && address < reg::SECOND_URL + reg::URL_SIZE) {
    const auto& url = urls_[address < reg::SECOND_URL ? 0 : 1];
    return util::load_be32(url.data() + (address - reg::FIRST_URL) % reg::URL_SIZE);
  }
  if (address >= reg::DESCRIPTION_BASE) {
    const std::uint64_t offset = address - reg::DESCRIPTION_BASE;
    const auto& doc = config_.description;
    if (offset >= (doc.size() + 3) / 4 * 4) return fail(Status::INVALID_ADDRESS);
    std::uint8_t word[4] = {};
    for (std::size_t i = 0; i < 4; ++i) {
      if (offset + i < doc.size()) word[i] = doc[offset + i];
    }
    return util::load_be32(word);
  }
  if (address >= reg::USER_DATA && address < reg::USER_DATA + reg::USER_DATA_SIZE) {
    return util::load_be32(user_data_.data() + (address - reg::USER_DATA));
  }
  if (address >= reg::STREAM_CHANNEL_BASE && address < reg::stream_register(reg::STREAM_CHANNEL_COUNT, 0)) {
    const auto& ch = channels_[(address - reg::STREAM_CHANNEL_BASE) / reg::STREAM_CHANNEL_STRIDE];
    switch ((address - reg::STREAM_CHANNEL_BASE) % reg::STREAM_CHANNEL_STRIDE) {
      case reg::SCP: return ch.scp;
      case reg::SCPS: return ch.scps;
      case reg::SCPD: return ch.scpd;
      case reg::SCDA: return ch.scda;
      default: return fail(Status::INVALID_ADDRESS);
    }
  }
  switch (address) {
    case reg::NETWORK_INTERFACES: return 1u;
    case reg::MESSAGE_CHANNELS: return 1u;
    case reg::STREAM_CHANNELS: return static_cast<std::uint32_t>(reg::STREAM_CHANNEL_COUNT);
    case reg::GVCP_CAPABILITY: return config_.capabilities;
    case reg::HEARTBEAT_TIMEOUT: return heartbeat_timeout_ms_;
    case reg::TICK_FREQUENCY_HIGH: return static_cast<std::uint32_t>(config_.tick_frequency >> 32);
    case reg::TICK_FREQUENCY_LOW: return static_cast<std::uint32_t>(config_.tick_frequency);
    case reg::TIMESTAMP_CONTROL: return 0u;  // write-only; reads as 0
    case reg::TIMESTAMP_VALUE_HIGH: return static_cast<std::uint32_t>(latched_timestamp_ >> 32);
    case reg::TIMESTAMP_VALUE_LOW: return static_cast<std::uint32_t>(latched_timestamp_);
    case reg::GVCP_CONFIGURATION: return gvcp_configuration_;
    case reg::PENDING_TIMEOUT: return config_.pending_timeout_ms;
    case reg::CCP: return ccp_;
    case reg::PRIMARY_APPLICATION_PORT: return holder_ ? std::uint32_t{holder_->port} : 0u;
    case reg::PRIMARY_APPLICATION_IP: return holder_ ? holder_->ip : 0u;
    case reg::MCP: return mcp_;
    case reg::MCDA: return mcda_;
    case reg::MCTT: return mctt_;
    case reg::MCRC: return mcrc_;
    case reg::MCSP: return 3956u;
    case reg::WIDTH: return width_;
    case reg::HEIGHT: return height_;
    case reg::OFFSET_X: return offset_x_;
    case reg::OFFSET_Y: return offset_y_;
    case reg::PIXEL_FORMAT: return pixel_format_;
    case reg::PAYLOAD_SIZE: return payload_size();
    case reg::SENSOR_WIDTH: return SENSOR_WIDTH;
    case reg::SENSOR_HEIGHT: return SENSOR_HEIGHT;
    case reg::ACQUISITION_MODE: return acquisition_mode_;
    case reg::ACQUISITION_FRAME_COUNT: return frame_count_;
    case reg::ACQUISITION_START: return 0u;  // write-only
    case reg::ACQUISITION_STOP: return 0u;   // write-only
    case reg::TL_PARAMS_LOCKED: return tl_params_locked_;
    case reg::ACQUISITION_STATUS: return acquisition_active_ ? 1u : 0u;
    case reg::TEST_PATTERN: return test_pattern_;
    case reg::IMAGE_FLAGS: return image_flags_;
    case reg::EXPOSURE_TIME: return static_cast<std::uint32_t>(exposure_bits_ >> 32);
    case reg::EXPOSURE_TIME + 4: return static_cast<std::uint32_t>(exposure_bits_);
    case reg::GAIN: return gain_bits_;
    case reg::FRAME_RATE: return std::byteswap(frame_rate_bits_);
    case reg::BLACK_LEVEL_RAW: return std::byteswap(static_cast<std::uint32_t>(black_level_raw_));
    case reg::DEVICE_TEMPERATURE: return std::uint32_t{static_cast<std::uint16_t>(temperature_raw_)} << 16;
    case reg::BINNING_RAW: return std::byteswap(binning_raw_);
    case reg::TEST_EVENT_GENERATE: return 0u;  // write-only
    case reg::CHUNK_MODE_ACTIVE: return chunk_mode_ ? 1u : 0u;
    case reg::CHUNK_SELECTOR: return chunk_selector_;
    case reg::CHUNK_ENABLE: return (chunks_ >> chunk_selector_) & 1;
    case reg::CHUNK_PAYLOAD_SIZE: return chunk_mode_ ? chunk_data_size(chunks_) : 0u;
    case reg::EVENT_SELECTOR: return event_selector_;
    case reg::EVENT_NOTIFICATION: return event_notification(static_cast<std::uint16_t>(event_selector_)) ? 1u : 0u;
    case reg::TRIGGER_SOFTWARE: return 0u;  // write-only
    default: return fail(Status::INVALID_ADDRESS);
  }
}

// ---------------------------------------------------------------- store

std::expected<void, std::uint16_t> RegisterMap::store_word(const Access& access, std::uint32_t address,
                                                           std::uint32_t value, Effects& effects) {
  if (address < reg::BOOTSTRAP_BLOCK_END) {
    // Only the user-defined name (0x00E8..0x00F7) is writable.
    if (address < reg::USER_DEFINED_NAME || address >= reg::USER_DEFINED_NAME + 16) {
      return fail(Status::WRITE_PROTECT);
    }
    util::store_be32(bootstrap_.data() + address, value);
    return {};
  }
  if (address >= reg::FIRST_URL && address < reg::SECOND_URL + reg::URL_SIZE)
    return fail(Status::WRITE_PROTECT);
  if (address >= reg::DESCRIPTION_BASE) {
    if (!load_word(address)) return fail(Status::INVALID_ADDRESS);
    return fail(Status::WRITE_PROTECT);
  }
  if (address >= reg::USER_DATA && address < reg::USER_DATA + reg::USER_DATA_SIZE) {
    util::store_be32(user_data_.data() + (address - reg::USER_DATA), value);
    return {};
  }
  if (address >= reg::STREAM_CHANNEL_BASE && address < reg::stream_register(reg::STREAM_CHANNEL_COUNT, 0)) {
    const int channel = static_cast<int>((address - reg::STREAM_CHANNEL_BASE) / reg::STREAM_CHANNEL_STRIDE);
    return store_stream_register(channel, (address - reg::STREAM_CHANNEL_BASE) % reg::STREAM_CHANNEL_STRIDE,
                                 value, effects);
  }
  switch (address) {
    case reg::CCP: return write_ccp(access, value, effects);
    case reg::HEARTBEAT_TIMEOUT: heartbeat_timeout_ms_ = std::max(value, MIN_HEARTBEAT_TIMEOUT_MS); return {};
    case reg::TIMESTAMP_CONTROL:
      // 0x2 latches the timestamp into 0x0948/0x094C; 0x1 (reset) is not
      // offered: the stream side owns the clock.
      if ((value & 0x2) != 0) latched_timestamp_ = config_.timestamp();
      return {};
    case reg::GVCP_CONFIGURATION:
      if ((value & 0x1) != 0 && (config_.capabilities & reg::cap::HEARTBEAT_DISABLE) == 0) {
        return fail(Status::INVALID_PARAMETER);
      }
      gvcp_configuration_ = value;
      return {};
    case reg::MCP: mcp_ = value & 0xFFFF; return {};
    case reg::MCDA: mcda_ = value; return {};
    case reg::MCTT: mctt_ = value; return {};
    case reg::MCRC: mcrc_ = value; return {};
    default: break;
  }
  if (address >= reg::FEATURE_BASE && address < reg::FEATURE_END)
    return store_feature(address, value, effects);
  // Read-only registers exist (a read succeeds); everything else is unmapped.
  if (load_word(address)) return fail(Status::WRITE_PROTECT);
  return fail(Status::INVALID_ADDRESS);
}

std::expected<void, std::uint16_t> RegisterMap::store_stream_register(int channel, std::uint32_t offset,
                                                                      std::uint32_t value, Effects& effects) {
  auto& ch = channels_[static_cast<std::size_t>(channel)];
  const auto index = static_cast<std::size_t>(channel);
  switch (offset) {
    case reg::SCP:
      // Only the host port is writable; direction and interface index read 0.
      ch.scp = value & 0xFFFF;
      break;
    case reg::SCPS: {
      const std::uint32_t size = value & 0xFFFF;
      if ((value & reg::SCPS_FIRE_TEST) != 0) effects.fire_test[index] = size;
      // Bit 31 is a trigger and reads back clear; sizes outside what the
      // device can send are brought into range.
      ch.scps = (value & reg::SCPS_DO_NOT_FRAGMENT) | std::clamp(size, MIN_PACKET_SIZE, MAX_PACKET_SIZE);
      break;
    }
    case reg::SCPD: ch.scpd = value; break;
    case reg::SCDA: ch.scda = value; break;
    default: return fail(Status::INVALID_ADDRESS);
  }
  effects.stream_changed[index] = true;
  return {};
}

std::expected<void, std::uint16_t> RegisterMap::store_feature(std::uint32_t address, std::uint32_t value,
                                                              Effects& effects) {
  auto all_streams_changed = [&effects] { effects.stream_changed.fill(true); };
  switch (address) {
    case reg::WIDTH:
    case reg::HEIGHT:
    case reg::OFFSET_X:
    case reg::OFFSET_Y:
    case reg::PIXEL_FORMAT:
    case reg::BINNING_RAW:
    case reg::CHUNK_MODE_ACTIVE:
    case reg::CHUNK_ENABLE:
      if (image_format_locked()) return fail(Status::WRITE_PROTECT);
      break;
    default: break;
  }
  switch (address) {
    case reg::WIDTH:
      if (value < 16 || value % 4 != 0 || value > SENSOR_WIDTH - offset_x_)
        return fail(Status::INVALID_PARAMETER);
      width_ = value;
      all_streams_changed();
      return {};
    case reg::HEIGHT:
      if (value < 8 || value > SENSOR_HEIGHT - offset_y_) return fail(Status::INVALID_PARAMETER);
      height_ = value;
      all_streams_changed();
      return {};
    case reg::OFFSET_X:
      if (value % 4 != 0 || value > SENSOR_WIDTH - width_) return fail(Status::INVALID_PARAMETER);
      offset_x_ = value;
      all_streams_changed();
      return {};
    case reg::OFFSET_Y:
      if (value > SENSOR_HEIGHT - height_) return fail(Status::INVALID_PARAMETER);
      offset_y_ = value;
      all_streams_changed();
      return {};
    case reg::PIXEL_FORMAT:
      if (!valid_pixel_format(value)) return fail(Status::INVALID_PARAMETER);
      pixel_format_ = value;
      all_streams_changed();
      return {};
    case reg::ACQUISITION_MODE:
      if (value > 2) return fail(Status::INVALID_PARAMETER);
      acquisition_mode_ = value;
      all_streams_changed();
      return {};
    case reg::ACQUISITION_FRAME_COUNT:
      if (value < 1 || value > 0xFFFF) return fail(Status::INVALID_PARAMETER);
      frame_count_ = value;
      all_streams_changed();
      return {};
    case reg::ACQUISITION_START:
      if (value != 0) effects.acquisition_start = true;
      return {};
    case reg::ACQUISITION_STOP:
      if (value != 0) effects.acquisition_stop = true;
      return {};
    case reg::TL_PARAMS_LOCKED:
      if (value > 1) return fail(Status::INVALID_PARAMETER);
      tl_params_locked_ = value;
      return {};
    case reg::TEST_PATTERN:
      if (value > TEST_PATTERN_MOVING) return fail(Status::INVALID_PARAMETER);
      test_pattern_ = value;
      all_streams_changed();
      return {};
    case reg::IMAGE_FLAGS:
      if ((value & ~IMAGE_FLAGS_MASK) != 0 || ((value >> 4) & 0xF) > MAX_DIGITAL_SHIFT) {
        return fail(Status::INVALID_PARAMETER);
      }
      image_flags_ = value;
      all_streams_changed();
      return {};
    case reg::EXPOSURE_TIME:
    case reg::EXPOSURE_TIME + 4: {
      // The sign and exponent sit in the high word, so checking the value
      // after each word catches every negative or non-finite exposure.
      const std::uint64_t bits = address == reg::EXPOSURE_TIME
                                     ? (std::uint64_t{value} << 32) | (exposure_bits_ & 0xFFFFFFFF)
                                     : (exposure_bits_ & 0xFFFFFFFF00000000) | value;
      const double exposure = std::bit_cast<double>(bits);
      if (!std::isfinite(exposure) || exposure <= 0.0) return fail(Status::INVALID_PARAMETER);
      exposure_bits_ = bits;
      all_streams_changed();
      return {};
    }
    case reg::GAIN: {
      const float gain = float_of(value);
      if (!std::isfinite(gain) || gain < 0.0f || gain > 48.0f) return fail(Status::INVALID_PARAMETER);
      gain_bits_ = value;
      all_streams_changed();
      return {};
    }
    case reg::FRAME_RATE: {
      const std::uint32_t bits = std::byteswap(value);
      const float rate = float_of(bits);
      if (!std::isfinite(rate) || rate < 0.0f || rate > 10000.0f) return fail(Status::INVALID_PARAMETER);
      frame_rate_bits_ = bits;
      all_streams_changed();
      return {};
    }
    case reg::BLACK_LEVEL_RAW: black_level_raw_ = static_cast<std::int32_t>(std::byteswap(value)); return {};
    case reg::BINNING_RAW:
      if (std::byteswap(value) > MAX_BINNING_RAW) return fail(Status::INVALID_PARAMETER);
      binning_raw_ = std::byteswap(value);
      return {};
    case reg::TEST_EVENT_GENERATE:
      if (value != 0) ++effects.test_events;
      return {};
    case reg::CHUNK_MODE_ACTIVE:
      if (value > 1) return fail(Status::INVALID_PARAMETER);
      chunk_mode_ = value == 1;
      all_streams_changed();
      return {};
    case reg::EVENT_SELECTOR:
      if (value < reg::TEST_EVENT_ID || value > reg::FRAME_TRIGGER_MISSED_EVENT_ID) {
        return fail(Status::INVALID_PARAMETER);
      }
      event_selector_ = value;
      return {};
    case reg::EVENT_NOTIFICATION: {
      if (value > 1) return fail(Status::INVALID_PARAMETER);
      const std::uint32_t bit = 1u << (event_selector_ - reg::TEST_EVENT_ID);
      event_notifications_ = value == 1 ? event_notifications_ | bit : event_notifications_ & ~bit;
      return {};
    }
    case reg::TRIGGER_SOFTWARE:
      if (value != 0) ++effects.missed_triggers;
      return {};
    case reg::CHUNK_SELECTOR:
      if (value >= CHUNK_KIND_COUNT) return fail(Status::INVALID_PARAMETER);
      chunk_selector_ = value;
      return {};
    case reg::CHUNK_ENABLE:
      if (value > 1) return fail(Status::INVALID_PARAMETER);
      chunks_ = (chunks_ & ~(1u << chunk_selector_)) | (value << chunk_selector_);
      all_streams_changed();
      return {};
    default: break;
  }
  if (load_word(address)) return fail(Status::WRITE_PROTECT);
  return fail(Status::INVALID_ADDRESS);
}

bool RegisterMap::event_notification(std::uint16_t event_id) const {
  if (event_id < reg::TEST_EVENT_ID || event_id > reg::FRAME_TRIGGER_MISSED_EVENT_ID) return false;
  return (event_notifications_ >> (event_id - reg::TEST_EVENT_ID) & 1u) != 0;
}

}  // namespace corvantic::sim
