// The creator: adversarial pairs rebuild exactly and cost no more than their
// plain operations; the parse is the cheapest one over its matches.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "creator/creator.h"
#include "creator/index.h"
#include "engine/patch_job.h"
#include "tests/support/helpers.h"

namespace {

const unsigned char* bytes_of(const std::string& bytes) {
  return reinterpret_cast<const unsigned char*>(bytes.data());
}

// The new file as the applier builds it from the operations, or "<bad>" when it fails.
std::string rebuild(const std::string& original, const std::string& stream) {
  std::string folder = enter_scratch_folder();
  write_file("old", original);
  write_file("patch", stream + encode_trailer("old", "new", ""));
  static PatchJob job;
  bool complete = run_patch_job(&job, "patch", "old", "new") == JobOutcome::complete;
  std::string rebuilt = complete ? read_file("new") : "<bad>";
  std::filesystem::remove_all(folder);
  return rebuilt;
}

// `count` pieces of `original`, `shortest` to `longest` bytes long, from scattered
// offsets, each after a random byte.
std::string scattered(const std::string& original, std::size_t count, unsigned shortest,
                      unsigned longest) {
  std::mt19937 generator(count);
  std::string pieces;
  while (count-- > 0) {
    // One draw per statement: the order of the operands of + differs between compilers.
    std::size_t length = shortest + generator() % (longest - shortest + 1);
    std::size_t offset = generator() % (original.size() - length);
    pieces += static_cast<char>(generator());
    pieces += original.substr(offset, length);
  }
  return pieces;
}

// Pairs that push the creator to its edges: each rebuilds exactly, within its bound (the
// size it reaches today: a larger patch is a loss).
TEST(Creator, RebuildsEachPairWithinItsBound) {
  const std::string random = random_bytes(140000, 1);
  const std::string block = random_bytes(1000, 12);
  std::string repeated;
  while (repeated.size() < 100000)
    repeated += block;
  std::string edited = random;
  for (std::size_t at = 70000; at < edited.size(); at += 300 + at % 7)
    edited[at] = static_cast<char>(edited[at] + 1);
  const struct {
    const char* name;
    std::string original, target;
    std::size_t most_bytes;  // the stream may not be longer
  } pairs[] = {
      {"both empty", "", "", 0},
      {"empty original", "", "abc", 5},
      {"empty new file", "abc", "", 0},
      {"identical", random, random, 6},
      {"one byte changed", random, random.substr(0, 30000) + "x" + random.substr(30001), 14},
      {"unrelated", random_bytes(65536, 2), random_bytes(100000, 3), 100005},
      {"runs of one byte", std::string(100000, 'a'), std::string(300000, 'a') + "b", 21},
      {"255 bytes", random.substr(0, 255), random.substr(1, 254) + "!", 6},
      {"256 bytes", random.substr(0, 256), "!" + random.substr(0, 256), 7},
      {"65535 bytes", random.substr(0, 65535), random.substr(0, 65535) + random.substr(0, 256), 8},
      {"65536 bytes", random.substr(0, 65536),
       random.substr(40000, 25536) + random.substr(0, 40000), 9},
      {"small alphabet", random_bytes(3000, 4, 3), random_bytes(5000, 5, 3), 2924},
      {"short pieces of 64 KiB", random.substr(0, 65536),
       scattered(random.substr(0, 65536), 3000, 3, 8), 17945},
      {"short pieces of more", random, scattered(random, 3000, 4, 9), 20837},
      {"edits every 300 bytes", random, edited, 2315},
      {"three and four bytes between copies", random.substr(0, 65536),
       random.substr(300, 300) + random.substr(10, 3) + random.substr(600, 300) +
           random.substr(20, 4) + random.substr(1000, 300) + random.substr(30, 3),
       24},
      {"an insert longer than 65535 bytes", random,
       random.substr(0, 1000) + random_bytes(70000, 11) + random.substr(2000, 1000), 70014},
      {"a copy worth splitting an insert longer than 65535 bytes", random.substr(0, 1000),
       random_bytes(40000, 13) + random.substr(100, 5) + random_bytes(40000, 14), 80009},
      {"a last piece just long enough", random, random_bytes(50, 9) + random.substr(1000, 6), 56},
      {"one block repeated, offsets of the first", repeated, scattered(block, 2000, 8, 40), 13454},
  };
  // Small pieces as well, so that pieces meet inside matches and inserts; the original
  // whole and in two parts.
  const struct {
    std::size_t piece, split;
  } shapes[] = {{std::size_t{4} << 20, SIZE_MAX}, {std::size_t{4} << 20, 0}, {1000, 0}};
  for (const auto& pair : pairs) {
    for (const auto& [piece, split] : shapes) {
      DiffSettings settings = default_diff_settings();
      settings.piece_size = piece;
      settings.split_size = split;
      std::string stream;
      ASSERT_EQ(make_operation_stream(bytes_of(pair.original), pair.original.size(),
                                      bytes_of(pair.target), pair.target.size(), settings, &stream),
                DiffStatus::ok);
      EXPECT_TRUE(rebuild(pair.original, stream) == pair.target) << pair.name << " " << piece;
      EXPECT_TRUE(piece < pair.target.size() || stream.size() <= pair.most_bytes)
          << pair.name << " " << split << " " << stream.size();
    }
  }
}

// The gram filter passes the places the original may hold, and few others.
TEST(Index, PassesFewPlacesTheOriginalDoesNotHold) {
  std::string original = random_bytes(100000, 7, 128), text = random_bytes(10000, 8, 128);
  for (char& byte : text)
    byte = static_cast<char>(byte | 0x80);  // bytes the original does not have
  OriginalIndex index;
  ASSERT_TRUE(build_index(bytes_of(original), original.size(), 5, 2, &index));
  std::size_t passed = 0;
  for (std::size_t at = 0; at < text.size(); ++passed)
    at = next_possible_match(index, bytes_of(text), at, text.size()) + 1;
  EXPECT_LT(passed, text.size() / 10);
  EXPECT_EQ(next_possible_match(index, bytes_of(original) + 1001, 0, 100), 0u);
  release_index(&index);
  EXPECT_FALSE(build_index(bytes_of(original), kMaxIndexedOriginal + 1, 0, 1, &index));
}

// Against every length of every match and every insert, on small random pairs; every
// third has copies and inserts longer than 255 bytes.
TEST(CheapestOperations, CostsWhatTheFullSearchCosts) {
  for (unsigned seed = 0; seed < 300; ++seed) {
    std::string original = random_bytes(1 + seed % 300, seed, 2 + seed % 4);
    std::string target = random_bytes(1 + seed * 7 % 300, seed + 1000, 2 + seed % 4);
    if (seed % 3 == 0) {
      original = random_bytes(1200, seed, 2 + seed % 3);
      target = scattered(original, 2 + seed % 3, 1, 500) +
               random_bytes(250 + seed, seed, 5 + seed % 4) + scattered(original, 2, 250, 500);
    }
    OriginalIndex index;
    ASSERT_TRUE(build_index(bytes_of(original), original.size(), 0, 1, &index));
    std::vector<Candidate> candidates;
    std::vector<std::uint64_t> best(target.size() + 1, UINT64_MAX);
    best[0] = 0;
    for (std::uint32_t at = 0; at < target.size(); ++at) {
      for (std::size_t end = at + 1; end <= target.size(); ++end)
        best[end] = std::min(best[end], best[at] + insert_head_size(end - at) + end - at);
      Match match = longest_match(index, bytes_of(target) + at, target.size() - at);
      for (std::uint32_t length = 1; length <= match.length; ++length)
        best[at + length] =
            std::min(best[at + length], best[at] + copy_head_size(match.offset, length));
      if (match.length > 0) candidates.push_back({at, match.offset, match.length});
    }
    std::string stream;
    std::size_t position = 0;
    Operations operations;
    ParseSpace space = {nullptr, 0};
    ASSERT_TRUE(cheapest_operations(candidates.data(), candidates.size(), target.size(), &space,
                                    &operations));
    for (const Operation* op = operations.items; op != operations.items + operations.count; ++op) {
      if (op->is_copy) append_copy(&stream, op->offset, op->length);
      if (!op->is_copy) append_insert(&stream, target.data() + position, op->length);
      position += op->length;
    }
    std::free(operations.items);
    std::free(space.block);
    release_index(&index);
    EXPECT_EQ(rebuild(original, stream), target);
    EXPECT_EQ(stream.size(), best.back()) << "seed " << seed;
  }
}

}  // namespace
