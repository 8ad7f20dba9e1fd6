// qv-bench [--quick] [--runs N] [--dir FOLDER] [--case NAME]
// Times the engine against xdelta3 -d, bspatch and a plain dd copy of as many bytes, on
// generated (original, new, patch) triples, and checks every output byte for byte.
// Each round runs every tool once, in turn, on warm caches with no dirty pages left
// over from the tool before; the table shows the median and the fastest of the rounds'
// wall times and the median of their CPU times (user + system), which other load on
// the machine disturbs less.
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/cases.h"
#include "bench/process.h"

namespace {

struct Options {
  bool quick = false;
  int runs = 5;
  std::string folder = "/tmp/qv-bench";
  std::string only_case;
};

enum class Check { same_as_expected, same_size };

struct Tool {
  const char* label;
  std::vector<std::string> argv;
  Check check;
  std::vector<double> seconds;
  std::vector<double> cpu_seconds;
  long peak_rss_kib = 0;
};

// What one case measured, for the closing summary.
struct CaseResult {
  std::string name;
  double engine, engine_fsync, xdelta, bspatch, dd, dd_fsync;
  long engine_rss_kib;
};

bool parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      options->quick = true;
    } else if (arg == "--runs" && has_value) {
      options->runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dir" && has_value) {
      options->folder = argv[++i];
    } else if (arg == "--case" && has_value) {
      options->only_case = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

std::string runner_path() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "qv-bench-apply";
  path[length] = '\0';
  std::string self = path;
  return self.substr(0, self.rfind('/') + 1) + "qv-bench-apply";
}

void print_machine() {
  std::string cpu = "unknown CPU";
  if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, info) != nullptr) {
      if (std::strncmp(line, "model name", 10) != 0) continue;
      cpu = std::strchr(line, ':') + 2;
      cpu.erase(cpu.find_last_not_of("\n") + 1);
      break;
    }
    std::fclose(info);
  }
  struct utsname system;
  uname(&system);
  std::printf("machine: %s, %ld cores, %s %s\n", cpu.c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              system.sysname, system.release);
}

