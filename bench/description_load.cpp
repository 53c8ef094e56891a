// Description load: building the FeatureModel of a description, against a
// bare pugixml parse of the same text measured in the same run, for the
// largest real sample and for a generated ~2 MB description. Then the heap
// allocations of reads of a cached register (the target is none).
//
//   bench_description_load [path/to/description.xml]
//
// Without an argument the sample is looked up in shared/genicam-samples
// beside the repository.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "genicam/node.hpp"

using namespace corvantic;
using Clock = std::chrono::steady_clock;

// Counts every allocation through the global operator new (pugixml
// allocates with malloc and is not counted).
namespace {
std::atomic<std::uint64_t> allocations{0};
}

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

constexpr int ROUNDS = 21;
// Keeps the timed reads from being optimised away.
volatile std::int64_t sink = 0;
// The options the model builder parses with.
constexpr unsigned PARSE_OPTIONS = pugi::parse_default | pugi::parse_doctype | pugi::parse_embed_pcdata;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A description shaped like a camera's: Groups of features, each an Integer
// over an IntReg with bounds from other nodes, an Enumeration over a masked
// register, and a SwissKnife reading both, with invalidators between them.
std::string generated_description(std::size_t target_bytes) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"Generated\" "
      "VendorName=\"corvantic\" StandardNameSpace=\"GEV\">\n";
  for (int i = 0; text.size() < target_bytes; ++i) {
    const auto n = std::to_string(i);
    const auto address = std::to_string(0x10000 + i * 16);
    text += "<Group Comment=\"Feature" + n + "\">\n";
    text += "  <Integer Name=\"Value" + n + "\" NameSpace=\"Custom\">\n    <ToolTip>Value number " + n +
            " of the generated device.</ToolTip>\n    <Description>A generated integer feature that reads "
            "its register and takes its bounds from two other nodes.</Description>\n    <DisplayName>Value " +
            n + "</DisplayName>\n    <Visibility>Expert</Visibility>\n    <pIsAvailable>Avail" + n +
            "</pIsAvailable>\n    <pValue>Value" + n + "Reg</pValue>\n    <Min>0</Min>\n    <pMax>Max" + n +
            "</pMax>\n    <Inc>4</Inc>\n    <Representation>Linear</Representation>\n  </Integer>\n";
    text +=
        "  <IntReg Name=\"Value" + n + "Reg\">\n    <Address>" + address +
        "</Address>\n    <Length>4</Length>\n    <AccessMode>RW</AccessMode>\n    <pPort>Device</pPort>\n"
        "    <Cachable>WriteThrough</Cachable>\n    <pInvalidator>Mode" +
        n +
        "Reg</pInvalidator>\n    <Sign>Unsigned</Sign>\n    <Endianess>BigEndian</Endianess>\n  </IntReg>\n";
    text += "  <Integer Name=\"Max" + n + "\"><Value>0x1000</Value></Integer>\n";
    text += "  <Enumeration Name=\"Mode" + n + "\">\n    <ToolTip>Mode of feature " + n + ".</ToolTip>\n";
    for (int e = 0; e < 4; ++e) {
      text += "    <EnumEntry Name=\"Mode" + n + "_" + std::to_string(e) + "\">\n      <DisplayName>Mode " +
              std::to_string(e) + "</DisplayName>\n      <Value>" + std::to_string(e) +
              "</Value>\n    </EnumEntry>\n";
    }
    text += "    <pValue>Mode" + n + "Reg</pValue>\n  </Enumeration>\n";
    text += "  <MaskedIntReg Name=\"Mode" + n + "Reg\">\n    <Address>" + address +
            "</Address>\n    <Length>4</Length>\n    <AccessMode>RW</AccessMode>\n    <pPort>Device</pPort>\n"
            "    <LSB>7</LSB>\n    <MSB>4</MSB>\n    <Endianess>BigEndian</Endianess>\n  </MaskedIntReg>\n";
    text +=
        "  <IntSwissKnife Name=\"Avail" + n + "\">\n    <pVariable Name=\"V\">Value" + n +
        "Reg</pVariable>\n    <pVariable Name=\"M\">Mode" + n +
        "Reg</pVariable>\n    <Formula><![CDATA[(V < 0x800) && (M <> 3)]]></Formula>\n  </IntSwissKnife>\n";
    text += "</Group>\n";
  }
  text += "</RegisterDescription>\n";
  return text;
}

