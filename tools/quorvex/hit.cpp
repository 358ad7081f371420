// quorvex body and quorvex send: hits made with the SDK itself, printed or
// delivered.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/Quorvex.h"
#include "core/QXCoreConstants.h"
#include "core/QXLogger.h"
#include "core/QXNetworkManager.h"
#include "platform/QXLinuxPlatform.h"
#include "platform/QXNotificationCenter.h"
#include "tools/quorvex/QXCommandLine.h"
#include "tools/quorvex/QXCommands.h"

namespace {

using KeyValue = std::pair<std::string, std::string>;

struct ProductOption {
  std::string prefix;
  std::vector<KeyValue> fields;
};

struct HitOptions {
  int32_t site = 1;
  int32_t container = 1;
  std::optional<std::string> url;
  std::string dataDirectory;
  std::optional<std::string> appVersion;
  std::optional<std::string> appBuild;
  std::optional<std::string> appName;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> locale;
  std::optional<QXScreenBounds> screen;
  std::vector<KeyValue> permanent;
  std::vector<KeyValue> app;
  std::vector<KeyValue> variables;
  std::vector<ProductOption> products;
  bool consent = false;
  bool deactivate = false;
  long long hits = 1;
  int logLevel = QXLogger::kDefaultThreshold;
  long long timeoutSeconds = 10;
};

constexpr const char* kBodyUsage =
    "usage: quorvex body [--site N] [--container N] [--url URL] [--data-dir DIR] "
    "[--app-version V] [--app-build B] [--app-name NAME] [--bundle-id ID] [--locale ID] "
    "[--screen WxH] [--permanent key=value] [--app key=value] [--consent] [--deactivate] "
    "[--product PREFIX:field=value[,field=value...]] [--hits N] [--log-level L] [key=value ...]";
constexpr const char* kSendUsage =
    "usage: quorvex send [--timeout SECONDS] and the options of quorvex body";

// "product_id=A1,colour=red" into its pairs.
bool parseProductFields(const std::string& text, std::vector<KeyValue>& fields) {
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    KeyValue pair;
    if (!QXSplitKeyValue(item, pair) || pair.first.empty()) return false;
    fields.push_back(std::move(pair));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

// "390x844" (points; fractions allowed) into the main screen's bounds.
std::optional<QXScreenBounds> parseScreen(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  auto dimension = [](const std::string& part) -> std::optional<double> {
    double value = 0;
    const char* end = part.data() + part.size();
    const auto result = std::from_chars(part.data(), end, value);
    if (part.empty() || result.ec != std::errc() || result.ptr != end) return std::nullopt;
    if (!(value >= 0 && value <= 1e6)) return std::nullopt;
    return value;
  };
  const auto width = dimension(text.substr(0, x));
  const auto height = dimension(text.substr(x + 1));
  if (!width || !height) return std::nullopt;
  return QXScreenBounds{*width, *height};
}

bool parseHitOptions(const std::vector<std::string>& arguments, bool forSend, HitOptions& options,
                     std::string& error) {
  QXCommandLine line(arguments);
  while (line.next()) {
    const std::string& name = line.name();
    if (!line.isOption()) {
      KeyValue pair;
      if (!QXSplitKeyValue(name, pair)) {
        error = "'" + name + "' is not key=value";
        return false;
      }
      options.variables.push_back(std::move(pair));
      continue;
    }
    if (name == "--consent") {
      options.consent = true;
      continue;
    }
    if (name == "--deactivate") {
      options.deactivate = true;
      continue;
    }
    static const char* const kValueOptions[] = {
        "--site",      "--container", "--url",       "--data-dir", "--app-version",
        "--app-build", "--app-name",  "--bundle-id", "--locale",   "--screen",
        "--permanent", "--app",       "--product",   "--hits",     "--log-level"};
    const bool known = std::any_of(std::begin(kValueOptions), std::end(kValueOptions),
                                   [&](const char* option) { return name == option; }) ||
                       (forSend && name == "--timeout");
    if (!known) {
      error = "unknown option '" + name + "'";
      return false;
    }
    std::string value;
    if (!line.value(value, error)) return false;
    KeyValue pair;
    if (name == "--site" || name == "--container") {
      const auto number = QXParseInteger(value, INT32_MIN, INT32_MAX);
      if (!number) {
        error = name + " wants a 32-bit integer, not '" + value + "'";
        return false;
      }
      (name == "--site" ? options.site : options.container) = static_cast<int32_t>(*number);
    } else if (name == "--url") {
      options.url = value;
    } else if (name == "--data-dir") {
      options.dataDirectory = value;
    } else if (name == "--app-version") {
      options.appVersion = value;
    } else if (name == "--app-build") {
      options.appBuild = value;
    } else if (name == "--app-name") {
      options.appName = value;
    } else if (name == "--bundle-id") {
      options.bundleIdentifier = value;
    } else if (name == "--locale") {
      options.locale = value;
    } else if (name == "--screen") {
      options.screen = parseScreen(value);
      if (!options.screen) {
        error = "--screen wants WIDTHxHEIGHT in points, such as 390x844, not '" + value + "'";
        return false;
      }
    } else if (name == "--permanent" || name == "--app") {
      if (!QXSplitKeyValue(value, pair)) {
        error = name + " wants key=value, not '" + value + "'";
        return false;
      }
      (name == "--app" ? options.app : options.permanent).push_back(std::move(pair));
    } else if (name == "--product") {
      const size_t colon = value.find(':');
      ProductOption product;
      if (colon == std::string::npos || colon == 0 ||
          !parseProductFields(value.substr(colon + 1), product.fields)) {
        error = "--product wants PREFIX:field=value[,field=value...], not '" + value + "'";
        return false;
      }
      product.prefix = value.substr(0, colon);
      options.products.push_back(std::move(product));
    } else if (name == "--hits") {
      const auto hits = QXParseInteger(value, 1, 10000000);
      if (!hits) {
        error = "--hits wants a number from 1 to 10000000, not '" + value + "'";
        return false;
      }
      options.hits = *hits;
    } else if (name == "--log-level") {
      const auto level = QXParseInteger(value, 0, 5);
      if (!level) {
        error = "--log-level wants a level from 0 to 5, not '" + value + "'";
        return false;
      }
      options.logLevel = static_cast<int>(*level);
    } else {
      const auto seconds = QXParseInteger(value, 0, 86400);
      if (!seconds) {
        error = "--timeout wants seconds from 0 to 86400, not '" + value + "'";
        return false;
      }
      options.timeoutSeconds = *seconds;
    }
  }
  return true;
}

// The platform of the hits: the application as the options describe it.
void installPlatform(const HitOptions& options) {
  QXLinuxPlatform::Options platform;
  platform.dataDirectory = options.dataDirectory;
  platform.bundleIdentifier = options.bundleIdentifier;
  platform.localeIdentifier = options.locale;
  platform.screen = options.screen;
  if (options.appVersion)
    platform.infoDictionary[kQXBundleShortVersionStringKey] = *options.appVersion;
  if (options.appBuild) platform.infoDictionary[kQXBundleVersionKey] = *options.appBuild;
  if (options.appName) platform.infoDictionary[kQXBundleNameKey] = *options.appName;
  QXPlatform::install(std::make_shared<QXLinuxPlatform>(platform));
}

QXProduct productOf(const ProductOption& option) {
  static const std::pair<const char*, void (QXProduct::*)(std::optional<std::string>)> kFixed[] = {
      {"product_id", &QXProduct::setID},
      {"product_name", &QXProduct::setName},
      {"product_quantity", &QXProduct::setQuantity},
      {"product_category", &QXProduct::setCategory},
      {"product_price", &QXProduct::setPrice},
      {"product_unit_price_ati", &QXProduct::setPriceATI},
      {"product_unit_discount_ati", &QXProduct::setDiscountATI},
      {"product_unit_price_tf", &QXProduct::setPriceTF},
      {"product_unit_discount_tf", &QXProduct::setDiscountTF},
      {"product_trademark", &QXProduct::setTrademark},
      {"product_url_page", &QXProduct::setURLPage},
      {"product_url_picture", &QXProduct::setURLPicture},
      {"product_rating", &QXProduct::setRating},
      {"product_in_stock", &QXProduct::setInStock},
  };
  QXProduct product;
  for (const auto& [key, value] : option.fields) {
    bool fixed = false;
    for (const auto& [name, setter] : kFixed) {
      if (key == name) {
        (product.*setter)(value);
        fixed = true;
      }
    }
    if (!fixed) product.customProperties()[key] = value;
  }
  return product;
}

// Makes the hits with a tracker on `center` and returns how many requests
// the tracker handed over (a deactivated tracker hands over consent hits only).
size_t makeHits(const HitOptions& options, std::shared_ptr<QXNotificationCenter> center,
                const std::function<void(const std::string& body)>& onBody) {
  Quorvex tracker(options.site, options.container, center);
  if (options.url) tracker.setUrl(*options.url);
  for (const auto& [key, value] : options.permanent)
    tracker.addPermanentData(key, value);
  if (options.deactivate) tracker.deactivateSDK();

  QXAppVars appVars;
  for (const auto& [key, value] : options.app)
    appVars.addData(key, value);
  if (options.consent) appVars.addData("#CONSENT_HIT#", std::string("1"));

  size_t handedOver = 0;
  int owner = 0;
  center->addObserver(&owner, kQXNotification_HTTPRequest, [&](const QXNotification& request) {
    ++handedOver;
    if (onBody) onBody(request.userInfo->at(kQXUserInfo_POSTData));
  });
  for (long long hit = 0; hit < options.hits; ++hit) {
    for (const auto& [key, value] : options.variables)
      tracker.addData(key, value);
    for (const ProductOption& product : options.products) {
      tracker.addData(product.prefix, productOf(product));
    }
    tracker.execute(appVars);
  }
  center->removeObserver(&owner);
  return handedOver;
}

int badUsage(const char* command, const std::string& error) {
  std::fprintf(stderr, "quorvex %s: %s (see quorvex %s --help)\n", command, error.c_str(), command);
  return 2;
}

bool asksForHelp(const std::vector<std::string>& arguments, const char* usage) {
  if (arguments.empty() || (arguments[0] != "--help" && arguments[0] != "-h")) return false;
  std::printf("%s\n", usage);
  return true;
}

}  // namespace

int QXRunBody(const std::vector<std::string>& arguments) {
  HitOptions options;
  std::string error;
  if (asksForHelp(arguments, kBodyUsage)) return 0;
  if (!parseHitOptions(arguments, false, options, error)) return badUsage("body", error);
  installPlatform(options);
  QXLogger::sharedInstance().setThreshold(options.logLevel);
  // A center of its own: the hits are rendered and printed, never delivered.
  makeHits(options, QXNotificationCenter::create(), [](const std::string& body) {
    std::fwrite(body.data(), 1, body.size(), stdout);
    std::fputc('\n', stdout);
  });
  return 0;
}

int QXRunSend(const std::vector<std::string>& arguments) {
  HitOptions options;
  std::string error;
  if (asksForHelp(arguments, kSendUsage)) return 0;
  if (!parseHitOptions(arguments, true, options, error)) return badUsage("send", error);
  installPlatform(options);
  QXLogger::sharedInstance().setThreshold(options.logLevel);
  const size_t handedOver = makeHits(options, QXNotificationCenter::defaultCenter(), nullptr);
  QXNetworkManager& network = QXNetworkManager::sharedInstance();
  const bool drained = network.flush(std::chrono::seconds(options.timeoutSeconds));
  const QXDeliveryCounters counters = network.counters();
  std::printf("%zu hits executed, %llu delivered, %llu retried, %llu dropped, %zu waiting\n",
              handedOver, static_cast<unsigned long long>(counters.sent),
              static_cast<unsigned long long>(counters.retried),
              static_cast<unsigned long long>(counters.dropped), counters.pending);
  return drained && counters.dropped == 0 ? 0 : 1;
}
