// A terminal fed with many texts between two passes: the cost of one hand-over, by how many
// texts were queued and how many lines the control keeps.
#include <benchmark/benchmark.h>

#include "halyard/terminal/Terminal.h"

using namespace Halyard;

namespace {

void Show(Terminal::TTerminal& t, const std::string& last) {
  while (t.Lines().Count() == 0 || t.Lines()[t.Lines().Count() - 1] != last)
    Framework::Application().HandleMessage(10);
}

void BM_LinesPerPass(benchmark::State& state) {
  auto t = Framework::MakeComponent<Terminal::TTerminal>(nullptr);
  t->SetMaxLines(static_cast<int>(state.range(1)));
  int n = 0;
  for (auto _ : state) {
    for (int i = 0; i < state.range(0); ++i) t->Log("COM1-01) 41 54 0d 0a " + std::to_string(n++));
    Show(*t, "COM1-01) 41 54 0d 0a " + std::to_string(n - 1));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LinesPerPass)->Args({1, 100})->Args({100, 100})->Args({1000, 100})->Args({100, 10000});

void BM_RawCharacters(benchmark::State& state) {
  auto t = Framework::MakeComponent<Terminal::TTerminal>(nullptr);
  std::string chunk(static_cast<size_t>(state.range(0)), 'x');
  chunk += "\r\n";
  int n = 0;
  for (auto _ : state) {
    std::string mark = "m" + std::to_string(n++);
    t->LogTerm(chunk + mark);
    Show(*t, mark);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawCharacters)->Arg(64)->Arg(4096);

// A device that streams without line ends: N raw characters on one line, queued in blocks of
// 1000 and shown as they come. Linear in N (1,000,000 characters well within a second).
void BM_RawLineWithoutBreak(benchmark::State& state) {
  const int64_t total = state.range(0);
  std::string block(1000, 'x');
  for (auto _ : state) {
    auto t = Framework::MakeComponent<Terminal::TTerminal>(nullptr);
    for (int64_t sent = 0; sent < total; sent += 1000) {
      t->LogTerm(block);
      Framework::Application().ProcessMessages();
    }
    while (t->Column() < total) Framework::Application().HandleMessage(10);
  }
  state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_RawLineWithoutBreak)->Arg(100000)->Arg(300000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// N lines queued at once and trimmed to MaxLines 100 in one pass. Linear in N.
void BM_TrimManyQueuedLines(benchmark::State& state) {
  const int64_t total = state.range(0);
  for (auto _ : state) {
    auto t = Framework::MakeComponent<Terminal::TTerminal>(nullptr);
    for (int64_t i = 0; i < total; ++i) t->Log("line");
    t->Log("last");
    Show(*t, "last");
  }
  state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_TrimManyQueuedLines)->Arg(20000)->Arg(80000)->Arg(320000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
