// Encoding and decoding of a full 7-bit SMS-SUBMIT, SMS-DELIVER and a cell broadcast page.
#include <benchmark/benchmark.h>

#include "halyard/framework/SysUtils.h"
#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/SMS.h"

using namespace Halyard::GSM;

namespace {

std::string Text(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

void BM_SubmitEncode(benchmark::State& state) {
  TSMSSubmit s;
  s.DA = "+491712345678";
  s.UD = Text(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(s.GetPDU());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SubmitEncode)->Arg(40)->Arg(80)->Arg(160);

void BM_SubmitDecode(benchmark::State& state) {
  TSMSSubmit s;
  s.DA = "+491712345678";
  s.UD = Text(static_cast<size_t>(state.range(0)));
  std::string pdu = s.GetPDU();
  TSMSSubmit d;
  for (auto _ : state) {
    d.SetPDU(pdu);
    benchmark::DoNotOptimize(d.UD);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SubmitDecode)->Arg(40)->Arg(80)->Arg(160);

void BM_DeliverDecodeViaCreateSMS(benchmark::State& state) {
  TSMSDeliver d;
  d.OA = "+491712345678";
  d.SCTS = Halyard::Framework::EncodeDate(2026, 12, 9);
  d.UD = Text(160);
  std::string pdu = d.GetPDU();
  for (auto _ : state) benchmark::DoNotOptimize(TSMS2::CreateSMS(nullptr, pdu, true));
}
BENCHMARK(BM_DeliverDecodeViaCreateSMS);

void BM_DeliverEncode(benchmark::State& state) {
  TSMSDeliver d;
  d.OA = "+491712345678";
  d.UD = Text(160);
  for (auto _ : state) benchmark::DoNotOptimize(d.GetPDU());
}
BENCHMARK(BM_DeliverEncode);

void BM_CellBroadcastPage(benchmark::State& state) {
  TCellBroadcast cb;
  cb.Content = Text(93);
  std::string pdu = cb.EncodePDU();
  TCellBroadcast d;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cb.EncodePDU());
    d.DecodePDU(pdu);
  }
}
BENCHMARK(BM_CellBroadcastPage);

}  // namespace

BENCHMARK_MAIN();
