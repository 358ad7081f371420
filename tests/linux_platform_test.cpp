#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "QXSDK/predefined/QXDeviceVariables.h"
#include "platform/QXCurrency.h"
#include "platform/QXLinuxDevice.h"
#include "platform/QXLinuxInterfaces.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXLocaleName.h"
#include "support/TestSupport.h"

namespace {

TEST(LocaleName, AnyShapeGivesAnIdentifierOrNoLocaleAndACodeset) {
  struct Case {
    std::string name, identifier, codeset;
  };
  const Case cases[] = {{"fr_FR.UTF-8@euro", "fr_FR", "UTF-8"},
                        {"de_DE.ISO-8859-1", "de_DE", "ISO-8859-1"},
                        {"sr_RS@latin", "sr_RS", ""},
                        {"en_US_POSIX", "en_US_POSIX", ""},
                        {"en", "en", ""},
                        {"zz_ZZ", "zz_ZZ", ""},
                        {"C.UTF-8", "", "UTF-8"},
                        {"C", "", ""},
                        {"POSIX", "", ""},
                        {"", "", ""},
                        {".utf8", "", "utf8"},
                        {"fr\xFF_FR", "", ""},
                        {"en US", "", ""},
                        {std::string(300, 'a'), "", ""}};
  for (const Case& c : cases) {
    const QXLocaleName name = QXLocaleName::parse(c.name);
    EXPECT_EQ(name.identifier, c.identifier) << c.name;
    EXPECT_EQ(name.codeset, c.codeset) << c.name;
  }
}

TEST(LocaleName, TheFirstNonEmptyOfLcAllLcMessagesAndLangGoverns) {
  ::setenv("LC_ALL", "", 1);
  ::setenv("LC_MESSAGES", "fr_FR", 1);
  ::setenv("LANG", "it_IT", 1);
  EXPECT_EQ(QXLocaleName::environmentName(), "fr_FR");
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  EXPECT_EQ(QXLocaleName::environmentName(), "de_DE.UTF-8");
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::unsetenv("LANG");
  EXPECT_EQ(QXLocaleName::environmentName(), "");
}

TEST(LocaleName, CodesetsMapOntoTheCharsetTableAndUnknownOnesAreUTF8) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"UTF-8", 4},       {"utf8", 4},          {"ANSI_X3.4-1968", 1},
      {"US-ASCII", 1},    {"eucJP", 3},         {"ISO-8859-1", 5},
      {"iso88591", 5},    {"SJIS", 8},          {"ISO-8859-2", 9},
      {"CP1251", 11},     {"windows-1250", 15}, {"ISO-2022-JP", 21},
      {"ISO-8859-15", 4}, {"KOI8-R", 4},        {"", 4}};
  for (const auto& [codeset, number] : cases) {
    EXPECT_EQ(QXEncodingNumberForCodeset(codeset), number) << codeset;
  }
}

TEST(Currency, ComesFromICUForTheLocalesRegionWhateverTheMachineHasInstalled) {
  struct Case {
    const char* identifier;
    std::optional<std::pair<std::string, std::string>> currency;
  };
  const Case cases[] = {{"fr_FR", {{"EUR", "\xE2\x82\xAC"}}},
                        {"en_US", {{"USD", "$"}}},
                        {"en_US_POSIX", {{"USD", "$"}}},
                        {"en_GB", {{"GBP", "\xC2\xA3"}}},
                        {"de_CH", {{"CHF", "CHF"}}},
                        {"sr_RS", {{"RSD", "RSD"}}},
                        {"en", std::nullopt},
                        {"zz_ZZ", std::nullopt},
                        {"es_419", std::nullopt},
                        {"", std::nullopt}};
  for (const Case& c : cases) {
    const auto currency = QXCurrencyForLocale(c.identifier);
    ASSERT_EQ(currency.has_value(), c.currency.has_value()) << c.identifier;
    if (!currency) continue;
    EXPECT_EQ(currency->code, c.currency->first);
    EXPECT_EQ(currency->symbol, c.currency->second);
  }
}

