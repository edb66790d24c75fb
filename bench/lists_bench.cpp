// Benchmarks of the library's and the runtime's hot paths, each through the
// path a script takes: list operations by the send path, zone blocks, the
// profiler's hook pair, and Flush and the release of a long list. Their
// anchors are in anchors_bench.cpp; bench/ratios.py sets each beside its
// anchor. Run: build/objkit_bench
#include <benchmark/benchmark.h>

#include "lang/boot.h"
#include "objkit/exports.h"
#include "runtime/runtime.h"

namespace rt = zel::rt;

namespace {

// Entries of the lists that Flush and the release empty.
constexpr int32_t kLongList = 1000000;

void Boot() {
  static const bool started = [] {
    zel::boot();
    objkit_init_module();
    return true;
  }();
  (void)started;
}

// A new, empty T_DblLnk object with both flags off.
rt::Ref NewList() {
  rt::Ref list = rt::send(rt::find_class("T_DblLnk")->value, "new", {});
  rt::send(list.get(), "create", {});
  return list;
}

// A list of `count` integers, added at the tail with every key dropped.
rt::Ref LongList(int32_t count) {
  rt::Ref list = NewList();
  for (int32_t i = 0; i < count; ++i) {
    const HostValue value[] = {host::make_int(i)};
    rt::send(list.get(), "AddAtTail", value);
  }
  return list;
}

// One add at the tail and one removal at the head: the queue pattern. The
// selectors are interned once and the arguments laid out on the value stack,
// as the evaluator does for a script's sends.
void BM_AddAtTailRemAtHead(benchmark::State &state) {
  Boot();
  rt::Ref list = NewList();
  const rt::Selector *const add = rt::selector("AddAtTail");
  const rt::Selector *const rem = rt::selector("RemAtHead");
  for (auto _ : state) {
    rt::Slots add_args(2);
    HostValue *argv = add_args.data() + 1;
    host::ref_take(list.get());
    argv[0] = list.get();
    argv[-1] = host::make_int(7);
    rt::Ref key = rt::send(add, argv, 1);
    rt::Slots rem_args(1);
    host::ref_take(list.get());
    rem_args.data()[0] = list.get();
    rt::send(rem, rem_args.data(), 0);
  }
}
BENCHMARK(BM_AddAtTailRemAtHead);

// IndexOf walks from the head to the value; its cost grows with the position.
void BM_IndexOfLast(benchmark::State &state) {
  Boot();
  rt::Ref list = LongList(static_cast<int32_t>(state.range(0)));
  const HostValue last[] = {host::make_int(static_cast<int32_t>(state.range(0) - 1))};
  for (auto _ : state) benchmark::DoNotOptimize(rt::send(list.get(), "IndexOf", last).get());
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_IndexOfLast)->Range(8, 4096)->Complexity(benchmark::oN);

// A block of the library's zone made and given back, as list items are.
void BM_ZoneMallocFree(benchmark::State &state) {
  Boot();
  for (auto _ : state) {
    void *block = z_malloc(static_cast<uint32_t>(state.range(0)));
    benchmark::DoNotOptimize(block);
    z_free(block);
  }
}
BENCHMARK(BM_ZoneMallocFree)->Arg(16)->Arg(40)->Arg(1000);

// The runtime's zalloc and zfree on a zone of their own, at the size of a
// list item on 64-bit.
void BM_ZallocZfree(benchmark::State &state) {
  Boot();
  void *zone = zcreate(6, 16384);
  const auto size = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    void *block = zalloc(zone, size);
    benchmark::DoNotOptimize(block);
    zfree(zone, block, size);
  }
  zdelete(zone);
}
BENCHMARK(BM_ZallocZfree)->Arg(40);

// The profiler's start and stop hooks, as the interpreter calls them around
// a profiled procedure, driving a current T_Timer.
void BM_ProfileHookPair(benchmark::State &state) {
  Boot();
  const HostValue timer_class = rt::find_class("T_Timer")->value;
  rt::Ref timer = rt::send(timer_class, "new", {});
  const HostValue current[] = {timer.get()};
  rt::send(timer_class, "setcurrent", current);
  for (auto _ : state) {
    rt::profile_start();
    rt::profile_stop();
  }
  const HostValue none[] = {rt::nil_value()};
  rt::send(timer_class, "setcurrent", none);
}
BENCHMARK(BM_ProfileHookPair);

// Builds a long list untimed for every iteration and times `empty` on it;
// what is left of the list afterwards is dropped untimed.
template <typename Empty>
void TimeOnLongList(benchmark::State &state, Empty empty) {
  Boot();
  for (auto _ : state) {
    state.PauseTiming();
    rt::Ref list = LongList(kLongList);
    state.ResumeTiming();
    empty(list);
    state.PauseTiming();
    list = rt::Ref();
    state.ResumeTiming();
  }
}

// Flush of a long list with both flags off.
void BM_FlushList(benchmark::State &state) {
  TimeOnLongList(state, [](rt::Ref &list) { rt::send(list.get(), "Flush", {}); });
}
BENCHMARK(BM_FlushList)->Unit(benchmark::kMillisecond)->Iterations(3);

// The release of a long list object: its last reference dropped.
void BM_DropList(benchmark::State &state) {
  TimeOnLongList(state, [](rt::Ref &list) { list = rt::Ref(); });
}
BENCHMARK(BM_DropList)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
