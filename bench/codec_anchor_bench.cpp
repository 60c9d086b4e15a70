// The codec's hot paths beside the C codecs users of the peers already have, in one process:
// 7-bit pack and unpack of 160 characters against libosmocore, and the decoding of a
// 160-character SMS-DELIVER from hexadecimal against libgammu. An anchor whose library is not
// installed (found with pkg-config when this is built) is left out, and the run says so.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "halyard/auxstr/AuxStr.h"
#include "halyard/gsm/SMS.h"
#include "halyard/gsm/SMSAlphabet.h"

#ifdef HALYARD_HAVE_OSMOCORE
extern "C" {
#include <osmocom/gsm/gsm_utils.h>
}
#endif
#ifdef HALYARD_HAVE_GAMMU
#include <gammu.h>
#endif

using namespace Halyard;

namespace {

const std::string kText = [] {
  std::string s;
  while (s.size() < 160) s += "The quick brown fox jumps over the lazy dog. ";
  return s.substr(0, 160);
}();

const std::string kDeliverHex = [] {
  GSM::TSMSDeliver d;
  d.OA = "+491712345678";
  d.SCTS = Framework::EncodeDate(2026, 12, 9);
  d.UD = GSM::ISOtoSMS(kText);
  return d.GetPDU();
}();

std::string Text(const benchmark::State& state) { return kText.substr(0, static_cast<size_t>(state.range(0))); }

void BM_Pack(benchmark::State& state) {
  const std::string text = Text(state);
  for (auto _ : state) benchmark::DoNotOptimize(GSM::TSMS::EncodeString(GSM::ISOtoSMS(text), true));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Pack)->Arg(16)->Arg(80)->Arg(160);

void BM_PackOnly160(benchmark::State& state) {
  const std::string septets = GSM::ISOtoSMS(kText);
  for (auto _ : state) benchmark::DoNotOptimize(GSM::TSMS::EncodeString(septets, true));
}
BENCHMARK(BM_PackOnly160);

void BM_Unpack(benchmark::State& state) {
  const std::string packed = GSM::TSMS::EncodeString(GSM::ISOtoSMS(Text(state)), true);
  for (auto _ : state) benchmark::DoNotOptimize(GSM::SMStoISO(GSM::TSMS::DecodeString(packed, true)));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Unpack)->Arg(16)->Arg(80)->Arg(160);

void BM_CreateSMSFromHex(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(GSM::TSMS2::CreateSMS(nullptr, kDeliverHex, true));
}
BENCHMARK(BM_CreateSMSFromHex);

#ifdef HALYARD_HAVE_OSMOCORE
void BM_Osmo_Encode(benchmark::State& state) {
  const std::string text = Text(state);
  uint8_t out[200];
  int octets = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(gsm_7bit_encode_n(out, sizeof out, text.c_str(), &octets));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Osmo_Encode)->Arg(16)->Arg(80)->Arg(160);

void BM_Osmo_SeptetPack160(benchmark::State& state) {
  const std::string septets = GSM::ISOtoSMS(kText);
  uint8_t out[200];
  for (auto _ : state) {
    benchmark::DoNotOptimize(gsm_septet_pack(out, reinterpret_cast<const uint8_t*>(septets.data()), septets.size(), 0));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Osmo_SeptetPack160);

void BM_Osmo_Decode(benchmark::State& state) {
  const std::string packed = GSM::TSMS::EncodeString(GSM::ISOtoSMS(Text(state)), true);
  char out[400];
  for (auto _ : state) {
    benchmark::DoNotOptimize(gsm_7bit_decode_n(out, sizeof out, reinterpret_cast<const uint8_t*>(packed.data() + 1),
                                               static_cast<uint8_t>(state.range(0))));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Osmo_Decode)->Arg(16)->Arg(80)->Arg(160);
#endif

#ifdef HALYARD_HAVE_GAMMU
void BM_Gammu_DecodePDUFromHex(benchmark::State& state) {
  GSM_SMSMessage sms;
  unsigned char bin[200];
  for (auto _ : state) {
    DecodeHexBin(bin, reinterpret_cast<const unsigned char*>(kDeliverHex.data()), kDeliverHex.size());
    benchmark::DoNotOptimize(GSM_DecodePDUFrame(nullptr, &sms, bin, kDeliverHex.size() / 2, nullptr, TRUE));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Gammu_DecodePDUFromHex);
#endif

}  // namespace

int main(int argc, char** argv) {
#ifndef HALYARD_HAVE_OSMOCORE
  std::printf("anchor absent: libosmocore (libosmocore-dev) was not found when this was built\n");
#endif
#ifndef HALYARD_HAVE_GAMMU
  std::printf("anchor absent: libgammu (libgammu-dev) was not found when this was built\n");
#endif
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
