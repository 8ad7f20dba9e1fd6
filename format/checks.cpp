// The checks behind the original's size: name=value words, written and read.
#include "format/checks.h"

#include <cstdio>
#include <cstring>

#include "format/trailer.h"

#ifdef QV_XXH3_DISPATCH
// The library's entry points that pick the processor's widest vector unit; they take the
// place of XXH3_64bits and XXH3_64bits_update below.
#include <xxh_x86dispatch.h>
#endif

namespace {

constexpr char kSeparator = '|';

struct CheckWord {
  const char* name;
  unsigned bit;
  std::uint64_t PatchChecks::*value;
  bool is_hash;  // 16 lowercase hex digits; otherwise a decimal size
};

constexpr CheckWord kWords[] = {
    {"new-size", kNewSizeCheck, &PatchChecks::new_size, false},
    {"original-xxh3", kOriginalHashCheck, &PatchChecks::original_hash, true},
    {"new-xxh3", kNewHashCheck, &PatchChecks::new_hash, true},
    {"operations-xxh3", kOperationsHashCheck, &PatchChecks::operations_hash, true},
};

bool is_name_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// A value ends at a blank or the separator; it holds no control byte.
bool is_value_byte(char c) {
  return static_cast<unsigned char>(c) > ' ' && c != 0x7F && c != kSeparator;
}

int digit_value(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads a whole value: 16 lowercase hex digits, or 1 to 20 decimal digits that fit 64 bits.
bool read_value(const char* text, std::size_t length, bool hex, std::uint64_t* value) {
  if (hex ? length != 16 : length == 0 || length > 20) return false;
  unsigned base = hex ? 16 : 10;
  *value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    int digit = digit_value(text[i], hex);
    if (digit < 0 || *value > (UINT64_MAX - static_cast<unsigned>(digit)) / base) return false;
    *value = *value * base + static_cast<unsigned>(digit);
  }
  return true;
}

// Takes the word at `text` (its name `name_length` bytes, then '=' and `value_length`
// bytes); false when it is a known word with a bad or repeated value.
bool take_word(const char* text, std::size_t name_length, std::size_t value_length,
               PatchChecks* checks) {
  for (const CheckWord& word : kWords) {
    if (std::strlen(word.name) != name_length || std::strncmp(text, word.name, name_length) != 0) {
      continue;
    }
    if ((checks->present & word.bit) != 0 ||
        !read_value(text + name_length + 1, value_length, word.is_hash, &(checks->*word.value))) {
      return false;
    }
    checks->present |= word.bit;
  }
  return true;
}

}  // namespace

PatchChecks parse_checks(const char* text) {
  PatchChecks checks = {0, 0, 0, 0, 0};
  for (const char* at = text;;) {
    std::size_t name = 0, value = 0;
    while (is_name_byte(at[name]))
      ++name;
    if (name == 0 || at[name] != '=') return {0, 0, 0, 0, 0};
    while (is_value_byte(at[name + 1 + value]))
      ++value;
    if (!take_word(at, name, value, &checks)) return {0, 0, 0, 0, 0};
    at += name + 1 + value;
    if (*at == kSeparator) return checks;
    if (*at != ' ') return {0, 0, 0, 0, 0};
    ++at;
  }
}

PatchChecks make_checks(const unsigned char* original, std::size_t original_size,
                        const unsigned char* new_file, std::size_t new_size, const void* operations,
                        std::size_t operations_size) {
  return {kAllChecks, new_size, hash_bytes(original, original_size), hash_bytes(new_file, new_size),
          hash_bytes(operations, operations_size)};
}

PatchChecks make_checks(const unsigned char* original, std::size_t original_size,
                        const unsigned char* new_file, std::size_t new_size,
                        const std::string& operations) {
  return make_checks(original, original_size, new_file, new_size, operations.data(),
                     operations.size());
}

std::string size_field_with_checks(std::uint64_t original_size, const PatchChecks& checks) {
  std::string field = size_field_for(original_size);
  if (checks.present == 0) return field;
  if (field.empty()) field = kSeparator;
  const char* joint = "";
  for (const CheckWord& word : kWords) {
    if ((checks.present & word.bit) == 0) continue;
    char text[64];
    auto value = static_cast<unsigned long long>(checks.*word.value);
    std::snprintf(text, sizeof text, word.is_hash ? "%s%s=%016llx" : "%s%s=%llu", joint, word.name,
                  value);
    field += text;
    joint = " ";
  }
  return field + kSeparator;
}

std::uint64_t hash_bytes(const void* bytes, std::size_t size) {
  return XXH3_64bits(bytes, size);
}

void start_hash(StreamHash* hash) {
  XXH3_64bits_reset(hash);
}

void add_to_hash(StreamHash* hash, const void* bytes, std::size_t size) {
  XXH3_64bits_update(hash, bytes, size);
}

std::uint64_t hash_value(const StreamHash& hash) {
  return XXH3_64bits_digest(&hash);
}
