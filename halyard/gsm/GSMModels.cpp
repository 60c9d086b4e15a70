#include "halyard/gsm/GSMModels.h"

#include <array>
#include <iterator>

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

// One row per model: its identity (the enum value, the published, short and long names) and
// only the facts that differ from the defaults of TGSMModel.
struct TModelRow {
  TGSMEquipment Equipment;
  const char* Published;
  const char* Short;
  const char* Long;
  TGSMModel Facts;
};
constexpr TModelRow kRows[] = {
    {eqA1, "eqA1", "A1", "Siemens A1", {.LengthRule = clFixed, .FixedLength = 165, .SwitchOff = "AT^SMSO"}},
    {eqM1, "eqM1", "M1", "Siemens M1", {.SCAinPDU = false, .LengthRule = clFixed, .FixedLength = 164, .PINPause = 2500}},
    {eqM20, "eqM20", "M20", "Siemens M20",
     {.TextMode = true, .PINPause = 2500, .OpenCommand = "AT+CSMS=0", .TextVPRelative = true, .SendPause = 100,
      .ReadPause = 500, .SwitchOff = "AT^SMSO"}},
    {eqGM12, "eqGM12", "GM12", "Ericsson GM12",
     {.Baudrate = br9600, .OpenStorage = "\"ME\"", .SendPause = 100, .ReadPause = 500, .ListAll = 0,
      .SwitchOff = "AT+CFUN=0"}},
    {eqNokia6210, "eqNokia6210", "Nokia6210", "Nokia 6210",
     {.TextMode = true, .Baudrate = br115200, .PINStep = psNone, .SendTimeout = 5000}},
    {eqNokia9110, "eqNokia9110", "Nokia9110", "Nokia 9110",
     {.PDUMode = false, .TextMode = true, .SCAinPDU = false, .LengthRule = clFixed, .FixedLength = 164,
      .PINStep = psNone, .Registration = rsNone}},
    {eqM35, "eqM35", "M35", "Siemens M35",
     {.TextMode = true, .PINTimeout = 15000, .ExtendedErrors = true, .SendPause = 100, .ReadPause = 500,
      .SwitchOff = "AT^SMSO"}},
    {eqS25, "eqS25", "S25", "Siemens S25",
     {.TextMode = true, .PINTimeout = 15000, .ExtendedErrors = true, .SendPause = 100, .ReadPause = 500,
      .SwitchOff = "AT^SMSO"}},
    {eqT260, "eqT260", "T260", "Motorola T260",
     {.Baudrate = br57600, .PINStep = psNone, .Registration = rsCSQ, .ExtendedErrors = true, .SendPause = 100,
      .ReadPause = 500, .StatusReportStored = true}},
    {eqWaveCom, "eqWaveCom", "WaveCom", "WaveCom",
     {.SCAinPDU = false, .LengthRule = clPDU, .Baudrate = br9600, .PINStep = psWaveCom, .PINTimeout = 15000,
      .SendPause = 100, .ListErrorEnds = true}},
    {eqTC35, "eqTC35", "TC35", "Siemens TC35",
     {.TextMode = true, .PINTimeout = 15000, .TextVPRelative = true, .SendPause = 100, .ReadPause = 500,
      .SwitchOff = "AT^SMSO"}},
    {eqGeneric, "eqGeneric", "generic", "Generic 27.005 modem", kGeneric},
    // Reports stored in "SR" are announced as "SM".
    {eqQuectel, "eqQuectel", "Quectel", "Quectel", With(kGeneric, nullptr, true, 0)},
    // 60 s for +CMGS (SIM800 manual).
    {eqSIMCom, "eqSIMCom", "SIMCom", "SIMCom", With(kGeneric, nullptr, false, 60000)},
    // ^RSSI, ^HCSQ, ^MODE... quietened where it takes ^CURC=0 (as gammu does).
    {eqHuawei, "eqHuawei", "Huawei", "Huawei", With(kGeneric, "AT^CURC=0", false, 0)},
    {eqSierra, "eqSierra", "Sierra", "Sierra Wireless", kGeneric},
    // 180 s for +CMGS (u-blox AT manual).
    {eqUblox, "eqUblox", "u-blox", "u-blox", With(kGeneric, nullptr, false, 180000)},
    {eqTelit, "eqTelit", "Telit", "Telit", kGeneric},
};
static_assert(std::size(kRows) == kEquipmentCount, "one row per model");
static_assert(
    [] {
      for (size_t i = 0; i < std::size(kRows); ++i)
        if (static_cast<size_t>(kRows[i].Equipment) != i) return false;
      return true;
    }(),
    "the rows in the order of TGSMEquipment");

template <const char* TModelRow::*Name>
constexpr std::array<const char*, kEquipmentCount> Column() {
  std::array<const char*, kEquipmentCount> a{};
  for (size_t i = 0; i < kEquipmentCount; ++i) a[i] = kRows[i].*Name;
  return a;
}
}  // namespace

const std::array<const char*, kEquipmentCount> GSMEquipmentShortName = Column<&TModelRow::Short>();
const std::array<const char*, kEquipmentCount> GSMEquipmentLongName = Column<&TModelRow::Long>();

std::vector<std::string> GSMEquipmentPublishedNames() {
  std::vector<std::string> names;
  for (const TModelRow& r : kRows) names.emplace_back(r.Published);
  return names;
}

const TGSMModel& GSMModel(TGSMEquipment Equipment) {
  size_t i = static_cast<size_t>(Equipment);
  if (i >= kEquipmentCount) GSMError("Bad equipment name");
  return kRows[i].Facts;
}

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
