// quorvalex COMMAND [options] FILES: makes, applies and examines Quorvalex patches. Status
// 0 on success, 1 on a failure or a "no" from check, 2 for a wrong command line.
#include <cstring>
#include <string>

#include "cli/platform.h"
#include "cli/tool.h"
#include "files/files.h"
#include "files/interrupt.h"

namespace {

constexpr char kVersion[] = "quorvalex 1.0";

constexpr char kToolHelp[] =
    "usage: quorvalex COMMAND [options] FILES\n"
    "Makes, applies and examines the patches that quorvalex-apply applies.\n"
    "\n"
    "commands:\n"
    "  create [--original-name NAME] [--new-name NAME] [-f] ORIGINAL NEW [PATCH]\n"
    "      write PATCH (default \"Amber Reaches update.dat\"), which rebuilds NEW from ORIGINAL\n"
    "  apply [-f] ORIGINAL PATCH NEW\n"
    "      rebuild NEW from ORIGINAL and PATCH, checked as the player's program does\n"
    "  check ORIGINAL PATCH\n"
    "      tell whether ORIGINAL is the file PATCH was made from\n"
    "  info PATCH\n"
    "      show the names, sizes, hashes and operations that PATCH holds\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help; 'quorvalex COMMAND --help' shows a command's\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 on success, 1 on a failure or when check says no, 2 for a wrong\n"
    "command line.\n";

constexpr char kCreateHelp[] =
    "usage: quorvalex create [--original-name NAME] [--new-name NAME] [-f] ORIGINAL NEW [PATCH]\n"
    "Writes PATCH (default \"Amber Reaches update.dat\") so that quorvalex-apply, given\n"
    "ORIGINAL, rebuilds NEW byte for byte and verifies it. PATCH - (or /dev/stdout)\n"
    "writes the patch to standard output.\n"
    "\n"
    "options:\n"
    "  --original-name NAME  name of the original shown to the player (default: ORIGINAL's)\n"
    "  --new-name NAME       name of the new file shown to the player (default: NEW's)\n"
    "  -f, --force           replace an existing PATCH\n"
    "  -h, --help            show this help\n";

constexpr char kApplyHelp[] =
    "usage: quorvalex apply [-f] ORIGINAL PATCH NEW\n"
    "Rebuilds NEW from ORIGINAL and PATCH with the checks of quorvalex-apply and puts it in\n"
    "place only once it is complete and, where PATCH carries its hashes, verified. NEW may\n"
    "be ORIGINAL itself, to update it in place.\n"
    "\n"
    "options:\n"
    "  -f, --force  replace an existing NEW\n"
    "  -h, --help   show this help\n";

constexpr char kCheckHelp[] =
    "usage: quorvalex check ORIGINAL PATCH\n"
    "Tells whether ORIGINAL is the file PATCH was made from, by its size and, where PATCH\n"
    "carries it, its XXH3 hash: status 0 when it is, 1 when it is not.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help\n";

constexpr char kInfoHelp[] =
    "usage: quorvalex info PATCH\n"
    "Shows the names PATCH stores, the sizes and hashes it carries, its operations and\n"
    "whether the new file it builds can be verified.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help\n";

struct Command {
  const char* name;
  const char* help;
  const char* operands;  // as the usage error names them
  int least, most;       // operands
  bool takes_force, takes_names;
  int (*run)(const ToolLine& line);
};

constexpr Command kCommands[] = {
    {"create", kCreateHelp, "ORIGINAL NEW [PATCH]", 2, 3, true, true, create_patch},
    {"apply", kApplyHelp, "ORIGINAL PATCH NEW", 3, 3, true, false, apply_patch_file},
    {"check", kCheckHelp, "ORIGINAL PATCH", 2, 2, false, false, check_original},
    {"info", kInfoHelp, "PATCH", 1, 1, false, false, show_patch_info},
};

bool is_help(const char* argument) {
  return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0 ||
         is_help_switch(argument);
}

int usage_error(const std::string& message, const Command* command) {
  std::string help = command != nullptr ? std::string(command->name) + " --help" : "--help";
  std::fprintf(stderr, "quorvalex: %s\nTry 'quorvalex %s'.\n", message.c_str(), help.c_str());
  return 2;
}

// Where the value of a name option goes when `argument` is one ("--new-name", or
// "--new-name=NAME"); null otherwise.
const char** name_slot(const char* argument, ToolLine* line) {
  const struct {
    const char* option;
    const char** slot;
  } options[] = {{"--original-name", &line->original_name}, {"--new-name", &line->new_name}};
  for (const auto& name : options) {
    std::size_t length = std::strlen(name.option);
    if (std::strncmp(argument, name.option, length) == 0 &&
        (argument[length] == '\0' || argument[length] == '=')) {
      return name.slot;
    }
  }
  return nullptr;
}

// Empty when the arguments after the command are well formed, otherwise what is wrong.
std::string parse_arguments(const Command& command, int argc, char** argv, ToolLine* line,
                            bool* help) {
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const char* argument = argv[i];
    bool is_option = !options_done && argument[0] == '-' && argument[1] != '\0';
    if (!options_done && is_help(argument)) {
      *help = true;
    } else if (!is_option) {
      if (line->operand_count == command.most) return "expected " + std::string(command.operands);
      line->operands[line->operand_count++] = argument;
    } else if (std::strcmp(argument, "--") == 0) {
      options_done = true;
    } else if (command.takes_force &&
               (std::strcmp(argument, "-f") == 0 || std::strcmp(argument, "--force") == 0)) {
      line->force = true;
    } else if (const char** slot = command.takes_names ? name_slot(argument, line) : nullptr) {
      const char* equals = std::strchr(argument, '=');
      if (equals == nullptr && i + 1 == argc)
        return std::string("option ") + argument + " needs a name";
      *slot = equals != nullptr ? equals + 1 : argv[++i];
    } else {
      return std::string("unknown option ") + argument;
    }
  }
  if (!*help && line->operand_count < command.least) {
    return "expected " + std::string(command.operands);
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  // No input or patch may take the number of a closed standard stream. From here on an
  // interrupt removes an unfinished output file and ends with status 1, and a file-size
  // limit fails the write instead of ending the process.
  if (!open_missing_standard_streams()) return 1;
  install_interrupt_handlers();
  if (argc < 2) return usage_error("expected a command: create, apply, check or info", nullptr);
  const char* first = argv[1];
  if (is_help(first)) {
    std::fputs(kToolHelp, stdout);
    return 0;
  }
  if (std::strcmp(first, "--version") == 0) {
    std::puts(kVersion);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (std::strcmp(first, command.name) != 0) continue;
    ToolLine line = {};
    bool help = false;
    std::string problem = parse_arguments(command, argc - 2, argv + 2, &line, &help);
    if (!problem.empty()) return usage_error(problem, &command);
    if (!help) return command.run(line);
    std::fputs(command.help, stdout);
    return 0;
  }
  return usage_error(std::string(first[0] == '-' ? "unknown option " : "unknown command ") + first,
                     nullptr);
}
