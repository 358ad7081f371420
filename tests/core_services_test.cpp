#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <regex>
#include <string>

#include "QXSDK/QXProduct.h"
#include "QXSDK/QXSDKConstants.h"
#include "core/QXCoreInitialisation.h"
#include "core/QXCoreVariables.h"
#include "core/QXLogger.h"
#include "core/QXReachability.h"
#include "core/QXURLEncodedString.h"
#include "core/QXUserDefaults.h"
#include "core/QXUtils.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXPlatformWrapper.h"
#include "support/TestSupport.h"
#include "tools/collector/QXFormFields.h"

namespace {

TEST(URLEncoding, UnreservedCharactersStayAndEveryOtherByteIsEscaped) {
  EXPECT_EQ(QXURLEncodedString("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(QXURLEncodedString("a b&c=d#e+f%g/h?"), "a%20b%26c%3Dd%23e%2Bf%25g%2Fh%3F");
  EXPECT_EQ(QXURLEncodedString(std::string("\0\xFF\xC3\xA9", 4)), "%00%FF%C3%A9");
  EXPECT_EQ(QXURLEncodedString(""), "");
}

TEST(URLEncoding, NoEncodedTextHoldsASeparatorAndDecodingRestoresEveryByte) {
  std::string all;
  for (int c = 0; c < 256; ++c)
    all.push_back(static_cast<char>(c));
  const std::string encoded = QXURLEncodedString(all + all);
  EXPECT_EQ(encoded.find_first_of("&=#+ \n"), std::string::npos);
  EXPECT_EQ(QXURLDecodedString(encoded), all + all);
}

TEST(NumberParsing, ReadsTheLeadingIntegerLikeAnIntValue) {
  EXPECT_EQ(QXUtils::numberFromNSString(std::nullopt), 0);
  EXPECT_EQ(QXUtils::numberFromNSString(std::string("")), 0);
  EXPECT_EQ(QXUtils::numberFromNSString(std::string("abc")), 0);
  EXPECT_EQ(QXUtils::numberFromNSString(std::string("  42abc")), 42);
  EXPECT_EQ(QXUtils::numberFromNSString(std::string("-17")), -17);
  EXPECT_EQ(QXUtils::numberFromNSString(std::string("99999999999")), INT32_MAX);
  EXPECT_EQ(QXUtils::numberFromNSString(std::string("-99999999999")), INT32_MIN);
  EXPECT_EQ(QXUtils::longLongFromString("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(QXUtils::longLongFromString("1700000000123"), 1700000000123LL);
}

// A host's clock that fails (NaN, infinite, absurd) dates its hits the same
// on every processor: the bare conversion gives INT64_MIN for all of these on
// x86-64, and saturates (NaN to 0) on arm64.
TEST(NumberParsing, ClockSecondsBecomeWholeMillisecondsAlikeOnEveryProcessor) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const struct {
    double seconds;
    int64_t ms;
  } cases[] = {
      {0.0, 0},
      {1.5, 1500},
      {-1.5, -1500},
      {0.0009, 0},   // toward zero
      {-0.0009, 0},  // toward zero, not down
      {9.2e15, 9200000000000000000},
      {std::nan(""), 0},
      {std::numeric_limits<double>::infinity(), kMax},
      {-std::numeric_limits<double>::infinity(), kMin},
      {9.3e15, kMax},
      {-9.3e15, kMin},
      {1e300, kMax},
      {-1e300, kMin},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QXUtils::millisecondsFromSeconds(c.seconds), c.ms) << c.seconds << " s";
  }
}

TEST(Logger, HitDataIsHiddenByDefaultAndASinkSeesWhatPassesTheThreshold) {
  QXLogger& logger = QXLogger::sharedInstance();
  EXPECT_EQ(logger.threshold(), 3);
  EXPECT_FALSE(logger.isLoggable(0));
  EXPECT_TRUE(logger.isLoggable(3));
  std::vector<std::pair<int, std::string>> seen;
  logger.setSink([&](int level, const std::string& m) { seen.emplace_back(level, m); });
  for (int level = 0; level <= 4; ++level)
    logger.logMessage("m" + std::to_string(level), level);
  logger.setThreshold(0);
  logger.logMessage("data", 0);
  logger.setSink(nullptr);
  logger.setThreshold(QXLogger::kDefaultThreshold);
  EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{3, "m3"}, {4, "m4"}, {0, "data"}}));
}

