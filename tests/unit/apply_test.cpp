// Rebuilding the new file from real files: block edges, the data end, large originals,
// and a differential run against the reference model.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/files.h"
#include "engine/patch_job.h"
#include "tests/support/fakes.h"
#include "tests/support/patch_writer.h"

namespace {

// Random bytes from a cheap generator seeded by `rng`: megabytes of them are needed.
std::string random_bytes(std::mt19937* rng, std::size_t size) {
  std::string bytes(size, '\0');
  std::uint64_t state = (*rng)();
  for (char& byte : bytes) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    byte = static_cast<char>(state >> 56);
  }
  return bytes;
}

unsigned needed_width(std::uint32_t value) {
  return value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : 4;
}

// Bits for an operand `width` bytes wide; a one-byte operand may carry the two-byte bit too.
unsigned width_bits(unsigned width, unsigned one_byte, unsigned two_bytes, std::mt19937* rng) {
  if (width == 1) return one_byte | ((*rng)() % 2 ? two_bytes : 0);
  return width == 2 ? two_bytes : 0;
}

void append_le(std::string* out, std::uint32_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i)
    *out += static_cast<char>(value >> (8 * i));
}

// Patch bytes for `op` with operands at least as wide as their values need, and random
// bits wherever the decoder ignores them.
std::string encode_loosely(const PatchOp& op, std::mt19937* rng) {
  auto loose = [&](std::uint32_t value) {
    unsigned width = needed_width(value) << (*rng)() % 3;
    return width > 4 ? 4 : width;
  };
  unsigned offset_width = loose(op.offset), length_width = loose(op.length);
  unsigned head = (*rng)() & 0xE0;
  if (op.copy) {
    head |= 0x01 | width_bits(offset_width, 0x02, 0x04, rng) |
            width_bits(length_width, 0x08, 0x10, rng);
  } else {
    head |= width_bits(length_width, 0x02, 0x04, rng) | ((*rng)() & 0x18);
  }
  std::string bytes(1, static_cast<char>(head));
  if (op.copy) append_le(&bytes, op.offset, offset_width);
  append_le(&bytes, op.length, length_width);
  return bytes + op.data;
}

class ApplyPatch : public testing::Test {
 protected:
  void SetUp() override { folder_ = enter_scratch_folder(); }
  void TearDown() override {
    for (const char* name : {"patch.dat", "old.dat", "new.dat"})
      std::remove(name);
    EXPECT_EQ(rmdir(folder_.c_str()), 0) << "a file was left behind in " << folder_;
  }

  // Applies `stream` followed by a trailer to the file old.dat and returns the new file,
  // "" when there is none.
  std::string apply(const std::string& stream, std::int32_t expected_size = 0,
                    JobOutcome expected = JobOutcome::complete) {
    std::string size_field = expected_size == 0 ? "" : std::to_string(expected_size) + "|";
    write_file("patch.dat", stream + make_trailer("old.dat", "new.dat", size_field));
    static PatchJob job;
    EXPECT_EQ(run_patch_job(&job, "patch.dat", "old.dat", "new.dat"), expected);
    return access("new.dat", F_OK) == 0 ? read_file("new.dat") : "";
  }

  std::string folder_;
};

TEST_F(ApplyPatch, PiecesAtBlockEdgesInAnyOrderAndRepeated) {
  std::mt19937 rng(7);
  const std::string original = random_bytes(&rng, (3 << 20) + 5);
  write_file("old.dat", original);
  std::vector<PatchOp> ops;
  for (std::uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 2048u, 65535u, 65536u, 65537u,
                               (1u << 20) - 1, 1u << 20, (1u << 20) + 1}) {
    ops.push_back(copy_op(static_cast<std::uint32_t>(original.size()) - length, length));
    ops.push_back(insert_op(random_bytes(&rng, length)));
    ops.push_back(copy_op(length % 977, length));
  }
  EXPECT_TRUE(apply(encode_ops(ops)) == apply_reference(ops, original));
}

TEST_F(ApplyPatch, LongestHeadsAtEveryAlignment) {
  std::mt19937 rng(11);
  const std::string original = random_bytes(&rng, 70000);
  write_file("old.dat", original);
  // Copies with 4-byte operands behind 2 to 10 bytes of insert, so that heads straddle
  // every read-ahead boundary at each of their bytes.
  for (std::uint32_t shift = 0; shift < kMaxOperationHead; ++shift) {
    std::vector<PatchOp> ops = {insert_op(std::string(shift, 's'))};
    std::string stream = encode_ops(ops);
    for (std::uint32_t i = 0; i < 10000; ++i) {
      ops.push_back(copy_op(65536 + i * 7 % 4000, i % 3));
      stream += '\x01';
      append_le(&stream, ops.back().offset, 4);
      append_le(&stream, ops.back().length, 4);
    }
    EXPECT_TRUE(apply(stream) == apply_reference(ops, original)) << "shift " << shift;
  }
}

