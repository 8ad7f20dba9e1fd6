// The creator: adversarial pairs rebuild exactly and cost no more than their
// plain operations; the parse is the cheapest one over its matches.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "diff/diff.h"
#include "diff/index.h"
#include "engine/patch_job.h"
#include "tests/support/helpers.h"

namespace {

std::string random_bytes(std::size_t size, unsigned seed, int alphabet = 256) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator() % alphabet);
  return bytes;
}

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

// Pairs that push the creator to its edges: each rebuilds exactly, within its bound.
TEST(Creator, RebuildsEachPairWithinItsBound) {
  const std::string random = random_bytes(70000, 1);
  const struct {
    const char* name;
    std::string original, target;
    std::size_t most_bytes;  // the stream may not be longer
  } pairs[] = {
      {"both empty", "", "", 0},
      {"empty original", "", "abc", 5},
      {"empty new file", "abc", "", 0},
      {"identical", random, random, 7},
      {"one byte changed", random, random.substr(0, 30000) + "x" + random.substr(30001), 15},
      {"unrelated", random_bytes(65536, 2), random_bytes(100000, 3), 100005},
      {"runs of one byte", std::string(100000, 'a'), std::string(300000, 'a') + "b", 30},
      {"255 bytes", random.substr(0, 255), random.substr(1, 254) + "!", 6},
      {"256 bytes", random.substr(0, 256), "!" + random.substr(0, 256), 8},
      {"65535 bytes", random.substr(0, 65535), random.substr(0, 65535) + random.substr(0, 256), 12},
      {"65536 bytes", random.substr(0, 65536),
       random.substr(40000, 25536) + random.substr(0, 40000), 16},
      {"small alphabet", random_bytes(3000, 4, 3), random_bytes(5000, 5, 3), 5000},
  };
  // Small pieces as well, so that pieces meet inside matches and inserts.
  for (const auto& pair : pairs) {
    for (std::size_t piece : {std::size_t{4} << 20, std::size_t{1000}}) {
      DiffSettings settings = default_diff_settings();
      settings.piece_size = piece;
      std::string stream;
      ASSERT_EQ(make_operation_stream(bytes_of(pair.original), pair.original.size(),
                                      bytes_of(pair.target), pair.target.size(), settings, &stream),
                DiffStatus::ok);
      EXPECT_TRUE(rebuild(pair.original, stream) == pair.target) << pair.name << " " << piece;
      EXPECT_TRUE(piece < pair.target.size() || stream.size() <= pair.most_bytes) << pair.name;
    }
  }
}

// Against every length of every match and every insert, on small random pairs.
TEST(CheapestOperations, CostsWhatTheFullSearchCosts) {
  for (unsigned seed = 0; seed < 300; ++seed) {
    std::string original = random_bytes(1 + seed % 300, seed, 2 + seed % 4);
    std::string target = random_bytes(1 + seed * 7 % 300, seed + 1000, 2 + seed % 4);
    OriginalIndex index;
    ASSERT_TRUE(build_index(bytes_of(original), original.size(), 0, &index));
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
    for (const Operation& op : cheapest_operations(candidates, target.size())) {
      if (op.is_copy) append_copy(&stream, op.offset, op.length);
      if (!op.is_copy) append_insert(&stream, target.data() + position, op.length);
      position += op.length;
    }
    EXPECT_EQ(rebuild(original, stream), target);
    EXPECT_EQ(stream.size(), best.back()) << "seed " << seed;
  }
}

}  // namespace
