#ifndef QUORVEX_TOOLS_QUORVEX_QXCOMMANDS_H_
#define QUORVEX_TOOLS_QUORVEX_QXCOMMANDS_H_

#include <string>
#include <vector>

// The subcommands of the quorvex tool. Each takes the arguments after its
// name and returns the process's exit status: 0 success, 1 failure at run
// time, 2 bad usage (after a one-line message on standard error).
struct QXCommand {
  const char* name;
  const char* synopsis;
  int (*run)(const std::vector<std::string>& arguments);
};

int QXRunCollect(const std::vector<std::string>& arguments);
int QXRunBody(const std::vector<std::string>& arguments);
int QXRunSend(const std::vector<std::string>& arguments);

#endif  // QUORVEX_TOOLS_QUORVEX_QXCOMMANDS_H_
