// Whole rebuilds on real files at sizes that small inputs never reach, an original cut
// short under the rebuild, and what every job leaves open. Damaged patches and wrong
// originals are the bad-input catalogue's (tests/data/bad, replayed through the fuzz
// target), offsets past 4 GiB and the kinds of destination the end-to-end rows'.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "engine/patch_job.h"
#include "tests/support/helpers.h"

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

  JobOutcome run(const char* destination = "new.dat", const char* original = "old.dat") {
    write_file("patch.dat", stream_ + encode_trailer("old.dat", "new.dat", size_field_));
    static PatchJob job;
    return run_patch_job(&job, "patch.dat", original, destination);
  }

  // The operations alone, the new file written by `write(cookie, ...)`; the applier is
  // kept for what the run left in it. A failed write returns 0, not -1: glibc's fwrite
  // reports success when a cookie returns -1.
  ApplyOutcome run_into(cookie_write_function_t* write, void* cookie) {
    write_file("patch.dat", stream_);
    FILE* patch = std::fopen("patch.dat", "rb");
    FILE* old = std::fopen("old.dat", "rb");
    FILE* out = fopencookie(cookie, "w", {nullptr, write, nullptr, nullptr});
    ApplyOutcome outcome =
        run_operations(&applier_, patch, static_cast<std::uint32_t>(stream_.size()), old, out, {});
    for (FILE* file : {patch, old, out})
      std::fclose(file);
    return outcome;
  }

  // The original cut down to `cut_to` bytes by the first write of the new file, as another
  // program might do while the patch runs.
  ApplyOutcome run_cut(off_t cut_to, std::string* written) {
    cut_to_ = cut_to, written_ = written;
    auto write_and_cut = [](void* job, const char* bytes, std::size_t size) -> ssize_t {
      Job* self = static_cast<Job*>(job);
      if (self->written_->empty() && truncate("old.dat", self->cut_to_) != 0) return 0;
      self->written_->append(bytes, size);
      return static_cast<ssize_t>(size);
    };
    return run_into(write_and_cut, this);
  }

  std::string folder_, original_, stream_, expected_, size_field_, *written_ = nullptr;
  off_t cut_to_ = 0;
  static Applier applier_;  // about 8 MiB
};

Applier Job::applier_;

TEST_F(Job, RebuildsWhatTheOperationsSay) {
  std::mt19937 rng(20240611);
  original_ = random_bytes((3 << 20) + 5, rng());
  write_file("old.dat", original_);
  const std::uint32_t size = static_cast<std::uint32_t>(original_.size());
  // A copy split between two batches, and an insert too.
  insert(random_bytes(kBatchBytes - 100, rng()));
  copy(5000, 1000);
  insert(random_bytes(9 << 20, rng()));
  // Pieces at the edges of the read-ahead, the batch and the blocks, in any order.
  for (std::uint32_t length : {0u, 1u, 1023u, 1024u, 1025u, 65535u, 65536u, 65537u, (1u << 20) - 1,
                               1u << 20, (1u << 20) + 1}) {
    copy(size - length, length);
    insert(random_bytes(length, rng()));
    copy(length % 977, length);
  }
  // Then many short pieces, some long ones, from scattered offsets.
  for (int i = 0; i < 6000; ++i) {
    std::uint32_t length = rng() % 400 == 0  ? 65536 + rng() % (1 << 20)
                           : rng() % 64 == 0 ? rng() % 65536
                                             : rng() % 256;
    if (rng() % 2) {
      copy(rng() % (size - length + 1), length);
    } else {
      insert(random_bytes(length, rng()));
    }
  }
  ASSERT_EQ(run(), JobOutcome::complete);
  EXPECT_TRUE(read_file("new.dat") == expected_);
  // With the checks the creator writes, hashed across batches and long copies: the same
  // file; an original with one copied byte changed is refused and the file left as it was.
  auto bytes = [](const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
  };
  size_field_ = size_field_with_checks(
      size, make_checks(bytes(original_), size, bytes(expected_), expected_.size(), stream_));
  EXPECT_EQ(run(), JobOutcome::complete);
  std::string changed = original_;
  changed[5500] ^= 1;  // taken by copy(5000, 1000)
  write_file("old.dat", changed);
  EXPECT_EQ(run(), JobOutcome::wrong_original);
  EXPECT_TRUE(read_file("new.dat") == expected_);
  // Again with the pieces read instead of mapped: the first write cuts off a last byte
  // that no copy takes, and from then on the original is read.
  write_file("old.dat", original_ + "!");
  std::string written;
  EXPECT_EQ(run_cut(static_cast<off_t>(original_.size()), &written), ApplyOutcome::complete);
  EXPECT_TRUE(written == expected_);
}

