#include "genicam/url.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "util/text.hpp"

namespace corvantic::genicam {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using Bytes = std::vector<std::uint8_t>;
using UrlResult = std::expected<GenicamUrl, std::string>;

// ---- parse_genicam_url

UrlResult local(std::string name, std::uint64_t address, std::uint64_t size) {
  return GenicamUrl{GenicamUrl::Local{std::move(name), address, size}};
}
UrlResult file(std::string path) { return GenicamUrl{GenicamUrl::File{std::move(path)}}; }
UrlResult web(std::string url) { return GenicamUrl{GenicamUrl::Web{std::move(url)}}; }
UrlResult fails(std::string message) { return std::unexpected(std::move(message)); }

std::string describe(const UrlResult& r) {
  if (!r) return "error '" + r.error() + "'";
  struct Show {
    std::string operator()(const GenicamUrl::Local& l) const {
      return "Local{'" + l.file_name + "', " + std::to_string(l.address) + ", " + std::to_string(l.size) +
             "}";
    }
    std::string operator()(const GenicamUrl::File& f) const { return "File{'" + f.path + "'}"; }
    std::string operator()(const GenicamUrl::Web& w) const { return "Web{'" + w.url + "'}"; }
  };
  return std::visit(Show{}, r->location);
}

struct UrlCase {
  std::string_view text;
  UrlResult expected;
};

void expect_parses(const std::vector<UrlCase>& cases) {
  for (const auto& c : cases) {
    const auto got = parse_genicam_url(c.text);
    EXPECT_EQ(got, c.expected) << "text: '" << c.text << "'\n   got: " << describe(got)
                               << "\nwanted: " << describe(c.expected);
  }
}

TEST(ParseGenicamUrl, LocalForms) {
  expect_parses({
      {"Local:camera.xml;8000;1F40", local("camera.xml", 0x8000, 0x1F40)},
      {"LOCAL:Device.ZIP;10000;400", local("Device.ZIP", 0x10000, 0x400)},
      {"Local:Basler_acA.zip;8C400;1E2A3", local("Basler_acA.zip", 0x8C400, 0x1E2A3)},
      {"LoCaL:MyCam.XML;aBc;DeF", local("MyCam.XML", 0xABC, 0xDEF)},
      {"local:dev.xml;+1F;20", local("dev.xml", 0x1F, 0x20)},
      {"local:dev.xml;1F;20;extra", local("dev.xml", 0x1F, 0x20)},
      {"local:dev.xml;1F;20;;;", local("dev.xml", 0x1F, 0x20)},
      // The address is not limited here; refusing it is the loader's business.
      {"Local:x.xml;100000000;10", local("x.xml", 0x100000000, 0x10)},
      {"local:;0;0", local("", 0, 0)},
      {"local:  spaced name.xml \t; 1F ;\n20 ", local("spaced name.xml", 0x1F, 0x20)},
      {"local:Kamera_\u00e4\u00df.xml;1;2", local("Kamera_\u00e4\u00df.xml", 1, 2)},
      {"local:\u3000wide.xml\u00A0;\u20031F\u2029;\u008520\u202F", local("wide.xml", 0x1F, 0x20)},
      // Only white space is trimmed from the pieces; a NUL inside stays.
      {"local:a\0b;1;2"sv, local("a\0b"s, 1, 2)},
  });
}

TEST(ParseGenicamUrl, LocalMissingPieces) {
  expect_parses({
      {"local:", fails("missing address")},
      {"Local:dev.xml", fails("missing address")},
      {"local:dev.xml;1F", fails("missing size")},
      // Both pieces must be present before either is parsed.
      {"local:dev.xml;zz", fails("missing size")},
  });
}

TEST(ParseGenicamUrl, LocalHexNumbers) {
  const std::string empty = "cannot parse integer from empty string";
  const std::string invalid = "invalid digit found in string";
  const std::string too_large = "number too large to fit in target type";
  expect_parses({
      {"local:d;;20", fails("bad address: " + empty)},
      {"local:d; \t ;20", fails("bad address: " + empty)},
      {"local:d;1F;", fails("bad size: " + empty)},
      {"Local:device.xml;0x10000;400", fails("bad address: " + invalid)},
      {"local:d;+;20", fails("bad address: " + invalid)},
      {"local:d;-;20", fails("bad address: " + invalid)},
      {"local:d;-1;20", fails("bad address: " + invalid)},
      {"local:d;++1;20", fails("bad address: " + invalid)},
      {"local:d;1 2;20", fails("bad address: " + invalid)},
      {"local:d;1g;20", fails("bad address: " + invalid)},
      {"local:d;\uFF11;20", fails("bad address: " + invalid)},  // a full-width digit one
      {"local:d;1F;20h", fails("bad size: " + invalid)},
      {"local:d;1F;+", fails("bad size: " + invalid)},
      {"local:d;x;y", fails("bad address: " + invalid)},  // address before size
      {"local:d;FFFFFFFFFFFFFFFF;ffffffffffffffff",
       local("d", 0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF)},
      {"local:d;10000000000000000;1", fails("bad address: " + too_large)},
      {"local:d;1;+10000000000000000", fails("bad size: " + too_large)},
      // Leading zeros do not count towards the width.
      {"local:d;00000000000000000000FFFFFFFFFFFFFFFF;+0000000000000000000000001",
       local("d", 0xFFFFFFFFFFFFFFFF, 1)},
      // Digits are taken left to right; the first fault decides.
      {"local:d;10000000000000000g;1", fails("bad address: " + too_large)},
      {"local:d;g10000000000000000;1", fails("bad address: " + invalid)},
  });
}

TEST(ParseGenicamUrl, FileForms) {
  expect_parses({
      {"file:///C|/path.xml", file("/C|/path.xml")},
      {"file://C:/dir/cam.xml", file("C:/dir/cam.xml")},
      {"File:relative/cam.zip", file("relative/cam.zip")},
      {"FILE:/Data/Cam.Zip", file("/Data/Cam.Zip")},
      {"file:////x.xml", file("x.xml")},
      {"file://///x.xml", file("/x.xml")},
      {"file:/a//b.xml", file("/a//b.xml")},
      {"file:", file("")},
      {"file://", file("")},
  });
}

TEST(ParseGenicamUrl, WebForms) {
  expect_parses({
      {"http://example.com/cam.xml", web("http://example.com/cam.xml")},
      {"HTTPS://Example.com/Cam.ZIP", web("HTTPS://Example.com/Cam.ZIP")},
      {"http://", web("http://")},
      {"https://", web("https://")},
      {"  https://host/x.xml\r\n", web("https://host/x.xml")},
  });
}

TEST(ParseGenicamUrl, Unrecognized) {
  expect_parses({
      {"", fails("unrecognized GenICam URL ''")},
      {"local", fails("unrecognized GenICam URL 'local'")},
      {"Local;a;1;2", fails("unrecognized GenICam URL 'Local;a;1;2'")},
      {"  Ftp://Host/X.xml  ", fails("unrecognized GenICam URL 'Ftp://Host/X.xml'")},
      {"http:/host", fails("unrecognized GenICam URL 'http:/host'")},
      {"https:/", fails("unrecognized GenICam URL 'https:/'")},
      {"httpx://h", fails("unrecognized GenICam URL 'httpx://h'")},
  });
}

TEST(ParseGenicamUrl, TrimsWhiteSpaceThenNuls) {
  const auto want = local("a.xml", 1, 2);
  expect_parses({
      {"Local:a.xml;1;2\0\0\0\0"sv, want},
      {"\0\0Local:a.xml;1;2\0"sv, want},
      {" \r\n\tLocal:a.xml;1;2\v\f "sv, want},
      {" \0Local:a.xml;1;2\0 "sv, want},
      {"\u00A0\u1680\u2000\u200A\u2028\u205F\u3000Local:a.xml;1;2\u0085\u2029\u202F", want},
      // White space is trimmed before NULs, once each: blanks inside NULs stay.
      {"\0 Local:a.xml;1;2"sv, fails("unrecognized GenICam URL ' Local:a.xml;1;2'")},
      {"\0 file:x \0"sv, fails("unrecognized GenICam URL ' file:x '")},
      {"file:x \0"sv, file("x ")},
      // Not White_Space: U+001F, U+200B (zero width space), U+FEFF, U+FFFD.
      {"\x1FLocal:a;1;2", fails("unrecognized GenICam URL '\x1FLocal:a;1;2'")},
      {"\u200BLocal:a;1;2", fails("unrecognized GenICam URL '\u200BLocal:a;1;2'")},
      {"file:x\u200B\uFEFF\uFFFD", file("x\u200B\uFEFF\uFFFD")},
  });

  // A full 512-byte register block without a zero byte, blank-padded.
  std::string block = "Local:a.xml;1;2";
  block.resize(512, ' ');
  EXPECT_EQ(parse_genicam_url(block), want) << describe(parse_genicam_url(block));
}

TEST(EndsWithZip, AsciiCaseInsensitiveSuffix) {
  for (const auto name : {"a.zip", "Device.ZIP", "x.Zip", ".zip", "dir.xml/cam.zIP"}) {
    EXPECT_TRUE(ends_with_zip(name)) << name;
  }
  for (const auto name : {"", "zip", ".zi", "a.zip.xml", "azip", "a.zip ", "a_zip"}) {
    EXPECT_FALSE(ends_with_zip(name)) << name;
  }
}

// ---- unzip_first_entry

void put_le16(Bytes& b, std::size_t offset, std::uint16_t v) {
  b[offset] = static_cast<std::uint8_t>(v);
  b[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put_le32(Bytes& b, std::size_t offset, std::uint32_t v) {
  put_le16(b, offset, static_cast<std::uint16_t>(v));
  put_le16(b, offset + 2, static_cast<std::uint16_t>(v >> 16));
}
void append(Bytes& b, std::string_view text) { b.insert(b.end(), text.begin(), text.end()); }
Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A stored archive as Python's zipfile writes it: one entry "a.xml" holding
// the 22 bytes "<RegisterDescription/>".
constexpr std::size_t GOLDEN_LOCAL = 0;     // local file header, 30 bytes
constexpr std::size_t GOLDEN_DATA = 35;     // after the header and the 5-byte name
constexpr std::size_t GOLDEN_CENTRAL = 57;  // central-directory record, 46 bytes + name
constexpr std::size_t GOLDEN_END = 108;     // end record, 22 bytes, no comment
const Bytes GOLDEN_STORED = {
    // 0: local file header
    0x50, 0x4b, 0x03, 0x04,  //  +0 signature
    0x14, 0x00,              //  +4 version needed 2.0
    0x00, 0x00,              //  +6 flags
    0x00, 0x00,              //  +8 method: stored
    0x83, 0x18, 0x22, 0x58,  // +10 time, date
    0x3d, 0x10, 0xfb, 0xd0,  // +14 CRC-32
    0x16, 0x00, 0x00, 0x00,  // +18 compressed size 22
    0x16, 0x00, 0x00, 0x00,  // +22 uncompressed size 22
    0x05, 0x00,              // +26 name length 5
    0x00, 0x00,              // +28 extra length 0
    'a', '.', 'x', 'm', 'l',  // 30: name
    // 35: data
    '<', 'R', 'e', 'g', 'i', 's', 't', 'e', 'r', 'D', 'e',  //
    's', 'c', 'r', 'i', 'p', 't', 'i', 'o', 'n', '/', '>',  //
    // 57: central-directory record
    0x50, 0x4b, 0x01, 0x02,  //  +0 signature
    0x14, 0x03,              //  +4 version made by
    0x14, 0x00,              //  +6 version needed
    0x00, 0x00,              //  +8 flags
    0x00, 0x00,              // +10 method: stored
    0x83, 0x18, 0x22, 0x58,  // +12 time, date
    0x3d, 0x10, 0xfb, 0xd0,  // +16 CRC-32
    0x16, 0x00, 0x00, 0x00,  // +20 compressed size 22
    0x16, 0x00, 0x00, 0x00,  // +24 uncompressed size 22
    0x05, 0x00,              // +28 name length
    0x00, 0x00,              // +30 extra length
    0x00, 0x00,              // +32 comment length
    0x00, 0x00,              // +34 disk number
    0x00, 0x00,              // +36 internal attributes
    0x00, 0x00, 0x80, 0x01,  // +38 external attributes
    0x00, 0x00, 0x00, 0x00,  // +42 local header offset 0
    'a', '.', 'x', 'm', 'l',  // +46 name
    // 108: end of central directory
    0x50, 0x4b, 0x05, 0x06,  //  +0 signature
    0x00, 0x00,              //  +4 this disk
    0x00, 0x00,              //  +6 central directory disk
    0x01, 0x00,              //  +8 entries on this disk
    0x01, 0x00,              // +10 total entries
    0x33, 0x00, 0x00, 0x00,  // +12 central directory size 51
    0x39, 0x00, 0x00, 0x00,  // +16 central directory offset 57
    0x00, 0x00,              // +20 comment length
};
const Bytes GOLDEN_CONTENT = bytes_of("<RegisterDescription/>");

using UnzipResult = std::expected<Bytes, std::string>;
UnzipResult failure(const char* message) { return std::unexpected(message); }

// Exact comparison of two results, shown as text when they differ.
testing::AssertionResult same(const UnzipResult& got, const UnzipResult& wanted) {
  if (got == wanted) return testing::AssertionSuccess();
  const auto show = [](const UnzipResult& r) {
    if (!r) return "error '" + r.error() + "'";
    std::string text = std::to_string(r->size()) + " bytes '";
    for (std::size_t i = 0; i < std::min<std::size_t>(r->size(), 80); ++i) {
      const auto c = (*r)[i];
      text += (c >= 0x20 && c < 0x7F) ? std::string(1, static_cast<char>(c)) : "<" + util::hex(c) + ">";
    }
    return text + (r->size() > 80 ? "'..." : "'");
  };
  return testing::AssertionFailure() << "got " << show(got) << ", wanted " << show(wanted);
}

TEST(UnzipFirstEntry, GoldenStoredArchive) {
  ASSERT_EQ(GOLDEN_STORED.size(), GOLDEN_END + 22);
  EXPECT_TRUE(same(unzip_first_entry(GOLDEN_STORED), GOLDEN_CONTENT));
}

struct Patch {
  const char* what;
  std::size_t offset;
  int width;  // 2 or 4 bytes
  std::uint32_t value;
  UnzipResult expected;
};

TEST(UnzipFirstEntry, GoldenCorruptedAtNamedOffsets) {
  const std::size_t len = GOLDEN_STORED.size();
  const Patch patches[] = {
      {"end signature", GOLDEN_END, 4, 0x06054b51, failure("no end-of-central-directory record")},
      {"no entries", GOLDEN_END + 10, 2, 0, failure("empty archive")},
      {"central offset at the local header", GOLDEN_END + 16, 4, GOLDEN_LOCAL,
       failure("bad central directory")},
      {"central offset at the end record", GOLDEN_END + 16, 4, GOLDEN_END, failure("bad central directory")},
      {"central offset 3 bytes before the end", GOLDEN_END + 16, 4, static_cast<std::uint32_t>(len - 3),
       failure("truncated archive")},
      {"central offset at the end", GOLDEN_END + 16, 4, static_cast<std::uint32_t>(len),
       failure("truncated archive")},
      {"central offset 2^32-1", GOLDEN_END + 16, 4, 0xFFFFFFFF, failure("truncated archive")},
      {"central signature", GOLDEN_CENTRAL, 4, 0x02014b51, failure("bad central directory")},
      {"method 12", GOLDEN_CENTRAL + 10, 2, 12, failure("unsupported compression method 12")},
      {"method 9", GOLDEN_CENTRAL + 10, 2, 9, failure("unsupported compression method 9")},
      {"method 65535", GOLDEN_CENTRAL + 10, 2, 0xFFFF, failure("unsupported compression method 65535")},
      {"uncompressed 64 MiB + 1", GOLDEN_CENTRAL + 24, 4, 0x04000001, failure("archive entry too large")},
      {"uncompressed 2^32-1", GOLDEN_CENTRAL + 24, 4, 0xFFFFFFFF, failure("archive entry too large")},
      // The recorded size is only checked against the limit.
      {"uncompressed exactly 64 MiB", GOLDEN_CENTRAL + 24, 4, 0x04000000, GOLDEN_CONTENT},
      {"uncompressed 0", GOLDEN_CENTRAL + 24, 4, 0, GOLDEN_CONTENT},
      {"compressed 0", GOLDEN_CENTRAL + 20, 4, 0, Bytes{}},
      {"compressed one past the end", GOLDEN_CENTRAL + 20, 4,
       static_cast<std::uint32_t>(len - GOLDEN_DATA + 1),
       failure("truncated archive data")},
      {"compressed 2^32-1", GOLDEN_CENTRAL + 20, 4, 0xFFFFFFFF, failure("truncated archive data")},
      {"local offset 1", GOLDEN_CENTRAL + 42, 2, 1, failure("bad local file header")},
      {"local offset at the central record", GOLDEN_CENTRAL + 42, 4, GOLDEN_CENTRAL,
       failure("bad local file header")},
      {"local offset 3 bytes before the end", GOLDEN_CENTRAL + 42, 4, static_cast<std::uint32_t>(len - 3),
       failure("truncated archive")},
      {"local offset 2^32-1", GOLDEN_CENTRAL + 42, 4, 0xFFFFFFFF, failure("truncated archive")},
      {"local signature", GOLDEN_LOCAL, 4, 0x04034b51, failure("bad local file header")},
      // The data start comes from the local header's lengths, not the central record's.
      {"local name length 4", GOLDEN_LOCAL + 26, 2, 4, bytes_of("l<RegisterDescription/")},
      {"local extra length 1", GOLDEN_LOCAL + 28, 2, 1, bytes_of("RegisterDescription/>P")},
      {"local name length 65535", GOLDEN_LOCAL + 26, 2, 0xFFFF, failure("truncated archive data")},
      {"local extra length 65535", GOLDEN_LOCAL + 28, 2, 0xFFFF, failure("truncated archive data")},
      // Fields of the local header the reader does not use.
      {"local method deflated", GOLDEN_LOCAL + 8, 2, 8, GOLDEN_CONTENT},
      {"local compressed size 0", GOLDEN_LOCAL + 18, 4, 0, GOLDEN_CONTENT},
      {"CRC-32", GOLDEN_CENTRAL + 16, 4, 0, GOLDEN_CONTENT},
  };
  for (const auto& p : patches) {
    SCOPED_TRACE(p.what);
    Bytes archive = GOLDEN_STORED;
    if (p.width == 2) {
      put_le16(archive, p.offset, static_cast<std::uint16_t>(p.value));
    } else {
      put_le32(archive, p.offset, p.value);
    }
    EXPECT_TRUE(same(unzip_first_entry(archive), p.expected));
  }

  // A stored entry reaching the last byte, its own size field included.
  Bytes to_the_end = GOLDEN_STORED;
  put_le32(to_the_end, GOLDEN_CENTRAL + 20, static_cast<std::uint32_t>(len - GOLDEN_DATA));
  EXPECT_TRUE(same(unzip_first_entry(to_the_end), Bytes(to_the_end.begin() + GOLDEN_DATA, to_the_end.end())));
}

TEST(UnzipFirstEntry, GoldenTruncated) {
  // Every cut loses the end record: a shorter archive is never read through
  // an end record found further back.
  for (const std::size_t cut : {0, 1, 21, 22, 30, 57, 108, 129}) {
    SCOPED_TRACE(cut);
    EXPECT_TRUE(same(unzip_first_entry(std::span(GOLDEN_STORED).first(cut)),
                     failure("no end-of-central-directory record")));
  }
}

// Builds archives with chosen contents: local headers in entry order, then
// the central records, then the end record and its comment.
struct ZipEntry {
  std::string name;
  std::uint16_t method;
  Bytes data;  // as stored in the archive
  std::uint32_t uncompressed_size;
};

struct BuiltZip {
  Bytes bytes;
  std::vector<std::size_t> local;    // offset of each local header
  std::vector<std::size_t> central;  // offset of each central record
  std::size_t end = 0;
};

BuiltZip build_zip(const std::vector<ZipEntry>& entries, std::string_view comment = {}) {
  BuiltZip zip;
  Bytes& b = zip.bytes;
  for (const auto& e : entries) {
    zip.local.push_back(b.size());
    const std::size_t at = b.size();
    b.resize(at + 30, 0);
    put_le32(b, at, 0x04034b50);
    put_le16(b, at + 4, 20);
    put_le16(b, at + 8, e.method);
    put_le32(b, at + 18, static_cast<std::uint32_t>(e.data.size()));
    put_le32(b, at + 22, e.uncompressed_size);
    put_le16(b, at + 26, static_cast<std::uint16_t>(e.name.size()));
    append(b, e.name);
    b.insert(b.end(), e.data.begin(), e.data.end());
  }
  const std::size_t central_start = b.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    zip.central.push_back(b.size());
    const std::size_t at = b.size();
    b.resize(at + 46, 0);
    put_le32(b, at, 0x02014b50);
    put_le16(b, at + 4, 20);
    put_le16(b, at + 6, 20);
    put_le16(b, at + 10, e.method);
    put_le32(b, at + 20, static_cast<std::uint32_t>(e.data.size()));
    put_le32(b, at + 24, e.uncompressed_size);
    put_le16(b, at + 28, static_cast<std::uint16_t>(e.name.size()));
    put_le32(b, at + 42, static_cast<std::uint32_t>(zip.local[i]));
    append(b, e.name);
  }
  zip.end = b.size();
  b.resize(zip.end + 22, 0);
  put_le32(b, zip.end, 0x06054b50);
  put_le16(b, zip.end + 8, static_cast<std::uint16_t>(entries.size()));
  put_le16(b, zip.end + 10, static_cast<std::uint16_t>(entries.size()));
  put_le32(b, zip.end + 12, static_cast<std::uint32_t>(zip.end - central_start));
  put_le32(b, zip.end + 16, static_cast<std::uint32_t>(central_start));
  put_le16(b, zip.end + 20, static_cast<std::uint16_t>(comment.size()));
  append(b, comment);
  return zip;
}

ZipEntry stored(std::string name, std::string_view content) {
  return {std::move(name), 0, bytes_of(content), static_cast<std::uint32_t>(content.size())};
}

Bytes raw_deflate(std::span<const std::uint8_t> data, int level, std::string_view dictionary = {},
                  int strategy = Z_DEFAULT_STRATEGY) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  if (!dictionary.empty()) {
    EXPECT_EQ(deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(dictionary.data()),
                                   static_cast<uInt>(dictionary.size())),
              Z_OK);
  }
  Bytes out(deflateBound(&zs, static_cast<uLong>(data.size())));
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  deflateEnd(&zs);
  return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(zs.total_out));
}

