// The cost of rendering a hit's POST body, set against the floor: a
// table-driven percent-encoder that writes the same fields through a raw
// pointer into a buffer allocated once (in a branching and a branchless
// form). The hit is shaped like a real one: 70 predefined variables with
// short values, 15 variables of the tracker, its permanent store and the
// application (one overriding a permanent variable), and a basket of three
// products; a few values need escaping. 95 fields, a body of 3.2 KB.
// getParameters() is measured alone and on the whole road of a hit (a new
// QXPostData, four stores merged, the body rendered), and the merge alone.
//
//   build/bench/post_data_bench --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "QXSDK/QXPostData.h"
#include "QXSDK/QXProduct.h"
#include "QXSDK/QXVersion.h"
#include "core/QXDynamicStore.h"

namespace {

const char* const kPredefinedKeys[] = {
    "#QX_EMPTY#",
    "#QX_MANUFACTURER#",
    "#QX_QUORVEX_VERSION#",
    "#QX_RUNTIME_NAME#",
    "#QX_CHARSET#",
    "#QX_SCREEN#",
    "#QX_MODEL#",
    "#QX_SYSVERSION#",
    "#QX_SYSNAME#",
    "#QX_LANGUAGE#",
    "#QX_LANGUAGE_CS#",
    "#QX_LANGUAGE_GA#",
    "#QX_IP#",
    "#QX_BUNDLE_IDENTIFIER#",
    "#QX_APPLICATION_NAME#",
    "#QX_APPLICATION_BUILD#",
    "#QX_APPLICATION_VERSION#",
    "#QX_APPLICATION_PREVIOUS_VERSION#",
    "#QX_VERSION_FIRST_VISIT_MS#",
    "#QX_JAILBROKEN#",
    "#QX_CURRENCY_CODE#",
    "#QX_CURRENCY_SYMBOL#",
    "#QX_DEVICE#",
    "#QX_MODEL_AND_VERSION#",
    "#QX_RAND#",
    "#QX_NOW#",
    "#QX_NOW_MS#",
    "#QX_CURRENT_CALL#",
    "#QX_CURRENT_CALL_MS#",
    "#QX_LAST_CALL#",
    "#QX_LAST_CALL_MS#",
    "#QX_SESSION_DURATION#",
    "#QX_SESSION_DURATION_MS#",
    "#QX_FOREGROUND_TIME#",
    "#QX_DELTA_FOREGROUND_TIME#",
    "#QX_BACKGROUND_TIME#",
    "#QX_DELTA_BACKGROUND_TIME#",
    "#QX_FOREGROUNDS#",
    "#QX_FIRST_VISIT#",
    "#QX_FIRST_VISIT_MS#",
    "#QX_LAST_VISIT#",
    "#QX_LAST_VISIT_MS#",
    "#QX_CURRENT_VISIT#",
    "#QX_CURRENT_VISIT_MS#",
    "#QX_CURRENT_SESSION#",
    "#QX_CURRENT_SESSION_MS#",
    "#QX_NUMBER_VISIT#",
    "#QX_NUMBER_SESSION#",
    "#QX_IS_FIRST_VISIT#",
    "#QX_APPLICATION_STARTS#",
    "#QX_LAST_SESSION_LAST_HIT#",
    "#QX_LAST_SESSION_LAST_HIT_MS#",
    "#QX_FIRST_EXECUTE#",
    "#QX_NEW_SESSION#",
    "#QX_LAST_SESSION_START_MS#",
    "#QX_USER_SESSION_DURATION_MS#",
    "#QX_USAGE_SESSION_DURATION_MS#",
    "#QX_CS_START_IT#",
    "#QX_CS_START_DIT#",
    "#QX_CS_START_FT#",
    "#QX_CS_START_DFT#",
    "#QX_BACKGROUND_UX_TIME#",
    "#QX_DELTA_BACKGROUND_UX_TIME#",
    "#QX_LONGITUDE#",
    "#QX_LATITUDE#",
    "#QX_USER_AGENT#",
    "#QX_CONNECTION#",
    "#QX_CARRIER#",
    "#QX_UNIQUE_ID#",
    "#QX_TIME_ZONE#",
};
static_assert(std::size(kPredefinedKeys) == 70);

// Short values of the kinds the registry computes; the few with spaces,
// commas, slashes or non-ASCII letters need escaping.
const char* const kPredefinedValues[] = {
    "1733600000123",
    "TRUE",
    "en_US",
    QX_VERSION_STRING,
    "1920x1080",
    "Linux",
    "x86_64",
    "Debian GNU/Linux 12 (bookworm)",
    "0",
    "42",
    "EUR",
    "\xE2\x82\xAC",
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "QuorvexSDK/" QX_VERSION_STRING,
    "wifi",
    "Europe/Paris",
    "2.3.0 (230)",
    "6F9619FF-8B86-D011-B42D-00C04FC964FF",
    "48.856614",
    "com.example.shop.mobile",
    "1733600000",
    "Example Shop Mobile",
    "1733599123456",
    "UTF-8",
    "192.168.1.23",
};

struct Hit {
  QXDynamicStore predefined;
  QXDynamicStore variables;
  QXDynamicStore permanent;
  QXAppVars appVars;
};

void fillHit(Hit& hit) {
  for (size_t i = 0; i < std::size(kPredefinedKeys); ++i) {
    hit.predefined.addData(kPredefinedKeys[i],
                           std::string(kPredefinedValues[i % std::size(kPredefinedValues)]));
  }
  hit.predefined.addData("#QX_EMPTY#", std::string());

  hit.variables.addData("page", std::string("checkout::payment"));
  hit.variables.addData(
      "page_url",
      std::string("https://shop.example/checkout/payment?step=2&ref=newsletter&utm_source=mail"));
  hit.variables.addData("level2", std::string("12"));
  hit.variables.addData("click", std::string("A"));
  hit.variables.addData("search", std::string("red shoes size 42"));
  hit.variables.addData("order_id", std::string("ORD-2024-000451"));
  hit.variables.addData("payment", std::string("card"));
  hit.variables.addData("revenue", std::string("129.70"));

  hit.permanent.addData("user_id", std::string("42"));
  hit.permanent.addData("user_category", std::string("premium"));
  hit.permanent.addData("ab_test", std::string("checkout-v2"));
  hit.permanent.addData("site_section", std::string("Fran\xC3\xA7"
                                                    "ais"));

  hit.appVars.addData("user_category", std::string("gold"));  // overrides the permanent one
  hit.appVars.addData("campaign", std::string("winter_sale"));
  hit.appVars.addData("coupon", std::string("WINTER-10%"));
  hit.appVars.addData("newsletter", std::string("yes"));

  std::vector<QXProduct> basket(3);
  basket[0].setID(std::string("SKU-1001"));
  basket[0].setName(std::string("Running shoes \"Trail X\""));
  basket[0].setCategory(std::string("Shoes > Running"));
  basket[0].setQuantity(std::string("1"));
  basket[0].setPrice(std::string("89.90"));
  basket[1].setID(std::string("SKU-2002"));
  basket[1].setQuantity(std::string("2"));
  basket[1].setPrice(std::string("9.95"));
  basket[2].setID(std::string("SKU-3003"));
  basket[2].setQuantity(std::string("1"));
  hit.appVars.addData("basket", basket);
}

QXPostData mergedPostData(const Hit& hit) {
  QXPostData postData;
  postData.insertStore(hit.predefined);
  postData.insertStore(hit.variables);
  postData.insertStore(hit.permanent);
  postData.insertStore(hit.appVars.dynamicStore());
  return postData;
}

void reportBodies(benchmark::State& state, size_t bodySize) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bodySize));
  state.counters["body_bytes"] = static_cast<double>(bodySize);
}

