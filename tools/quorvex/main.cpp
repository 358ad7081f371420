// quorvex: development tool of the Quorvex SDK. `quorvex <command> [options]`.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/quorvex/QXCommands.h"

namespace {

const QXCommand kCommands[] = {
    {"body", "body [options] [key=value ...]   print the POST body of the hit(s)", &QXRunBody},
    {"send", "send [options] [--timeout S] [key=value ...]   execute and deliver the hit(s)",
     &QXRunSend},
    {"collect", "collect [--port P] [--status CODE] [--count N] [--out FILE]", &QXRunCollect},
};

void printUsage(std::FILE* out) {
  std::fprintf(out, "usage:\n");
  for (const QXCommand& command : kCommands)
    std::fprintf(out, "  quorvex %s\n", command.synopsis);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "quorvex: a command is needed (try quorvex --help)\n");
    return 2;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    printUsage(stdout);
    return 0;
  }
  for (const QXCommand& command : kCommands) {
    if (name == command.name) return command.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "quorvex: unknown command '%s' (try quorvex --help)\n", name.c_str());
  return 2;
}