ZipEntry deflated(std::string name, std::span<const std::uint8_t> content, int level = Z_BEST_COMPRESSION,
                  int strategy = Z_DEFAULT_STRATEGY) {
  return {std::move(name), 8, raw_deflate(content, level, {}, strategy),
          static_cast<std::uint32_t>(content.size())};
}

// A sizeable, compressible document.
Bytes sample_document() {
  std::string xml = "<RegisterDescription ModelName=\"Cam\">\n";
  for (int i = 0; i < 400; ++i) {
    xml += "  <Integer Name=\"Reg" + std::to_string(i) + "\"><Value>" + std::to_string(i * 7919) +
           "</Value></Integer>\n";
  }
  xml += "</RegisterDescription>\n";
  return bytes_of(xml);
}

TEST(UnzipFirstEntry, FindsTheEndRecordBehindAComment) {
  const std::string comment(100, 'c');
  const auto hello = [](std::string_view comment) {
    return build_zip({stored("a.xml", "hello")}, comment).bytes;
  };
  EXPECT_TRUE(same(unzip_first_entry(hello(comment)), bytes_of("hello")));

  // The longest comment a 16-bit length allows is still searched past.
  const std::string longest(65535, 'c');
  EXPECT_TRUE(same(unzip_first_entry(hello(longest)), bytes_of("hello")));

  // One byte more behind the end record and it is out of reach.
  Bytes too_far = hello(longest);
  too_far.push_back('c');
  EXPECT_TRUE(same(unzip_first_entry(too_far), failure("no end-of-central-directory record")));
}

