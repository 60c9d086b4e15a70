// PreformatText + DoLog of the hexadecimal layout, in bytes of input per second.
#include <benchmark/benchmark.h>

#include "halyard/connect/Loggers.h"

using namespace Halyard;

namespace {

class TBenchLogger : public Connect::TStreamLogger {
 public:
  TBenchLogger() : TStreamLogger(nullptr) { SetLogStream(&Stream); }
  Framework::TMemoryStream Stream;

 protected:
  void CloseConn() override {}
};

void BM_HexLog(benchmark::State& state) {
  auto* l = new TBenchLogger;
  l->Open();
  std::string text(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) {
    l->Log("COM1", static_cast<uint8_t>(state.iterations() & 1), text);
    if (l->Stream.Size() > (64 << 20)) l->Stream.Clear();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  l->Free();
}
BENCHMARK(BM_HexLog)->Arg(16)->Arg(1024)->Arg(64 * 1024);

}  // namespace

BENCHMARK_MAIN();
