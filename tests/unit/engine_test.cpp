// Whole patch jobs on real files: the rebuild against the plain meaning of the operations,
// large originals, write errors and the kinds of destination. What damaged patches and
// wrong originals do is the bad-input catalogue's (tests/data/bad, replayed by fuzz/).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "engine/files.h"
#include "engine/patch_job.h"
#include "tests/support/fakes.h"

namespace {

class Job : public testing::Test {
 protected:
  void SetUp() override { folder_ = enter_scratch_folder(); }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    std::filesystem::remove_all(folder_);
  }

  // Adds an operation to the patch and what it means to the expected new file.
  void copy(std::uint32_t offset, std::uint32_t length) {
    append_copy(&stream_, offset, length);
    expected_ += original_.substr(offset, length);
  }
  void insert(const std::string& data) {
    append_insert(&stream_, data.data(), data.size());
    expected_ += data;
  }

  JobOutcome run(const char* destination = "new.dat", const char* patch = "patch.dat",
                 const char* original = "old.dat") {
    write_file("patch.dat", stream_ + encode_trailer("old.dat", "new.dat", ""));
    static PatchJob job;
    return run_patch_job(&job, patch, original, destination);
  }

  long entries() { return std::distance(std::filesystem::directory_iterator("."), {}); }

  std::string folder_, original_, stream_, expected_;
};

// Random bytes from a cheap generator: megabytes of them are needed.
std::string random_bytes(std::mt19937* rng, std::size_t size) {
  std::string bytes(size, '\0');
  std::uint64_t state = (*rng)();
  for (char& byte : bytes) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    byte = static_cast<char>(state >> 56);
  }
  return bytes;
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

TEST_F(Job, RebuildsWhatTheOperationsSay) {
  std::mt19937 rng(20240611);
  original_ = random_bytes(&rng, (3 << 20) + 5);
  write_file("old.dat", original_);
  const std::uint32_t size = static_cast<std::uint32_t>(original_.size());
  // A copy split between two batches, and an insert too.
  insert(random_bytes(&rng, (8 << 20) - 100));
  copy(5000, 1000);
  insert(random_bytes(&rng, 9 << 20));
  // Pieces at the edges of the read-ahead, the batch and the blocks, in any order.
  for (std::uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 65535u, 65536u, 65537u, (1u << 20) - 1,
                               1u << 20, (1u << 20) + 1}) {
    copy(size - length, length);
    insert(random_bytes(&rng, length));
    copy(length % 977, length);
  }
  auto below = [&](std::uint32_t limit) { return static_cast<std::uint32_t>(rng() % limit); };
  for (int i = 0; i < 6000; ++i) {
    std::uint32_t lengths[] = {0, below(256), below(256), below(65536), 65536 + below(1 << 20)};
    std::uint32_t length = lengths[below(400) == 0 ? 4 : below(64) == 0 ? 3 : below(3)];
    std::uint32_t room = size - length + 1;
    std::uint32_t offsets[] = {below(std::min(room, 256u)), below(room), below(room)};
    if (below(2)) {
      copy(offsets[below(3)], length);
    } else {
      insert(random_bytes(&rng, length));
    }
  }
  ASSERT_EQ(run(), JobOutcome::complete);
  std::string rebuilt = read_file("new.dat");
  ASSERT_EQ(rebuilt.size(), expected_.size());
  EXPECT_TRUE(rebuilt == expected_);
  EXPECT_EQ(entries(), 3);
  // Again with the pieces read instead of mapped: the first write cuts off a last byte
  // that no copy takes, and from then on the original is read.
  write_file("old.dat", original_ + "!");
  static Applier applier;
  CuttingWriter writer = {static_cast<off_t>(original_.size()), false, ""};
  FILE* patch = std::fopen("patch.dat", "rb");
  FILE* old = std::fopen("old.dat", "rb");
  FILE* out = fopencookie(&writer, "w", {nullptr, write_and_cut, nullptr, nullptr});
  EXPECT_EQ(run_operations(&applier, patch, static_cast<std::uint32_t>(stream_.size()), old, out),
            ApplyOutcome::complete);
  EXPECT_TRUE(writer.written == expected_);
  for (FILE* file : {patch, old, out})
    std::fclose(file);
}

