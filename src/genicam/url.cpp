#include "genicam/url.hpp"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <optional>

#include "util/bytes.hpp"

namespace corvantic::genicam {
namespace {

// ---- Location text

// The White_Space code points above ASCII, UTF-8 encoded. Each begins with a
// lead byte, so in valid UTF-8 a match at either end of a text is a whole
// character there, never the tail or head of another one.
constexpr std::array<std::string_view, 19> WIDE_WHITE_SPACE = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
};

bool is_ascii_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Length of the white-space character `s` begins (or, with `at_end`, ends)
// with; 0 when there is none.
std::size_t white_space_length(std::string_view s, bool at_end) {
  if (s.empty()) return 0;
  if (is_ascii_white_space(at_end ? s.back() : s.front())) return 1;
  const auto matches = [&](std::string_view w) { return at_end ? s.ends_with(w) : s.starts_with(w); };
  for (const auto w : WIDE_WHITE_SPACE) {
    if (matches(w)) return w.size();
  }
  return 0;
}

std::string_view trim_white_space(std::string_view s) {
  while (const std::size_t n = white_space_length(s, false)) s.remove_prefix(n);
  while (const std::size_t n = white_space_length(s, true)) s.remove_suffix(n);
  return s;
}

std::string_view trim_nul(std::string_view s) {
  while (!s.empty() && s.front() == '\0') s.remove_prefix(1);
  while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
  return s;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `s` begins with `prefix` (lower case), ignoring ASCII case in `s`.
bool starts_with_ascii_ci(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(s[i]) != prefix[i]) return false;
  }
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An unsigned 64-bit hexadecimal number: an optional '+', then hex digits
// only. Digits are taken left to right and the first fault found is reported.
std::expected<std::uint64_t, std::string_view> parse_hex_u64(std::string_view s) {
  if (s.empty()) return std::unexpected("cannot parse integer from empty string");
  constexpr std::string_view INVALID_DIGIT = "invalid digit found in string";
  if (s.front() == '+') {
    s.remove_prefix(1);
    if (s.empty()) return std::unexpected(INVALID_DIGIT);
  }
  std::uint64_t value = 0;
  for (const char c : s) {
    const int digit = hex_digit(c);
    if (digit < 0) return std::unexpected(INVALID_DIGIT);
    if (value > std::numeric_limits<std::uint64_t>::max() >> 4) {
      return std::unexpected("number too large to fit in target type");
    }
    value = (value << 4) | static_cast<std::uint64_t>(digit);
  }
  return value;
}

// Yields the pieces of a text between ';' separators, then nothing.
class PieceSplitter {
 public:
  explicit PieceSplitter(std::string_view text) : rest_(text) {}
  std::optional<std::string_view> next() {
    if (done_) return std::nullopt;
    const std::size_t semicolon = rest_.find(';');
    if (semicolon == std::string_view::npos) {
      done_ = true;
      return rest_;
    }
    const std::string_view piece = rest_.substr(0, semicolon);
    rest_.remove_prefix(semicolon + 1);
    return piece;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

std::expected<GenicamUrl, std::string> parse_local(std::string_view rest) {
  PieceSplitter pieces(rest);
  const std::string_view file_name = trim_white_space(*pieces.next());
  const auto address_text = pieces.next();
  if (!address_text) return std::unexpected("missing address");
  const auto size_text = pieces.next();
  if (!size_text) return std::unexpected("missing size");
  const auto address = parse_hex_u64(trim_white_space(*address_text));
  if (!address) return std::unexpected("bad address: " + std::string(address.error()));
  const auto size = parse_hex_u64(trim_white_space(*size_text));
  if (!size) return std::unexpected("bad size: " + std::string(size.error()));
  return GenicamUrl{GenicamUrl::Local{std::string(file_name), *address, *size}};
}

// ---- Zip archive
//
// Only the records on the way to the first entry are read; all fields are
// little-endian. Offsets are relative to each record's start.
//
//   end of central directory (22 bytes + comment of up to 65535)
//     +0  signature 0x06054b50    +10 total entry count (16)
//     +16 central directory offset (32, from the archive start)
//
//   central directory record (46 bytes + name, extra, comment)
//     +0  signature 0x02014b50    +10 compression method (16)
//     +20 compressed size (32)    +24 uncompressed size (32)
//     +42 local header offset (32)
//
//   local file header (30 bytes + name + extra, then the data)
//     +0  signature 0x04034b50    +26 name length (16)
//     +28 extra field length (16)

constexpr std::uint32_t END_RECORD_SIGNATURE = 0x06054b50;
constexpr std::uint32_t CENTRAL_RECORD_SIGNATURE = 0x02014b50;
constexpr std::uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr std::size_t END_RECORD_SIZE = 22;
constexpr std::size_t MAX_COMMENT_SIZE = 65535;
constexpr std::uint64_t LOCAL_HEADER_SIZE = 30;

constexpr std::uint16_t METHOD_STORED = 0;
constexpr std::uint16_t METHOD_DEFLATED = 8;

// Little-endian fields at absolute offsets of the archive, or nothing when a
// field does not lie wholly inside it. Offsets are 64-bit so that a 32-bit
// offset plus a record offset cannot wrap.
class ArchiveFields {
 public:
  explicit ArchiveFields(std::span<const std::uint8_t> archive) : archive_(archive) {}

  [[nodiscard]] std::optional<std::uint16_t> u16(std::uint64_t offset) const {
    if (!holds(offset, 2)) return std::nullopt;
    return util::load_le16(archive_.data() + offset);
  }
  [[nodiscard]] std::optional<std::uint32_t> u32(std::uint64_t offset) const {
    if (!holds(offset, 4)) return std::nullopt;
    return util::load_le32(archive_.data() + offset);
  }
  [[nodiscard]] bool holds(std::uint64_t offset, std::uint64_t length) const {
    return offset <= archive_.size() && archive_.size() - offset >= length;
  }

 private:
  std::span<const std::uint8_t> archive_;
};

// Deflate's largest expansion: about 1032 output bytes per input byte.
constexpr std::size_t MAX_INFLATE_RATIO = 1032;
constexpr std::size_t INFLATE_CHUNK = 64 * 1024;

std::string deflate_failure(std::string_view what) { return "deflate: " + std::string(what); }

// A raw-DEFLATE inflater (negative window bits: no zlib header or trailer),
// ended on scope exit.
class InflateStream {
 public:
  InflateStream() : status_(inflateInit2(&stream_, -MAX_WBITS)) {}
  ~InflateStream() {
    if (status_ == Z_OK) inflateEnd(&stream_);
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  [[nodiscard]] bool ready() const { return status_ == Z_OK; }
  z_stream& get() { return stream_; }

 private:
  z_stream stream_{};
  int status_;
};

// Inflates raw DEFLATE data (no zlib header). `size_hint` is the recorded
// uncompressed size; it only sizes the first allocation, and never beyond
// what `input` could inflate to or the output limit.
std::expected<std::vector<std::uint8_t>, std::string> inflate_raw(std::span<const std::uint8_t> input,
                                                                  std::size_t size_hint) {
  InflateStream inflater;
  if (!inflater.ready()) return std::unexpected(deflate_failure("cannot initialise the decompressor"));
  z_stream& zs = inflater.get();
  zs.next_in = input.data();
  zs.avail_in = static_cast<uInt>(input.size());  // at most a 32-bit size field

  std::vector<std::uint8_t> out;
  const std::size_t reachable = input.size() * MAX_INFLATE_RATIO + INFLATE_CHUNK;
  out.reserve(std::min({size_hint, reachable, MAX_ARCHIVE_ENTRY}));
  const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(INFLATE_CHUNK);

  for (;;) {
    zs.next_out = chunk.get();
    zs.avail_out = static_cast<uInt>(INFLATE_CHUNK);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t produced = INFLATE_CHUNK - zs.avail_out;
    if (produced > MAX_ARCHIVE_ENTRY - out.size()) {
      return std::unexpected(
          deflate_failure("output exceeds " + std::to_string(MAX_ARCHIVE_ENTRY) + " bytes"));
    }
    if (out.size() + produced > out.capacity()) {
      // Grow by doubling, but never past the limit.
      out.reserve(std::min(MAX_ARCHIVE_ENTRY, std::max(2 * out.capacity(), out.size() + produced)));
    }
    out.insert(out.end(), chunk.get(), chunk.get() + produced);

    switch (rc) {
      case Z_STREAM_END: return out;
      case Z_OK: continue;  // progress was made; go on
      case Z_BUF_ERROR:
        // No progress with free output space: the input ran out mid-stream.
        return std::unexpected(deflate_failure("unexpected end of stream"));
      case Z_DATA_ERROR:
        return std::unexpected(deflate_failure(zs.msg != nullptr ? zs.msg : "invalid compressed data"));
      case Z_MEM_ERROR: return std::unexpected(deflate_failure("out of memory"));
      default:
        return std::unexpected(
            deflate_failure(zs.msg != nullptr ? zs.msg : "decompressor error " + std::to_string(rc)));
    }
  }
}

}  // namespace

std::expected<GenicamUrl, std::string> parse_genicam_url(std::string_view text) {
  const std::string_view t = trim_nul(trim_white_space(text));
  if (t.size() > 5 && starts_with_ascii_ci(t, "local:")) return parse_local(t.substr(6));
  if (starts_with_ascii_ci(t, "file:")) {
    std::string_view path = t.substr(5);
    while (path.starts_with("//")) path.remove_prefix(2);
    return GenicamUrl{GenicamUrl::File{std::string(path)}};
  }
  if (starts_with_ascii_ci(t, "http://") || starts_with_ascii_ci(t, "https://")) {
    return GenicamUrl{GenicamUrl::Web{std::string(t)}};
  }
  return std::unexpected("unrecognized GenICam URL '" + std::string(t) + "'");
}

bool is_blank_location(std::string_view text) { return trim_nul(trim_white_space(text)).empty(); }

std::expected<std::vector<std::uint8_t>, std::string> unzip_first_entry(
    std::span<const std::uint8_t> archive) {
  const ArchiveFields fields(archive);
  const auto fail = [](const char* message) { return std::unexpected(std::string(message)); };

  // The end record: the last signature within reach of a maximal comment.
  if (archive.size() < END_RECORD_SIZE) return fail("no end-of-central-directory record");
  const std::size_t highest = archive.size() - END_RECORD_SIZE;
  const std::size_t lowest = highest - std::min(highest, MAX_COMMENT_SIZE);
  std::optional<std::size_t> end_record;
  for (std::size_t pos = highest + 1; pos-- > lowest;) {
    if (util::load_le32(archive.data() + pos) == END_RECORD_SIGNATURE) {
      end_record = pos;
      break;
    }
  }
  if (!end_record) return fail("no end-of-central-directory record");
  // The whole 22-byte record lies inside the archive (pos <= size - 22).
  if (util::load_le16(archive.data() + *end_record + 10) == 0) return fail("empty archive");
  const std::uint64_t central = util::load_le32(archive.data() + *end_record + 16);

  // The first central-directory record.
  const auto central_signature = fields.u32(central);
  if (!central_signature) return fail("truncated archive");
  if (*central_signature != CENTRAL_RECORD_SIGNATURE) return fail("bad central directory");
  const auto method = fields.u16(central + 10);
  const auto compressed_size = fields.u32(central + 20);
  const auto uncompressed_size = fields.u32(central + 24);
  const auto local_header = fields.u32(central + 42);
  if (!method || !compressed_size || !uncompressed_size || !local_header) return fail("truncated archive");
  if (*uncompressed_size > MAX_ARCHIVE_ENTRY) return fail("archive entry too large");

  // Its local header, and the data after it.
  const auto local_signature = fields.u32(*local_header);
  if (!local_signature) return fail("truncated archive");
  if (*local_signature != LOCAL_HEADER_SIGNATURE) return fail("bad local file header");
  const auto name_length = fields.u16(std::uint64_t{*local_header} + 26);
  if (!name_length) return fail("truncated archive");
  const auto extra_length = fields.u16(std::uint64_t{*local_header} + 28);
  if (!extra_length) return fail("truncated archive");
  const std::uint64_t data_start =
      std::uint64_t{*local_header} + LOCAL_HEADER_SIZE + *name_length + *extra_length;
  if (!fields.holds(data_start, *compressed_size)) return fail("truncated archive data");
  const auto data = archive.subspan(static_cast<std::size_t>(data_start), *compressed_size);

  switch (*method) {
    case METHOD_STORED: return std::vector<std::uint8_t>(data.begin(), data.end());
    case METHOD_DEFLATED: return inflate_raw(data, *uncompressed_size);
    default: return std::unexpected("unsupported compression method " + std::to_string(*method));
  }
}

bool ends_with_zip(std::string_view name) {
  constexpr std::string_view SUFFIX = ".zip";
  if (name.size() < SUFFIX.size()) return false;
  return starts_with_ascii_ci(name.substr(name.size() - SUFFIX.size()), SUFFIX);
}

}  // namespace corvantic::genicam
