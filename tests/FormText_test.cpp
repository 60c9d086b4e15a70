// Form files: round trips, loading order of activation, the designing state and bad input.
#include "halyard/framework/FormText.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Loggers.h"
#include "halyard/framework/Registry.h"
#include "halyard/gsm/GSM.h"

namespace {

using namespace Halyard;
using namespace Halyard::Framework;

enum TShade { shRed, shGreen, shBlue };
enum TMark { mkA, mkB, mkC };
using TMarks = Set<TMark>;

std::vector<std::string>& Journal() {
  static std::vector<std::string> j;
  return j;
}

class TGadget : public Connect::TConnection {
 public:
  explicit TGadget(TComponent* AOwner) : TConnection(AOwner) {}
  int Count() const { return Count_; }
  void SetCount(int v) { Count_ = v; }
  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool v) { Enabled_ = v; }
  const std::string& Caption() const { return Caption_; }
  void SetCaption(const std::string& v) {
    if (v == "refuse") throw Exception("Caption refused");
    Caption_ = v;
  }
  char Sep() const { return Sep_; }
  void SetSep(char v) { Sep_ = v; }
  TShade Shade() const { return Shade_; }
  void SetShade(TShade v) { Shade_ = v; }
  TMarks Marks() const { return Marks_; }
  void SetMarks(TMarks v) { Marks_ = v; }
  TGadget* Peer() const { return Peer_; }
  void SetPeer(TGadget* v) { Peer_ = v; }
  const TNotifyEvent& OnPing() const { return OnPing_; }
  void SetOnPing(TNotifyEvent h) { OnPing_ = std::move(h); }
  void Ping() {
    if (OnPing_) OnPing_(this);
  }
  void Loaded() override {
    Journal().push_back("loaded " + Name());
    TConnection::Loaded();
  }

 protected:
  void OpenConn() override {
    if (Caption_ == "fail") throw Exception("cannot open " + Name());
    Journal().push_back("open " + Name() + " peer=" + (Peer_ ? Peer_->Name() : "none"));
  }
  void CloseConn() override { Journal().push_back("close " + Name()); }

 private:
  int Count_ = 7;
  bool Enabled_ = true;
  std::string Caption_;
  char Sep_ = ',';
  TShade Shade_ = shRed;
  TMarks Marks_;
  TGadget* Peer_ = nullptr;
  TNotifyEvent OnPing_;
};

// A form: it publishes the handlers that its gadgets' events name.
class TGadgetForm : public TComponent {
 public:
  explicit TGadgetForm(TComponent* AOwner) : TComponent(AOwner) {
    PublishMethod<Connect::TConnectionNotifyEvent>(
        "FormBeforeOpen", [](Connect::TConnection* c) { Journal().push_back("before " + c->Name()); });
    PublishMethod<Connect::TConnectionNotifyEvent>(
        "FormAfterOpen", [](Connect::TConnection* c) { Journal().push_back("after " + c->Name()); });
    PublishMethod<TNotifyEvent>("FormPing", [](TObject*) { Journal().push_back("ping"); });
  }
};

const bool kRegistered = [] {
  TClassBuilder<TGadget>("TGadget", "TConnection")
      .Create()
      .Integer("Count", &TGadget::Count, &TGadget::SetCount, 7)
      .Boolean("Enabled", &TGadget::Enabled, &TGadget::SetEnabled, true)
      .String("Caption", &TGadget::Caption, &TGadget::SetCaption)
      .Char("Sep", &TGadget::Sep, &TGadget::SetSep, ',')
      .Enum<TShade>("Shade", "TShade", {"shRed", "shGreen", "shBlue"}, &TGadget::Shade, &TGadget::SetShade, shRed)
      .SetOf<TMarks>("Marks", "TMarks", {"mkA", "mkB", "mkC"}, &TGadget::Marks, &TGadget::SetMarks)
      .Reference<TGadget>("Peer", "TGadget", &TGadget::Peer, &TGadget::SetPeer)
      .Event<TNotifyEvent>("OnPing", "TNotifyEvent", &TGadget::OnPing, &TGadget::SetOnPing)
      .Commit();
  TClassBuilder<TGadgetForm>("TGadgetForm", "").Create().Commit();
  return true;
}();

