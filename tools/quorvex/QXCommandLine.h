#ifndef QUORVEX_TOOLS_QUORVEX_QXCOMMANDLINE_H_
#define QUORVEX_TOOLS_QUORVEX_QXCOMMANDLINE_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Walks a subcommand's arguments: options "--name value" or "--name=value",
// and plain words.
class QXCommandLine {
 public:
  explicit QXCommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

  // Moves to the next argument; false at the end.
  bool next();
  // The option's name ("--port") or the plain word.
  const std::string& name() const { return name_; }
  bool isOption() const { return name_.rfind("--", 0) == 0; }
  // The option's value, from "=value" or the following argument. False,
  // with `error` set, when there is none.
  bool value(std::string& value, std::string& error);

 private:
  std::vector<std::string> arguments_;
  size_t position_ = 0;
  std::string name_;
  std::optional<std::string> inlineValue_;
};

// A decimal integer within [low, high], digits with an optional leading "-".
std::optional<long long> QXParseInteger(const std::string& text, long long low, long long high);

// "key=value" into its two parts (the first "=" divides); false without "=".
bool QXSplitKeyValue(const std::string& text, std::pair<std::string, std::string>& pair);

#endif  // QUORVEX_TOOLS_QUORVEX_QXCOMMANDLINE_H_