TEST(Product, DictionaryHoldsSetFieldsInOrderAndCustomPropertiesOverride) {
  QXProduct product;
  EXPECT_TRUE(product.dictionaryValue().empty());
  product.setInStock(std::string("yes"));
  product.setID(std::string("A1"));
  product.setPrice(std::string(""));
  product.customProperties()["colour"] = "red";
  product.customProperties()["product_id"] = "X";
  const QXDynamicStore dictionary = product.dictionaryValue();
  EXPECT_EQ(dictionary.orderedKeys(), (std::vector<std::string>{"product_id", "product_price",
                                                                "product_in_stock", "colour"}));
  EXPECT_EQ(dictionary.getData("product_id"), "X");
  EXPECT_EQ(dictionary.getData("product_price"), "");
}

TEST(Product, EveryFixedFieldHasItsExportedKey) {
  QXProduct p;
  p.setID(std::string("1"));
  p.setName(std::string("2"));
  p.setQuantity(std::string("3"));
  p.setCategory(std::string("4"));
  p.setPrice(std::string("5"));
  p.setPriceATI(std::string("6"));
  p.setDiscountATI(std::string("7"));
  p.setPriceTF(std::string("8"));
  p.setDiscountTF(std::string("9"));
  p.setTrademark(std::string("10"));
  p.setURLPage(std::string("11"));
  p.setURLPicture(std::string("12"));
  p.setRating(std::string("13"));
  p.setInStock(std::string("14"));
  EXPECT_EQ(p.dictionaryValue().orderedKeys(),
            (std::vector<std::string>{
                "product_id", "product_name", "product_quantity", "product_category",
                "product_price", "product_unit_price_ati", "product_unit_discount_ati",
                "product_unit_price_tf", "product_unit_discount_tf", "product_trademark",
                "product_url_page", "product_url_picture", "product_rating", "product_in_stock"}));
  EXPECT_STREQ(kQXProductUnitDiscountTFKey, "product_unit_discount_tf");
}

TEST(Reachability, NamesTheBestWayOutOfTheFakeMachine) {
  auto platform = std::make_shared<QXFakePlatform>();
  QXReachability reachability(*platform);
  EXPECT_EQ(reachability.currentReachabilityString(), "wifi");
  platform->removeInterface("en0");
  EXPECT_EQ(reachability.currentReachabilityString(), "offline");
  platform->addInterfaceAddress("eth0", QXAddressFamily::kIPv6, "fe80::1", QXLinkKind::kWired);
  EXPECT_EQ(reachability.currentReachabilityString(), "offline");  // link-local only
  platform->addInterfaceAddress("eth0", QXAddressFamily::kIPv4, "10.0.0.2", QXLinkKind::kWired);
  EXPECT_EQ(reachability.currentReachabilityString(), "ethernet");
  platform->addInterfaceAddress("pdp_ip0", QXAddressFamily::kIPv4, "10.1.0.2",
                                QXLinkKind::kCellular);
  EXPECT_EQ(reachability.currentReachabilityString(), "ethernet");
  platform->removeInterface("eth0");
  EXPECT_EQ(reachability.currentReachabilityString(), "cellular");
  platform->setInterfaceListingFails(true);
  EXPECT_EQ(reachability.currentReachabilityString(), "offline");
}