TEST(UnzipFirstEntry, UsesTheHighestEndRecord) {
  // An end record with no entries inside the comment hides the real one.
  std::string fake(22, '\0');
  fake.replace(0, 4, "PK\x05\x06");
  EXPECT_TRUE(same(unzip_first_entry(build_zip({stored("a.xml", "hello")}, "note " + fake + " more").bytes),
                   failure("empty archive")));
  // The same bytes inside the entry's data come before the real one and are passed over.
  EXPECT_TRUE(same(unzip_first_entry(build_zip({stored("a.xml", fake)}).bytes), bytes_of(fake)));
}

TEST(UnzipFirstEntry, SmallestInputs) {
  EXPECT_TRUE(same(unzip_first_entry({}), failure("no end-of-central-directory record")));
  const Bytes empty_archive = build_zip({}).bytes;
  ASSERT_EQ(empty_archive.size(), 22u);
  EXPECT_TRUE(same(unzip_first_entry(empty_archive), failure("empty archive")));
  EXPECT_TRUE(same(unzip_first_entry(std::span(empty_archive).subspan(1)),
                   failure("no end-of-central-directory record")));
  // An end record alone that claims an entry: its central offset 0 finds the
  // end record's own signature.
  Bytes lone = empty_archive;
  put_le16(lone, 10, 1);
  EXPECT_TRUE(same(unzip_first_entry(lone), failure("bad central directory")));
}

