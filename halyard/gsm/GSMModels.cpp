#include "halyard/gsm/GSMModels.h"

#include <array>

namespace Halyard::GSM {

namespace {
using namespace CommConnect;

// Only what differs from the defaults of TGSMModel.
const std::array<TGSMModel, 11> kModels = {{
    /* eqA1 */ {.LengthRule = clFixed, .FixedLength = 165, .SwitchOff = "AT^SMSO"},
    /* eqM1 */
    {.SCAinPDU = false, .LengthRule = clFixed, .FixedLength = 164, .PINPause = 2500},
    /* eqM20 */
    {.TextMode = true, .PINPause = 2500, .OpenCommand = "AT+CSMS=0", .TextVPRelative = true, .SendPause = 100,
     .ReadPause = true, .SwitchOff = "AT^SMSO"},
    /* eqGM12 */
    {.Baudrate = br9600, .OpenStorage = "\"ME\"", .SendPause = 100, .ReadPause = true, .ListAll = 0,
     .SwitchOff = "AT+CFUN=0"},
    /* eqNokia6210 */
    {.TextMode = true, .Baudrate = br115200, .PINStep = psNone, .SendTimeout = 5000},
    /* eqNokia9110 */
    {.PDUMode = false, .TextMode = true, .SCAinPDU = false, .LengthRule = clFixed, .FixedLength = 164,
     .PINStep = psNone, .Registration = rsNone},
    /* eqM35 */
    {.TextMode = true, .PINTimeout = 15000, .ExtendedErrors = true, .SendPause = 100, .ReadPause = true,
     .SwitchOff = "AT^SMSO"},
    /* eqS25 */
    {.TextMode = true, .PINTimeout = 15000, .ExtendedErrors = true, .SendPause = 100, .ReadPause = true,
     .SwitchOff = "AT^SMSO"},
    /* eqT260 */
    {.Baudrate = br57600, .PINStep = psNone, .Registration = rsCSQ, .ExtendedErrors = true, .SendPause = 100,
     .ReadPause = true, .StatusReportStored = true},
    /* eqWaveCom */
    {.SCAinPDU = false, .LengthRule = clPDU, .Baudrate = br9600, .PINStep = psWaveCom, .PINTimeout = 15000,
     .SendPause = 100, .ListErrorEnds = true},
    /* eqTC35 */
    {.TextMode = true, .PINTimeout = 15000, .TextVPRelative = true, .SendPause = 100, .ReadPause = true,
     .SwitchOff = "AT^SMSO"},
}};
}  // namespace

const TGSMModel& GSMModel(TGSMEquipment Equipment) { return kModels.at(static_cast<size_t>(Equipment)); }

}  // namespace Halyard::GSM
