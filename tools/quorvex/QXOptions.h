#ifndef QUORVEX_TOOLS_QUORVEX_QXOPTIONS_H_
#define QUORVEX_TOOLS_QUORVEX_QXOPTIONS_H_

// What the quorvex tool's option definitions need beyond CLI11. Every option
// is defined once, with CLI11, and that definition gives both the parser and
// the help.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using QXKeyValue = std::pair<std::string, std::string>;

// A subcommand of `tool`. An option given twice takes its last value, unless
// its definition says otherwise (the lists of QXAddKeyValues keep them all).
CLI::App* QXAddCommand(CLI::App& tool, const std::string& name, const std::string& description);

// The transform of every integer option: at most 18 decimal digits after an
// optional "-" and nothing else, where CLI11 alone would read "010" as octal,
// "0x10" as hex, skip leading spaces and take a number too large for 64 bits
// for the largest one.
CLI::Validator QXDecimal();

// "key=value" divided at its first "="; nothing without "=".
std::optional<QXKeyValue> QXSplitKeyValue(std::string_view text);

// A repeatable option of "key=value" words appended to `into` in order;
// named without "--", the command's plain words.
CLI::Option* QXAddKeyValues(CLI::App& command, const std::string& name,
                            std::vector<QXKeyValue>& into, const std::string& description);

// A text option whose absence is not the same as an empty text.
CLI::Option* QXAddText(CLI::App& command, const std::string& name, std::optional<std::string>& into,
                       const std::string& description);

#endif  // QUORVEX_TOOLS_QUORVEX_QXOPTIONS_H_
