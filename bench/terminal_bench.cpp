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

}  // namespace

BENCHMARK_MAIN();
