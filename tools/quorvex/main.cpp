// quorvex: development tool of the Quorvex SDK. `quorvex <command> [options]`.
#include <cstdio>
#include <string>
#include <vector>

#include "QXSDK/QXSDKConstants.h"
#include "tools/quorvex/QXCommands.h"
#include "tools/quorvex/QXOptions.h"

namespace {

// One line on standard error, whatever CLI11 said, and status 2.
int badUsage(const CLI::App& tool, int argc, char** argv, const CLI::ParseError& error) {
  const std::vector<CLI::App*> chosen = tool.get_subcommands();
  const CLI::App& parser = chosen.empty() ? tool : *chosen.front();
  const std::string where = chosen.empty() ? "quorvex" : "quorvex " + parser.get_name();
  std::string message = error.what();
  // An unknown option comes first: the word after it, taken for a plain
  // word, would otherwise be blamed instead.
  const std::vector<std::string> unknown = parser.remaining();
  if (!unknown.empty() && unknown.front().rfind('-', 0) == 0) {
    message = "unknown option '" + unknown.front() + "'";
  } else if (chosen.empty()) {
    message = argc < 2 ? "a command is needed" : "unknown command '" + std::string(argv[1]) + "'";
  }
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "%s: %s (try %s --help)\n", where.c_str(), message.c_str(), where.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App tool("The development tool of the Quorvex SDK.", "quorvex");
  tool.require_subcommand(1);
  tool.set_version_flag("--version", std::string("quorvex ") + kQXSDKVersion,
                        "print the version of the tool and of its SDK, and exit");
  const QXCommand commands[] = {QXAddBodyCommand(tool), QXAddSendCommand(tool),
                                QXAddCollectCommand(tool)};
  try {
    tool.parse(argc, argv);
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
    return 0;
  } catch (const CLI::Success&) {
    // --help, of the tool or of the command it follows.
    std::fputs(tool.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    return badUsage(tool, argc, argv, error);
  }
  for (const QXCommand& command : commands) {
    if (command.parser->parsed()) return command.run();
  }
  return 2;  // not reached: the parser requires a command
}