TEST(LinuxPlatform, TheLocaleComesFromTheEnvironmentOrTheOptions) {
  ::unsetenv("LC_ALL");
  ::unsetenv("LC_MESSAGES");
  ::setenv("LANG", "fr_FR.ISO-8859-1@euro", 1);
  QXLinuxPlatform fromEnvironment;
  EXPECT_EQ(fromEnvironment.localeIdentifier(), "fr_FR");
  EXPECT_EQ(fromEnvironment.currencyCode(), "EUR");
  EXPECT_EQ(fromEnvironment.defaultCStringEncoding(), 5u);

  QXLinuxPlatform::Options options;
  options.localeIdentifier = "ja_JP.eucJP";
  QXLinuxPlatform japanese(options);
  EXPECT_EQ(japanese.currencyCode(), "JPY");
  EXPECT_EQ(japanese.defaultCStringEncoding(), 3u);

  ::setenv("LANG", "C", 1);
  QXLinuxPlatform none;
  EXPECT_EQ(none.localeIdentifier(), "");
  EXPECT_EQ(none.currencyCode(), std::nullopt);
  EXPECT_EQ(none.currencySymbol(), std::nullopt);
  EXPECT_EQ(none.defaultCStringEncoding(), 4u);
}

TEST(LinuxPlatform, ABundleIdentifierOfAnyLengthGivesAStableDirectoryName) {
  const std::string longIdentifier(1 << 20, 'x');
  const std::string name = QXLinuxPlatform::directoryNameFor(longIdentifier);
  EXPECT_LE(name.size(), 100u);
  EXPECT_EQ(name, QXLinuxPlatform::directoryNameFor(longIdentifier));
  EXPECT_NE(name, QXLinuxPlatform::directoryNameFor(longIdentifier + "y"));
  EXPECT_EQ(QXLinuxPlatform::directoryNameFor(""), "application");
  EXPECT_EQ(QXLinuxPlatform::directoryNameFor(".."), "application");
  EXPECT_EQ(QXLinuxPlatform::directoryNameFor("com.example/app"), "com.example_app");
}

TEST(LinuxDevice, OSReleaseLinesParseAsTheShellWouldAndBrokenOnesAreSkipped) {
  const std::string text =
      "# a comment\n"
      "NAME=\"Debian GNU/Linux\"\n"
      "VERSION_ID='12'\r\n"
      "ID=debian\n"
      "  PRETTY_NAME=\"Say \\\"hi\\\" \\$x \\q\"\n"
      "BROKEN=\"unterminated\n"
      "ALSO_BROKEN=\"a\"b\"\n"
      "no equals sign\n"
      "=no key\n"
      "BAD-KEY=x\n"
      "ID=later\n";
  const std::map<std::string, std::string> expected = {{"NAME", "Debian GNU/Linux"},
                                                       {"VERSION_ID", "12"},
                                                       {"ID", "later"},
                                                       {"PRETTY_NAME", "Say \"hi\" $x \\q"}};
  EXPECT_EQ(QXLinuxDevice::parseOSRelease(text), expected);
  EXPECT_TRUE(QXLinuxDevice::parseOSRelease("").empty());
}

TEST(LinuxDevice, EachValueFallsBackWhenItsFileIsMissingMalformedOrUnreadable) {
  const QXLinuxDevice::KernelNames kernel{"Linux", "6.1.0-13-amd64", "x86_64"};
  struct Case {
    const char* what;
    std::map<std::string, std::string> files;  // under the root
    bool withKernel;
    QXDeviceInfo expected;
  };
  const Case cases[] = {
      {"everything readable",
       {{"etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"},
        {"sys/class/dmi/id/product_name", "ThinkPad X1 Carbon\n"}},
       true,
       {"ThinkPad X1 Carbon", "Debian GNU/Linux", "12", "x86_64"}},
      {"os-release under /usr/lib, device-tree model",
       {{"usr/lib/os-release", "NAME=Alpine\n"},
        {"sys/firmware/devicetree/base/model", std::string("Raspberry Pi 4\0", 15)}},
       true,
       {"Raspberry Pi 4", "Alpine", "6.1.0-13-amd64", "x86_64"}},
      {"malformed files",
       {{"etc/os-release", "NAME=\"unterminated\nVERSION_ID\n\xFF\xFE"},
        {"sys/class/dmi/id/product_name", " \t\n"}},
       true,
       {"Linux device", "Linux", "6.1.0-13-amd64", "x86_64"}},
      {"nothing at all", {}, false, {"Linux device", "Linux", "unknown", ""}},
      {"control and invalid bytes",
       {{"sys/class/dmi/id/product_name", "Box\x1B[31m\xC3 2\n"}},
       true,
       {"Box[31m\xEF\xBF\xBD 2", "Linux", "6.1.0-13-amd64", "x86_64"}}};
  for (const Case& c : cases) {
    qxtest::TempDirectory root;
    for (const auto& [path, contents] : c.files) {
      const std::string full = root.file(path);
      std::filesystem::create_directories(std::filesystem::path(full).parent_path());
      qxtest::writeFile(full, contents);
    }
    const QXDeviceInfo device =
        QXLinuxDevice::describe(root.path(), c.withKernel ? std::optional(kernel) : std::nullopt);
    EXPECT_EQ(device.model, c.expected.model) << c.what;
    EXPECT_EQ(device.systemName, c.expected.systemName) << c.what;
    EXPECT_EQ(device.systemVersion, c.expected.systemVersion) << c.what;
    EXPECT_EQ(device.machine, c.expected.machine) << c.what;
  }
  // A DMI entry that cannot be read (a directory in its place).
  qxtest::TempDirectory root;
  ASSERT_TRUE(std::filesystem::create_directories(root.file("sys/class/dmi/id/product_name")));
  EXPECT_EQ(QXLinuxDevice::describe(root.path(), kernel).model, "Linux device");
}

