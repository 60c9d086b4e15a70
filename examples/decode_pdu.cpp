// Decodes an SMS PDU given in hexadecimal, with no modem: decode_pdu HEX
#include <cstdio>

#include "halyard/gsm/SMS.h"
#include "halyard/gsm/SMSAlphabet.h"

int main(int argc, char** argv) {
  using namespace Halyard::GSM;
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_pdu HEX\n");
    return 2;
  }
  try {
    auto sms = TSMS2::CreateSMS(nullptr, argv[1], true);  // as received, with the SMSC field
    if (auto* d = dynamic_cast<TSMSDeliver*>(sms.get())) {
      std::printf("from %s: %s\n", d->OA.c_str(), (d->Packed() ? SMStoISO(d->UD) : d->UD).c_str());
      return 0;
    }
    std::printf("a message of type %d\n", sms ? sms->PDUType & 3 : -1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "decode_pdu: %s\n", e.what());
    return 1;
  }
  return 0;
}
