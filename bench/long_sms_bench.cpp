// A 1,000-character text split and encoded into parts, and those parts decoded and reassembled,
// in the default alphabet and in UCS2 (with emoji).
#include <benchmark/benchmark.h>

#include "halyard/gsm/LongSMS.h"

using namespace Halyard::GSM;

namespace {

std::string Text(bool unicode) {
  std::string s;
  while (s.size() < 1000) s += unicode ? "caf\xC3\xA9 \xF0\x9F\x98\x80 " : "the quick brown fox {jumps} ";
  return s;
}

void BM_SplitAndEncode(benchmark::State& state) {
  const std::string text = Text(state.range(0));
  for (auto _ : state) {
    auto parts = SplitText(text, "+491712345678", {.Reference = 1});
    for (auto& p : parts) benchmark::DoNotOptimize(p->GetPDU());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_SplitAndEncode)->Arg(0)->Arg(1);

void BM_DecodeAndReassemble(benchmark::State& state) {
  const std::string text = Text(state.range(0));
  std::vector<std::string> pdus;
  for (auto& p : SplitText(text, "+491712345678", {.Reference = 1})) {
    TSMSDeliver d;
    d.OA = "+491712345678";
    d.PDUType = static_cast<uint8_t>(p->PDUType & 0x40);
    d.DCS = p->DCS;
    d.UD = p->UD;
    pdus.push_back(d.GetPDU());
  }
  TReassembler r;
  for (auto _ : state) {
    std::optional<TAssembled> whole;
    for (const auto& pdu : pdus) {
      TSMSDeliver d;
      d.SetPDU(pdu);
      whole = r.Add(d);
    }
    benchmark::DoNotOptimize(whole);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_DecodeAndReassemble)->Arg(0)->Arg(1);

// The user data of one full concatenated 7-bit part as a received message holds it (septets):
// its header read and its text decoded.
void BM_ConcatenatedPartUserData(benchmark::State& state) {
  auto parts = SplitText(Text(false), "+491712345678", {.Reference = 1});
  TSMSDeliver d;
  d.OA = "+491712345678";
  d.PDUType = static_cast<uint8_t>(parts[0]->PDUType & 0x40);
  d.DCS = parts[0]->DCS;
  d.UD = parts[0]->UD;
  for (auto _ : state) {
    TMessageContent c = MessageContent(d);
    benchmark::DoNotOptimize(c.Header);
    benchmark::DoNotOptimize(c.Text());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConcatenatedPartUserData);

}  // namespace

BENCHMARK_MAIN();
