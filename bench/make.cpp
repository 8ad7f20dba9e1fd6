// qv-bench-make: the files bench/bench.py measures.
//   qv-bench-make case FOLDER NAME ORIGINAL_SIZE NEW_SIZE PIECE_MIN PIECE_MAX INSERT_MIN
//                 INSERT_MAX INSERT_PERCENT
//     FOLDER/original.bin, random; FOLDER/new.bin, pieces of PIECE_MIN to PIECE_MAX bytes
//     copied from random offsets of it, each followed (with a chance of INSERT_PERCENT) by
//     INSERT_MIN to INSERT_MAX random bytes; and the patch of those operations under the
//     name the program looks for, in FOLDER/plain and, with the checks, FOLDER/verified.
//     Prints the number of operations.
//   qv-bench-make pair FOLDER
//     the creator's generated pair: FOLDER/generated-100m.old and .new.
//   qv-bench-make plain ORIGINAL NEW PATCH
//     the patch of a plain longest-match parse, the yardstick for the creator's parse:
//     from each place, the longest match in the original when its copy is shorter than
//     the bytes it builds, else one byte inserted.
// Files are the same on every machine. Exit status 0 when the files are written, 1 if not.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "creator/index.h"
#include "format/checks.h"
#include "format/operation.h"
#include "format/trailer.h"

namespace {

constexpr char kPatchName[] = "Amber Reaches update.dat";

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

bool write_file(const std::string& path, const void* bytes, std::size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(bytes, 1, size, file) == size;
  if (file != nullptr && std::fclose(file) != 0) written = false;
  if (!written) std::fprintf(stderr, "qv-bench-make: cannot write %s\n", path.c_str());
  return written;
}

// The whole file, mapped read-only; null when it cannot be (or is empty).
const unsigned char* map_file(const std::string& path, std::size_t* size) {
  int fd = open(path.c_str(), O_RDONLY);
  struct stat info;
  void* bytes = MAP_FAILED;
  if (fd >= 0 && fstat(fd, &info) == 0 && info.st_size > 0) {
    *size = static_cast<std::size_t>(info.st_size);
    bytes = mmap(nullptr, *size, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  if (fd >= 0) close(fd);
  if (bytes == MAP_FAILED) std::fprintf(stderr, "qv-bench-make: cannot map %s\n", path.c_str());
  return bytes == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(bytes);
}

int make_case(const std::string& folder, const char* name, const std::uint64_t shape[7]) {
  const std::uint64_t original_size = shape[0], new_size = shape[1];
  std::string original_path = folder + "/original.bin";
  std::vector<char> block(1 << 20);
  std::uint64_t state = seed_of(name);
  FILE* file = std::fopen(original_path.c_str(), "wb");
  for (std::uint64_t done = 0; file != nullptr && done < original_size; done += block.size()) {
    std::size_t count = std::min<std::uint64_t>(block.size(), original_size - done);
    fill_random(&state, block.data(), count);
    if (std::fwrite(block.data(), 1, count, file) != count) break;
  }
  std::size_t mapped_size = 0;
  if (file == nullptr || std::fclose(file) != 0) return 1;
  const unsigned char* original = map_file(original_path, &mapped_size);
  FILE* expected = std::fopen((folder + "/new.bin").c_str(), "wb");
  if (original == nullptr || mapped_size != original_size || expected == nullptr) return 1;
  std::string stream, data;
  StreamHash new_hash;
  start_hash(&new_hash);
  std::uint64_t operations = 0;
  state = seed_of(name) ^ 0x5EED;
  auto put = [&](const void* bytes, std::size_t count) {
    std::fwrite(bytes, 1, count, expected);
    add_to_hash(&new_hash, bytes, count);
  };
  for (std::uint64_t made = 0; made < new_size;) {
    std::uint64_t length = std::min(random_between(&state, shape[2], shape[3]), new_size - made);
    std::uint64_t offset = random_between(&state, 0, original_size - length);
    append_copy(&stream, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length));
    put(original + offset, length);
    made += length;
    ++operations;
    if (made == new_size || random_between(&state, 1, 100) > shape[6]) continue;
    data.resize(std::min(random_between(&state, shape[4], shape[5]), new_size - made));
    fill_random(&state, &data[0], data.size());
    append_insert(&stream, data.data(), data.size());
    put(data.data(), data.size());
    made += data.size();
    ++operations;
  }
  if (std::fclose(expected) != 0) return 1;
  PatchChecks checks = {kAllChecks, new_size, hash_bytes(original, original_size),
                        hash_value(new_hash), hash_bytes(stream.data(), stream.size())};
  for (bool verified : {false, true}) {
    std::string place = folder + (verified ? "/verified" : "/plain");
    std::string trailer =
        encode_trailer("original.bin", "new.bin",
                       size_field_with_checks(original_size, verified ? checks : PatchChecks{}));
    mkdir(place.c_str(), 0755);
    if (!write_file(place + "/" + kPatchName, (stream + trailer).data(),
                    stream.size() + trailer.size()))
      return 1;
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
  return write_file(base + ".old", old.data(), old.size()) &&
                 write_file(base + ".new", target.data(), target.size())
             ? 0
             : 1;
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

int make_plain_parse(const std::string& original_path, const std::string& new_path,
                     const std::string& patch_path) {
  std::size_t original_size = 0, new_size = 0;
  const unsigned char* original = map_file(original_path, &original_size);
  const unsigned char* target = map_file(new_path, &new_size);
  OriginalIndex index;
  if (original == nullptr || target == nullptr ||
      !build_index(original, original_size, 0, 1, &index)) {
    std::fprintf(stderr, "qv-bench-make: cannot index %s\n", original_path.c_str());
    return 1;
  }
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
  return write_file(patch_path, stream.data(), stream.size()) ? 0 : 1;
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
  std::fprintf(stderr,
               "usage: qv-bench-make case FOLDER NAME ORIGINAL_SIZE NEW_SIZE PIECE_MIN PIECE_MAX "
               "INSERT_MIN INSERT_MAX INSERT_PERCENT\n"
               "       qv-bench-make pair FOLDER\n"
               "       qv-bench-make plain ORIGINAL NEW PATCH\n");
  return 2;
}
