// qv-bench-diff [--runs N] [--generate FOLDER] [--only-ours] [--baseline CREATOR]
//               NAME ORIGINAL NEW [NAME ORIGINAL NEW...]
// The creator against the general delta tools on the same pairs, side by side in one run:
// patch size raw and after xz -9, wall and CPU time and peak memory of each tool, and
// every patch of ours checked by applying it with qv-bench-apply. With --generate, a
// 100 MB pair is made in FOLDER first and measured as "generated-100m". With --baseline,
// another build of the creator runs in the same rounds as ours; with --only-ours, the
// general tools do not run.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/process.h"

namespace {

struct Pair {
  std::string name, original, target;
};

struct Measure {
  std::string label;
  long long raw = -1, xz = -1;          // bytes; -1 when the tool failed
  double seconds = 0, cpu_seconds = 0;  // medians
  long peak_rss_kib = 0;
};

long long file_size(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

std::string sibling(const char* name) {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return name;
  std::string self(path, static_cast<std::size_t>(length));
  return self.substr(0, self.rfind('/') + 1) + name;
}

long long xz_size(const std::string& patch) {
  std::string packed = patch + ".xz";
  run_command({{"sh", "-c", "xz -9 -T1 -c '" + patch + "' > '" + packed + "'"}});
  long long size = file_size(packed);
  std::remove(packed.c_str());
  return size;
}

// Runs a tool `runs` times; keeps the median wall time and the largest peak memory.
Measure measure(const std::string& label, const std::vector<std::string>& argv,
                const std::string& patch, int runs, bool packs = true) {
  Measure m;
  m.label = label;
  std::vector<double> seconds, cpu_seconds;
  for (int i = 0; i < runs; ++i) {
    std::remove(patch.c_str());
    Launch launch;
    launch.argv = argv;
    launch.show_errors = false;
    RunResult result = run_command(launch);
    if (result.status != 0) return m;
    seconds.push_back(result.seconds);
    cpu_seconds.push_back(result.user_seconds + result.system_seconds);
    m.peak_rss_kib = std::max(m.peak_rss_kib, result.peak_rss_kib);
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(cpu_seconds.begin(), cpu_seconds.end());
  m.seconds = seconds[seconds.size() / 2];
  m.cpu_seconds = cpu_seconds[cpu_seconds.size() / 2];
  m.raw = file_size(patch);
  if (packs) m.xz = xz_size(patch);
  return m;
}

bool same_files(const std::string& a, const std::string& b) {
  return run_command({{"cmp", "-s", a, b}}).status == 0;
}

// A pair like two releases of a large data file: the original mixes random stretches
// with word-like text; the new file keeps most of it in order, with inserted, deleted,
// scattered-byte and moved stretches.
void generate_pair(const std::string& folder, Pair* pair) {
  pair->name = "generated-100m";
  pair->original = folder + "/generated-100m.old";
  pair->target = folder + "/generated-100m.new";
  if (file_size(pair->original) > 0 && file_size(pair->target) > 0) return;
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
  for (const auto& [path, bytes] : {std::pair{pair->original, &old}, {pair->target, &target}}) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes->data(), 1, bytes->size(), file) != bytes->size()) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      std::exit(1);
    }
    std::fclose(file);
  }
}

void print_row(const Pair& pair, const Measure& ours, const Measure& m) {
  auto mb = [](long long bytes) { return bytes / 1e6; };
  std::printf("| %s | %s | %lld | %.3f MB | %.4f | %.2f | %.2f s | %.2f s | %.0f MiB |\n",
              pair.name.c_str(), m.label.c_str(), m.raw, mb(m.xz),
              static_cast<double>(m.raw) / ours.raw, static_cast<double>(m.xz) / ours.xz, m.seconds,
              m.cpu_seconds, m.peak_rss_kib / 1024.0);
}

