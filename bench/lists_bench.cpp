// Benchmarks of the list's hot paths and of the zone wrappers, through the
// same dispatch a script call takes. Run: build/objkit_bench
#include <benchmark/benchmark.h>

#include <vector>

#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

namespace {

void Boot() {
  static const bool started = [] {
    zel::boot();
    objkit_init_module();
    return true;
  }();
  (void)started;
}

rt::Ref NewList() {
  rt::Ref list = rt::send(rt::find_class("T_DblLnk")->value, "new", {});
  rt::send(list.get(), "create", {});
  return list;
}

// One add at the tail and one removal at the head: the queue pattern.
void BM_AddAtTailRemAtHead(benchmark::State &state) {
  Boot();
  rt::Ref list = NewList();
  const HostValue value[] = {host::make_int(7)};
  for (auto _ : state) {
    rt::Ref key = rt::send(list.get(), "AddAtTail", value);
    rt::send(list.get(), "RemAtHead", {});
  }
}
BENCHMARK(BM_AddAtTailRemAtHead);

// IndexOf walks from the head to the value; its cost grows with the position.
void BM_IndexOfLast(benchmark::State &state) {
  Boot();
  rt::Ref list = NewList();
  for (int i = 0; i < state.range(0); ++i) {
    const HostValue value[] = {host::make_int(i)};
    rt::send(list.get(), "AddAtTail", value);
  }
  const HostValue last[] = {host::make_int(static_cast<int32_t>(state.range(0) - 1))};
  for (auto _ : state) benchmark::DoNotOptimize(rt::send(list.get(), "IndexOf", last).get());
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_IndexOfLast)->Range(8, 4096)->Complexity(benchmark::oN);

// A zone block made and given back, as list items are.
void BM_ZoneMallocFree(benchmark::State &state) {
  Boot();
  for (auto _ : state) {
    void *block = z_malloc(static_cast<uint32_t>(state.range(0)));
    benchmark::DoNotOptimize(block);
    z_free(block);
  }
}
BENCHMARK(BM_ZoneMallocFree)->Arg(16)->Arg(40)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
