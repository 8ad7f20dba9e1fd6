// Patches built from a list of operations, for the benchmark.
#pragma once

#include <cstdint>
#include <string>

struct PatchOp {
  bool copy;
  std::uint32_t offset;  // copies only
  std::uint32_t length;  // copies only; an insert's length is data.size()
  std::string data;      // inserts only
};

PatchOp copy_op(std::uint32_t offset, std::uint32_t length);
PatchOp insert_op(std::string data);

// Appends one operation with the narrowest operand widths that hold its values.
void append_op(std::string* stream, const PatchOp& op);

// The trailer with its length field; `size_field` as given ("1234|", or "").
std::string make_trailer(const std::string& original_name, const std::string& new_name,
                         const std::string& size_field = "");
