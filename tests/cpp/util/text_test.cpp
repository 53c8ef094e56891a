#include "util/text.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace corvantic::util {
namespace {

std::string lossy(std::vector<std::uint8_t> bytes) { return decode_utf8_lossy(bytes); }

TEST(DecodeUtf8Lossy, KeepsValidSequencesOfEveryLength) {
  EXPECT_EQ(lossy({'A', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}), "A\u00e9\u20ac\U0001F600");
}

// Each row: input bytes and the expected text, following the maximal-subpart
// substitution that Python's bytes.decode("utf-8", "replace") applies.
TEST(DecodeUtf8Lossy, ReplacesEachMaximalInvalidSubpart) {
  struct Case {
    std::vector<std::uint8_t> in;
    std::string out;
  };
  const Case cases[] = {
      {{0x80}, "\uFFFD"},                                  // lone continuation
      {{0xFF, 'a'}, "\uFFFDa"},                            // never-valid byte
      {{0xC0, 0x80}, "\uFFFD\uFFFD"},                      // overlong lead
      {{0xE2, 0x82}, "\uFFFD"},                            // truncated at end: one replacement
      {{0xE2, 0x82, 'x'}, "\uFFFDx"},                      // truncated before ASCII
      {{0xE0, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD"},          // overlong 3-byte
      {{0xED, 0xA0, 0x80}, "\uFFFD\uFFFD\uFFFD"},          // surrogate
      {{0xF4, 0x90, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {{0xF0, 0x9F, 0x98}, "\uFFFD"},                      // truncated 4-byte
      {{0xF0, 0x9F, 0x98, 'A'}, "\uFFFDA"},
  };
  for (const auto& c : cases) EXPECT_EQ(lossy(c.in), c.out);
}

// Invalid sequences at every position of the eight-byte ASCII stride, and
// valid text on either side of them.
TEST(IsValidUtf8, FindsAnInvalidSequenceWhereverItSits) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ASCII text longer than one stride"));
  EXPECT_TRUE(is_valid_utf8("G\u00e4in \u20ac \U0001F600 and more ASCII after it"));
  const std::vector<std::vector<std::uint8_t>> invalid = {
      {0x80}, {0xC0, 0x80}, {0xE2, 0x82}, {0xED, 0xA0, 0x80}, {0xF4, 0x90, 0x80, 0x80}, {0xF0, 0x9F, 0x98},
  };
  for (const auto& bad : invalid) {
    for (std::size_t before = 0; before < 12; ++before) {
      std::string text(before, 'a');
      text.append(bad.begin(), bad.end());
      text.append("tail");
      EXPECT_FALSE(is_valid_utf8(text)) << "after " << before << " bytes";
      EXPECT_EQ(is_valid_utf8(text), lossy({text.begin(), text.end()}) == text);
    }
  }
}

TEST(DecodeTextField, EndsAtFirstZeroByte) {
  const std::vector<std::uint8_t> serial = {'A', 'B', '1', '2', 0, 0, 'Z', 'Z'};
  EXPECT_EQ(decode_text_field(serial), "AB12");
  const std::vector<std::uint8_t> empty = {0, 'x', 'y'};
  EXPECT_EQ(decode_text_field(empty), "");
}

TEST(DecodeTextField, UsesWholeFieldWithoutZeroAndKeepsWhitespace) {
  std::vector<std::uint8_t> field(32, 'm');
  field[0] = ' ';
  field[31] = ' ';
  EXPECT_EQ(decode_text_field(field), " " + std::string(30, 'm') + " ");
}

TEST(HexForms, FourDigitsAtLeastForCodes) {
  EXPECT_EQ(hex4(0x84), "0x0084");
  EXPECT_EQ(hex4(0x8006), "0x8006");
  EXPECT_EQ(hex4(0xABCDE), "0xabcde");
  EXPECT_EQ(hex(0), "0x0");
  EXPECT_EQ(hex(0xDEADBEEF), "0xdeadbeef");
}

}  // namespace
}  // namespace corvantic::util
