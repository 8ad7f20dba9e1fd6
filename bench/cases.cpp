#include "bench/cases.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bench/patch_writer.h"
#include "bench/process.h"
#include "format/checks.h"

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kGiB = kMiB << 10;

// Originals up to this size get their bsdiff patch from bsdiff itself; bsdiff needs
// about nine times the original in memory and minutes per 64 MiB, so larger ones get an
// equivalent patch written straight from the operations.
constexpr std::uint64_t kLargestBsdiffRun = 64 * kMiB;

// Bumped whenever the generated files change, so that kept files are remade.
constexpr int kGeneratorVersion = 1;

// splitmix64: fast, and the same files on every machine.
struct Random {
  std::uint64_t state;
};

std::uint64_t next_random(Random* random) {
  std::uint64_t z = (random->state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t random_between(Random* random, std::uint64_t low, std::uint64_t high) {
  return low + next_random(random) % (high - low + 1);
}

void fill_random(Random* random, unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; i += 8) {
    std::uint64_t value = next_random(random);
    std::memcpy(bytes + i, &value, std::min<std::size_t>(8, count - i));
  }
}

std::uint64_t seed_of(const char* name) {
  std::uint64_t seed = 1469598103934665603ull;
  for (; *name != '\0'; ++name)
    seed = (seed ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
  return seed;
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File open_for_writing(const std::string& path) {
  File file(std::fopen(path.c_str(), "wb"));
  if (file) setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);
  return file;
}

bool file_exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string describe(const CaseShape& shape, bool checks) {
  char text[256];
  std::snprintf(text, sizeof text, "v%d %s %llu %llu %u-%u %u-%u %u%s\n", kGeneratorVersion,
                shape.name, static_cast<unsigned long long>(shape.original_size),
                static_cast<unsigned long long>(shape.new_size), shape.min_piece, shape.max_piece,
                shape.min_insert, shape.max_insert, shape.insert_percent, checks ? " checks" : "");
  return text;
}

bool write_original(const CaseShape& shape, const std::string& path) {
  File file = open_for_writing(path);
  if (!file) return false;
  Random random = {seed_of(shape.name)};
  std::vector<unsigned char> block(kMiB);
  for (std::uint64_t written = 0; written < shape.original_size; written += block.size()) {
    std::size_t count = static_cast<std::size_t>(
        std::min<std::uint64_t>(block.size(), shape.original_size - written));
    fill_random(&random, block.data(), count);
    if (std::fwrite(block.data(), 1, count, file.get()) != count) return false;
  }
  return std::fflush(file.get()) == 0;
}

// ---- bsdiff's format, for patches written from the operations ----

// A control triple of a BSDIFF40 patch: copy `add` bytes from the original (added to
// zeros), take `extra` bytes from the patch, then move the original's position by `seek`.
struct BsdiffControl {
  std::string triples;  // 24 bytes each
  std::string extra;    // insert data
  std::uint64_t add = 0, extra_length = 0, zeros = 0;
  std::uint64_t original_position = 0;  // where bspatch reads after the open triple
};

void put_offset(std::string* out, std::int64_t value) {
  std::uint64_t magnitude = value < 0 ? static_cast<std::uint64_t>(-value) : value;
  for (int i = 0; i < 8; ++i)
    out->push_back(static_cast<char>(magnitude >> (8 * i)));
  if (value < 0) out->back() = static_cast<char>(out->back() | 0x80);
}

void close_triple(BsdiffControl* control, std::uint64_t next_offset) {
  put_offset(&control->triples, static_cast<std::int64_t>(control->add));
  put_offset(&control->triples, static_cast<std::int64_t>(control->extra_length));
  put_offset(&control->triples, static_cast<std::int64_t>(next_offset) -
                                    static_cast<std::int64_t>(control->original_position));
}

void bsdiff_copy(BsdiffControl* control, std::uint64_t offset, std::uint64_t length) {
  close_triple(control, offset);
  control->add = length;
  control->extra_length = 0;
  control->zeros += length;
  control->original_position = offset + length;
}

void bsdiff_insert(BsdiffControl* control, const std::string& data) {
  control->extra += data;
  control->extra_length += data.size();
}

// Appends `count` bytes (zeros when `bytes` is null) to `file` as one bzip2 stream;
// returns the compressed length, 0 on failure.
std::uint64_t write_bzip2(FILE* file, const char* bytes, std::uint64_t count) {
  int error = BZ_OK;
  BZFILE* stream = BZ2_bzWriteOpen(&error, file, 9, 0, 0);
  if (error != BZ_OK) return 0;
  std::vector<char> zeros(bytes == nullptr ? kMiB : 0);
  for (std::uint64_t done = 0; done < count && error == BZ_OK;) {
    int chunk = static_cast<int>(std::min<std::uint64_t>(kMiB, count - done));
    BZ2_bzWrite(&error, stream, const_cast<char*>(bytes ? bytes + done : zeros.data()), chunk);
    done += chunk;
  }
  unsigned in_low, in_high, out_low, out_high;
  BZ2_bzWriteClose64(&error, stream, 0, &in_low, &in_high, &out_low, &out_high);
  return error == BZ_OK ? (std::uint64_t{out_high} << 32 | out_low) : 0;
}

bool write_bsdiff_patch(BsdiffControl* control, std::uint64_t new_size, const std::string& path) {
  close_triple(control, control->original_position);
  File file = open_for_writing(path);
  if (!file) return false;
  std::string header(32, '\0');
  std::fwrite(header.data(), 1, header.size(), file.get());
  std::uint64_t control_length =
      write_bzip2(file.get(), control->triples.data(), control->triples.size());
  std::uint64_t diff_length = write_bzip2(file.get(), nullptr, control->zeros);
  std::uint64_t extra_length =
      write_bzip2(file.get(), control->extra.data(), control->extra.size());
  if (control_length == 0 || diff_length == 0 || extra_length == 0) return false;
  header = "BSDIFF40";
  put_offset(&header, static_cast<std::int64_t>(control_length));
  put_offset(&header, static_cast<std::int64_t>(diff_length));
  put_offset(&header, static_cast<std::int64_t>(new_size));
  std::fseek(file.get(), 0, SEEK_SET);
  std::fwrite(header.data(), 1, header.size(), file.get());
  return std::fflush(file.get()) == 0;
}

// ---- the operations ----

// Writes our patch, with its checks when asked, the expected new file and (for large
// originals) the bsdiff patch from one stream of random operations.
bool write_operations(const CaseShape& shape, const CaseFiles& files, bool checks,
                      std::uint64_t* count) {
  int fd = open(files.original.c_str(), O_RDONLY);
  if (fd < 0) return false;
  void* mapping = mmap(nullptr, shape.original_size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (mapping == MAP_FAILED) return false;
  const char* original = static_cast<const char*>(mapping);
  File patch = open_for_writing(files.patch);
  File expected = open_for_writing(files.expected);
  if (!patch || !expected) return false;

  bool write_bsdiff = shape.delta_tools && shape.original_size > kLargestBsdiffRun;
  BsdiffControl control;
  Random random = {seed_of(shape.name) ^ 0x5EED};
  std::string stream, data;
  StreamHash operations_hash, new_hash;
  start_hash(&operations_hash);
  start_hash(&new_hash);
  *count = 0;
  for (std::uint64_t produced = 0; produced < shape.new_size;) {
    if (stream.size() >= kMiB) {
      add_to_hash(&operations_hash, stream.data(), stream.size());
      std::fwrite(stream.data(), 1, stream.size(), patch.get());
      stream.clear();
    }
    std::uint64_t length = std::min<std::uint64_t>(
        random_between(&random, shape.min_piece, shape.max_piece), shape.new_size - produced);
    std::uint64_t offset = random_between(&random, 0, shape.original_size - length);
    append_op(&stream,
              copy_op(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length)));
    std::fwrite(original + offset, 1, length, expected.get());
    add_to_hash(&new_hash, original + offset, length);
    if (write_bsdiff) bsdiff_copy(&control, offset, length);
    produced += length;
    ++*count;
    if (produced == shape.new_size || random_between(&random, 1, 100) > shape.insert_percent) {
      continue;
    }
    data.resize(std::min<std::uint64_t>(random_between(&random, shape.min_insert, shape.max_insert),
                                        shape.new_size - produced));
    fill_random(&random, reinterpret_cast<unsigned char*>(&data[0]), data.size());
    append_op(&stream, insert_op(data));
    std::fwrite(data.data(), 1, data.size(), expected.get());
    add_to_hash(&new_hash, data.data(), data.size());
    if (write_bsdiff) bsdiff_insert(&control, data);
    produced += data.size();
    ++*count;
  }
  add_to_hash(&operations_hash, stream.data(), stream.size());
  PatchChecks made = {kAllChecks, shape.new_size, hash_bytes(original, shape.original_size),
                      hash_value(new_hash), hash_value(operations_hash)};
  munmap(mapping, shape.original_size);
  stream +=
      make_trailer("original.bin", "new.bin",
                   size_field_with_checks(shape.original_size, checks ? made : PatchChecks{}));
  std::fwrite(stream.data(), 1, stream.size(), patch.get());
  bool written = std::fflush(patch.get()) == 0 && std::fflush(expected.get()) == 0 &&
                 !std::ferror(patch.get()) && !std::ferror(expected.get());
  if (write_bsdiff) written = written && write_bsdiff_patch(&control, shape.new_size, files.bsdiff);
  return written;
}

bool run_tool(const std::vector<std::string>& argv) {
  std::printf("  %s ...\n", argv[0].c_str());
  std::fflush(stdout);
  Launch launch;
  launch.argv = argv;
  RunResult result = run_command(launch);
  if (result.status != 0) std::printf("  %s failed (status %d)\n", argv[0].c_str(), result.status);
  return result.status == 0;
}

bool write_tool_patches(const CaseShape& shape, const CaseFiles& files) {
  if (!shape.delta_tools) return true;
  // xdelta3 finds matches only inside its source window; give it the whole original.
  std::string window = std::to_string(std::max<std::uint64_t>(shape.original_size, 64 * kMiB));
  if (!run_tool({"xdelta3", "-e", "-f", "-B", window, "-s", files.original, files.expected,
                 files.xdelta})) {
    return false;
  }
  if (shape.original_size > kLargestBsdiffRun) return true;
  return run_tool({"bsdiff", files.original, files.expected, files.bsdiff});
}

bool write_stamp(const std::string& path, const std::string& text) {
  File file = open_for_writing(path);
  return file && std::fputs(text.c_str(), file.get()) >= 0 && std::fflush(file.get()) == 0;
}

// The stamp's text and the operation count it records, when it matches `shape`.
bool read_stamp(const std::string& path, const std::string& text, std::uint64_t* count) {
  File file(std::fopen(path.c_str(), "rb"));
  char line[512];
  if (!file || std::fgets(line, sizeof line, file.get()) == nullptr || text != line) return false;
  unsigned long long value = 0;
  if (std::fscanf(file.get(), "%llu", &value) != 1) return false;
  *count = value;
  return true;
}

}  // namespace

const CaseShape kCases[] = {
    {"big-copy-64m", 64 * kMiB, 64 * kMiB, 64 << 10, 1 << 20, 1, 64, 100, true},
    {"small-op-64m", 64 * kMiB, 64 * kMiB, 8, 200, 1, 16, 43, true},
    {"big-copy-1g", kGiB, kGiB, 64 << 10, 1 << 20, 1, 64, 100, true},
    // xdelta3 would take long to encode 14 million pieces; the mapped loop is its peer.
    {"small-op-1g", kGiB, kGiB, 8, 200, 1, 16, 43, false},
};
const std::size_t kCaseCount = sizeof kCases / sizeof kCases[0];

std::uint64_t disk_needed(const CaseShape& shape) {
  // Original, expected file, one output, and patches well below the new file's size.
  return shape.original_size + 2 * shape.new_size + shape.new_size / 4;
}

bool prepare_case(const CaseShape& shape, const std::string& folder, bool checks,
                  CaseFiles* files) {
  std::string base = folder + "/" + shape.name;
  mkdir(base.c_str(), 0755);
  files->original = base + "/original.bin";
  files->expected = base + "/new.bin";
  files->patch = base + "/patch.qvx";
  files->xdelta = base + "/patch.xd3";
  files->bsdiff = base + "/patch.bsdiff";
  files->program_patch = base + "/Amber Reaches update.dat";
  files->bsdiff_written = shape.delta_tools && shape.original_size > kLargestBsdiffRun;
  std::string stamp = base + "/stamp";
  std::string text = describe(shape, checks);
  bool kept = file_exists(files->original) && file_exists(files->expected) &&
              file_exists(files->patch) &&
              (!shape.delta_tools || (file_exists(files->xdelta) && file_exists(files->bsdiff)));
  // The program itself finds its patch by name in the folder it runs in.
  if (!file_exists(files->program_patch)) symlink("patch.qvx", files->program_patch.c_str());
  if (kept && read_stamp(stamp, text, &files->operations)) return true;

  std::printf("generating %s in %s (once; kept for later runs)\n", shape.name, base.c_str());
  std::fflush(stdout);
  std::remove(stamp.c_str());
  if (!write_original(shape, files->original) ||
      !write_operations(shape, *files, checks, &files->operations)) {
    std::printf("cannot write the files of %s\n", shape.name);
    return false;
  }
  if (!write_tool_patches(shape, *files)) return false;
  return write_stamp(stamp, text + std::to_string(files->operations) + "\n");
}

bool same_contents(const std::string& path_a, const std::string& path_b) {
  File a(std::fopen(path_a.c_str(), "rb"));
  File b(std::fopen(path_b.c_str(), "rb"));
  if (!a || !b) return false;
  std::vector<char> block_a(kMiB), block_b(kMiB);
  for (;;) {
    std::size_t got_a = std::fread(block_a.data(), 1, block_a.size(), a.get());
    std::size_t got_b = std::fread(block_b.data(), 1, block_b.size(), b.get());
    if (got_a != got_b || std::memcmp(block_a.data(), block_b.data(), got_a) != 0) return false;
    if (got_a == 0) return true;
  }
}
