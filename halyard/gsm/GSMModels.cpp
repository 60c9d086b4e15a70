#include "halyard/gsm/GSMModels.h"

#include <array>

#include "halyard/auxstr/AuxStr.h"

namespace Halyard::GSM {

namespace {
using namespace CommConnect;

// Any 27.005 modem: both formats, the storages and indications it offers, PIN and registration
// asked, exact lengths, two minutes for a send's answer (Quectel's and SIMCom's manuals give
// +CMGS up to 120 s), every message listed, no switching off on close.
constexpr TGSMModel kGeneric = {.TextMode = true, .Baudrate = br115200, .PINTimeout = 15000, .ExtendedErrors = true,
                                .ListAll = 4, .BodyTimeout = 120000, .ReadStorages = true,
                                .FallBackIndications = true};
constexpr TGSMModel With(TGSMModel M, const char* Quiet, bool InSR, int Body) {
  M.QuietCommand = Quiet;
  M.ReportsInSR = InSR;
  if (Body > 0) M.BodyTimeout = Body;
  return M;
}

// Only what differs from the defaults of TGSMModel.
const std::array<TGSMModel, kEquipmentCount> kModels = {{
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
    /* eqGeneric */ kGeneric,
    /* eqQuectel: reports stored in "SR" are announced as "SM" */ With(kGeneric, nullptr, true, 0),
    /* eqSIMCom: 60 s for +CMGS (SIM800 manual) */ With(kGeneric, nullptr, false, 60000),
    /* eqHuawei: ^RSSI, ^HCSQ, ^MODE... quietened where it takes ^CURC=0 (as gammu does) */
    With(kGeneric, "AT^CURC=0", false, 0),
    /* eqSierra */ kGeneric,
    /* eqUblox: 180 s for +CMGS (u-blox AT manual) */ With(kGeneric, nullptr, false, 180000),
    /* eqTelit */ kGeneric,
}};
}  // namespace

const TGSMModel& GSMModel(TGSMEquipment Equipment) { return kModels.at(static_cast<size_t>(Equipment)); }

TGSMEquipment EquipmentFor(const std::string& Manufacturer, const std::string& Model) {
  const std::string maker = AuxStr::UpString(AuxStr::Trim(Manufacturer)), model = AuxStr::UpString(AuxStr::Trim(Model));
  auto has = [](const std::string& s, const char* part) { return s.find(part) != std::string::npos; };
  // A modem that names itself as one of the models (the simulator does).
  for (size_t i = 0; i < kEquipmentCount; ++i)
    if (!model.empty() && model == AuxStr::UpString(GSMEquipmentLongName[i])) return static_cast<TGSMEquipment>(i);
  const std::string both = maker + " " + model;
  static const std::pair<const char*, TGSMEquipment> kFamilies[] = {
      {"QUECTEL", eqQuectel}, {"SIMCOM", eqSIMCom}, {"HUAWEI", eqHuawei}, {"SIERRA", eqSierra},
      {"U-BLOX", eqUblox},    {"UBLOX", eqUblox},   {"TELIT", eqTelit}};
  for (const auto& [name, eq] : kFamilies)
    if (has(both, name)) return eq;
  if (has(maker, "SIEMENS")) {
    static const std::pair<const char*, TGSMEquipment> kSiemens[] = {
        {"TC35", eqTC35}, {"MC35", eqTC35}, {"M20", eqM20}, {"M35", eqM35}, {"S25", eqS25}};
    for (const auto& [name, eq] : kSiemens)
      if (has(model, name)) return eq;
  }
  if (has(maker, "ERICSSON") && has(model, "GM12")) return eqGM12;
  if (has(maker, "NOKIA") && has(model, "6210")) return eqNokia6210;
  if (has(maker, "NOKIA") && has(model, "9110")) return eqNokia9110;
  if (has(maker, "MOTOROLA") && has(model, "T260")) return eqT260;
  if (has(maker, "WAVECOM")) return eqWaveCom;
  return eqGeneric;
}

}  // namespace Halyard::GSM