TEST(UnzipFirstEntry, RecordsCutShortAtTheEndOfTheArchive) {
  // A record placed as the archive's last bytes (in the end record's
  // comment), and the central record or the end record pointed at it.
  const auto central_at_tail = [](std::string_view tail) {
    BuiltZip zip = build_zip({stored("a.xml", "hello")}, tail);
    put_le32(zip.bytes, zip.end + 16, static_cast<std::uint32_t>(zip.bytes.size() - tail.size()));
    return unzip_first_entry(zip.bytes);
  };
  const auto local_at_tail = [](std::string_view tail) {
    BuiltZip zip = build_zip({stored("a.xml", "hello")}, tail);
    put_le32(zip.bytes, zip.central[0] + 42, static_cast<std::uint32_t>(zip.bytes.size() - tail.size()));
    return unzip_first_entry(zip.bytes);
  };
  const auto truncated = failure("truncated archive");

  // Central record: signature only; 45 of its 46 bytes; all 46 (method 12,
  // local header offset 0, which holds a good header).
  std::string central = "PK\x01\x02" + std::string(42, '\0');
  central[10] = 12;
  EXPECT_TRUE(same(central_at_tail(central.substr(0, 4)), truncated));
  EXPECT_TRUE(same(central_at_tail(central.substr(0, 45)), truncated));
  EXPECT_TRUE(same(central_at_tail(central), failure("unsupported compression method 12")));

  // Local header: signature only; name length but no extra length; the
  // whole 30-byte header with the 5 data bytes missing.
  const std::string local = "PK\x03\x04" + std::string(26, '\0');
  EXPECT_TRUE(same(local_at_tail(local.substr(0, 4)), truncated));
  EXPECT_TRUE(same(local_at_tail(local.substr(0, 28)), truncated));
  EXPECT_TRUE(same(local_at_tail(local.substr(0, 29)), truncated));
  EXPECT_TRUE(same(local_at_tail(local), failure("truncated archive data")));
}