std::string load_average() {
  char text[64] = "";
  FILE* file = std::fopen("/proc/loadavg", "r");
  if (file != nullptr && std::fgets(text, sizeof text, file) == nullptr) text[0] = '\0';
  if (file != nullptr) std::fclose(file);
  std::string load = text;
  return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

struct Options {
  int runs = 3;
  bool only_ours = false;
  std::vector<std::string> baseline;  // another creator's command, run in turns with ours
};

// Medians of the runs' times, the largest peak memory, the last run's sizes.
Measure summary(const std::vector<Measure>& runs) {
  Measure out = runs.back();
  std::vector<double> seconds, cpu;
  for (const Measure& m : runs) {
    if (m.raw < 0) return m;
    seconds.push_back(m.seconds);
    cpu.push_back(m.cpu_seconds);
    out.peak_rss_kib = std::max(out.peak_rss_kib, m.peak_rss_kib);
  }
  std::sort(seconds.begin(), seconds.end());
  std::sort(cpu.begin(), cpu.end());
  out.seconds = seconds[seconds.size() / 2];
  out.cpu_seconds = cpu[cpu.size() / 2];
  return out;
}

void bench_pair(const Pair& pair, const Options& options) {
  long long original_size = file_size(pair.original), new_size = file_size(pair.target);
  std::string scratch = pair.target + ".bench";
  std::string size = std::to_string(original_size);
  std::string load = load_average();
  // Ours and the baseline take turns, so that both see the same load.
  std::vector<Measure> our_runs, baseline_runs;
  for (int i = 0; i < options.runs; ++i) {
    our_runs.push_back(
        measure("quorvalex create",
                {sibling("../quorvalex"), "create", pair.original, pair.target, scratch + ".qvx"},
                scratch + ".qvx", 1, false));
    if (!options.baseline.empty()) {
      std::vector<std::string> command = options.baseline;
      command.insert(command.end(), {pair.original, pair.target, scratch + ".base.qvx"});
      baseline_runs.push_back(measure("baseline", command, scratch + ".base.qvx", 1, false));
    }
  }
  Measure ours = summary(our_runs);
  ours.xz = xz_size(scratch + ".qvx");
  std::string rebuilt = scratch + ".rebuilt";
  bool applies = run_command({{sibling("qv-bench-apply"), "--no-fsync", pair.original,
                               scratch + ".qvx", rebuilt}})
                         .status == 0 &&
                 same_files(rebuilt, pair.target);
  std::remove(rebuilt.c_str());
  std::printf(
      "\n%s: original %.3f MB, new %.3f MB; our patch %s; patch/new %.4f; load average %s\n\n",
      pair.name.c_str(), original_size / 1e6, new_size / 1e6,
      applies ? "rebuilds the new file" : "DOES NOT REBUILD THE NEW FILE",
      static_cast<double>(ours.raw) / new_size, load.c_str());
  std::printf(
      "| pair | tool | raw bytes | xz -9 | raw / ours | xz / ours xz | time | CPU time | "
      "peak memory |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  print_row(pair, ours, ours);
  if (!baseline_runs.empty()) {
    Measure baseline = summary(baseline_runs);
    baseline.xz = xz_size(scratch + ".base.qvx");
    print_row(pair, ours, baseline);
  }
  std::vector<Measure> peers;
  if (!options.only_ours)
    peers = {
        measure("xdelta3 -9 -N -S none -B size",
                {"xdelta3", "-e", "-f", "-9", "-N", "-S", "none", "-B", size, "-s", pair.original,
                 pair.target, scratch + ".xd3raw"},
                scratch + ".xd3raw", 1),
        measure("xdelta3 (default)",
                {"xdelta3", "-e", "-f", "-s", pair.original, pair.target, scratch + ".xd3"},
                scratch + ".xd3", 1),
        measure("bsdiff", {"bsdiff", pair.original, pair.target, scratch + ".bsdiff"},
                scratch + ".bsdiff", 1),
        measure("zstd -19 --long=27 --patch-from",
                {"zstd", "-q", "-f", "-19", "--long=27", "--patch-from=" + pair.original,
                 pair.target, "-o", scratch + ".zst"},
                scratch + ".zst", 1),
    };
  for (const Measure& peer : peers)
    print_row(pair, ours, peer);
  for (const char* suffix : {".qvx", ".base.qvx", ".xd3raw", ".xd3", ".bsdiff", ".zst"})
    std::remove((scratch + suffix).c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Pair> pairs;
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      options.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only-ours") {
      options.only_ours = true;
    } else if (arg == "--baseline" && i + 1 < argc) {
      // Words split at spaces, such as "OTHER/quorvalex create".
      std::string words = argv[++i];
      for (std::size_t at = 0; at < words.size();) {
        std::size_t end = std::min(words.find(' ', at), words.size());
        if (end > at) options.baseline.push_back(words.substr(at, end - at));
        at = end + 1;
      }
    } else if (arg == "--generate" && i + 1 < argc) {
      pairs.emplace_back();
      generate_pair(argv[++i], &pairs.back());
    } else if (i + 2 < argc) {
      pairs.push_back({arg, argv[i + 1], argv[i + 2]});
      i += 2;
    } else {
      std::fprintf(stderr,
                   "usage: qv-bench-diff [--runs N] [--generate FOLDER] [--only-ours] "
                   "[--baseline CREATOR] NAME ORIGINAL NEW...\n");
      return 2;
    }
  }
  std::printf(
      "quorvalex create (and the baseline): medians of %d runs; every other tool: one run.\n",
      options.runs);
  for (const Pair& pair : pairs)
    bench_pair(pair, options);
  return 0;
}
