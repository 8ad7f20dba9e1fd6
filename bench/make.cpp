// qv-bench-make: the files bench/bench.py measures, the same on every machine.
//   case FOLDER NAME ORIGINAL_SIZE NEW_SIZE PIECE_MIN PIECE_MAX INSERT_MIN INSERT_MAX PERCENT
//     a random FOLDER/original.bin; FOLDER/new.bin of pieces copied from random offsets of
//     it, each followed, by a chance of PERCENT, by random bytes; the patch of those
//     operations under the name the program looks for, in FOLDER/plain and, with the
//     checks, FOLDER/verified. Prints the number of operations.
//   pair FOLDER: the creator's generated pair, FOLDER/generated-100m.old and .new.
//   plain ORIGINAL NEW PATCH: a plain longest-match parse, the creator's yardstick: from
//     each place the longest match in the original where its copy is shorter than the
//     bytes it builds, else one byte inserted.
// Exit status 0 when the files are written, 1 when not, 2 for a wrong command line.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "creator/index.h"
#include "format/checks.h"
#include "format/operation.h"
#include "format/trailer.h"

namespace {

// splitmix64: fast, and the same bytes everywhere.
std::uint64_t next_random(std::uint64_t* state) {
  std::uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t random_between(std::uint64_t* state, std::uint64_t low, std::uint64_t high) {
  return low + next_random(state) % (high - low + 1);
}

void fill_random(std::uint64_t* state, char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; i += 8) {
    std::uint64_t value = next_random(state);
    std::memcpy(bytes + i, &value, std::min<std::size_t>(8, count - i));
  }
}

std::uint64_t seed_of(const char* name) {
  std::uint64_t seed = 1469598103934665603ull;
  for (; *name != '\0'; ++name)
    seed = (seed ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
  return seed;
}

bool write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  if (file.write(bytes.data(), bytes.size()).flush()) return true;
  std::fprintf(stderr, "qv-bench-make: cannot write %s\n", path.c_str());
  return false;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

const unsigned char* bytes_of(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

int make_case(const std::string& folder, const char* name, const std::uint64_t shape[7]) {
  const std::uint64_t original_size = shape[0], new_size = shape[1];
  std::uint64_t state = seed_of(name);
  std::string original(original_size, '\0'), target, stream, data;
  fill_random(&state, &original[0], original.size());
  target.reserve(new_size);
  std::uint64_t operations = 0;
  state = seed_of(name) ^ 0x5EED;
  while (target.size() < new_size) {
    std::uint64_t length =
        std::min(random_between(&state, shape[2], shape[3]), new_size - target.size());
    std::uint64_t offset = random_between(&state, 0, original_size - length);
    append_copy(&stream, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length));
    target.append(original, offset, length);
    ++operations;
    if (target.size() == new_size || random_between(&state, 1, 100) > shape[6]) continue;
    data.resize(std::min(random_between(&state, shape[4], shape[5]), new_size - target.size()));
    fill_random(&state, &data[0], data.size());
    append_insert(&stream, data.data(), data.size());
    target += data;
    ++operations;
  }
  PatchChecks checks =
      make_checks(bytes_of(original), original.size(), bytes_of(target), target.size(), stream);
  if (!write_file(folder + "/original.bin", original) || !write_file(folder + "/new.bin", target))
    return 1;
  for (bool verified : {false, true}) {
    std::string place = folder + (verified ? "/verified" : "/plain");
    std::string trailer =
        encode_trailer("original.bin", "new.bin",
                       size_field_with_checks(original_size, verified ? checks : PatchChecks{}));
    mkdir(place.c_str(), 0755);
    if (!write_file(place + "/Amber Reaches update.dat", stream + trailer)) return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(operations));
  return 0;
}

// Two releases of a large data file: the original mixes random stretches with word-like
// text; the new file keeps most of it in order, with inserted, deleted, scattered-byte
// and moved stretches.
int make_pair(const std::string& folder) {
  std::mt19937_64 random(20261206);
  auto below = [&](std::uint64_t limit) { return random() % limit; };
  std::vector<std::string> words(5000);
  for (std::string& word : words) {
    for (std::uint64_t i = 0, n = 2 + below(8); i < n; ++i)
      word += static_cast<char>('a' + below(26));
  }
  std::string old;
  while (old.size() < 100000000) {
    if (below(2) == 0) {
      for (std::uint64_t i = 0, n = 1000 + below(100000); i < n; ++i)
        old += static_cast<char>(random());
    } else {
      for (std::uint64_t i = 0, n = 200 + below(20000); i < n; ++i)
        old += words[below(words.size())] + ' ';
    }
  }
  old.resize(100000000);
  std::string target;
  for (std::size_t at = 0; at < old.size();) {
    std::size_t keep = std::min<std::size_t>(10000 + below(190000), old.size() - at);
    target.append(old, at, keep);
    at += keep;
    std::uint64_t kind = below(10);
    if (kind < 3) {
      for (std::uint64_t i = 0, n = 1 + below(2000); i < n; ++i)
        target += static_cast<char>(random());
    } else if (kind < 5) {
      at += below(2000);
    } else if (kind < 8) {
      for (std::uint64_t i = 0, n = 1 + below(50); i < n && at + 200 <= old.size(); ++i, at += 200)
        target += static_cast<char>(random()) + old.substr(at + 1, 199);
    } else {
      target.append(old, below(old.size() - 50000), 100 + below(49900));
    }
  }
  std::string base = folder + "/generated-100m";
  return write_file(base + ".old", old) && write_file(base + ".new", target) ? 0 : 1;
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

int make_plain_parse(const std::string& original_path, const std::string& new_path,
                     const std::string& patch_path) {
  std::string original_bytes = read_file(original_path), new_bytes = read_file(new_path);
  const unsigned char *original = bytes_of(original_bytes), *target = bytes_of(new_bytes);
  std::size_t original_size = original_bytes.size(), new_size = new_bytes.size();
  OriginalIndex index;
  if (!build_index(original, original_size, 0, 1, &index)) return 1;
  std::string stream;
  std::size_t inserted_from = 0;
  for (std::size_t at = 0; at < new_size;) {
    Match match = longest_match(index, target + at, std::min<std::size_t>(new_size - at, 1u << 31));
    if (match.length == 0 || copy_head_size(match.offset, match.length) >= match.length) {
      ++at;
      continue;
    }
    append_insert(&stream, target + inserted_from, at - inserted_from);
    append_copy(&stream, match.offset, match.length);
    at += match.length;
    inserted_from = at;
  }
  append_insert(&stream, target + inserted_from, new_size - inserted_from);
  release_index(&index);
  PatchChecks checks = make_checks(original, original_size, target, new_size, stream);
  stream += encode_trailer(base_name(original_path), base_name(new_path),
                           size_field_with_checks(original_size, checks));
  return write_file(patch_path, stream) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "case" && argc == 11) {
    std::uint64_t shape[7];
    for (int i = 0; i < 7; ++i)
      shape[i] = std::strtoull(argv[4 + i], nullptr, 10);
    return make_case(argv[2], argv[3], shape);
  }
  if (mode == "pair" && argc == 3) return make_pair(argv[2]);
  if (mode == "plain" && argc == 5) return make_plain_parse(argv[2], argv[3], argv[4]);
  std::fprintf(stderr, "usage: qv-bench-make case|pair|plain ... (see bench/make.cpp)\n");
  return 2;
}