TEST(UnzipFirstEntry, OnlyTheFirstCentralRecordCounts) {
  BuiltZip two = build_zip({stored("first.xml", "first!"), stored("second.xml", "second")});
  EXPECT_TRUE(same(unzip_first_entry(two.bytes), bytes_of("first!")));
  // The first central record decides, not the first local header.
  put_le32(two.bytes, two.central[0] + 42, static_cast<std::uint32_t>(two.local[1]));
  EXPECT_TRUE(same(unzip_first_entry(two.bytes), bytes_of("second")));

  // Later entries are not examined, whatever their method.
  const ZipEntry method_12{"b.xml", 12, bytes_of("??"), 2};
  const BuiltZip mixed = build_zip({stored("a.xml", "first!"), method_12});
  EXPECT_TRUE(same(unzip_first_entry(mixed.bytes), bytes_of("first!")));
}

TEST(UnzipFirstEntry, DeflatedEntries) {
  const Bytes doc = sample_document();
  const ZipEntry best = deflated("cam.xml", doc);
  ASSERT_LT(best.data.size() * 4, doc.size()) << "the sample should really compress";
  EXPECT_TRUE(same(unzip_first_entry(build_zip({best}).bytes), doc));
  // Stored blocks inside a deflate stream.
  EXPECT_TRUE(same(unzip_first_entry(build_zip({deflated("cam.xml", doc, 0)}).bytes), doc));
  // An empty document.
  EXPECT_TRUE(same(unzip_first_entry(build_zip({deflated("e.xml", {})}).bytes), Bytes{}));

  // The recorded size only sizes the first allocation; the stream decides.
  for (const std::uint32_t recorded : {0u, 1u, 4096u, 0x04000000u}) {
    SCOPED_TRACE(recorded);
    ZipEntry lying = best;
    lying.uncompressed_size = recorded;
    EXPECT_TRUE(same(unzip_first_entry(build_zip({lying}).bytes), doc));
  }
}

