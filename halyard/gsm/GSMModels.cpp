#include "halyard/gsm/GSMModels.h"

#include <array>

namespace Halyard::GSM {

namespace {
//                                      PDU    text   SCA    length       fixed  pause  switch-off
const std::array<TGSMModel, 11> kModels = {{
    /* eqA1        */ {true, false, true, clFixed, 165, false, "AT^SMSO"},
    /* eqM1        */ {true, false, false, clFixed, 164, false, nullptr},
    /* eqM20       */ {true, true, true, clTPDU, 0, true, "AT^SMSO"},
    /* eqGM12      */ {true, false, true, clTPDU, 0, true, "AT+CFUN=0"},
    /* eqNokia6210 */ {true, true, true, clTPDU, 0, false, nullptr},
    /* eqNokia9110 */ {false, true, false, clFixed, 164, false, nullptr},
    /* eqM35       */ {true, true, true, clTPDU, 0, true, "AT^SMSO"},
    /* eqS25       */ {true, true, true, clTPDU, 0, true, "AT^SMSO"},
    /* eqT260      */ {true, false, true, clTPDU, 0, true, nullptr},
    /* eqWaveCom   */ {true, false, false, clPDU, 0, false, nullptr},
    /* eqTC35      */ {true, true, true, clTPDU, 0, true, "AT^SMSO"},
}};
}  // namespace

const TGSMModel& GSMModel(TGSMEquipment Equipment) { return kModels.at(static_cast<size_t>(Equipment)); }

}  // namespace Halyard::GSM
