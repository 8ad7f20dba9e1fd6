// The trailer at the end of a patch file: signature, the two file names and the
// original's optional size, followed by a five-character length field.
#include <cctype>
#include <cstring>

#include "engine/patch.h"
#include "frontend/messages.h"

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
  TrailerFields fields = {TrailerDefect::none, nullptr, nullptr, 0};
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
  // The size counts only when another separator follows it before the end.
  if (std::strchr(rest, kSeparator) != nullptr) fields.expected_original_size = size_field(rest);
  return fields;
}

namespace {

// Reads the trailer text into the job's buffer and sets the data end; false when the
// file is too short or its length field is unusable.
bool load_trailer(PatchJob* job) {
  std::int64_t file_size = stream_size(job->patch_stream);
  if (file_size < static_cast<std::int64_t>(kLengthFieldSize)) return false;
  char field[kLengthFieldSize];
  if (!seek_to(job->patch_stream, file_size - kLengthFieldSize) ||
      std::fread(field, 1, kLengthFieldSize, job->patch_stream) != kLengthFieldSize) {
    return false;
  }
  std::int64_t total = trailer_length(field, file_size);
  if (total < 0) return false;
  std::uint64_t data_end = file_size - total;
  // Operation offsets are 32-bit; a longer stream cannot be described.
  if (data_end > UINT32_MAX) return false;
  job->data_end = static_cast<std::uint32_t>(data_end);
  std::size_t length = static_cast<std::size_t>(total);
  if (!seek_to(job->patch_stream, data_end) ||
      std::fread(job->trailer, 1, length, job->patch_stream) != length) {
    return false;
  }
  job->trailer[length] = '\0';
  return true;
}

}  // namespace

int read_patch_trailer(PatchJob* job) {
  if (!load_trailer(job)) fail_and_exit(msg::kNotValid, job->patch_name);
  TrailerFields fields = parse_trailer(job->trailer);
  if (fields.original_name == nullptr) fail_and_exit(msg::kNotValid, job->patch_name);
  show_message(msg::kOriginalNamed, fields.original_name);
  if (fields.new_name == nullptr) fail_and_exit(msg::kNotValidAfterName, job->patch_name);
  show_message(msg::kNewNamed, fields.new_name);
  job->original_name = fields.original_name;
  job->new_name = fields.new_name;
  job->expected_original_size = fields.expected_original_size;
  seek_to(job->patch_stream, 0);
  return 1;
}