TEST(UnzipFirstEntry, CorruptDeflateData) {
  const auto unzip_deflated = [](Bytes data) {
    return unzip_first_entry(build_zip({{"x.xml", 8, std::move(data), 100}}).bytes);
  };
  // Block type 3 is reserved.
  EXPECT_TRUE(same(unzip_deflated({0xFF, 0x00}), failure("deflate: invalid block type")));
  // A stored block whose length and its complement disagree.
  EXPECT_TRUE(same(unzip_deflated({0x01, 0x05, 0x00, 0x00, 0x00, 'h', 'e', 'l', 'l', 'o'}),
                   failure("deflate: invalid stored block lengths")));
  // Back-references into a preset dictionary the reader does not have.
  const Bytes text = bytes_of("GenICam GenICam GenICam description");
  EXPECT_TRUE(same(unzip_deflated(raw_deflate(text, 9, "GenICam description")),
                   failure("deflate: invalid distance too far back")));
}

TEST(UnzipFirstEntry, TruncatedDeflateStream) {
  const Bytes doc = sample_document();
  const ZipEntry whole = deflated("cam.xml", doc);
  const auto eos = failure("deflate: unexpected end of stream");
  const std::size_t n = whole.data.size();
  for (const std::size_t keep : {std::size_t{0}, std::size_t{1}, n / 2, n - 1}) {
    SCOPED_TRACE(keep);
    ZipEntry cut = whole;
    cut.data.resize(keep);
    EXPECT_TRUE(same(unzip_first_entry(build_zip({cut}).bytes), eos));
  }
  // The same cut made by the central record's compressed size alone, with
  // the rest of the stream still following in the file.
  BuiltZip zip = build_zip({whole});
  put_le32(zip.bytes, zip.central[0] + 20, static_cast<std::uint32_t>(whole.data.size() - 1));
  EXPECT_TRUE(same(unzip_first_entry(zip.bytes), eos));
}

TEST(UnzipFirstEntry, InflatingStopsAtTheLimit) {
  // Zeros run-length encoded compress about 1000:1: these archives are some
  // 65 KB each.
  {
    const Bytes at_limit(MAX_ARCHIVE_ENTRY, 0);
    const auto result = unzip_first_entry(build_zip({deflated("ok.xml", at_limit, 9, Z_RLE)}).bytes);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->size(), MAX_ARCHIVE_ENTRY);
    EXPECT_EQ(*result, at_limit);
  }

  const Bytes one_more(MAX_ARCHIVE_ENTRY + 1, 0);
  ZipEntry bomb = deflated("bomb.xml", one_more, 9, Z_RLE);
  ASSERT_LT(bomb.data.size(), 100u * 1024);
  const auto too_much = failure("deflate: output exceeds 67108864 bytes");
  for (const std::uint32_t recorded : {0u, 1000u, 0x04000000u}) {
    SCOPED_TRACE(recorded);
    bomb.uncompressed_size = recorded;
    EXPECT_TRUE(same(unzip_first_entry(build_zip({bomb}).bytes), too_much));
  }
}

}  // namespace
}  // namespace corvantic::genicam
