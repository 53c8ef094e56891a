// Feature access by name on a connected device: loading its description
// into a FeatureModel, and the typed reads, writes, bounds and commands that
// the camera layer and its acquisition sequences use. The caller holds the
// camera's session lock for each call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "genicam/buffer_features.hpp"
#include "genicam/genicam_error.hpp"
#include "genicam/node.hpp"
#include "gige/gige_driver.hpp"

namespace corvantic::genicam {

class EventCatalog;  // events.hpp

// What is loaded for one connection of a device: the fetched description and
// the model built from it. It belongs to the connection whose id it records
// (GigeDriver::connection_id()); the operations below treat it as empty once
// the driver holds another connection or none.
struct DeviceDescription {
  std::uint64_t connection = 0;
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  std::optional<FeatureModel> model;
  // Made with the first chunk reader and published to after every write;
  // the chunk readers of the connection's streams share it.
  std::shared_ptr<LiveSettings> chunk_settings;
  // The model's event names, made when first asked for.
  std::shared_ptr<const EventCatalog> events;
};

// A device as the feature operations work on it: the session with it and
// what is loaded for that session.
struct Device {
  gige::GigeDriver& driver;
  DeviceDescription& description;
};

// Finds, fetches and builds the description of the connected device, unless
// a model is loaded for the connection already. The fetched bytes are kept,
// so a failed build is retried from them without device access.
// `interrupted`, when set, is asked between 100 ms slices of every wait of
// the fetch; when it says so the fetch ends as a timed-out read would.
[[nodiscard]] GenicamResult<void> load_feature_model(Device device,
                                                    const util::InterruptCheck& interrupted = {});

// Names of all nodes in node-table order; "feature model not loaded" when
// there is no connection or no model.
[[nodiscard]] GenicamResult<std::vector<std::string>> feature_names(Device device);
// A copy of the connection's model (FeatureModel::snapshot), for readers
// that must not touch the device (buffer_features.hpp); "feature model not
// loaded" when there is no connection or no model.
[[nodiscard]] GenicamResult<FeatureModel> snapshot_feature_model(Device device);
// Never fails: false without a connection or a model.
[[nodiscard]] bool has_feature(Device device, std::string_view name);
// Whether the loaded description has a chunk port (a Port with a ChunkID),
// the only place chunk features can live; false without a model.
[[nodiscard]] bool has_chunk_port(Device device);
// A reader of the description's chunk features over a snapshot of the
// model as it is now, following the camera's later writes to what those
// reads depend on (a chunk selector); nothing without a model or when the
// description has no chunk features. Registers behind those reads that the
// model holds no bytes of are read from the device first.
[[nodiscard]] std::shared_ptr<const BufferFeatureReader> chunk_reader(Device device);

// The typed operations. Chunk and event data are not in the device's
// memory: reading or writing them here fails with AccessDenied naming the
// feature and where its value is read (GenicamError::chunk_data and
// event_data).
[[nodiscard]] GenicamResult<std::int64_t> get_integer(Device device, std::string_view name);
[[nodiscard]] GenicamResult<void> set_integer(Device device, std::string_view name, std::int64_t value);
[[nodiscard]] GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(Device device,
                                                                                  std::string_view name);
[[nodiscard]] GenicamResult<std::int64_t> integer_increment(Device device, std::string_view name);
[[nodiscard]] GenicamResult<double> get_float(Device device, std::string_view name);
[[nodiscard]] GenicamResult<void> set_float(Device device, std::string_view name, double value);
[[nodiscard]] GenicamResult<std::pair<double, double>> float_bounds(Device device, std::string_view name);
[[nodiscard]] GenicamResult<bool> get_boolean(Device device, std::string_view name);
[[nodiscard]] GenicamResult<void> set_boolean(Device device, std::string_view name, bool value);
// Also the enumeration read: the name of the current entry.
[[nodiscard]] GenicamResult<std::string> get_string(Device device, std::string_view name);
[[nodiscard]] GenicamResult<void> set_string(Device device, std::string_view name, std::string_view value);
[[nodiscard]] GenicamResult<void> set_enum(Device device, std::string_view name, std::string_view entry);
[[nodiscard]] GenicamResult<std::vector<std::string>> enum_entries(Device device, std::string_view name);
[[nodiscard]] GenicamResult<void> execute(Device device, std::string_view name);
[[nodiscard]] GenicamResult<AccessMode> access_mode(Device device, std::string_view name);
[[nodiscard]] GenicamResult<void> invalidate_caches(Device device);

// What the description says about one feature, with its bounds and
// increment as the device reports them now.
struct FeatureInfo {
  struct Entry {
    std::string name;
    std::string display_name;  // the name when the entry gives none
    std::int64_t value = 0;
  };
  std::string name;
  FeatureType type = FeatureType::Port;
  AccessMode access = AccessMode::RO;
  std::string display_name;  // the name when the description gives none
  std::string tooltip, description, unit, representation;  // empty when absent
  Visibility visibility = Visibility::Beginner;
  // Integer and Float nodes only, and only when their evaluation succeeds:
  // a bound that cannot be read now (a register the device refuses, a
  // dangling reference) leaves them empty rather than failing the call.
  std::optional<std::pair<std::int64_t, std::int64_t>> integer_bounds;
  std::optional<std::int64_t> increment;
  std::optional<std::pair<double, double>> float_bounds;
  std::vector<Entry> entries;          // an enumeration's, in document order
  std::vector<std::string> category;   // the categories above it, outermost first
  std::vector<std::string> features;   // a category's members (unresolved ones left out)
  std::vector<std::string> selects;    // pSelected (unresolved ones left out)
  std::vector<std::string> selected_by;
  // Chunk and event data: the port the value is read from, a frame's chunk
  // or an event's data; nothing for a feature read from the device.
  std::optional<BufferPort> data_port;
  // Event data: the description's name of the event, or its id in hex.
  std::string event_name;
};

// The access mode failing (a reference cycle) fails the call; see
// FeatureInfo for the bounds.
[[nodiscard]] GenicamResult<FeatureInfo> feature_info(Device device, std::string_view name);

// PayloadSize as a non-negative integer, remembered in `slot`: a filled slot
// is returned as it is, without any check.
[[nodiscard]] GenicamResult<std::uint64_t> read_payload_size(Device device, std::optional<std::uint64_t>& slot);

}  // namespace corvantic::genicam
