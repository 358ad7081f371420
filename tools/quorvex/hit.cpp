// quorvex body and quorvex send: hits made with the SDK itself, printed or
// delivered.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
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
#include "platform/QXMemoryUserDefaults.h"
#include "platform/QXNotificationCenter.h"
#include "platform/QXPlatformWrapper.h"
#include "platform/QXRegisteredUserDefaults.h"
#include "tools/quorvex/QXCommands.h"
#include "tools/quorvex/QXOptions.h"

namespace {

struct ProductOption {
  std::string prefix;
  std::vector<QXKeyValue> fields;
};

struct HitOptions {
  int32_t site = 1;
  int32_t container = 1;
  std::optional<std::string> url;
  std::string dataDirectory;
  bool persist = true;  // body: only with --persist
  std::optional<std::string> appVersion;
  std::optional<std::string> appBuild;
  std::optional<std::string> appName;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> locale;
  std::optional<QXScreenBounds> screen;
  std::vector<QXKeyValue> permanent;
  std::vector<QXKeyValue> app;
  std::vector<QXKeyValue> variables;
  std::vector<ProductOption> products;
  bool consent = false;
  bool deactivate = false;
  long long hits = 1;
  int logLevel = QXLogger::kDefaultThreshold;
  long long timeoutSeconds = 10;
};

// "basket:product_id=A1,colour=red" into its prefix and fields.
std::optional<ProductOption> parseProduct(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  ProductOption product;
  product.prefix = text.substr(0, colon);
  size_t start = colon + 1;
  for (;;) {
    const size_t comma = std::min(text.find(',', start), text.size());
    auto field = QXSplitKeyValue(std::string_view(text).substr(start, comma - start));
    if (!field || field->first.empty()) return std::nullopt;
    product.fields.push_back(std::move(*field));
    if (comma == text.size()) return product;
    start = comma + 1;
  }
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

// The options of body and send, defined once for both.
void addHitOptions(CLI::App& command, HitOptions& options) {
  command.add_option("--site", options.site, "the site's number")
      ->transform(QXDecimal())
      ->capture_default_str();
  command.add_option("--container", options.container, "the container's number")
      ->transform(QXDecimal())
      ->capture_default_str();
  command.add_option("--data-dir", options.dataDirectory,
                     "the persisted state and the outbox (default: the user's data directory)");
  QXAddText(command, "--app-version", options.appVersion, "the application's version");
  QXAddText(command, "--app-build", options.appBuild, "the application's build");
  QXAddText(command, "--app-name", options.appName, "the application's name");
  QXAddText(command, "--bundle-id", options.bundleIdentifier, "the application's identifier");
  QXAddText(command, "--locale", options.locale, "the locale, such as fr_FR");
  command
      .add_option_function<std::string>(
          "--screen",
          [&options](const std::string& text) {
            options.screen = parseScreen(text);
            if (!options.screen)
              throw CLI::ValidationError("--screen",
                                         "wants WIDTHxHEIGHT in points, such as "
                                         "390x844, not '" +
                                             text + "'");
          },
          "the main screen's size in points")
      ->type_name("WxH");
  QXAddKeyValues(command, "--permanent", options.permanent, "a permanent variable of the tracker");
  QXAddKeyValues(command, "--app", options.app, "an application variable of the hit");
  command.add_flag("--consent", options.consent, "make consent hits");
  command.add_flag("--deactivate", options.deactivate,
                   "deactivate the tracker: only consent hits are made");
  command
      .add_option_function<std::vector<std::string>>(
          "--product",
          [&options](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              auto product = parseProduct(text);
              if (!product)
                throw CLI::ValidationError(
                    "--product", "wants PREFIX:field=value[,field=value...], not '" + text + "'");
              options.products.push_back(std::move(*product));
            }
          },
          "a product under PREFIX; product keys such as product_id or product_price, any other "
          "key a custom property")
      ->type_name("PREFIX:field=value[,field=value...]")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
  command.add_option("--hits", options.hits, "how many hits to make")
      ->transform(QXDecimal())
      ->check(CLI::Range(1LL, 10000000LL))
      ->capture_default_str();
  command.add_option("--log-level", options.logLevel, "the SDK's log threshold (0: everything)")
      ->transform(QXDecimal())
      ->check(CLI::Range(0, 5))
      ->capture_default_str();
  QXAddKeyValues(command, "key=value", options.variables, "the hit's variables");
}

// The application's state in memory, as on a new installation: nothing is
// read from or written to a data directory, and no hit can wait on disk.
// The defaults answer the locale as the real platform's do.
class InMemoryPlatform : public QXPlatformWrapper {
 public:
  explicit InMemoryPlatform(const std::shared_ptr<QXLinuxPlatform>& real)
      : QXPlatformWrapper(real),
        defaults_(std::make_unique<QXMemoryUserDefaults>(), registered(*real)) {}
  QXStandardUserDefaults* standardUserDefaults() override { return &defaults_; }
  std::string dataDirectory() override { return std::string(); }