const char* kFull =
    "object Form1: TGadgetForm\n"
    "  object G1: TGadget\n"
    "    Active = False\n"
    "    BeforeOpen = FormBeforeOpen\n"
    "    Count = -42\n"
    "    Enabled = False\n"
    "    Caption = 'It''s'#13#10'ok'\n"
    "    Sep = #9\n"
    "    Shade = shBlue\n"
    "    Marks = [mkA, mkC]\n"
    "    Peer = G2\n"
    "    OnPing = FormPing\n"
    "    object Inner: TGadget\n"
    "      Active = False\n"
    "      Caption = ''\n"
    "      Marks = []\n"
    "      Peer = G1\n"
    "    end\n"
    "  end\n"
    "  object G2: TGadget\n"
    "    Active = False\n"
    "    Caption = 'second'\n"
    "    Sep = ';'\n"
    "    Marks = [mkB]\n"
    "  end\n"
    "end\n";

template <class F>
std::string ReadError(F f) {
  try {
    f();
  } catch (const EReadError& e) {
    return e.what();
  }
  return "(no error)";
}

class FormText : public ::testing::Test {
 protected:
  void SetUp() override { Journal().clear(); }
};

TEST_F(FormText, RoundTripKeepsEveryTypeAndLeavesDefaultsOut) {
  TOwned<TComponent> form(ReadComponentText(kFull, nullptr));
  ASSERT_EQ(form->ClassName(), "TGadgetForm");
  auto* g1 = dynamic_cast<TGadget*>(form->FindComponent("G1"));
  auto* g2 = dynamic_cast<TGadget*>(form->FindComponent("G2"));
  ASSERT_TRUE(g1 && g2);
  EXPECT_EQ(g1->Count(), -42);
  EXPECT_FALSE(g1->Enabled());
  EXPECT_EQ(g1->Caption(), "It's\r\nok");
  EXPECT_EQ(g1->Sep(), '\t');
  EXPECT_EQ(g1->Shade(), shBlue);
  EXPECT_EQ(g1->Marks(), (TMarks{mkA, mkC}));
  EXPECT_EQ(g1->Peer(), g2);
  auto* inner = dynamic_cast<TGadget*>(g1->FindComponent("Inner"));
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->Peer(), g1);  // a reference back to an enclosing component
  g1->Ping();
  EXPECT_EQ(Journal().back(), "ping");
  for (TComponent* c : std::initializer_list<TComponent*>{form.get(), g1, g2, inner}) {
    EXPECT_FALSE(c->IsReading()) << c->Name();
    EXPECT_FALSE(c->ComponentState().Contains(csLoading)) << c->Name();
  }

  EXPECT_EQ(WriteComponentText(*form), kFull);

  // What is at its default stays out; what has none is always there.
  g2->SetCaption("");
  g2->SetSep(',');
  g2->SetMarks({});
  EXPECT_NE(WriteComponentText(*form).find("  object G2: TGadget\n    Active = False\n    Caption = ''\n"
                                           "    Marks = []\n  end\n"),
            std::string::npos);
}

TEST_F(FormText, HandlersSetInCodeAndOutsideReferencesAreNotWritten) {
  TOwned<TGadgetForm> form(new TGadgetForm(nullptr));
  form->SetName("F");
  TOwned<TGadget> stranger(new TGadget(nullptr));
  stranger->SetName("Stranger");
  auto* g = new TGadget(form.get());
  g->SetName("G");
  g->SetPeer(stranger.get());
  g->SetOnPing([](TObject*) {});
  std::string text = WriteComponentText(*form);
  EXPECT_EQ(text.find("Peer"), std::string::npos);
  EXPECT_EQ(text.find("OnPing"), std::string::npos);
  TOwned<TComponent> back(ReadComponentText(text, nullptr));
  EXPECT_EQ(WriteComponentText(*back), text);
}