TEST_F(ApplyPatch, DataEndAndSizeCheck) {
  std::string original;
  for (int i = 0; i < 200; ++i)
    original += static_cast<char>(i);
  write_file("old.dat", original);
  const std::string abc = encode_ops({insert_op("abc")});
  // Insert data or operands that run on into the trailer make a damaged patch.
  EXPECT_EQ(apply(abc + "\x0A\x07", 0, JobOutcome::damaged_patch), "");
  EXPECT_EQ(apply(abc + "\x0B", 0, JobOutcome::damaged_patch), "");
  EXPECT_EQ(apply(""), "");
  EXPECT_EQ(apply(abc, 200), "abc");
  // An expected size of 0 is not checked.
  EXPECT_EQ(apply(abc + encode_ops({copy_op(200, 0), copy_op(0, 200)}), 0), "abc" + original);
}

TEST_F(ApplyPatch, AgreesWithTheReferenceOnRandomOperations) {
  std::mt19937 rng(20240611);
  const std::string original = random_bytes(&rng, (2 << 20) + 12345);
  write_file("old.dat", original);
  auto below = [&](std::uint32_t limit) { return static_cast<std::uint32_t>(rng() % limit); };
  std::vector<PatchOp> ops;
  std::string stream;
  for (int i = 0; i < 5000; ++i) {
    std::uint32_t lengths[] = {0, below(256), below(256), below(65536), 65536 + below(1 << 20)};
    std::uint32_t length = lengths[below(400) == 0 ? 4 : below(64) == 0 ? 3 : below(3)];
    std::uint32_t room = static_cast<std::uint32_t>(original.size()) - length + 1;
    std::uint32_t offsets[] = {below(std::min(room, 256u)), below(std::min(room, 65536u)),
                               below(room)};
    ops.push_back(below(2) ? copy_op(offsets[below(3)], length)
                           : insert_op(random_bytes(&rng, length)));
    stream += encode_loosely(ops.back(), &rng);
  }
  std::string expected = apply_reference(ops, original);
  std::string actual = apply(stream);
  ASSERT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(actual == expected);
}

TEST_F(ApplyPatch, CopiesFromBeyondTwoAndFourGibibytes) {
  const std::uint64_t marker_at = (std::uint64_t{1} << 31) + 77;
  const std::uint64_t last = 0xFFFFFFFFull;
  std::FILE* old = std::fopen("old.dat", "wb");
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(ftruncate(fileno(old), static_cast<off_t>(last + 16)), 0);  // sparse: no disk used
  ASSERT_TRUE(seek_to(old, marker_at));
  std::fputs("marker", old);
  ASSERT_TRUE(seek_to(old, last));
  std::fputs("edge", old);
  ASSERT_EQ(std::fclose(old), 0);
  std::vector<PatchOp> ops = {copy_op(static_cast<std::uint32_t>(marker_at), 6),
                              copy_op(0xFFFFFFFF, 4), copy_op(0xFFFFFFFE, 3)};
  EXPECT_EQ(apply(encode_ops(ops)), std::string("marker") + "edge" + std::string("\0ed", 3));
}

// A new file whose first write cuts the original down to `cut_to` bytes, as another
// program might while the patch runs.
struct CuttingWriter {
  off_t cut_to;
  bool cut;
  std::string written;
};

ssize_t write_and_cut(void* cookie, const char* bytes, std::size_t size) {
  CuttingWriter* writer = static_cast<CuttingWriter*>(cookie);
  writer->written.append(bytes, size);
  if (!writer->cut && truncate("old.dat", writer->cut_to) != 0) return -1;
  writer->cut = true;
  return static_cast<ssize_t>(size);
}

TEST_F(ApplyPatch, OriginalCutShortUnderTheRunIsTheWrongOriginal) {
  std::mt19937 rng(5);
  const std::string original = random_bytes(&rng, 200000);
  // The long copy is written first; the pieces behind it lie on pages past the new end,
  // which fault, or in the zeros behind the new end on its last page. The batch is then
  // read again and written up to the first byte the cut original no longer has.
  std::vector<PatchOp> ops = {copy_op(0, 65536)};
  for (int i = 0; i < 300; ++i)
    ops.push_back(copy_op(rng() % 149000, rng() % 200));
  const std::string pieces = apply_reference(ops, original);
  struct Cut {
    off_t cut_to;
    std::uint32_t at;
    std::string kept;
  };
  for (const Cut& cut : {Cut{0, 100000, pieces.substr(0, 65536)},
                         Cut{150050, 150000, pieces + original.substr(150000, 40)}}) {
    write_file("old.dat", original);
    std::vector<PatchOp> cut_ops = ops;
    for (std::uint32_t offset : {cut.at, cut.at + 60})
      cut_ops.push_back(copy_op(offset, 40));
    const std::string stream = encode_ops(cut_ops);
    write_file("patch.dat", stream);
    static Applier applier;
    CuttingWriter writer = {cut.cut_to, false, ""};
    FILE* patch = std::fopen("patch.dat", "rb");
    FILE* old = std::fopen("old.dat", "rb");
    FILE* out = fopencookie(&writer, "w", {nullptr, write_and_cut, nullptr, nullptr});
    EXPECT_EQ(run_operations(&applier, patch, static_cast<std::uint32_t>(stream.size()), old, out),
              ApplyOutcome::wrong_original);
    EXPECT_TRUE(writer.written == cut.kept);
    for (FILE* file : {patch, old, out})
      std::fclose(file);
  }
}

}  // namespace