std::uint64_t free_bytes(const std::string& folder) {
  struct statvfs info;
  if (statvfs(folder.c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

Tool make_tool(const char* label, std::vector<std::string> argv,
               Check check = Check::same_as_expected) {
  Tool tool;
  tool.label = label;
  tool.argv = std::move(argv);
  tool.check = check;
  return tool;
}

std::vector<Tool> tools_for(const CaseShape& shape, const CaseFiles& files,
                            const std::string& output) {
  std::string runner = runner_path();
  std::vector<std::string> dd = {
      "dd",         "if=" + files.original, "of=" + output,
      "bs=128K",    "iflag=count_bytes",    "count=" + std::to_string(shape.new_size),
      "status=none"};
  std::vector<std::string> dd_fsync = dd;
  dd_fsync.push_back("conv=fsync");
  return {
      make_tool("engine", {runner, "--no-fsync", files.original, files.patch, output}),
      make_tool("engine+fsync", {runner, files.original, files.patch, output}),
      make_tool("xdelta3 -d", {"xdelta3", "-d", "-f", "-s", files.original, files.xdelta, output}),
      make_tool("bspatch", {"bspatch", files.original, output, files.bsdiff}),
      make_tool("dd bs=128K", dd, Check::same_size),
      make_tool("dd+fsync", dd_fsync, Check::same_size),
  };
}

bool output_is_right(const Tool& tool, const CaseShape& shape, const CaseFiles& files,
                     const std::string& output) {
  if (tool.check == Check::same_as_expected) return same_contents(output, files.expected);
  FILE* file = std::fopen(output.c_str(), "rb");
  if (file == nullptr) return false;
  std::fseek(file, 0, SEEK_END);
  bool right = static_cast<std::uint64_t>(std::ftell(file)) == shape.new_size;
  std::fclose(file);
  return right;
}

// One timed run: a fresh output, nothing dirty in the page cache, then the tool.
bool time_tool(Tool* tool, const CaseShape& shape, const CaseFiles& files,
               const std::string& output, bool record) {
  std::remove(output.c_str());
  sync();
  RunResult result = run_command(tool->argv, true);
  if (result.status != 0 || !output_is_right(*tool, shape, files, output)) {
    std::printf("  %s: %s\n", tool->label,
                result.status != 0 ? "failed" : "output differs from the expected new file");
    return false;
  }
  if (record) {
    tool->seconds.push_back(result.seconds);
    tool->cpu_seconds.push_back(result.cpu_seconds);
    tool->peak_rss_kib = std::max(tool->peak_rss_kib, result.peak_rss_kib);
  }
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double mib(double bytes) {
  return bytes / (1 << 20);
}

void print_case(const CaseShape& shape, const CaseFiles& files, const std::vector<Tool>& tools,
                int runs) {
  std::printf(
      "\n%s: %.0f MiB new file from a %.0f MiB original, %llu operations, "
      "median of %d runs\n",
      shape.name, mib(shape.new_size), mib(shape.original_size),
      static_cast<unsigned long long>(files.operations), runs);
  std::printf("  %-14s %9s %9s %9s %12s\n", "tool", "median", "fastest", "cpu", "peak RSS");
  for (const Tool& tool : tools) {
    std::printf("  %-14s %8.3fs %8.3fs %8.3fs %8.1f MiB\n", tool.label, median(tool.seconds),
                *std::min_element(tool.seconds.begin(), tool.seconds.end()),
                median(tool.cpu_seconds), tool.peak_rss_kib / 1024.0);
  }
  if (files.bsdiff_written) {
    std::printf(
        "  (the bsdiff patch was written from the operations: bsdiff itself needs\n"
        "   about 9 times the original in memory and minutes per 64 MiB)\n");
  }
}

CaseResult summarize(const CaseShape& shape, const std::vector<Tool>& tools) {
  CaseResult result;
  result.name = shape.name;
  result.engine = median(tools[0].seconds);
  result.engine_fsync = median(tools[1].seconds);
  result.xdelta = median(tools[2].seconds);
  result.bspatch = median(tools[3].seconds);
  result.dd = median(tools[4].seconds);
  result.dd_fsync = median(tools[5].seconds);
  result.engine_rss_kib = tools[0].peak_rss_kib;
  std::printf(
      "  ours/dd %.2f   ours/xdelta3 %.3f   ours/bspatch %.3f   "
      "(ours+fsync)/(dd+fsync) %.2f\n",
      result.engine / result.dd, result.engine / result.xdelta, result.engine / result.bspatch,
      result.engine_fsync / result.dd_fsync);
  return result;
}

void print_summary(const std::vector<CaseResult>& results) {
  std::printf(
      "\n| case | engine | dd bs=128K | xdelta3 -d | bspatch | ours/dd | ours/xdelta3 "
      "| ours/bspatch | engine+fsync | dd+fsync | peak RSS |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const CaseResult& r : results) {
    std::printf(
        "| %s | %.3f s | %.3f s | %.3f s | %.3f s | %.2f | %.3f | %.3f | %.3f s | "
        "%.3f s | %.1f MiB |\n",
        r.name.c_str(), r.engine, r.dd, r.xdelta, r.bspatch, r.engine / r.dd, r.engine / r.xdelta,
        r.engine / r.bspatch, r.engine_fsync, r.dd_fsync, r.engine_rss_kib / 1024.0);
  }
}

bool run_case(const CaseShape& shape, const Options& options, std::vector<CaseResult>* results) {
  CaseFiles files;
  if (!prepare_case(shape, options.folder, &files)) return false;
  std::string output = options.folder + "/" + shape.name + "/out.bin";
  std::vector<Tool> tools = tools_for(shape, files, output);
  // The first round warms the caches and is not counted.
  for (int round = 0; round <= options.runs; ++round) {
    for (Tool& tool : tools) {
      if (!time_tool(&tool, shape, files, output, round > 0)) return false;
    }
  }
  std::remove(output.c_str());
  print_case(shape, files, tools, options.runs);
  results->push_back(summarize(shape, tools));
  return true;
}

bool selected(const CaseShape& shape, const Options& options) {
  if (!options.only_case.empty()) return options.only_case == shape.name;
  return !options.quick || shape.original_size < (std::uint64_t{1} << 30);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, &options)) {
    std::fprintf(stderr, "usage: qv-bench [--quick] [--runs N] [--dir FOLDER] [--case NAME]\n");
    return 2;
  }
  for (const char* tool : {"xdelta3", "bsdiff", "bspatch", "dd"}) {
    if (have_program(tool)) continue;
    std::fprintf(stderr, "%s is missing; scripts/bench installs it\n", tool);
    return 1;
  }
  std::string make_folder = "mkdir -p '" + options.folder + "'";
  if (std::system(make_folder.c_str()) != 0) return 1;
  std::uint64_t needed = 0;
  for (std::size_t i = 0; i < kCaseCount; ++i) {
    if (selected(kCases[i], options)) needed += disk_needed(kCases[i]);
  }
  if (needed == 0) {
    std::fprintf(stderr, "no case is called %s\n", options.only_case.c_str());
    return 2;
  }
  if (free_bytes(options.folder) < needed) {
    std::fprintf(stderr, "%s has less than the %.1f GiB free that the cases need\n",
                 options.folder.c_str(), mib(needed) / 1024);
    return 1;
  }
  print_machine();
  std::printf("scratch folder: %s; times are wall clock of the whole process\n",
              options.folder.c_str());
  std::printf(
      "peak RSS cannot show less than %.1f MiB here: a process that does nothing "
      "shows that much\n",
      run_command({"true"}, false).peak_rss_kib / 1024.0);
  std::printf(
      "engine = the program's apply_patch into its temporary file and rename, without\n"
      "the final fsync; engine+fsync = the same with it, as the program runs\n");
  std::vector<CaseResult> results;
  for (std::size_t i = 0; i < kCaseCount; ++i) {
    if (selected(kCases[i], options) && !run_case(kCases[i], options, &results)) return 1;
  }
  print_summary(results);
  return 0;
}
