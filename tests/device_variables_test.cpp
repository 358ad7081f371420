#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "QXSDK/QXSDKConstants.h"
#include "QXSDK/predefined/QXDeviceVariables.h"
#include "QXSDK/predefined/QXLocaleVariables.h"
#include "QXSDK/predefined/QXModelNames.h"
#include "core/QXDynamicStore.h"
#include "platform/QXFakePlatform.h"

namespace {

// The device and locale steps over a store of their own and a fake platform.
class DeviceVariablesTest : public ::testing::Test {
 protected:
  QXDeviceVariables device() { return QXDeviceVariables(store, platform); }
  QXLocaleVariables locale() { return QXLocaleVariables(store, platform); }
  std::string get(const char* key) { return store.getData(key).value_or("<absent>"); }

  QXFakePlatform platform;
  QXDynamicStore store;
};

TEST_F(DeviceVariablesTest, TheCharsetTableNamesEachEncodingAndEverythingElseIsUTF8) {
  const std::pair<uint32_t, const char*> cases[] = {{1, "ASCII"},
                                                    {7, "ASCII"},
                                                    {2, "NEXTSTEP"},
                                                    {3, "EUC-JP"},
                                                    {5, "ISO-8859-1"},
                                                    {6, "SYMBOL"},
                                                    {8, "SHIFT-JIS"},
                                                    {9, "ISO-8859-2"},
                                                    {10, "UTF-16"},
                                                    {11, "Windows-1251"},
                                                    {12, "Windows-1252"},
                                                    {13, "Windows-1253"},
                                                    {14, "Windows-1254"},
                                                    {15, "Windows-1250"},
                                                    {21, "ISO-2022-JP"},
                                                    {30, "MacRoman"},
                                                    {0x8C000100, "UTF-32"},
                                                    {0x90000100, "UTF-16BE"},
                                                    {0x94000100, "UTF-16LE"},
                                                    {0x98000100, "UTF-32BE"},
                                                    {0x9C000100, "UTF-32LE"},
                                                    {4, "UTF-8"},
                                                    {0, "UTF-8"},
                                                    {16, "UTF-8"},
                                                    {0xFFFFFFFF, "UTF-8"},
                                                    {0x8C000101, "UTF-8"}};
  for (const auto& [encoding, name] : cases) {
    platform.setDefaultCStringEncoding(encoding);
    locale().setLocalCharset();
    EXPECT_EQ(get(kQXPredefinedVariable_Charset), name) << "encoding " << encoding;
  }
}

TEST_F(DeviceVariablesTest, TheMachineIdentifierNamesTheModelOnlyByExactMatch) {
  const std::pair<std::string, std::string> cases[] = {
      {"iPhone10,3", "iPhone X"},
      {"x86_64", "Simulator"},
      {"i386", "Simulator"},
      {"iPad7,11", "iPad (10.2-inch, 7th generation)"},
      {"iPad6,11", "iPad (5th Generation)"},
      {"iPad6,3", "iPad Pro (9.7 inch)"},
      {"iPad7,1", "iPad Pro (12.9-inch, 2nd generation)"},
      {"iPhone5,3", "iPhone 5C"},
      {"iPhone8,1", "iPhone 6S"},
      {"iPod1,1", "1st Gen iPod"},
      {"iPad11,4", "iPad Air 3"},
      // Outside the table: the identifier stands for its own name.
      {"iPhone8,3", "iPhone8,3"},
      {"iPad6,1", "iPad6,1"},
      {"iPhone13,2", "iPhone13,2"},
      {"IPHONE10,3", "IPHONE10,3"},
      {"iPhone10,3 ", "iPhone10,3 "},
      {"aarch64", "aarch64"},
      {"", ""}};
  for (const auto& [machine, name] : cases) {
    platform.setMachine(machine);
    device().setModelAndVersion();
    EXPECT_EQ(get(kQXPredefinedVariable_Device), machine);
    EXPECT_EQ(get(kQXPredefinedVariable_ModelAndVersion), name) << machine;
  }
  // Bytes that are not UTF-8 reach the hit as text.
  platform.setMachine("arm\xFF\xC3");
  device().setModelAndVersion();
  EXPECT_EQ(get(kQXPredefinedVariable_Device), "arm\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(get(kQXPredefinedVariable_ModelAndVersion), get(kQXPredefinedVariable_Device));
}

TEST_F(DeviceVariablesTest, TheModelNameTableHoldsNinetyEightIdentifiersAndFiftyFourNames) {
  std::set<std::string_view> machines;
  std::set<std::string_view> names;
  for (auto entry = QXModelNames::begin(); entry != QXModelNames::end(); ++entry) {
    machines.insert(entry->machine);
    names.insert(entry->name);
    EXPECT_EQ(QXModelNames::nameFor(entry->machine), entry->name);
  }
  EXPECT_EQ(QXModelNames::size(), 98u);
  EXPECT_EQ(machines.size(), 98u);
  EXPECT_EQ(names.size(), 54u);
}

TEST_F(DeviceVariablesTest, TheLocaleIdentifierGivesTheThreeLanguageKeys) {
  struct Case {
    std::string identifier, language, cs, ga;
  };
  const Case cases[] = {{"fr_FR", "fr_FR", "fr", "fr-FR"},
                        {"en", "en", "en", "en"},
                        {"en_US_POSIX", "en_US_POSIX", "en", "en-US-POSIX"},
                        {"_US", "_US", "", "-US"},
                        {"", "", "", ""},
                        {"zz_\xFF", "zz_\xFF", "zz", "zz-\xFF"}};
  for (const Case& c : cases) {
    platform.setLocaleIdentifier(c.identifier);
    locale().setLocalLanguage();
    EXPECT_EQ(get(kQXPredefinedVariable_Language), c.language);
    EXPECT_EQ(get(kQXPredefinedVariable_LanguageCS), c.cs) << c.identifier;
    EXPECT_EQ(get(kQXPredefinedVariable_LanguageGA), c.ga) << c.identifier;
  }
  // No identifier, or no user defaults: nothing is written.
  QXDynamicStore fresh;
  platform.setLocaleIdentifier(std::nullopt);
  QXLocaleVariables(fresh, platform).setLocalLanguage();
  platform.setLocaleIdentifier("de_DE");
  platform.setDefaultsAvailable(false);
  QXLocaleVariables(fresh, platform).setLocalLanguage();
  EXPECT_TRUE(fresh.empty());
}

TEST_F(DeviceVariablesTest, TheAddressIsEn0sElsePdpIp0sAndALaterEntryReplacesAnEarlierOne) {
  using Family = QXAddressFamily;
  struct Entry {
    const char* name;
    Family family;
    const char* address;
  };
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    std::string expected;
  };
  const Case cases[] = {
      {"both",
       {{"pdp_ip0", Family::kIPv4, "10.0.0.7"}, {"en0", Family::kIPv4, "192.168.1.2"}},
       "192.168.1.2"},
      {"only cellular",
       {{"lo", Family::kIPv4, "127.0.0.1"}, {"pdp_ip0", Family::kIPv4, "10.0.0.7"}},
       "10.0.0.7"},
      {"neither", {{"lo", Family::kIPv4, "127.0.0.1"}, {"eth1", Family::kIPv4, "10.1.1.1"}}, ""},
      {"later replaces",
       {{"en0", Family::kIPv4, "192.168.1.2"}, {"en0", Family::kIPv6, "fd00::2"}},
       "fd00::2"},
      {"without address",
       {{"en0", Family::kIPv4, "192.168.1.2"}, {"en0", Family::kIPv4, ""}},
       "192.168.1.2"},
      {"other family",
       {{"en0", Family::kIPv6, "fd00::2"}, {"en0", Family::kOther, "x"}},
       "fd00::2"},
      {"none at all", {}, ""}};
  for (const Case& c : cases) {
    std::vector<QXInterfaceAddress> list;
    for (const Entry& e : c.entries)
      list.push_back(QXInterfaceAddress{e.name, e.family, e.address, true, true, {}, e.name});
    platform.setInterfaces(list);
    device().setIP();
    EXPECT_EQ(get(kQXPredefinedVariable_IP), c.expected) << c.what;
  }
  platform.setInterfaceListingFails(true);
  device().setIP();
  EXPECT_EQ(get(kQXPredefinedVariable_IP), "");
}

TEST_F(DeviceVariablesTest, TheScreenIsWholePointsAndNoScreenIsZero) {
  const double huge = 1e12;
  const std::pair<std::optional<QXScreenBounds>, std::string> cases[] = {
      {QXScreenBounds{375, 667}, "375x667"},
      {QXScreenBounds{414.9, 895.99}, "414x895"},
      {QXScreenBounds{-0.5, 0}, "0x0"},
      {std::nullopt, "0x0"},
      {QXScreenBounds{std::nan(""), huge}, "0x2147483647"},
      {QXScreenBounds{-huge, std::numeric_limits<double>::infinity()}, "-2147483648x2147483647"}};
  for (const auto& [bounds, text] : cases) {
    platform.setScreen(bounds);
    device().setLocalScreen();
    EXPECT_EQ(get(kQXPredefinedVariable_ScreenResolution), text);
  }
}

TEST_F(DeviceVariablesTest, AnyOfTheJailbreakPathsSetsTheFlag) {
  device().setIsJailBroken();
  EXPECT_EQ(get(kQXPredefinedVariable_JailBroken), "0");
  for (const char* path : QXDeviceVariables::kJailbreakPaths) {
    platform.addFile(path);
    device().setIsJailBroken();
    EXPECT_EQ(get(kQXPredefinedVariable_JailBroken), "1") << path;
    platform.removeFile(path);
  }
}

}  // namespace