// The same fields ("#" already removed from the names), with the 256-byte
// encoding tables built once.
struct FloorFields {
  std::vector<std::pair<std::string, std::string>> fields;
  size_t worstCase = 0;
};

FloorFields floorFields(const QXPostData& postData) {
  FloorFields result;
  postData.dynamicStore().forEach([&](std::string_view key, std::string_view value) {
    std::string name;
    for (char c : key) {
      if (c != '#') name.push_back(c);
    }
    result.fields.emplace_back(name, std::string(value));
    result.worstCase += 2 + 3 * (name.size() + value.size());
  });
  return result;
}

bool isUnreserved(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

const char kHexDigits[] = "0123456789ABCDEF";

// The floor: a table says which bytes stay; the others are written as "%XX".
class BranchingEncoder {
 public:
  BranchingEncoder() {
    for (int c = 0; c < 256; ++c) {
      keep_[c] = isUnreserved(c);
      hex_[c][0] = kHexDigits[c >> 4];
      hex_[c][1] = kHexDigits[c & 0xF];
    }
  }

  char* encode(char* out, const std::string& text) const {
    for (unsigned char c : text) {
      if (keep_[c]) {
        *out++ = static_cast<char>(c);
      } else {
        out[0] = '%';
        out[1] = hex_[c][0];
        out[2] = hex_[c][1];
        out += 3;
      }
    }
    return out;
  }

 private:
  std::array<bool, 256> keep_{};
  std::array<std::array<char, 2>, 256> hex_{};
};

// A stricter floor: every byte writes its four-byte table entry (up to three
// output bytes and their count) and moves on by the count, with no branch.
class BranchlessEncoder {
 public:
  BranchlessEncoder() {
    for (int c = 0; c < 256; ++c) {
      if (isUnreserved(c)) {
        code_[c] = {static_cast<char>(c), 0, 0, 1};
      } else {
        code_[c] = {'%', kHexDigits[c >> 4], kHexDigits[c & 0xF], 3};
      }
    }
  }

  char* encode(char* out, const std::string& text) const {
    for (unsigned char c : text) {
      std::memcpy(out, code_[c].data(), 4);
      out += code_[c][3];
    }
    return out;
  }

 private:
  std::array<std::array<char, 4>, 256> code_{};
};

template <typename Encoder>
void BM_Floor(benchmark::State& state) {
  Hit hit;
  fillHit(hit);
  const QXPostData postData = mergedPostData(hit);
  const FloorFields floor = floorFields(postData);
  const Encoder encoder;
  std::vector<char> buffer(floor.worstCase + 1);
  size_t bodySize = 0;
  for (auto _ : state) {
    char* p = buffer.data();
    bool first = true;
    for (const auto& [name, value] : floor.fields) {
      if (!first) *p++ = '&';
      first = false;
      p = encoder.encode(p, name);
      *p++ = '=';
      p = encoder.encode(p, value);
    }
    bodySize = static_cast<size_t>(p - buffer.data());
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  if (std::string(buffer.data(), bodySize) != postData.getParameters()) {
    state.SkipWithError("the floor's body differs from getParameters()");
  }
  reportBodies(state, bodySize);
}
BENCHMARK_TEMPLATE(BM_Floor, BranchingEncoder);
BENCHMARK_TEMPLATE(BM_Floor, BranchlessEncoder);

// getParameters() alone, on a QXPostData whose stores are already merged.
void BM_GetParameters(benchmark::State& state) {
  Hit hit;
  fillHit(hit);
  const QXPostData postData = mergedPostData(hit);
  size_t bodySize = 0;
  for (auto _ : state) {
    std::string body = postData.getParameters();
    bodySize = body.size();
    benchmark::DoNotOptimize(body);
  }
  reportBodies(state, bodySize);
  state.counters["fields"] = static_cast<double>(postData.dynamicStore().count());
}
BENCHMARK(BM_GetParameters);

// What a hit pays: a new QXPostData, the four stores merged, the body rendered.
void BM_MergeAndRender(benchmark::State& state) {
  Hit hit;
  fillHit(hit);
  size_t bodySize = 0;
  for (auto _ : state) {
    QXPostData postData;
    postData.insertStore(hit.predefined);
    postData.insertStore(hit.variables);
    postData.insertStore(hit.permanent);
    postData.insertStore(hit.appVars.dynamicStore());
    std::string body = postData.getParameters();
    bodySize = body.size();
    benchmark::DoNotOptimize(body);
  }
  reportBodies(state, bodySize);
}
BENCHMARK(BM_MergeAndRender);

// The merge on its own, to show how the full path divides.
void BM_MergeOnly(benchmark::State& state) {
  Hit hit;
  fillHit(hit);
  for (auto _ : state) {
    QXPostData postData;
    postData.insertStore(hit.predefined);
    postData.insertStore(hit.variables);
    postData.insertStore(hit.permanent);
    postData.insertStore(hit.appVars.dynamicStore());
    benchmark::DoNotOptimize(postData);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MergeOnly);

}  // namespace
