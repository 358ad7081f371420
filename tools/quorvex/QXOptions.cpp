#include "tools/quorvex/QXOptions.h"

#include <algorithm>

CLI::App* QXAddCommand(CLI::App& tool, const std::string& name, const std::string& description) {
  CLI::App* command = tool.add_subcommand(name, description);
  command->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  return command;
}

CLI::Validator QXDecimal() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
        if (text.size() == sign || text.find_first_not_of("0123456789", sign) != std::string::npos)
          return "'" + text + "' is not a decimal number";
        // Without leading zeros, the conversion cannot take it for octal.
        const size_t firstDigit = std::min(text.find_first_not_of('0', sign), text.size() - 1);
        text.erase(sign, firstDigit - sign);
        // CLI11 would read a number beyond 64 bits as the largest one.
        if (text.size() - sign > 18) return "'" + text + "' is too large";
        return std::string();
      },
      "");
}

std::optional<QXKeyValue> QXSplitKeyValue(std::string_view text) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return QXKeyValue(text.substr(0, equals), text.substr(equals + 1));
}

CLI::Option* QXAddKeyValues(CLI::App& command, const std::string& name,
                            std::vector<QXKeyValue>& into, const std::string& description) {
  auto append = [&into, name](const std::vector<std::string>& words) {
    for (const std::string& word : words) {
      auto pair = QXSplitKeyValue(word);
      if (!pair) throw CLI::ValidationError(name, "'" + word + "' is not key=value");
      into.push_back(std::move(*pair));
    }
  };
  CLI::Option* option =
      command.add_option_function<std::vector<std::string>>(name, append, description);
  option->type_name("KEY=VALUE")->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  // An option takes one word each time it is given; the words after it are
  // the command's own.
  if (option->nonpositional()) option->allow_extra_args(false);
  return option;
}

CLI::Option* QXAddText(CLI::App& command, const std::string& name, std::optional<std::string>& into,
                       const std::string& description) {
  return command.add_option_function<std::string>(
      name, [&into](const std::string& text) { into = text; }, description);
}
