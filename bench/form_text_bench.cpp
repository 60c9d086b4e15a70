// Writing and reading form files of N serial ports and GSM engines, in components per second.
#include <benchmark/benchmark.h>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Loggers.h"
#include "halyard/framework/FormText.h"
#include "halyard/gsm/GSM.h"

using namespace Halyard;

namespace {

std::string MakeForm(int n) {
  auto root = Framework::MakeComponent<Connect::TFileLogger>(nullptr);
  root->SetName("Root");
  for (int i = 0; i < n; ++i) {
    auto* c = new CommConnect::TComm(root.get());
    c->SetName("Comm" + std::to_string(i));
    c->SetBaudrate(CommConnect::br115200);
    c->SetDeviceName("/dev/ttyUSB" + std::to_string(i));
    c->SetLogger(root.get());
  }
  return Framework::WriteComponentText(*root);
}

void BM_WriteForm(benchmark::State& state) {
  auto root = Framework::MakeComponent<Connect::TFileLogger>(nullptr);
  root->SetName("Root");
  for (int i = 0; i < state.range(0); ++i) {
    auto* c = new CommConnect::TComm(root.get());
    c->SetName("Comm" + std::to_string(i));
  }
  for (auto _ : state) benchmark::DoNotOptimize(Framework::WriteComponentText(*root));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteForm)->Arg(10)->Arg(100)->Arg(1000);

void BM_ReadForm(benchmark::State& state) {
  std::string text = MakeForm(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Framework::TOwned<Framework::TComponent> root(Framework::ReadComponentText(text, nullptr, true));
    benchmark::DoNotOptimize(root.get());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ReadForm)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
