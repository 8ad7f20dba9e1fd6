// The trailer at the end of a patch file: signature, the two file names and the
// original's optional size, followed by a five-character length field.
#include "format/trailer.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kSignature[] = "Quorvalex";
constexpr char kSeparator = '|';
constexpr std::int64_t kNumberLimit = INT64_MAX / 10 - 10;

// Finds the next separator, cuts the text there and returns what follows it.
char* cut_at_separator(char* text) {
  char* separator = std::strchr(text, kSeparator);
  if (separator == nullptr) return nullptr;
  *separator = '\0';
  return separator + 1;
}

// Sizes that a signed 32-bit field cannot hold are not checked at all: a wrapped value
// would reject the right original.
std::int32_t size_field(const char* text) {
  std::int64_t value = parse_number(text);
  if (value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<std::int32_t>(value);
}

bool is_storable_name(std::string_view name) {
  return name.find(kSeparator) == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

std::int64_t parse_number(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text)))
    ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  std::int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    if (value < kNumberLimit) value = value * 10 + (*text - '0');
  }
  return negative ? -value : value;
}

std::int64_t trailer_length(const char field[kLengthFieldSize], std::uint64_t file_size) {
  char text[kLengthFieldSize + 1];
  std::memcpy(text, field, kLengthFieldSize);
  text[kLengthFieldSize] = '\0';
  std::int64_t length = parse_number(text);
  if (length < 0) return -1;
  std::int64_t total = length + static_cast<std::int64_t>(kLengthFieldSize);
  // The trailer, its length field and a terminating zero must fit the buffer.
  if (total >= static_cast<std::int64_t>(kTrailerCapacity)) return -1;
  if (static_cast<std::uint64_t>(total) > file_size) return -1;
  return total;
}

TrailerFields parse_trailer(char* text) {
  TrailerFields fields = {TrailerDefect::none, nullptr, nullptr, 0, {}};
  char* original = cut_at_separator(text);
  if (original == nullptr || std::strcmp(text, kSignature) != 0) {
    fields.defect = TrailerDefect::no_signature;
    return fields;
  }
  char* name_after_original = cut_at_separator(original);
  if (name_after_original == nullptr) {
    fields.defect = TrailerDefect::no_original_name;
    return fields;
  }
  fields.original_name = original;
  char* rest = cut_at_separator(name_after_original);
  if (rest == nullptr) {
    fields.defect = TrailerDefect::no_new_name;
    return fields;
  }
  fields.new_name = name_after_original;
  // The size counts only when another separator follows it before the end; the checks
  // stand behind that separator.
  const char* behind_size = std::strchr(rest, kSeparator);
  if (behind_size != nullptr) {
    fields.expected_original_size = size_field(rest);
    fields.checks = parse_checks(behind_size + 1);
  }
  return fields;
}

std::string size_field_for(std::uint64_t original_size) {
  if (original_size == 0 || original_size > INT32_MAX) return "";
  return std::to_string(original_size) + kSeparator;
}

std::string encode_trailer(std::string_view original_name, std::string_view new_name,
                           std::string_view size_field) {
  if (!is_storable_name(original_name) || !is_storable_name(new_name)) return "";
  std::string text = kSignature;
  text.append(1, kSeparator).append(original_name).append(1, kSeparator);
  text.append(new_name).append(1, kSeparator).append(size_field);
  if (text.size() + kLengthFieldSize >= kTrailerCapacity) return "";
  char field[kLengthFieldSize + 1];
  std::snprintf(field, sizeof field, "%05zu", text.size());
  return text + field;
}
