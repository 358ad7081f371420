// The cost of the store's basic operations on entries shaped like a hit's
// variables ("#QX_...#" keys, short values).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/QXDynamicStore.h"

namespace {

std::vector<std::string> keys(int n) {
  std::vector<std::string> result;
  for (int i = 0; i < n; ++i)
    result.push_back("#QX_PREDEFINED_VARIABLE_" + std::to_string(i) + "#");
  return result;
}

// Writing n new keys into an empty store (what a hit's body builder does).
void BM_AddDataNewKeys(benchmark::State& state) {
  const auto names = keys(static_cast<int>(state.range(0)));
  const std::string value = "1700000000123";
  for (auto _ : state) {
    QXDynamicStore store;
    for (const auto& key : names)
      store.addData(key, value);
    benchmark::DoNotOptimize(store);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddDataNewKeys)->Arg(16)->Arg(90)->Arg(1000);

// Rewriting a key that is already there (the registry's per-hit refresh).
void BM_AddDataRewrite(benchmark::State& state) {
  const auto names = keys(90);
  QXDynamicStore store;
  for (const auto& key : names)
    store.addData(key, std::string("0"));
  const std::string value = "1700000000123";
  size_t i = 0;
  for (auto _ : state) {
    store.addData(names[i++ % names.size()], value);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddDataRewrite);

void BM_GetDataHit(benchmark::State& state) {
  const auto names = keys(static_cast<int>(state.range(0)));
  QXDynamicStore store;
  for (const auto& key : names)
    store.addData(key, std::string("value"));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.getData(names[i++ % names.size()]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetDataHit)->Arg(90)->Arg(10000);

void BM_GetDataMiss(benchmark::State& state) {
  const auto names = keys(90);
  QXDynamicStore store;
  for (const auto& key : names)
    store.addData(key, std::string("value"));
  const std::string absent = "#QX_NOT_THERE#";
  for (auto _ : state)
    benchmark::DoNotOptimize(store.getData(absent));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetDataMiss);

// Merging a 70-entry store into an empty one (insertStore of the registry).
void BM_MergeStore(benchmark::State& state) {
  const auto names = keys(70);
  QXDynamicStore source;
  for (const auto& key : names)
    source.addData(key, std::string("1700000000"));
  for (auto _ : state) {
    QXDynamicStore target;
    target.addData(source);
    benchmark::DoNotOptimize(target);
  }
  state.SetItemsProcessed(state.iterations() * 70);
}
BENCHMARK(BM_MergeStore);

}  // namespace
