#ifndef QUORVEX_CORE_QXLOGTEXT_H_
#define QUORVEX_CORE_QXLOGTEXT_H_

#include <string>
#include <string_view>

// Texts from outside (hit data, URLs, file names) as they go into log lines:
// escaped, so that they can neither forge nor break a line, nor turn a
// reader's terminal around.
class QXLogText {
 public:
  // Appends `text` in double quotes: printable ASCII and printable UTF-8 as
  // they are, quotes and backslashes escaped, every other byte (control
  // bytes, line and bidirectional marks, broken UTF-8) as \xNN.
  static void appendQuoted(std::string& out, std::string_view text);
  // The same escaping, without the quotes.
  static std::string escaped(std::string_view text);
  // A URL as it may be logged: without its user information
  // ("user:password@") and escaped.
  static std::string url(std::string_view url);
};

#endif  // QUORVEX_CORE_QXLOGTEXT_H_