TEST(CoreVariables, SetIDFVStoresAVendorIdentifierThatLastsAndTheAdvertisingOne) {
  auto platform = QXFakePlatform::installNew();
  QXCoreVariables& variables = QXCoreVariables::sharedInstance();
  EXPECT_NE(variables.getData(kQXPredefinedVariable_UserAgent)->find("Quorvex/"),
            std::string::npos);
  EXPECT_EQ(variables.getData(kQXPredefinedVariable_IDFA), std::nullopt);
  variables.setIDFV();
  const auto vendor = variables.getData(kQXCoreVariable_IDFV);
  ASSERT_TRUE(vendor.has_value());
  EXPECT_EQ(variables.getData(kQXPredefinedVariable_IDFA), "00000000-0000-0000-0000-000000000000");
  variables.setIDFV();
  EXPECT_EQ(variables.getData(kQXCoreVariable_IDFV), vendor);
  EXPECT_EQ(platform->uuidsCreated(), 1);
}

TEST(CoreInitialisation, ConnectsPlatformErrorsToTheLoggerAndAnnouncesTheUserAgentOnce) {
  QXFakePlatform::installNew();
  qxtest::NotificationRecorder agents(QXNotificationCenter::defaultCenter(),
                                      kQXNotification_UserAgentAvailable);
  qxtest::LogCapture log;
  QXCoreInitialisation first;
  QXCoreInitialisation second;
  EXPECT_EQ(QXCoreInitialisation::instancesCreated(), 2);
  ASSERT_EQ(agents.count(), 1u);
  EXPECT_EQ(agents.received()[0].userInfo->at(kQXUserInfo_DataKey),
            QXCoreVariables::sharedInstance().getData(kQXPredefinedVariable_UserAgent));
  QXUserDefaults::saveInfoToUserDefaults("v", "label");
  EXPECT_EQ(QXUserDefaults::retrieveInfoFromUserDefaults("label"), "v");
}

TEST(UserDefaultsLabels, WithoutUserDefaultsEveryLabelIsAbsent) {
  auto platform = QXFakePlatform::installNew();
  platform->setDefaultsAvailable(false);
  QXUserDefaults::saveInfoToUserDefaults("v", "label");
  EXPECT_EQ(QXUserDefaults::retrieveInfoFromUserDefaults("label"), std::nullopt);
}

TEST(FakePlatform, TheClockMovesOnlyWhenToldAndMayJumpBack) {
  QXFakePlatform platform;
  EXPECT_EQ(platform.secondsSince1970(), QXFakePlatform::kDefaultNow);
  platform.advanceMs(1500);
  EXPECT_DOUBLE_EQ(platform.secondsSince1970(), QXFakePlatform::kDefaultNow + 1.5);
  platform.clockJumpsBack(3600);
  EXPECT_DOUBLE_EQ(platform.secondsSince1970(), QXFakePlatform::kDefaultNow - 3598.5);
  platform.fakeDefaults().setUnwritable(true);
  platform.fakeDefaults().setObject("v", "k");
  EXPECT_EQ(platform.standardUserDefaults()->objectForKey("k"), std::nullopt);
  EXPECT_FALSE(platform.standardUserDefaults()->synchronize());
  EXPECT_EQ(platform.standardUserDefaults()->objectForKey("AppleLocale"), "en_US");
}

// Millisecond steps from a clock set before 1970, or jumped back past it,
// go forward from there on every processor (an unsigned conversion of the
// negative count is undefined: x86-64 wrapped it to about 584 million years,
// arm64 to 0).
TEST(FakePlatform, MillisecondStepsGoOnFromAClockBefore1970) {
  QXFakePlatform platform;
  platform.setNow(-10.0);
  platform.advanceMs(1500);
  EXPECT_DOUBLE_EQ(platform.secondsSince1970(), -8.5);
  platform.setNow(1.0);
  platform.clockJumpsBack(3);
  platform.advanceMs(1);
  EXPECT_DOUBLE_EQ(platform.secondsSince1970(), -1.999);
}

