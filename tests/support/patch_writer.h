// Builds patch files for tests, benchmarks and the demo: operations in, bytes out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
std::string encode_ops(const std::vector<PatchOp>& ops);

// The trailer with its length field: "Quorvalex|orig|new|" plus `size_field` as given
// (for example "1234|", or "" for no size check).
std::string make_trailer(const std::string& original_name, const std::string& new_name,
                         const std::string& size_field = "");

// A whole patch: the encoded operations followed by the trailer.
std::string make_patch(const std::vector<PatchOp>& ops, const std::string& original_name,
                       const std::string& new_name, const std::string& size_field = "");

// What applying `ops` to `original` must give: the reference the engine is checked on.
std::string apply_reference(const std::vector<PatchOp>& ops, const std::string& original);

// Whole-file helpers.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
