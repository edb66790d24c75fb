// The anchors of lists_bench.cpp, in the same binary so that both sides are
// measured in one run: a GLib GQueue, std::list, an intrusive list over
// preallocated nodes, malloc/free, and the floor of the profiler's hook pair.
// bench/ratios.py sets each of our benchmarks beside its anchor.
#include <benchmark/benchmark.h>
#include <sys/time.h>

#include <cstdlib>
#include <list>
#include <vector>

#include "host/host.h"

#ifdef OBJKIT_BENCH_GQUEUE
#include <glib.h>
#endif

namespace {

// Entries of the lists that clear and the destructor empty, as in lists_bench.cpp.
constexpr int32_t kLongList = 1000000;

#ifdef OBJKIT_BENCH_GQUEUE
void BM_GQueuePushPop(benchmark::State &state) {
  GQueue *queue = g_queue_new();
  for (auto _ : state) {
    g_queue_push_tail(queue, GINT_TO_POINTER(7));
    benchmark::DoNotOptimize(g_queue_pop_head(queue));
  }
  g_queue_free(queue);
}
#else
void BM_GQueuePushPop(benchmark::State &state) {
  state.SkipWithError("GLib was not found when this was built (./setup.sh --bench installs libglib2.0-dev)");
  for (auto _ : state) {
  }
}
#endif
BENCHMARK(BM_GQueuePushPop);

void BM_StdListPushPop(benchmark::State &state) {
  std::list<HostValue> list;
  for (auto _ : state) {
    list.push_back(host::make_int(7));
    benchmark::DoNotOptimize(list.front());
    list.pop_front();
  }
}
BENCHMARK(BM_StdListPushPop);

// A doubly linked list whose nodes come from a preallocated pool and go back
// to its free stack: what a list costs without any allocator.
struct Node {
  Node *prev;
  Node *next;
  HostValue value;
};

class IntrusiveQueue {
 public:
  explicit IntrusiveQueue(size_t capacity) : pool_(capacity) {
    for (Node &node : pool_) free_.push_back(&node);
  }

  // Links a pool node holding value at the tail; the pool must not be empty.
  void PushTail(HostValue value) {
    Node *node = free_.back();
    free_.pop_back();
    *node = Node{tail_, nullptr, value};
    (tail_ ? tail_->next : head_) = node;
    tail_ = node;
  }

  // Unlinks the head node, returns it to the pool and gives its value; the
  // queue must not be empty.
  HostValue PopHead() {
    Node *node = head_;
    head_ = node->next;
    (head_ ? head_->prev : tail_) = nullptr;
    free_.push_back(node);
    return node->value;
  }

 private:
  std::vector<Node> pool_;
  std::vector<Node *> free_;
  Node *head_ = nullptr;
  Node *tail_ = nullptr;
};

void BM_IntrusivePushPop(benchmark::State &state) {
  IntrusiveQueue queue(16);
  for (auto _ : state) {
    queue.PushTail(host::make_int(7));
    benchmark::DoNotOptimize(queue.PopHead());
  }
}
BENCHMARK(BM_IntrusivePushPop);

void BM_MallocFree(benchmark::State &state) {
  const auto size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void *block = std::malloc(size);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(BM_MallocFree)->Arg(16)->Arg(40)->Arg(1000);

// What the profiler's hook pair cannot do without: two clock readings, each
// kept in a new float object that replaces the one before. A reading is the
// timer's own: hundredths of a second since the origin second, computed from
// the whole seconds and microseconds as two 32-bit words, then divided by 100
// into seconds (the hooks' sums depend on every bit of it).
void BM_HookFloor(benchmark::State &state) {
  HostValue kept = flt_obj(0.0);
  timeval origin{};
  gettimeofday(&origin, nullptr);
  const auto origin_seconds = static_cast<double>(static_cast<int32_t>(origin.tv_sec));
  for (auto _ : state) {
    for (int reading = 0; reading < 2; ++reading) {
      timeval now{};
      gettimeofday(&now, nullptr);
      const double hundredths =
          (static_cast<double>(static_cast<int32_t>(now.tv_sec)) - origin_seconds) * 100.0 +
          static_cast<double>(static_cast<int32_t>(now.tv_usec)) / 10000.0;
      host::ref_drop(kept);
      kept = flt_obj(hundredths / 100.0);
    }
  }
  host::ref_drop(kept);
}
BENCHMARK(BM_HookFloor);

// A std::list of kLongList words, built untimed.
std::list<HostValue> LongStdList() {
  std::list<HostValue> list;
  for (int32_t i = 0; i < kLongList; ++i) list.push_back(host::make_int(i));
  return list;
}

void BM_StdListClear(benchmark::State &state) {
  for (auto _ : state) {
    state.PauseTiming();
    std::list<HostValue> list = LongStdList();
    state.ResumeTiming();
    list.clear();
  }
}
BENCHMARK(BM_StdListClear)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_StdListDestroy(benchmark::State &state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto *list = new std::list<HostValue>(LongStdList());
    state.ResumeTiming();
    delete list;
  }
}
BENCHMARK(BM_StdListDestroy)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
