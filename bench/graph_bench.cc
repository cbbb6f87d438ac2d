// Recording cost in a long session: every event derives from all events before it.
// Beside each session size, the floor: one BLAKE3 pass over that many parent digests.
#include <benchmark/benchmark.h>

#include "floors.h"
#include <malloc.h>

#include <memory>
#include <vector>

#include "graph/store.h"
#include "trace/index.h"

namespace {

using korvel::graph::EventId;

korvel::graph::EventPayload proposal() {
  return korvel::graph::ToolCallProposed{"fetch", korvel::graph::blake3_digest("{}"), 2, {"url"}, ""};
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

struct Session {
  korvel::graph::EventStore store{[] { return 1'700'000'000'000ull; }};
  korvel::trace::TraceIndex trace;

  EventId record() {
    const EventId id = store.insert(proposal(), korvel::graph::ParentList{store.events().size(), {}});
    trace.propagate_from(id, store);
    return id;
  }
};

// Time of one insert + propagate at the end of a session of `range(0)` events, and the heap
// bytes each event of that session holds.
void BM_RecordAtSessionEnd(benchmark::State& state) {
  const auto events = static_cast<EventId>(state.range(0));
  const std::size_t before = heap_in_use();
  auto session = std::make_unique<Session>();
  const std::string_view external[] = {"external"};
  session->record();
  session->trace.set(0, external);
  while (session->store.events().size() < events) session->record();
  const double bytes_per_event = double(heap_in_use() - before) / double(events);
  for (auto _ : state) benchmark::DoNotOptimize(session->record());
  state.counters["bytes_per_event"] = bytes_per_event;
}
BENCHMARK(BM_RecordAtSessionEnd)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Iterations(300)->Unit(benchmark::kMicrosecond);

using korvel::bench::BM_Blake3FloorOfParentDigests;
BENCHMARK(BM_Blake3FloorOfParentDigests)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
