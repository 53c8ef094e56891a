// Feature access by name on a connected GigeDriver: loading the device's
// description into a FeatureModel, and the typed reads, writes, bounds and
// commands that the Camera and the acquisition sequences use. The caller
// holds the camera's session lock for each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "genicam/genicam_error.hpp"
#include "genicam/node.hpp"
#include "gige/gige_driver.hpp"

namespace corvantic::genicam {

// Finds, fetches and builds the description of the connected device, unless
// the connection already holds a model. The fetched bytes are kept with the
// connection, so a failed build is retried from them without device access.
[[nodiscard]] GenicamResult<void> load_feature_model(gige::GigeDriver& driver);

// Names of all nodes in node-table order; "feature model not loaded" when
// there is no connection or no model.
[[nodiscard]] GenicamResult<std::vector<std::string>> feature_names(const gige::GigeDriver& driver);
// A copy of the connection's model (FeatureModel::snapshot), for readers
// that must not touch the device (buffer_features.hpp); "feature model not
// loaded" when there is no connection or no model.
[[nodiscard]] GenicamResult<FeatureModel> snapshot_feature_model(const gige::GigeDriver& driver);
// Never fails: false without a connection or a model.
[[nodiscard]] bool has_feature(const gige::GigeDriver& driver, std::string_view name);

[[nodiscard]] GenicamResult<std::int64_t> get_integer(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<void> set_integer(gige::GigeDriver& driver, std::string_view name, std::int64_t value);
[[nodiscard]] GenicamResult<std::pair<std::int64_t, std::int64_t>> integer_bounds(gige::GigeDriver& driver,
                                                                                  std::string_view name);
[[nodiscard]] GenicamResult<std::int64_t> integer_increment(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<double> get_float(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<void> set_float(gige::GigeDriver& driver, std::string_view name, double value);
[[nodiscard]] GenicamResult<std::pair<double, double>> float_bounds(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<bool> get_boolean(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<void> set_boolean(gige::GigeDriver& driver, std::string_view name, bool value);
// Also the enumeration read: the name of the current entry.
[[nodiscard]] GenicamResult<std::string> get_string(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<void> set_string(gige::GigeDriver& driver, std::string_view name, std::string_view value);
[[nodiscard]] GenicamResult<void> set_enum(gige::GigeDriver& driver, std::string_view name, std::string_view entry);
[[nodiscard]] GenicamResult<std::vector<std::string>> enum_entries(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<void> execute(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<AccessMode> access_mode(gige::GigeDriver& driver, std::string_view name);
[[nodiscard]] GenicamResult<void> invalidate_caches(gige::GigeDriver& driver);

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
};

// The access mode failing (a reference cycle) fails the call; see
// FeatureInfo for the bounds.
[[nodiscard]] GenicamResult<FeatureInfo> feature_info(gige::GigeDriver& driver, std::string_view name);

// PayloadSize as a non-negative integer, remembered in `slot`: a filled slot
// is returned as it is, without any check.
[[nodiscard]] GenicamResult<std::uint64_t> read_payload_size(gige::GigeDriver& driver, std::optional<std::uint64_t>& slot);

}  // namespace corvantic::genicam
