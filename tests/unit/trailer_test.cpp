// The trailer parser and the number rule, without files.
#include <gtest/gtest.h>

#include <string>

#include "format/trailer.h"

namespace {

struct ParseCase {
  const char* label;
  std::string text;  // trailer text with its length field
  TrailerDefect defect;
  const char* original;  // nullptr when not found
  const char* new_name;
  std::int32_t size;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << c.label;
}

class ParseTrailer : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTrailer, SplitsFieldsOrNamesTheDefect) {
  const ParseCase& c = GetParam();
  std::string text = c.text;
  TrailerFields fields = parse_trailer(text.data());
  EXPECT_EQ(fields.defect, c.defect);
  EXPECT_EQ(fields.expected_original_size, c.size);
  if (c.original == nullptr) {
    EXPECT_EQ(fields.original_name, nullptr);
  } else {
    ASSERT_NE(fields.original_name, nullptr);
    EXPECT_STREQ(fields.original_name, c.original);
  }
  if (c.new_name == nullptr) {
    EXPECT_EQ(fields.new_name, nullptr);
  } else {
    ASSERT_NE(fields.new_name, nullptr);
    EXPECT_STREQ(fields.new_name, c.new_name);
  }
}

const TrailerDefect ok = TrailerDefect::none;

INSTANTIATE_TEST_SUITE_P(
    Shapes, ParseTrailer,
    testing::Values(
        ParseCase{"plain", "Quorvalex|a.dat|b.dat|00022", ok, "a.dat", "b.dat", 0},
        ParseCase{"size", "Quorvalex|a.dat|b.dat|1234|00027", ok, "a.dat", "b.dat", 1234},
        ParseCase{"size without closing separator", "Quorvalex|a.dat|b.dat|123400026", ok, "a.dat",
                  "b.dat", 0},
        ParseCase{"text after the fourth separator", "Quorvalex|a|b|77|junk|00016", ok, "a", "b",
                  77},
        ParseCase{"blank before size", "Quorvalex|a|b|  -5|00018", ok, "a", "b", -5},
        ParseCase{"size beyond 32 bits is not checked", "Quorvalex|a|b|3000000000|00024", ok, "a",
                  "b", 0},
        ParseCase{"size far beyond 64 bits", "Quorvalex|a|b|99999999999999999999999|00035", ok, "a",
                  "b", 0},
        ParseCase{"largest 32-bit size", "Quorvalex|a|b|2147483647|00024", ok, "a", "b",
                  2147483647},
        ParseCase{"empty names", "Quorvalex|||00011", ok, "", "", 0},
        ParseCase{"lower-case signature", "quorvalex|a|b|00014", TrailerDefect::no_signature,
                  nullptr, nullptr, 0},
        ParseCase{"longer signature", "QuorvalexX|a|b|00015", TrailerDefect::no_signature, nullptr,
                  nullptr, 0},
        ParseCase{"blank before separator", "Quorvalex |a|b|00015", TrailerDefect::no_signature,
                  nullptr, nullptr, 0},
        ParseCase{"no separator", "Quorvalex00009", TrailerDefect::no_signature, nullptr, nullptr,
                  0},
        ParseCase{"one separator", "Quorvalex|a.dat00015", TrailerDefect::no_original_name, nullptr,
                  nullptr, 0},
        ParseCase{"two separators", "Quorvalex|a.dat|b.dat00021", TrailerDefect::no_new_name,
                  "a.dat", nullptr, 0},
        ParseCase{"zero byte hides the third separator", std::string("Quorvalex|a|b\0|00014", 20),
                  TrailerDefect::no_new_name, "a", nullptr, 0},
        ParseCase{"zero byte hides the size's separator",
                  std::string("Quorvalex|a|b|12\0|00017", 23), ok, "a", "b", 0},
        ParseCase{"zero byte inside the signature", std::string("Quor\0valex|a|b|00014", 20),
                  TrailerDefect::no_signature, nullptr, nullptr, 0}),
    [](const testing::TestParamInfo<ParseCase>& info) {
      std::string name;
      for (const char* c = info.param.label; *c; ++c)
        name += std::isalnum(*c) ? *c : '_';
      return name;
    });

TEST(ParseNumber, FollowsTheNumberRule) {
  struct {
    const char* text;
    std::int64_t value;
  } cases[] = {
      {"00022", 22}, {"   22", 22}, {"\t\n22", 22}, {"+0022", 22}, {"-0022", -22}, {"22abc", 22},
      {"abc", 0},    {"", 0},       {"-", 0},       {"2 2", 2},    {"00000", 0},   {"99999", 99999},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_number(c.text), c.value) << c.text;
  // Overflow saturates instead of wrapping into a small or negative value.
  EXPECT_GT(parse_number("999999999999999999999999"), std::int64_t{1} << 58);
  EXPECT_LT(parse_number("-999999999999999999999999"), -(std::int64_t{1} << 58));
}

TEST(TrailerLength, AcceptsOnlyWhatFitsTheFileAndTheBuffer) {
  struct {
    const char* field;
    std::uint64_t file_size;
    std::int64_t total;
  } cases[] = {
      {"00022", 27, 27},        // nothing but a trailer: data end 0
      {"00022", 26, -1},        // one byte longer than the file
      {"00022", 1000000, 27},   //
      {"   22", 100, 27},       // blanks read as zeros would
      {"-0022", 100, -1},       // negative
      {"04090", 100000, 4095},  // the largest that fits with its terminator
      {"04091", 100000, -1},    //
      {"99999", 1000000, -1},   //
      {"abcde", 100, 5},        // no digits: a trailer of the length field alone
      {"2\0xyz", 100, 7},       // a zero byte ends the field
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trailer_length(c.field, c.file_size), c.total) << c.field << " " << c.file_size;
  }
}

}  // namespace
