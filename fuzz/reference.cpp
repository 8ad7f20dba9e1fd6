// The patch format spelled out step by step with strings, no buffers or streams.
#include "fuzz/reference.h"

#include <vector>

namespace {

constexpr std::size_t kTrailerBuffer = 4096;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Blanks, a sign, digits; stops counting at 10^12, far beyond any 32-bit value.
std::int64_t number(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i]))
    ++i;
  bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 1000000000000) value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

std::string up_to_zero(const std::string& text) {
  return text.substr(0, text.find('\0'));
}

std::vector<std::string> split_at_bars(const std::string& text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == '|') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

void model_trailer(const std::string& patch, ModelResult* result) {
  result->verdict = Verdict::bad_length;
  result->original_name.clear();
  result->new_name.clear();
  result->expected_original_size = 0;
  result->data_end = 0;
  result->output.clear();
  if (patch.size() < 5) return;
  std::int64_t total = number(up_to_zero(patch.substr(patch.size() - 5))) + 5;
  if (total < 5 || total >= static_cast<std::int64_t>(kTrailerBuffer) ||
      static_cast<std::uint64_t>(total) > patch.size()) {
    return;
  }
  result->data_end = patch.size() - static_cast<std::size_t>(total);
  std::vector<std::string> parts = split_at_bars(up_to_zero(patch.substr(result->data_end)));
  if (parts.size() < 2 || parts[0] != "Quorvalex") {
    result->verdict = Verdict::no_signature;
    return;
  }
  if (parts.size() < 3) {
    result->verdict = Verdict::no_original_name;
    return;
  }
  result->original_name = parts[1];
  if (parts.size() < 4) {
    result->verdict = Verdict::no_new_name;
    return;
  }
  result->new_name = parts[2];
  if (parts.size() >= 5) {
    std::int64_t size = number(parts[3]);
    if (size >= INT32_MIN && size <= INT32_MAX) result->expected_original_size = size;
  }
  result->verdict = Verdict::complete;
  return;
}

std::uint32_t little_endian(const unsigned char* bytes, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value |= std::uint32_t{bytes[i]} << (8 * i);
  return value;
}

std::size_t operand_width(unsigned op, unsigned one_byte, unsigned two_bytes) {
  return (op & one_byte) ? 1 : (op & two_bytes) ? 2 : 4;
}

void run_operations(const std::string& patch, const std::string& original, std::size_t cap,
                    ModelResult* result) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(patch.data());
  std::uint64_t position = 0;
  while (position < result->data_end) {
    ModelOperation op = model_operation(bytes + position, result->data_end - position);
    if (op.head == 0) {
      result->verdict = Verdict::damaged_patch;
      return;
    }
    position += op.head;
    std::uint64_t reach = op.is_copy ? std::uint64_t{op.offset} + op.length : position + op.length;
    if (reach > (op.is_copy ? original.size() : result->data_end)) {
      result->verdict = op.is_copy ? Verdict::wrong_original : Verdict::damaged_patch;
      return;
    }
    if (result->output.size() + op.length > cap) {
      result->verdict = Verdict::too_big;
      return;
    }
    if (op.is_copy) {
      result->output.append(original, op.offset, op.length);
    } else {
      result->output.append(patch, position, op.length);
    }
    if (!op.is_copy) position += op.length;
  }
}

}  // namespace

ModelOperation model_operation(const unsigned char* bytes, std::size_t available) {
  ModelOperation op = {false, 0, 0, 0};
  if (available == 0) return op;
  unsigned code = bytes[0];
  op.is_copy = (code & 0x01) != 0;
  std::size_t first = operand_width(code, 0x02, 0x04);
  std::size_t second = op.is_copy ? operand_width(code, 0x08, 0x10) : 0;
  if (available < 1 + first + second) return op;
  std::uint32_t value = little_endian(bytes + 1, first);
  if (op.is_copy) {
    op.offset = value;
    op.length = little_endian(bytes + 1 + first, second);
  } else {
    op.length = value;
  }
  op.head = 1 + first + second;
  return op;
}

void model_patch(const std::string& patch, const std::string* original, std::size_t output_cap,
                 ModelResult* result) {
  model_trailer(patch, result);
  if (result->verdict != Verdict::complete || original == nullptr) return;
  if (result->expected_original_size != 0 &&
      static_cast<std::int64_t>(original->size()) != result->expected_original_size) {
    result->verdict = Verdict::wrong_original;
    return;
  }
  run_operations(patch, *original, output_cap, result);
}