TEST_F(Job, OriginalCutShortUnderTheRunIsTheWrongOriginal) {
  std::mt19937 rng(5);
  original_ = random_bytes(200000, rng());
  // The long copy is written first; the pieces behind it lie on pages past the new end,
  // which fault, or in the zeros behind the new end on its last page. The batch is then
  // read again and written up to the first byte the cut original no longer has. Batches
  // full of short pieces, copied on two threads at once, come before the cut ones.
  copy(0, 65536);
  for (std::size_t i = 0; i < 2 * kMaxBatchCopies + 300; ++i)
    copy(rng() % 149000, rng() % 64);
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
    std::string written;
    EXPECT_EQ(run_cut(cut.cut_to, &written), ApplyOutcome::wrong_original);
    EXPECT_TRUE(written == cut.kept);
  }
}

// A disk that fills up under the writer thread, a few batches in: the run ends with the
// writer's own reason, and no later batch is handed to the disk.
TEST_F(Job, WriteThatFailsMidwayEndsTheRun) {
  std::mt19937 rng(11);
  original_ = random_bytes(1 << 20, rng());
  for (int i = 0; i < 200000; ++i)
    copy(rng() % ((1 << 20) - 100), rng() % 100);
  write_file("old.dat", original_);
  struct Disk {
    std::string written;
    bool full = false;
    int batches_refused = 0;
  } disk;
  // A full disk writes nothing.
  auto write_until_full = [](void* cookie, const char* bytes, std::size_t size) -> ssize_t {
    auto* self = static_cast<Disk*>(cookie);
    self->full = self->full || self->written.size() + size > 2 * kBatchBytes;
    if (self->full) {
      ++self->batches_refused;
      errno = ENOSPC;
      return 0;
    }
    self->written.append(bytes, size);
    return static_cast<ssize_t>(size);
  };
  EXPECT_EQ(run_into(write_until_full, &disk), ApplyOutcome::write_failed);
  EXPECT_EQ(applier_.write_error, ENOSPC);
  EXPECT_EQ(disk.batches_refused, 1);
  EXPECT_GE(disk.written.size(), kBatchBytes);
  EXPECT_TRUE(disk.written == expected_.substr(0, disk.written.size()));
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
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 3);
}

// Every job closes what it opened, however it ends; a new file gets the permissions the
// umask leaves, a replaced one keeps its own.
TEST_F(Job, ClosesItsFilesAndKeepsPermissions) {
  write_file("old.dat", "");
  insert("a");
  write_file("kept.dat", "old");
  ASSERT_TRUE(chmod("kept.dat", 0604) == 0 && mkdir("folder", 0755) == 0);
  auto open_files = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  long open_before = open_files();
  mode_t umask_before = umask(027);
  EXPECT_EQ(run("new.dat", "missing.dat"), JobOutcome::original_unusable);
  EXPECT_EQ(run("folder"), JobOutcome::destination_refused);
  EXPECT_EQ(run("kept.dat"), JobOutcome::complete);
  EXPECT_EQ(run("new.dat"), JobOutcome::complete);
  umask(umask_before);
  struct stat kept, made;
  ASSERT_TRUE(stat("kept.dat", &kept) == 0 && stat("new.dat", &made) == 0);
  EXPECT_EQ(kept.st_mode & 07777, 0604u);
  EXPECT_EQ(made.st_mode & 07777, 0640u);
  EXPECT_EQ(open_files(), open_before);
}

}  // namespace
