// qv-bench [--quick] [--runs N] [--dir FOLDER] [--case NAME] [--baseline FOLDER] [--checks]
// Times the program (whole, and its engine alone) against a plain mapped rebuild,
// xdelta3 -d, bspatch and a dd copy of as many bytes, on generated (original, new, patch)
// triples, and checks every output byte for byte. Each round runs every tool once, in
// turn, on warm caches with its output deleted and no dirty pages left over from the
// tool before; the table shows the median and the fastest of the rounds' wall times, the
// medians of their user and system times, which other load disturbs less, and the peak
// private (RssAnon) and resident (ru_maxrss) memory. With --baseline, the program and
// engine built in another folder (an older version) run in the same rounds. With
// --checks the cases' patches carry the checks, which the program then verifies.
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
  std::string baseline;  // folder of another build's qv-bench-program and qv-bench-apply
  bool checks = false;
};

enum class Check { same_as_expected, same_size };

struct Tool {
  const char* label;
  Launch launch;
  int exit_status;  // what the tool returns after a good run
  Check check;
  std::vector<double> seconds;
  std::vector<double> user_seconds;
  std::vector<double> system_seconds;
  long peak_rss_kib = 0;
  long peak_anon_kib = 0;
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
    } else if (arg == "--baseline" && has_value) {
      options->baseline = argv[++i];
    } else if (arg == "--checks") {
      options->checks = true;
    } else {
      return false;
    }
  }
  return true;
}

// A program built beside this one.
std::string sibling_path(const char* name) {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return name;
  path[length] = '\0';
  std::string self = path;
  return self.substr(0, self.rfind('/') + 1) + name;
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
  tool.launch.argv = std::move(argv);
  tool.exit_status = 0;
  tool.check = check;
  return tool;
}

// The program as a player runs it, in the case's folder: the two file questions are
// answered on standard input, then the key press that ends it; it always exits with 1.
Tool program_tool(const char* label, const std::string& program, const CaseFiles& files,
                  const std::string& output) {
  std::string folder = files.original.substr(0, files.original.rfind('/'));
  std::string answers = folder + "/answers";
  if (FILE* file = std::fopen(answers.c_str(), "w")) {
    std::fprintf(file, "original.bin\n%s\n\n", output.substr(folder.size() + 1).c_str());
    std::fclose(file);
  }
  Tool tool = make_tool(label, {program});
  tool.launch.folder = folder;
  tool.launch.input = answers;
  tool.launch.show_errors = false;  // its questions
  tool.exit_status = 1;
  return tool;
}