TEST_F(Job, CopiesFromBeyondTwoAndFourGibibytes) {
  const std::uint64_t marker_at = (std::uint64_t{1} << 31) + 77, last = 0xFFFFFFFFull;
  std::FILE* old = std::fopen("old.dat", "wb");
  ASSERT_EQ(ftruncate(fileno(old), static_cast<off_t>(last + 16)), 0);  // sparse
  ASSERT_TRUE(seek_to(old, marker_at) && std::fputs("marker", old) >= 0);
  ASSERT_TRUE(seek_to(old, last) && std::fputs("edge", old) >= 0);
  ASSERT_EQ(std::fclose(old), 0);
  append_copy(&stream_, static_cast<std::uint32_t>(marker_at), 6);
  append_copy(&stream_, 0xFFFFFFFF, 4);
  append_copy(&stream_, 0xFFFFFFFE, 3);
  ASSERT_EQ(run(), JobOutcome::complete);
  EXPECT_EQ(read_file("new.dat"), std::string("markeredge\0ed", 13));
}

TEST_F(Job, WriteErrorsLeaveTheDestinationAsItWas) {
  original_ = std::string(1 << 20, 'o');
  write_file("old.dat", original_);
  signal(SIGXFSZ, SIG_IGN);
  struct {
    const char* destination;
    rlim_t file_size_limit;
    std::uint32_t length;
  } cases[] = {{"/dev/full", RLIM_INFINITY, 3},
               {"/dev/full", RLIM_INFINITY, 1 << 20},
               {"new.dat", 100, 1000},
               {"new.dat", 65536, 1 << 20}};
  for (const auto& c : cases) {
    stream_.clear();
    copy(0, c.length);
    write_file("new.dat", "old content");
    rlimit unlimited, limit = {c.file_size_limit, RLIM_INFINITY};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    setrlimit(RLIMIT_FSIZE, &limit);
    JobOutcome outcome = run(c.destination);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_EQ(outcome, JobOutcome::write_failed) << c.destination << " " << c.length;
    EXPECT_EQ(read_file("new.dat"), "old content");
    EXPECT_EQ(entries(), 3);
  }
}

// Every job closes what it opened, and a new file gets the permissions of the umask.
TEST_F(Job, FilesThatCannotServe) {
  write_file("old.dat", "");
  ASSERT_EQ(mkdir("folder", 0755), 0);
  auto open_files = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  long open_before = open_files();
  umask(027);
  ASSERT_EQ(mkfifo("pipe", 0644), 0);
  EXPECT_EQ(run("new.dat", "missing.dat"), JobOutcome::patch_missing);
  for (const char* patch : {"folder", "pipe"})
    EXPECT_EQ(run("new.dat", patch), JobOutcome::not_valid) << patch;
  for (const char* original : {"folder", "pipe", "missing.dat"})
    EXPECT_EQ(run("new.dat", "patch.dat", original), JobOutcome::original_unusable) << original;
  for (const char* refused : {"folder", "old.dat", "./patch.dat", "missing/new.dat"})
    EXPECT_EQ(run(refused), JobOutcome::destination_refused) << refused;
  EXPECT_EQ(entries(), 4);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(run(i == 0 ? "new.dat" : "other.dat"), JobOutcome::complete);
    struct stat info;
    EXPECT_TRUE(stat(i == 0 ? "new.dat" : "other.dat", &info) == 0 &&
                (info.st_mode & 0777) == 0640);
  }
  umask(022);
  EXPECT_EQ(open_files(), open_before);
}

