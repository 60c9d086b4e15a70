// PreformatText + DoLog of the hexadecimal layout, in bytes of input per second, beside a plain
// fwrite of the same formatted bytes (the anchor: what writing the output costs at least). The
// stream discards what it gets, so neither side pays for memory it grows.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "halyard/connect/Loggers.h"

using namespace Halyard;

namespace {

class TNullStream : public Framework::TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t Count) override { return Count; }
  int64_t Seek(int64_t, Framework::TSeekOrigin) override { return 0; }
  void SetSize(int64_t) override {}
};

class TBenchLogger : public Connect::TStreamLogger {
 public:
  TBenchLogger() : TStreamLogger(nullptr) { SetLogStream(&Stream); }
  TNullStream Stream;
  using TStreamLogger::PreformatText;

 protected:
  void CloseConn() override {}
};

std::string Input(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + 7);
  return s;
}

void BM_HexLog(benchmark::State& state) {
  auto* l = new TBenchLogger;
  l->SetLogFlags({Connect::lfHexadecimal, Connect::lfInsertName, Connect::lfInsertChannel, Connect::lfDivideChannels});
  l->Open();
  const std::string text = Input(static_cast<size_t>(state.range(0)));
  for (auto _ : state) l->Log("COM1", static_cast<uint8_t>(state.iterations() & 1), text);
  state.SetBytesProcessed(state.iterations() * state.range(0));
  l->Free();
}
BENCHMARK(BM_HexLog)->Arg(16)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024);

void BM_FwriteAnchor(benchmark::State& state) {
  auto* l = new TBenchLogger;
  l->SetLogFlags({Connect::lfHexadecimal, Connect::lfInsertName, Connect::lfInsertChannel, Connect::lfDivideChannels});
  const std::string out = l->PreformatText("COM1", 1, Input(static_cast<size_t>(state.range(0))));
  l->Free();
  // Into a file, as a file logger writes (/dev/null would let the C library skip the work).
  std::FILE* sink = std::tmpfile();
  for (auto _ : state) {
    std::rewind(sink);
    benchmark::DoNotOptimize(std::fwrite(out.data(), 1, out.size(), sink));
    std::fflush(sink);
  }
  std::fclose(sink);
  state.SetBytesProcessed(state.iterations() * state.range(0));  // of input, as above
}
BENCHMARK(BM_FwriteAnchor)->Arg(16)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024);

}  // namespace

BENCHMARK_MAIN();
