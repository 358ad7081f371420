#ifndef QUORVEX_TOOLS_QUORVEX_QXCOMMANDS_H_
#define QUORVEX_TOOLS_QUORVEX_QXCOMMANDS_H_

#include <functional>

namespace CLI {
class App;
}  // namespace CLI

// A subcommand of the quorvex tool: its parser, with each of its options
// defined once for both the parsing and the help, and what runs it once the
// command line has been parsed into those options. `run` returns the exit
// status: 0 success, 1 failure at run time (bad usage, 2, is the parser's).
struct QXCommand {
  CLI::App* parser;
  std::function<int()> run;
};

QXCommand QXAddBodyCommand(CLI::App& tool);
QXCommand QXAddSendCommand(CLI::App& tool);
QXCommand QXAddCollectCommand(CLI::App& tool);

#endif  // QUORVEX_TOOLS_QUORVEX_QXCOMMANDS_H_