TEST(FakePlatform, AStoredDefaultHidesTheRegisteredOneUntilItIsRemoved) {
  QXFakeUserDefaults defaults;
  defaults.registerValue("AppleLocale", "en_US");
  defaults.setObject("fr_FR", "AppleLocale");
  EXPECT_EQ(defaults.objectForKey("AppleLocale"), "fr_FR");
  defaults.removeObject("AppleLocale");
  EXPECT_EQ(defaults.objectForKey("AppleLocale"), "en_US");
  defaults.registerValue("AppleLocale", std::nullopt);
  EXPECT_EQ(defaults.objectForKey("AppleLocale"), std::nullopt);
}

TEST(FakePlatform, UnwritableDefaultsKeepWhatTheyHeldAndCountNoWrite) {
  QXFakeUserDefaults defaults;
  defaults.setObject("1", "visits");
  defaults.setObject("", "empty");
  defaults.setUnwritable(true);
  defaults.setObject("2", "visits");
  defaults.removeObject("empty");
  EXPECT_EQ(defaults.objectForKey("visits"), "1");
  EXPECT_EQ(defaults.objectForKey("empty"), "");
  EXPECT_EQ(defaults.writeCount(), 2u);
  EXPECT_FALSE(defaults.synchronize());
  defaults.setUnwritable(false);
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(defaults.synchronizeCount(), 2u);
}

TEST(FakePlatform, AWrapperPassesThroughWhatItDoesNotOverride) {
  struct StoppedClock : QXPlatformWrapper {
    using QXPlatformWrapper::QXPlatformWrapper;
    double secondsSince1970() override { return 12.0; }
  };
  auto fake = std::make_shared<QXFakePlatform>();
  StoppedClock platform(fake);
  EXPECT_EQ(platform.secondsSince1970(), 12.0);
  EXPECT_EQ(platform.currentDevice().machine, "iPhone10,3");
}

TEST(LinuxPlatform, GivesTheMachinesRealAnswers) {
  qxtest::TempDirectory directory;
  QXLinuxPlatform::Options options;
  options.dataDirectory = directory.file("nested/data");
  options.infoDictionary["CFBundleShortVersionString"] = "2.5";
  options.localeIdentifier = "fr_FR";
  QXLinuxPlatform platform(options);

  EXPECT_TRUE(std::regex_match(platform.createUUID(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                          "[0-9A-F]{12}")));
  EXPECT_NE(platform.createUUID(), platform.createUUID());
  EXPECT_NEAR(platform.secondsSince1970(), static_cast<double>(std::time(nullptr)), 5.0);
  EXPECT_EQ(platform.processIdentifier(), static_cast<int>(::getpid()));
  EXPECT_FALSE(platform.currentDevice().machine.empty());
  EXPECT_EQ(platform.infoDictionaryValue("CFBundleShortVersionString"), "2.5");
  EXPECT_TRUE(platform.infoDictionaryValue("CFBundleName").has_value());
  EXPECT_EQ(platform.dataDirectory(), directory.file("nested/data"));
  EXPECT_TRUE(platform.fileExists(directory.file("nested/data")));

  QXStandardUserDefaults* defaults = platform.standardUserDefaults();
  ASSERT_NE(defaults, nullptr);
  EXPECT_EQ(defaults->objectForKey("AppleLocale"), "fr_FR");
  defaults->setObject("de_DE", "AppleLocale");
  EXPECT_EQ(defaults->objectForKey("AppleLocale"), "de_DE");
  EXPECT_TRUE(platform.fileExists(directory.file("nested/data/user-defaults.qxud")));

  const auto interfaces = platform.interfaceAddresses();
  ASSERT_TRUE(interfaces.has_value());
  bool loopback = false;
  for (const auto& entry : *interfaces) {
    loopback |= entry.link == QXLinkKind::kLoopback && entry.address == "127.0.0.1";
  }
  EXPECT_TRUE(loopback);
}

}  // namespace
