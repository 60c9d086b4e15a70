// Opens a modem and lists its stored messages: list_messages DEVICE [MODEL]
// (try it on gsmsim: "gsmsim --link /tmp/modem &" then "list_messages /tmp/modem")
#include <cstdio>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/gsm/GSM.h"
#include "halyard/gsm/SMSAlphabet.h"

int main(int argc, char** argv) {
  using namespace Halyard;
  if (argc < 2) {
    std::fprintf(stderr, "usage: list_messages DEVICE [MODEL]\n");
    return 2;
  }
  try {
    auto port = Framework::MakeComponent<CommConnect::TComm>(nullptr);
    port->SetDeviceName(argv[1]);
    auto gsm = Framework::MakeComponent<GSM::TGSM>(nullptr);
    gsm->SetComDevice(port.get());
    gsm->SetEquipment(argc > 2 ? GSM::Str2GMSEquipment(argv[2]) : GSM::eqTC35);
    gsm->Open();
    auto list = gsm->GetSMSList(4);
    for (int i = 0; i < list->Count(); ++i) {
      auto* m = static_cast<GSM::TSMS2*>(list->Objects(i));
      std::string text = m ? (m->Packed() ? GSM::SMStoISO(m->UD) : m->UD) : "(undecodable)";
      std::printf("%s: %s\n", list->Names(i).c_str(), text.c_str());
    }
    std::printf("%d messages\n", list->Count());
    gsm->Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "list_messages: %s\n", e.what());
    return 1;
  }
  return 0;
}
