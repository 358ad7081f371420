// What the log shows of texts from outside: escaped, and URLs without their
// credentials.
#include <gtest/gtest.h>

#include <string>

#include "core/QXLogText.h"

namespace {

TEST(LogTextTest, URLsLoseTheirUserInformationAndAreEscaped) {
  const struct {
    const char* url;
    const char* logged;
  } cases[] = {
      {"http://user:password@h:8080/7/?a=b", "http://h:8080/7/?a=b"},
      {"https://user@h/", "https://h/"},
      {"https://u:p@h", "https://h"},
      {"https://a@b@h/7/", "https://h/7/"},
      {"https://h/path@x?q=@#@", "https://h/path@x?q=@#@"},
      {"https://h/7/\r\nX-Injected: yes", "https://h/7/\\x0D\\x0AX-Injected: yes"},
      {"https://h/\"quoted\"\\", "https://h/\\\"quoted\\\"\\\\"},
      {"https://h/\xE2\x80\xAEtxt.exe", "https://h/\\xE2\\x80\\xAEtxt.exe"},
      {"https://h/caf\xC3\xA9", "https://h/caf\xC3\xA9"},
      {"not a url, user@host", "not a url, user@host"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QXLogText::url(c.url), c.logged) << c.url;
  }
}

TEST(LogTextTest, EveryByteThatCouldBreakALineIsEscaped) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    const std::string shown = QXLogText::escaped(text);
    for (const char c : shown) {
      const auto b = static_cast<unsigned char>(c);
      EXPECT_TRUE(b >= 0x20 && b < 0x7F) << "byte " << byte << " shown as " << shown;
    }
  }
}

}  // namespace