TEST_F(FormText, ActiveOpensInLoadedAfterReferencesAreRestored) {
  const char* text =
      "object Form1: TGadgetForm\n"
      "  object G1: TGadget\n"
      "    Active = True\n"
      "    BeforeOpen = FormBeforeOpen\n"
      "    AfterOpen = FormAfterOpen\n"
      "    Peer = G2\n"
      "  end\n"
      "  object G2: TGadget\n"
      "    Active = False\n"
      "  end\n"
      "end\n";
  TOwned<TComponent> form(ReadComponentText(text, nullptr));
  auto* g1 = dynamic_cast<TGadget*>(form->FindComponent("G1"));
  auto* g2 = dynamic_cast<TGadget*>(form->FindComponent("G2"));
  EXPECT_TRUE(g1->Active());
  EXPECT_FALSE(g2->Active());
  EXPECT_EQ(Journal(), (std::vector<std::string>{"loaded G1", "before G1", "open G1 peer=G2", "after G1",
                                                 "loaded G2"}));
  // A read form writes Active as it is now.
  EXPECT_NE(WriteComponentText(*form).find("object G1: TGadget\n    Active = True\n"), std::string::npos);
}

TEST_F(FormText, FailedLoadedDestroysTheTreeAndPassesTheFaultOn) {
  const char* text =
      "object Form1: TGadgetForm\n"
      "  object G1: TGadget\n"
      "    Active = True\n"
      "    Caption = 'fail'\n"
      "  end\n"
      "end\n";
  TOwned<TGadgetForm> root(new TGadgetForm(nullptr));
  EXPECT_THROW(ReadRootComponent(text, *root), Exception);
  EXPECT_EQ(root->ComponentCount(), 0);
  EXPECT_FALSE(root->IsReading());
}

TEST_F(FormText, DesigningReachesEveryComponentRead) {
  TOwned<TComponent> form(ReadComponentText(kFull, nullptr, true));
  EXPECT_TRUE(form->IsDesigning());
  EXPECT_TRUE(form->FindComponent("G1")->IsDesigning());
  EXPECT_TRUE(form->FindComponent("G1")->FindComponent("Inner")->IsDesigning());
}

TEST_F(FormText, BadInputNamesTheLineAndLeavesNothingBehind) {
  struct Case {
    std::string Body;
    std::string Error;
  };
  const Case cases[] = {
      {"  object X: TNoSuchClass\n  end\n", "Line 2: Class TNoSuchClass not found"},
      {"  object X: TGadget\n    Colour = shRed\n  end\n", "Line 3: Property Colour does not exist in TGadget"},
      {"  object X: TGadget\n    Count = 'seven'\n  end\n",
       "Line 3: Invalid property value for X.Count: an integer expected"},
      {"  object X: TGadget\n    Count = 4294967296\n  end\n",
       "Line 3: Invalid property value for X.Count: an integer expected"},
      {"  object X: TGadget\n    Enabled = 1\n  end\n",
       "Line 3: Invalid property value for X.Enabled: True or False expected"},
      {"  object X: TGadget\n    Sep = 'ab'\n  end\n",
       "Line 3: Invalid property value for X.Sep: a single character expected"},
      {"  object X: TGadget\n    Shade = shPurple\n  end\n",
       "Line 3: Invalid property value for X.Shade: a value of TShade expected"},
      {"  object X: TGadget\n    Marks = [mkA, mkZ]\n  end\n",
       "Line 3: Invalid property value for X.Marks: mkZ is not an element of TMarks"},
      {"  object X: TGadget\n    Peer = Nobody\n  end\n", "Line 3: Unresolved reference to 'Nobody' in X.Peer"},
      {"  object X: TGadget\n    Peer = Form1\n  end\n",
       "Line 3: Invalid property value for X.Peer: Form1 is not a TGadget"},
      {"  object X: TGadget\n    OnPing = FormMissing\n  end\n", "Line 3: Method 'FormMissing' not found for X.OnPing"},
      {"  object X: TGadget\n    OnPing = FormAfterOpen\n  end\n",
       "Line 3: Method 'FormAfterOpen' is not of type TNotifyEvent for X.OnPing"},
      {"  object X: TGadget\n    Caption = 'refuse'\n  end\n", "Line 3: Error setting X.Caption: Caption refused"},
      {"  object X: TGadget\n    Caption = 'open\n  end\n", "Line 3: Unterminated string"},
      {"  object X: TGadget\n  end\n  object X: TGadget\n  end\n",
       "Line 4: A component named X already exists"},
      {"  object X: TGadget\n    Count = 3\n", "Line 4: Unexpected end of form: 'end' expected"},
      {"  object X: TGadget\n    Count =\n", "Line 4: Unexpected end of form: Property value expected"},
  };
  for (const Case& c : cases) {
    std::string text = "object Form1: TGadgetForm\n  object Ok: TGadget\n  end\n" + c.Body;
    // Shift the expected line by the two lines of the leading component.
    int line = std::stoi(c.Error.substr(5)) + 2;
    std::string expected = "Line " + std::to_string(line) + c.Error.substr(c.Error.find(':'));
    if (c.Error.find("end of form") == std::string::npos) text += "end\n";
    TOwned<TGadgetForm> root(new TGadgetForm(nullptr));
    EXPECT_EQ(ReadError([&] { ReadRootComponent(text, *root); }), expected) << c.Body;
    EXPECT_EQ(root->ComponentCount(), 0) << c.Body;

    TOwned<TComponent> owner(new TGadgetForm(nullptr));
    EXPECT_EQ(ReadError([&] { ReadComponentText(text, owner.get()); }), expected) << c.Body;
    EXPECT_EQ(owner->ComponentCount(), 0) << c.Body;
  }
  EXPECT_TRUE(Journal().empty() || std::none_of(Journal().begin(), Journal().end(),
                                                [](const std::string& s) { return s.rfind("open", 0) == 0; }));
  TOwned<TGadgetForm> root(new TGadgetForm(nullptr));
  EXPECT_EQ(ReadError([&] { ReadRootComponent("object F: TGadget\nend\n", *root); }),
            "Line 1: Form is of class TGadget, not TGadgetForm");
  EXPECT_EQ(ReadError([&] { ReadRootComponent("", *root); }), "Line 1: Unexpected end of form: 'object' expected");
}