TEST(LinuxInterfaces, TheDefaultRouteIsTheUsableOneWithTheLowestMetricIPv4First) {
  const std::string header = "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\n";
  const std::string wlan = "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\n";
  const std::string eth = "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\n";
  const std::string network = "eth1\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\n";
  const std::string rejected = "eth2\t00000000\t00000000\t0201\t0\t0\t0\t00000000\n";
  const std::string ipv6 =
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "fd000000000000000000000000000001 00000400 00000002 00000000 00000003 eth3\n"
      "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
      "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n";
  EXPECT_EQ(QXLinuxInterfaces::defaultRouteInterface(header + wlan + eth + network, ipv6), "eth0");
  EXPECT_EQ(QXLinuxInterfaces::defaultRouteInterface(header + network + rejected, ipv6), "eth3");
  EXPECT_EQ(QXLinuxInterfaces::defaultRouteInterface(header + "garbage\n", ""), "");
  EXPECT_EQ(QXLinuxInterfaces::defaultRouteInterface("", ""), "");
}

TEST(LinuxInterfaces, TheDefaultInterfaceIsEn0AModemIsPdpIp0AndIPv4EndsEachInterface) {
  using Family = QXAddressFamily;
  auto entry = [](const char* name, Family family, const char* address) {
    return QXInterfaceAddress{name, family, address, true, true, QXLinkKind::kUnknown, ""};
  };
  const std::vector<QXInterfaceAddress> kernel = {
      entry("lo", Family::kOther, ""),           entry("eth0", Family::kOther, ""),
      entry("wwan0", Family::kOther, ""),        entry("lo", Family::kIPv4, "127.0.0.1"),
      entry("eth0", Family::kIPv4, "192.0.2.2"), entry("wwan0", Family::kIPv4, "10.64.1.2"),
      entry("lo", Family::kIPv6, "::1"),         entry("eth0", Family::kIPv6, "fd00::2"),
      entry("eth0", Family::kIPv6, "fe80::1"),   entry("wwan0", Family::kIPv6, "2001:db8::7")};
  const auto presented = QXLinuxInterfaces::present(kernel, "eth0");
  std::vector<std::string> order;
  for (const auto& e : presented)
    order.push_back(e.name + "(" + e.systemName + ") " + e.address);
  const std::vector<std::string> expected = {"lo(lo) ",
                                             "lo(lo) ::1",
                                             "lo(lo) 127.0.0.1",
                                             "en0(eth0) ",
                                             "en0(eth0) fe80::1",
                                             "en0(eth0) fd00::2",
                                             "en0(eth0) 192.0.2.2",
                                             "pdp_ip0(wwan0) ",
                                             "pdp_ip0(wwan0) 2001:db8::7",
                                             "pdp_ip0(wwan0) 10.64.1.2"};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(QXDeviceVariables::findDeviceIP(presented), "192.0.2.2");

  // An IPv6-only main interface reports its routable address; without a
  // default route the modem's address is the one.
  std::vector<QXInterfaceAddress> ipv6Only = {entry("eth0", Family::kIPv6, "2001:db8::2"),
                                              entry("eth0", Family::kIPv6, "fe80::2")};
  EXPECT_EQ(QXDeviceVariables::findDeviceIP(QXLinuxInterfaces::present(ipv6Only, "eth0")),
            "2001:db8::2");
  EXPECT_EQ(QXDeviceVariables::findDeviceIP(QXLinuxInterfaces::present(kernel, "")), "10.64.1.2");
}

}  // namespace
