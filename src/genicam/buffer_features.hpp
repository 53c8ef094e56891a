// Features read from bytes instead of device memory: the chunk features of a
// frame and the data features of an event.
//
// A description places such features on buffer ports (a Port node with a
// ChunkID or an EventID, see register_port.hpp): their registers address the
// data of one chunk or one event. A BufferFeatureReader keeps its own
// snapshot of a camera's FeatureModel, so it outlives the camera and never
// touches the device: registers in device memory that a read needs (a
// selector, say) answer from the snapshot's cached bytes, or the read fails
// with AccessDenied naming that register. A chunk reader follows the
// camera's later settings through the LiveSettings it shares with it.
//
// Thread safety: the lists are fixed at construction; reads evaluate the
// snapshot (whose caches and evaluation stack change) under the reader's own
// mutex, one at a time. Lock order: a reader's mutex, then its settings'.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "genicam/genicam_error.hpp"
#include "genicam/node.hpp"
#include "genicam/register_port.hpp"
#include "util/mutex.hpp"

namespace corvantic::genicam {

// The chunk or event port the value of node `index` is read from: where
// every buffer register its value depends on (through pValue, formula
// variables and converters) lies, the first one met where they lie on
// several. Nothing for a node whose value is in device memory alone.
[[nodiscard]] std::optional<BufferPort> value_port(const FeatureModel& model, std::uint32_t index);

// The settings the chunk features of a camera's model are read with (a
// chunk selector, say, and the registers and formulas behind it), as the
// camera's model holds them: the camera publishes them after each change,
// and a reader sharing them takes the latest before each read. A reader's
// snapshot alone would read every frame with the settings of the moment
// its stream opened.
//
// Thread safety: publish and apply may run on any threads at once.
class LiveSettings {
 public:
  // The nodes outside buffer ports that reads of the chunk features of
  // `model` reach, with their state as `model` holds it now.
  explicit LiveSettings(const FeatureModel& model);

  [[nodiscard]] const std::vector<std::uint32_t>& nodes() const { return nodes_; }
  // Takes the state of nodes() from `model`, the camera's model (its
  // caller holds what guards it).
  void publish(const FeatureModel& model) EXCLUDES(mutex_);
  // Gives `snapshot` the state last published, unless `seen`, the count of
  // publications it has had, says it has it already.
  void apply(FeatureModel& snapshot, std::uint64_t& seen) const EXCLUDES(mutex_);

 private:
  const std::vector<std::uint32_t> nodes_;
  mutable util::Mutex mutex_;
  std::vector<Node> states_ GUARDED_BY(mutex_);  // states_[i] is node nodes_[i]
  std::uint64_t publications_ GUARDED_BY(mutex_) = 0;
};

// A feature value as its type reads it: Integer, Float, Boolean, and the
// entry name of an Enumeration or the text of a String.
using BufferValue = std::variant<std::int64_t, double, bool, std::string>;

// A feature whose value comes from the data of one chunk or event.
struct BufferFeature {
  std::string name;
  BufferPort port;
  bool operator==(const BufferFeature&) const = default;
};

// Buffer data over (id, bytes) pairs the caller keeps alive for the read.
class BufferSpans final : public BufferData {
 public:
  struct Entry {
    std::uint64_t id = 0;
    std::span<const std::uint8_t> bytes;
  };
  BufferSpans(BufferKind kind, std::span<const Entry> entries) : kind_(kind), entries_(entries) {}
  [[nodiscard]] BufferKind kind() const override { return kind_; }
  // The first entry with this id.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> find(std::uint64_t id) const override;

 private:
  BufferKind kind_;
  std::span<const Entry> entries_;
};

class BufferFeatureReader {
 public:
  // `snapshot` is FeatureModel::snapshot() of the camera's model, taken while
  // holding the camera's session lock; `settings`, when given, are that
  // model's LiveSettings, applied to the snapshot before each read.
  explicit BufferFeatureReader(FeatureModel snapshot, std::shared_ptr<const LiveSettings> settings = nullptr);

  // The value features (Integer, Float, Boolean, Enumeration, String) on a
  // chunk or event port, in node order. A feature counts when every buffer
  // register its value depends on (through pValue, formula variables and
  // converters) lies on one port; of a chain of such nodes only the one no
  // other of them refers to is listed (ChunkExposureTime, not the register
  // behind it).
  [[nodiscard]] const std::vector<BufferFeature>& features() const { return features_.features; }
  // The names of the listed features on one chunk or event port.
  [[nodiscard]] std::vector<std::string> features_on(BufferKind kind, std::uint64_t id) const;
  // The listed features on chunk ports, with their chunk ids.
  [[nodiscard]] std::vector<BufferFeature> chunk_features() const;

  // The value of `name` read against `data`. FeatureNotFound when no node
  // of that name lies on a buffer port (listed or not); the model's own
  // errors otherwise: Evaluation when the data hold no chunk or event of the
  // port's id or are too short for the register, AccessDenied when a read
  // needs device memory the snapshot holds no cached bytes of.
  [[nodiscard]] GenicamResult<BufferValue> read(std::string_view name, const BufferData& data) const
      EXCLUDES(mutex_);

 private:
  // What the model places on buffer ports; fixed at construction.
  struct Listing {
    std::vector<BufferFeature> features;  // as features() lists them
    std::vector<bool> on_buffer;          // per node: its value depends on a buffer port
  };
  [[nodiscard]] static Listing list(const FeatureModel& model);
  [[nodiscard]] GenicamResult<BufferValue> read_locked(std::uint32_t index, RegisterPort& port) const
      REQUIRES(mutex_);

  const Listing features_;  // made from the snapshot before it moves into model_
  const std::shared_ptr<const LiveSettings> settings_;
  mutable util::Mutex mutex_;
  mutable FeatureModel model_ GUARDED_BY(mutex_);
  mutable std::uint64_t settings_seen_ GUARDED_BY(mutex_) = 0;
};

}  // namespace corvantic::genicam