TEST(PackageForms, CommGsmAndLoggerRoundTripWithoutTouchingDevices) {
  const char* text =
      "object Modems: TGadgetForm\n"
      "  object Log1: TFileLogger\n"
      "    Active = True\n"
      "    AutoOpen = True\n"
      "    LogFlags = [lfInsertName, lfHexadecimal]\n"
      "    MaxLineLength = 80\n"
      "    LogFile = '/nonexistent/dir/traffic.log'\n"
      "  end\n"
      "  object Comm1: TComm\n"
      "    Active = True\n"
      "    Logger = Log1\n"
      "    LogName = 'COM'\n"
      "    Baudrate = br115200\n"
      "    Options = []\n"
      "    DontSynchronize = False\n"
      "    XonChar = 'Q'\n"
      "    MonitorEvents = [evRxChar, evTxEmpty]\n"
      "    DeviceName = '/dev/nonexistent-port'\n"
      "  end\n"
      "  object GSM1: TGSM\n"
      "    Active = False\n"
      "    Equipment = eqM20\n"
      "    SMSFormat = 1\n"
      "    UnsolicitedIndication = [uindSMSDeliver, uindCellBroadcast]\n"
      "    PIN = '1234'\n"
      "    SCA = '+4912345'\n"
      "    COMDevice = Comm1\n"
      "    RecTimeout = 2000\n"
      "  end\n"
      "end\n";
  TOwned<TComponent> form(ReadComponentText(text, nullptr, true));
  auto* comm = dynamic_cast<CommConnect::TComm*>(form->FindComponent("Comm1"));
  auto* gsm = dynamic_cast<GSM::TGSM*>(form->FindComponent("GSM1"));
  ASSERT_TRUE(comm && gsm);
  EXPECT_TRUE(comm->Active());  // the designer opens without the device
  EXPECT_EQ(comm->Baudrate(), CommConnect::br115200);
  EXPECT_EQ(gsm->COMDevice(), comm);
  EXPECT_EQ(gsm->Equipment(), GSM::eqM20);
  EXPECT_EQ(WriteComponentText(*form), text);
}

