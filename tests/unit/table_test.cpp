// The rows of tables.txt: pure functions of the format (the decoder, the encoder, the
// trailer's rules) and of the choosers, and the bad-input catalogue through the fuzz
// target, each row an input and what must come out. The fuzz corpus is replayed too.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/patch_job.h"
#include "format/operation.h"
#include "format/trailer.h"
#include "select/choosers.h"
#include "select/console_chooser.h"
#include "select/printable.h"
#include "tests/support/helpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern JobOutcome last_outcome;

namespace {

// How the fuzz target's patch job ends on the input at `path`; the target itself checks
// the new file against its model.
std::string replay(const std::string& path) {
  const char* const names[] = {"complete",      "patch_missing",     "not_valid",
                               "no_new_name",   "original_unusable", "destination_refused",
                               "damaged_patch", "wrong_original",    "write_failed"};
  std::string bytes = read_file(path);
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return names[static_cast<int>(last_outcome)];
}

std::string unescape(const std::string& field, const std::string& cwd) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field.compare(i, 4, "$CWD") == 0 || field.compare(i, 5, "$DEEP") == 0) {
      out += field[i + 1] == 'C' ? cwd : std::string(PATH_MAX + 10, 'd');
      i += field[i + 1] == 'C' ? 3 : 4;
    } else if (field[i] != '\\') {
      out += field[i];
    } else if (field[++i] == 'x') {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += std::string("\n\r\t\0\\", 5)[std::string("nrt0\\").find(field[i])];
    }
  }
  return out;
}

std::string shown(const char* text) {
  return text == nullptr ? "(null)" : text;
}

// What `function` makes of the input fields, in the form of the expected fields.
std::vector<std::string> outcome(const std::string& function, std::vector<std::string> in) {
  char text[PATH_MAX + 64] = "";
  std::snprintf(text, sizeof text, "%s", in[0].c_str());
  if (function == "decode") {
    const unsigned char bytes[] = {static_cast<unsigned char>(in[0][0]), 1, 2, 3, 4, 5, 6, 7, 8};
    Operation op{};
    std::size_t head = decode_operation(bytes, sizeof bytes, &op);
    for (std::size_t cut = 0; cut < head; ++cut)
      if (decode_operation(bytes, cut, &op) != 0) head = 99;
    decode_operation(bytes, sizeof bytes, &op);
    return {std::to_string(op.is_copy), std::to_string(op.offset), std::to_string(op.length),
            std::to_string(head)};
  }
  if (function == "encode") {
    Operation op = {in[0] == "1", static_cast<std::uint32_t>(std::stoul(in[1], nullptr, 0)),
                    static_cast<std::uint32_t>(std::stoul(in[2], nullptr, 0))},
              back{};
    unsigned char head[kMaxOperationHead];
    std::size_t size = encode_operation(op, head);
    bool same =
        decode_operation(head, size, &back) == size && back.is_copy == op.is_copy &&
        back.offset == (op.is_copy ? op.offset : 0) && back.length == op.length &&
        size == (op.is_copy ? copy_head_size(op.offset, op.length) : insert_head_size(op.length));
    return {same ? std::to_string(size) : "not decoded back"};
  }
  if (function == "inserts") {
    std::uint64_t size = insert_stream_size(std::stoull(in[0]));
    return {std::to_string(size) + (size <= kMaxOperationStream ? " fits" : " too long")};
  }
  if (function == "pack") {
    return {encode_trailer(in[0], in[1], size_field_for(std::stoull(in[2])))};
  }
  if (function == "number") return {std::to_string(parse_number(in[0].c_str()))};
  if (function == "length") {
    return {std::to_string(trailer_length(in[0].data(), std::stoull(in[1])))};
  }
  if (function == "trailer") {
    TrailerFields fields = parse_trailer(in[0].data());
    return {std::to_string(static_cast<int>(fields.defect)), shown(fields.original_name),
            shown(fields.new_name), std::to_string(fields.expected_original_size)};
  }
  if (function == "checks") {
    TrailerFields fields = parse_trailer(in[0].data());
    return {size_field_with_checks(static_cast<std::uint32_t>(fields.expected_original_size),
                                   fields.checks)};
  }
  if (function == "printable") {
    // Room for `capacity` bytes, then a fence that must stay as it is.
    std::size_t capacity = std::stoul(in[1]);
    std::string out(capacity + 8, '#');
    printable(in[0].c_str(), &out[0], capacity);
    bool inside = out.find('\0') < capacity && out.compare(capacity, 8, "########") == 0;
    return {inside ? std::string(out.c_str()) : "written past its room"};
  }
  if (function == "clean") clean_chosen_path(text);
  if (function == "trim") trim_answer(text);
  if (function == "replay") return {replay(QV_SOURCE_DIR "/" + in[0])};
  if (function == "absolute") {
    char result[kPathCapacity];
    return {absolute_path(in[0].c_str(), result, sizeof result) ? result : "(null)"};
  }
  return {text};
}

TEST(Tables, EveryRowComesOutAsExpected) {
  std::string folder = enter_scratch_folder();
  write_file("a.dat", "");
  ASSERT_EQ(mkdir("sub", 0755), 0);
  ASSERT_EQ(symlink("a.dat", "soft"), 0);
  char cwd[PATH_MAX];
  ASSERT_NE(realpath(".", cwd), nullptr);
  ASSERT_EQ(setenv("QV_FUZZ_SCRATCH", cwd, 1), 0);
  for (const auto& entry : std::filesystem::directory_iterator(QV_SOURCE_DIR "/fuzz/corpus/job"))
    replay(entry.path());
  std::ifstream table(std::string(QV_SOURCE_DIR) + "/tests/unit/tables.txt");
  int rows = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');)
      fields.push_back(unescape(field, cwd));
    if (line.back() == '\t') fields.emplace_back();
    std::size_t inputs = fields.size() - (fields[0] == "decode" || fields[0] == "trailer" ? 4 : 1);
    std::vector<std::string> in(fields.begin() + 1, fields.begin() + inputs), expected;
    for (std::size_t i = inputs; i < fields.size(); ++i)
      expected.push_back(fields[i].rfind("0x", 0) == 0
                             ? std::to_string(std::stoul(fields[i], nullptr, 16))
                             : fields[i]);
    EXPECT_EQ(outcome(fields[0], in), expected) << line;
    ++rows;
  }
  EXPECT_GT(rows, 130);
  EXPECT_EQ(encode_trailer("a", std::string(4077, 'b'), "").size(), 4095u);
  EXPECT_EQ(encode_trailer("a", std::string(4078, 'b'), ""), "");
  ASSERT_EQ(chdir("/"), 0);
  std::filesystem::remove_all(folder);
}

}  // namespace