std::vector<Tool> tools_for(const CaseShape& shape, const CaseFiles& files,
                            const std::string& output, const std::string& baseline) {
  std::vector<std::string> dd = {
      "dd",         "if=" + files.original, "of=" + output,
      "bs=128K",    "iflag=count_bytes",    "count=" + std::to_string(shape.new_size),
      "status=none"};
  std::vector<std::string> dd_fsync = dd;
  dd_fsync.push_back("conv=fsync");
  std::vector<Tool> tools = {
      program_tool("program", sibling_path("qv-bench-program"), files, output),
      make_tool("engine", {sibling_path("qv-bench-apply"), "--no-fsync", files.original,
                           files.patch, output}),
  };
  if (!baseline.empty()) {
    tools.push_back(program_tool("program base", baseline + "/qv-bench-program", files, output));
    tools.push_back(make_tool("engine base", {baseline + "/qv-bench-apply", "--no-fsync",
                                              files.original, files.patch, output}));
  }
  tools.push_back(make_tool("mapped loop",
                            {sibling_path("qv-mapped-loop"), files.original, files.patch, output}));
  if (shape.delta_tools) {
    tools.push_back(make_tool("xdelta3 -d",
                              {"xdelta3", "-d", "-f", "-s", files.original, files.xdelta, output}));
    tools.push_back(make_tool("bspatch", {"bspatch", files.original, output, files.bsdiff}));
  }
  tools.push_back(make_tool("dd bs=128K", dd, Check::same_size));
  tools.push_back(make_tool("dd+fsync", dd_fsync, Check::same_size));
  return tools;
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
  RunResult result = run_command(tool->launch);
  if (result.status != tool->exit_status || !output_is_right(*tool, shape, files, output)) {
    std::printf("  %s: %s\n", tool->label,
                result.status != tool->exit_status ? "failed"
                                                   : "output differs from the expected new file");
    return false;
  }
  if (record) {
    tool->seconds.push_back(result.seconds);
    tool->user_seconds.push_back(result.user_seconds);
    tool->system_seconds.push_back(result.system_seconds);
    tool->peak_rss_kib = std::max(tool->peak_rss_kib, result.peak_rss_kib);
    tool->peak_anon_kib = std::max(tool->peak_anon_kib, result.peak_anon_kib);
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
  std::printf("  %-12s %9s %9s %9s %9s %11s %11s\n", "tool", "median", "fastest", "user", "system",
              "RssAnon", "ru_maxrss");
  for (const Tool& tool : tools) {
    std::printf("  %-12s %8.3fs %8.3fs %8.3fs %8.3fs %7.1f MiB %7.1f MiB\n", tool.label,
                median(tool.seconds), *std::min_element(tool.seconds.begin(), tool.seconds.end()),
                median(tool.user_seconds), median(tool.system_seconds), tool.peak_anon_kib / 1024.0,
                tool.peak_rss_kib / 1024.0);
  }
  if (files.bsdiff_written) {
    std::printf(
        "  (the bsdiff patch was written from the operations: bsdiff itself needs\n"
        "   about 9 times the original in memory and minutes per 64 MiB)\n");
  }
}

// What one case measured, for the closing summary: median wall times by tool, 0 for a
// tool the case does not run.
struct CaseResult {
  std::string name;
  double program, engine, program_base, engine_base, mapped_loop, xdelta, bspatch, dd, dd_fsync;
  long anon_kib, rss_kib;
};

double median_of(const std::vector<Tool>& tools, const char* label) {
  for (const Tool& tool : tools) {
    if (std::strcmp(tool.label, label) == 0) return median(tool.seconds);
  }
  return 0;
}

CaseResult summarize(const CaseShape& shape, const std::vector<Tool>& tools) {
  CaseResult r;
  r.name = shape.name;
  r.program = median_of(tools, "program");
  r.engine = median_of(tools, "engine");
  r.program_base = median_of(tools, "program base");
  r.engine_base = median_of(tools, "engine base");
  r.mapped_loop = median_of(tools, "mapped loop");
  r.xdelta = median_of(tools, "xdelta3 -d");
  r.bspatch = median_of(tools, "bspatch");
  r.dd = median_of(tools, "dd bs=128K");
  r.dd_fsync = median_of(tools, "dd+fsync");
  r.anon_kib = tools[0].peak_anon_kib;
  r.rss_kib = tools[0].peak_rss_kib;
  std::printf("  program/(dd+fsync) %.2f   program/(mapped loop) %.2f   engine/dd %.2f",
              r.program / r.dd_fsync, r.program / r.mapped_loop, r.engine / r.dd);
  if (r.xdelta > 0) std::printf("   program/xdelta3 %.3f", r.program / r.xdelta);
  if (r.program_base > 0) std::printf("   program/(program base) %.2f", r.program / r.program_base);
  std::printf("\n");
  return r;
}

// A time, or a dash for a tool the case does not run.
std::string cell(double seconds, const char* format = "%.3f s") {
  if (seconds <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, format, seconds);
  return text;
}

void print_summary(const std::vector<CaseResult>& results) {
  std::printf(
      "\n| case | program | engine | program base | engine base | mapped loop | dd+fsync | dd | "
      "xdelta3 -d | bspatch "
      "| program/mapped loop | program/(dd+fsync) | program/xdelta3 | engine/dd "
      "| RssAnon | ru_maxrss |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const CaseResult& r : results) {
    std::printf(
        "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %.2f | %.2f | %s | %.2f | %.1f MiB | "
        "%.1f MiB "
        "|\n",
        r.name.c_str(), cell(r.program).c_str(), cell(r.engine).c_str(),
        cell(r.program_base).c_str(), cell(r.engine_base).c_str(), cell(r.mapped_loop).c_str(),
        cell(r.dd_fsync).c_str(), cell(r.dd).c_str(), cell(r.xdelta).c_str(),
        cell(r.bspatch).c_str(), r.program / r.mapped_loop, r.program / r.dd_fsync,
        cell(r.xdelta > 0 ? r.program / r.xdelta : 0, "%.2f").c_str(), r.engine / r.dd,
        r.anon_kib / 1024.0, r.rss_kib / 1024.0);
  }
}

bool run_case(const CaseShape& shape, const Options& options, std::vector<CaseResult>* results) {
  CaseFiles files;
  if (!prepare_case(shape, options.folder, options.checks, &files)) return false;
  std::string output = options.folder + "/" + shape.name + "/out.bin";
  std::vector<Tool> tools = tools_for(shape, files, output, options.baseline);
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
    std::fprintf(stderr,
                 "usage: qv-bench [--quick] [--runs N] [--dir FOLDER] [--case NAME] "
                 "[--baseline FOLDER]\n");
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
  Launch idle;
  idle.argv = {"true"};
  std::printf(
      "ru_maxrss cannot show less than %.1f MiB here: a process that does nothing "
      "shows that much\n",
      run_command(idle).peak_rss_kib / 1024.0);
  std::printf(
      "program = the whole program with its answers on standard input, instant pauses and\n"
      "its final fsync; engine = its apply_patch alone, without the fsync; mapped loop =\n"
      "memcpy of every piece from the mapped original in patch order, with an fsync\n");
  std::vector<CaseResult> results;
  for (std::size_t i = 0; i < kCaseCount; ++i) {
    if (selected(kCases[i], options) && !run_case(kCases[i], options, &results)) return 1;
  }
  print_summary(results);
  return 0;
}