TEST(PackageForms, PaletteListsPagesClassesAndProperties) {
  Connect::Register();
  CommConnect::Register();
  GSM::Register();
  auto pages = RegisteredPages();
  ASSERT_NE(std::find(pages.begin(), pages.end(), "Communication"), pages.end());
  auto classes = RegisteredClasses("Communication");
  for (const char* c : {"TFileLogger", "TComm", "TGSM"})
    EXPECT_NE(std::find(classes.begin(), classes.end(), c), classes.end()) << c;

  std::vector<std::string> names;
  for (const TPropInfo* p : GetPropList("TComm")) names.push_back(p->Name);
  const std::vector<std::string> expected = {
      "Active", "BeforeOpen", "BeforeClose", "AfterOpen", "AfterClose", "Logger", "LogName", "OnFormatLog",
      "Baudrate", "Parity", "Stopbits", "Databits", "Options", "DontSynchronize", "FlowControl", "XonChar",
      "XoffChar", "ErrorChar", "EofChar", "EvtChar", "ReadTimeout", "WriteTimeout", "ReadBufSize",
      "WriteBufSize", "MonitorEvents", "OnBreak", "OnCts", "OnDsr", "OnRing", "OnRlsd", "OnError", "OnRxChar",
      "OnRxFlag", "OnTxEmpty", "DeviceName"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(DefaultText(*GetPropInfo("TComm", "XonChar")), "#17");
  EXPECT_EQ(DefaultText(*GetPropInfo("TGSM", "RecTimeout")), "6000");
  EXPECT_EQ(DefaultText(*GetPropInfo("TGSM", "Equipment")), "");
  EXPECT_TRUE(InheritsFrom("TGSM", "TConnection"));
  EXPECT_FALSE(InheritsFrom("TGSM", "TLogConnection"));
}

}  // namespace

#include "halyard/package/Package.h"
#include "halyard/resources/PaletteBitmaps.h"

namespace {

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  return v;
}

TEST(PackageForms, EveryRegisteredComponentButTheSocketHasAPaletteBitmap) {
  Halyard::Package::Register();
  auto classes = RegisteredClasses("Communication");
  EXPECT_EQ(classes.size(), 8u);
  for (const std::string& c : classes) {
    std::string bmp = Resources::PaletteBitmap(UpperCase(c));
    if (c == "TClientSocketConnection") {
      EXPECT_TRUE(bmp.empty());
      continue;
    }
    ASSERT_EQ(bmp.size(), 406u) << c;
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(Le32(bmp, 2), 406u);
    EXPECT_EQ(Le32(bmp, 18), 24u);  // width
    EXPECT_EQ(Le32(bmp, 22), 24u);  // height
    EXPECT_EQ(static_cast<uint8_t>(bmp[28]), 4);  // bits per pixel
    EXPECT_EQ(Le32(bmp, 46), 16u);  // colours
  }
  EXPECT_EQ(Resources::PaletteBitmapNames().size(), 7u);
}

}  // namespace

#include "halyard/tapi/TAPICom.h"
#include "halyard/terminal/Terminal.h"

namespace {

TEST(PackageForms, TerminalCarriesItsTextAndLineComShowsConnected) {
  Package::Register();
  const char* text =
      "object Screen: TGadgetForm\n"
      "  object Term1: TTerminal\n"
      "    FontName = 'Courier New'\n"
      "    Lines = 'ATI'#13#10'OK'\n"
      "    ScrollBars = ssVertical\n"
      "    MaxLines = 500\n"
      "  end\n"
      "end\n";
  TOwned<TComponent> form(ReadComponentText(text, nullptr, true));
  auto* term = dynamic_cast<Terminal::TTerminal*>(form->FindComponent("Term1"));
  ASSERT_NE(term, nullptr);
  EXPECT_EQ(term->Lines().Count(), 2);
  EXPECT_EQ(term->Lines()[1], "OK");
  EXPECT_EQ(term->ScrollBars(), ssVertical);
  EXPECT_EQ(WriteComponentText(*form), text);

  // Connected is published for the inspector, read-only: never stored, never read.
  ASSERT_NE(GetPropInfo("TLineCom", "Connected"), nullptr);
  EXPECT_EQ(GetPropInfo("TLineCom", "Connected")->Kind, tkBoolean);
  TOwned<TComponent> line(ReadComponentText("object L: TLineCom\nend\n", nullptr, true));
  EXPECT_EQ(WriteComponentText(*line).find("Connected"), std::string::npos);
  try {
    TOwned<TComponent> bad(ReadComponentText("object L: TLineCom\n  Connected = True\nend\n", nullptr, true));
    ADD_FAILURE() << "a read-only property was set";
  } catch (const EReadError& e) {
    EXPECT_EQ(std::string(e.what()), "Line 2: Property Connected of TLineCom is read-only");
  }
}

}  // namespace