double median(std::vector<double> samples) {
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  return samples[samples.size() / 2];
}

template <typename F>
double time_ms(F&& work) {
  const auto start = Clock::now();
  work();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool measure(const char* label, const std::string& text) {
  std::uint32_t nodes = 0;
  std::vector<double> parse_ms, build_ms;
  for (int round = 0; round < ROUNDS; ++round) {
    bool parsed = false;
    parse_ms.push_back(time_ms([&] {
      pugi::xml_document document;
      parsed = static_cast<bool>(document.load_buffer(text.data(), text.size(), PARSE_OPTIONS));
    }));
    bool built = false;
    build_ms.push_back(time_ms([&] {
      const auto model = genicam::build_feature_model(text);
      built = model.has_value();
      if (model) nodes = model->size();
    }));
    if (!parsed || !built) {
      std::fprintf(stderr, "%s: the description does not %s\n", label, parsed ? "build" : "parse");
      return false;
    }
  }
  const double parse = median(std::move(parse_ms));
  const double build = median(std::move(build_ms));
  std::printf(
      "%-28s %8.1f KiB %6u nodes   bare parse %7.3f ms   model build %7.3f ms   ratio %.2f (target <= 3)\n",
      label, text.size() / 1024.0, nodes, parse, build, build / parse);
  return true;
}

// Allocations per read of a cached integer register, of a Width feature
// over it, and of a formula over two cached registers.
void measure_cached_reads() {
  class ZeroPort final : public genicam::RegisterPort {
   public:
    gige::CameraResult<std::vector<std::uint8_t>> read(std::uint64_t, std::size_t length) override {
      return std::vector<std::uint8_t>(length);
    }
    gige::CameraResult<void> write(std::uint64_t, std::span<const std::uint8_t>) override { return {}; }
  };
  auto model = genicam::build_feature_model(
      "<RegisterDescription><Integer Name=\"Width\"><pValue>WidthReg</pValue></Integer>"
      "<IntReg Name=\"WidthReg\"><Address>0x100</Address><Length>4</Length></IntReg>"
      "<MaskedIntReg Name=\"Mode\"><Address>0x104</Address><Length>4</Length><LSB>4</LSB><MSB>7</MSB>"
      "</MaskedIntReg>"
      "<IntSwissKnife Name=\"Sum\"><pVariable Name=\"W\">WidthReg</pVariable><pVariable Name=\"M\">Mode"
      "</pVariable><Formula>W + M * 2</Formula></IntSwissKnife></RegisterDescription>");
  if (!model) {
    std::fprintf(stderr, "cached reads: %s\n", model.error().display().c_str());
    return;
  }
  ZeroPort port;
  constexpr int READS = 100'000;
  for (const char* name : {"WidthReg", "Width", "Sum"}) {
    const auto index = *model->index_of(name);
    if (!model->read_integer(index, port)) return;  // fills the caches, compiles the formula
    const auto before = allocations.load(std::memory_order_relaxed);
    std::int64_t sum = 0;
    const double ms = time_ms([&] {
      for (int i = 0; i < READS; ++i) sum += *model->read_integer(index, port);
    });
    const auto count = allocations.load(std::memory_order_relaxed) - before;
    sink = sum;
    std::printf("cached read of %-10s %6.1f ns/read   %.3f allocations/read (target 0)\n", name,
                ms * 1e6 / READS, static_cast<double>(count) / READS);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path sample = argc > 1
                                           ? std::filesystem::path(argv[1])
                                           : std::filesystem::path(__FILE__).parent_path() / ".." / ".." /
                                                 "shared" / "genicam-samples" / "flir_BFS-U3-63S4M.xml";
  const std::string sample_text = read_file(sample);
  if (sample_text.empty()) {
    std::fprintf(stderr, "cannot read %s (pass a description as the first argument)\n", sample.c_str());
    return 1;
  }
  bool ok = measure(sample.filename().c_str(), sample_text);
  ok = measure("generated", generated_description(2 * 1024 * 1024)) && ok;
  measure_cached_reads();
  return ok ? 0 : 1;
}