 private:
  static std::map<std::string, std::string> registered(const QXLinuxPlatform& real) {
    if (real.localeIdentifier().empty()) return {};
    return {{kQXAppleLocaleKey, real.localeIdentifier()}};
  }

  QXRegisteredUserDefaults defaults_;
};

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
  auto real = std::make_shared<QXLinuxPlatform>(platform);
  if (options.persist) {
    QXPlatform::install(std::move(real));
  } else {
    QXPlatform::install(std::make_shared<InMemoryPlatform>(real));
  }
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
  if (options.consent) appVars.setConsentHit(true);

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

}  // namespace

QXCommand QXAddBodyCommand(CLI::App& tool) {
  auto options = std::make_shared<HitOptions>();
  options->persist = false;
  CLI::App* command = QXAddCommand(
      tool, "body",
      "Print the POST body of each hit, one line a hit; nothing is sent. The application's state "
      "is a new installation's, in memory, unless --persist.");
  addHitOptions(*command, *options);
  QXAddText(*command, "--url", options->url, "the URL of the hits (default: the collection URL)");
  CLI::Option* persist = command->add_flag(
      "--persist", options->persist,
      "keep the application's state in the data directory, as an application does: the visitor, "
      "launch and visit counters go on from there");
  command->get_option("--data-dir")->needs(persist);
  return {command, [options] {
            installPlatform(*options);
            QXLogger::sharedInstance().setThreshold(options->logLevel);
            // A center of its own: the hits are rendered and printed, never
            // delivered.
            makeHits(*options, QXNotificationCenter::create(), [](const std::string& body) {
              std::fwrite(body.data(), 1, body.size(), stdout);
              std::fputc('\n', stdout);
            });
            return 0;
          }};
}

QXCommand QXAddSendCommand(CLI::App& tool) {
  auto options = std::make_shared<HitOptions>();
  CLI::App* command = QXAddCommand(
      tool, "send", "Execute the hits and deliver them; exit status 0 only if all were delivered.");
  addHitOptions(*command, *options);
  // Never the production collector by default: hits sent there while
  // developing are counted as real ones and cannot be taken back.
  QXAddText(*command, "--url", options->url,
            "where the hits go: a development collector such as quorvex collect's address, or "
            "the collection URL https://collect<site>.quorvex.net/<container>/ when meant")
      ->required();
  command->add_option("--timeout", options->timeoutSeconds, "how long to wait for the delivery")
      ->transform(QXDecimal())
      ->check(CLI::Range(0LL, 86400LL))
      ->type_name("SECONDS")
      ->capture_default_str();
  return {command, [options] {
            installPlatform(*options);
            QXLogger::sharedInstance().setThreshold(options->logLevel);
            const size_t handedOver =
                makeHits(*options, QXNotificationCenter::defaultCenter(), nullptr);
            QXNetworkManager& network = QXNetworkManager::sharedInstance();
            const bool drained = network.flush(std::chrono::seconds(options->timeoutSeconds));
            const QXDeliveryCounters counters = network.counters();
            std::printf(
                "%zu hits executed, %llu delivered, %llu retried, %llu dropped, %zu waiting\n",
                handedOver, static_cast<unsigned long long>(counters.sent),
                static_cast<unsigned long long>(counters.retried),
                static_cast<unsigned long long>(counters.dropped), counters.pending);
            return drained && counters.dropped == 0 ? 0 : 1;
          }};
}
