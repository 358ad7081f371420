// What the inspector costs the collector per hit: appending a hit to a full
// history (the serving thread's share, paid whether or not a page watches),
// and encoding it for a page (the inspector thread's, only while one does).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tools/collector/QXHitHistory.h"
#include "tools/collector/QXHitJSON.h"

namespace {

// A body of about 2.7 KB, as the SDK's hits are, varying a little in size.
QXCollector::Request benchRequest(int n) {
  QXCollector::Request request;
  request.method = "POST";
  request.target = "/7/";
  request.headers = {
      {"Host", "127.0.0.1:8080"},
      {"Content-Type", "application/x-www-form-urlencoded"},
      {"X-Quorvex-Hit-Id", "C317812E-B8AB-4820-8F16-64D45C9F6005-" + std::to_string(n)}};
  for (int field = 0; request.body.size() < 2600 + static_cast<size_t>(n % 100); ++field) {
    request.body += "QX_FIELD_" + std::to_string(field) + "=value%20" + std::to_string(n) + "&";
  }
  return request;
}

void BM_HistoryAppendWhenFull(benchmark::State& state) {
  QXHitHistory history(10000);
  std::vector<QXCollector::Request> requests;
  for (int n = 0; n < 64; ++n)
    requests.push_back(benchRequest(n));
  for (int n = 0; n < 10000; ++n)
    history.append(requests[n % 64], n);
  int n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(history.append(requests[n % 64], n));
    ++n;
  }
}
BENCHMARK(BM_HistoryAppendWhenFull);

void BM_HitJSONForThePage(benchmark::State& state) {
  QXHitHistory history(1);
  history.append(benchRequest(1), 0);
  std::vector<QXRecordedHit> hits;
  history.copySince(0, 1, hits);
  std::string out;
  for (auto _ : state) {
    out.clear();
    QXAppendHitJSON(out, hits[0]);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_HitJSONForThePage);

}  // namespace