TEST_F(Job, OriginalCutShortUnderTheRunIsTheWrongOriginal) {
  std::mt19937 rng(5);
  original_ = random_bytes(&rng, 200000);
  // The long copy is written first; the pieces behind it lie on pages past the new end,
  // which fault, or in the zeros behind the new end on its last page. The batch is then
  // read again and written up to the first byte the cut original no longer has.
  copy(0, 65536);
  for (int i = 0; i < 300; ++i)
    copy(rng() % 149000, rng() % 200);
  const std::string ops = stream_, pieces = expected_;
  // Pieces cut off whole, a piece cut in two in a group read together, and one alone.
  struct Cut {
    off_t cut_to;
    std::vector<std::uint32_t> at;
    std::string kept;
  };
  for (const Cut& cut : {Cut{0, {100000, 100060}, pieces.substr(0, 65536)},
                         Cut{150050, {150000, 150060}, pieces + original_.substr(150000, 40)},
                         Cut{150050, {150030, 150090}, pieces + original_.substr(150030, 20)},
                         Cut{190000, {189980}, pieces + original_.substr(189980, 20)}}) {
    write_file("old.dat", original_);
    stream_ = ops;
    for (std::uint32_t offset : cut.at)
      copy(offset, 40);
    write_file("patch.dat", stream_);
    static Applier applier;
    CuttingWriter writer = {cut.cut_to, false, ""};
    FILE* patch = std::fopen("patch.dat", "rb");
    FILE* old = std::fopen("old.dat", "rb");
    FILE* out = fopencookie(&writer, "w", {nullptr, write_and_cut, nullptr, nullptr});
    EXPECT_EQ(run_operations(&applier, patch, static_cast<std::uint32_t>(stream_.size()), old, out),
              ApplyOutcome::wrong_original);
    EXPECT_TRUE(writer.written == cut.kept);
    for (FILE* file : {patch, old, out})
      std::fclose(file);
  }
}

// The new file cannot be moved into place: a folder took the destination's name.
TEST_F(Job, ReplacingThatFailsIsAWriteError) {
  write_file("old.dat", "");
  insert("abc");
  write_file("patch.dat", stream_ + encode_trailer("old.dat", "new.dat", ""));
  static PatchJob job;
  ASSERT_TRUE(open_patch(&job, "patch.dat"));
  ASSERT_NE(read_trailer(&job).new_name, nullptr);
  ASSERT_TRUE(open_original(&job, "old.dat") && open_destination(&job, "new.dat"));
  ASSERT_EQ(mkdir("new.dat", 0755), 0);
  EXPECT_EQ(apply_patch(&job).outcome, ApplyOutcome::write_failed);
  EXPECT_EQ(entries(), 3);
}

TEST_F(Job, DestinationsThatAreNotPlainFiles) {
  write_file("old.dat", "");
  insert("a");  // one byte: the whole file is the last piece of a copy
  // A pipe is written in place.
  ASSERT_EQ(mkfifo("pipe", 0644), 0);
  int pipe = open("pipe", O_RDWR | O_NONBLOCK);
  ASSERT_EQ(run("pipe"), JobOutcome::complete);
  char got[8] = "";
  EXPECT_EQ(read(pipe, got, sizeof got), 1);
  EXPECT_STREQ(got, "a");
  close(pipe);
  // Through a symbolic link its target is replaced, or made when it is missing. A file
  // keeps its permission bits and is replaced by the new file, unless other hard links
  // would keep the old content: then the new content is copied into it.
  write_file("target", "old content");
  ASSERT_EQ(chmod("target", 0640), 0);
  write_file("plain", "old content");
  write_file("linked", "old content");
  ASSERT_TRUE(symlink("target", "link") == 0 && symlink("made", "dangling") == 0 &&
              symlink((folder_ + "/far").c_str(), "absolute") == 0 && link("linked", "other") == 0);
  auto inode = [](const char* name) {
    struct stat info;
    return stat(name, &info) == 0 ? info.st_ino : 0;
  };
  ino_t plain = inode("plain"), linked = inode("linked");
  long open_before = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  for (const char* destination : {"link", "dangling", "absolute", "plain", "linked"})
    ASSERT_EQ(run(destination), JobOutcome::complete) << destination;
  for (const char* name : {"target", "made", "far", "plain", "linked", "other"})
    EXPECT_EQ(read_file(name), "a") << name;
  struct stat info;
  EXPECT_TRUE(lstat("link", &info) == 0 && S_ISLNK(info.st_mode));
  EXPECT_TRUE(stat("target", &info) == 0 && (info.st_mode & 07777) == 0640);
  EXPECT_NE(inode("plain"), plain);
  EXPECT_EQ(inode("linked"), linked);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), open_before);
}

}  // namespace
