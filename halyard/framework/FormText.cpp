#include "halyard/framework/FormText.h"

#include <cctype>
#include <climits>
#include <memory>
#include <unordered_map>

#include "halyard/framework/Registry.h"

namespace Halyard::Framework {

namespace {

[[noreturn]] void Fail(int Line, const std::string& Message) {
  throw EReadError(Format("Line %d: %s", Line, Message));
}

// --- writing ---------------------------------------------------------------------------------

std::string QuoteText(const std::string& S) {
  if (S.empty()) return "''";
  std::string out;
  bool quoted = false;
  for (unsigned char ch : S) {
    bool plain = ch >= 32 && ch < 127;
    if (plain != quoted) {
      out += '\'';
      quoted = plain;
    }
    if (!plain) out += "#" + std::to_string(ch);
    else if (ch == '\'') out += "''";
    else out += static_cast<char>(ch);
  }
  if (quoted) out += '\'';
  return out;
}

bool Within(const TComponent* Target, const TComponent& Root) {
  for (const TComponent* c = Target; c; c = c->Owner())
    if (c == &Root) return true;
  return false;
}

void WriteObject(TComponent& C, TComponent& Root, int Depth, std::string& Out) {
  std::string indent(static_cast<size_t>(Depth) * 2, ' ');
  std::string cls = C.ClassName();
  Out += indent + "object " + (C.Name().empty() ? cls : C.Name() + ": " + cls) + "\n";
  for (const TPropInfo* p : GetPropList(cls)) {
    if (p->ReadOnly()) continue;
    std::string text;
    if (p->Kind == tkMethod) {
      if (!p->Assigned(C)) continue;
      text = C.MethodName(p->Name);
      if (text.empty()) continue;  // a handler set in code has no name to store
    } else {
      TPropValue v = p->Get(C);
      if (p->Default && v == *p->Default) continue;
      if (p->Kind == tkClass) {
        TComponent* target = std::get<TComponent*>(v);
        // A reference outside this form cannot be restored from it.
        if (!target || target->Name().empty() || !Within(target, Root)) continue;
        text = target->Name();
      } else {
        text = PropValueText(*p, v);
      }
    }
    Out += indent + "  " + p->Name + " = " + text + "\n";
  }
  for (int i = 0; i < C.ComponentCount(); ++i) {
    TComponent* child = C.Components(i);
    if (FindClassInfo(child->ClassName())) WriteObject(*child, Root, Depth + 1, Out);
  }
  Out += indent + "end\n";
}

// --- lexing and parsing ------------------------------------------------------------------------

enum TTokenKind { ttEnd, ttIdent, ttInteger, ttString, ttSymbol };

struct TToken {
  TTokenKind Kind = ttEnd;
  std::string Text;  // identifier, decoded string, or the symbol
  int64_t Int = 0;
  int Line = 1;
};

class TLexer {
 public:
  explicit TLexer(const std::string& Text) : S_(Text) {}

  TToken Next() {
    SkipBlanks();
    TToken t;
    t.Line = Line_;
    if (P_ >= S_.size()) return t;
    unsigned char ch = static_cast<unsigned char>(S_[P_]);
    if (std::isalpha(ch) || ch == '_') {
      t.Kind = ttIdent;
      while (P_ < S_.size() && (IsIdentChar(S_[P_]) || S_[P_] == '.')) t.Text += S_[P_++];
      return t;
    }
    if (std::isdigit(ch) || ch == '-' || ch == '$') {
      t.Kind = ttInteger;
      t.Int = Number();
      return t;
    }
    if (ch == '\'' || ch == '#') {
      t.Kind = ttString;
      t.Text = String();
      return t;
    }
    if (ch == ':' || ch == '=' || ch == '[' || ch == ']' || ch == ',') {
      t.Kind = ttSymbol;
      t.Text = std::string(1, static_cast<char>(ch));
      ++P_;
      return t;
    }
    Fail(Line_, Format("Unexpected character #%d", static_cast<int>(ch)));
  }

 private:
  static bool IsIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
  }
  void SkipBlanks() {
    while (P_ < S_.size()) {
      char c = S_[P_];
      if (c == '\n') ++Line_;
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
      ++P_;
    }
  }
  int64_t Number() {
    bool negative = S_[P_] == '-';
    if (negative) ++P_;
    bool hex = P_ < S_.size() && S_[P_] == '$';
    if (hex) ++P_;
    int base = hex ? 16 : 10;
    uint64_t v = 0;
    size_t start = P_;
    while (P_ < S_.size() && std::isxdigit(static_cast<unsigned char>(S_[P_]))) {
      int d = std::isdigit(static_cast<unsigned char>(S_[P_])) ? S_[P_] - '0'
                                                               : std::tolower(S_[P_]) - 'a' + 10;
      if (d >= base) break;
      v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (v > static_cast<uint64_t>(INT64_MAX)) Fail(Line_, "Integer value out of range");
      ++P_;
    }
    if (P_ == start || (P_ < S_.size() && IsIdentChar(S_[P_]))) Fail(Line_, "Invalid number");
    return negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  }
  // Adjacent 'quoted' parts and #nn characters make one string.
  std::string String() {
    std::string out;
    while (P_ < S_.size() && (S_[P_] == '\'' || S_[P_] == '#')) {
      if (S_[P_] == '#') {
        ++P_;
        size_t start = P_;
        int v = 0;
        while (P_ < S_.size() && std::isdigit(static_cast<unsigned char>(S_[P_])) && v <= 255)
          v = v * 10 + (S_[P_++] - '0');
        if (P_ == start || v > 255) Fail(Line_, "Invalid character code in string");
        out += static_cast<char>(v);
        continue;
      }
      ++P_;
      for (;;) {
        if (P_ >= S_.size() || S_[P_] == '\n' || S_[P_] == '\r') Fail(Line_, "Unterminated string");
        if (S_[P_] == '\'') {
          if (P_ + 1 < S_.size() && S_[P_ + 1] == '\'') {
            out += '\'';
            P_ += 2;
            continue;
          }
          ++P_;
          break;
        }
        out += S_[P_++];
      }
    }
    return out;
  }

  const std::string& S_;
  size_t P_ = 0;
  int Line_ = 1;
};

struct TParsedValue {
  TTokenKind Kind = ttEnd;  // ttIdent, ttInteger, ttString, or ttSymbol for a set
  std::string Text;
  int64_t Int = 0;
  std::vector<std::string> Items;
};

struct TParsedProp {
  std::string Name;
  TParsedValue Value;
  int Line = 0;
};

struct TParsedObject {
  std::string Name, ClassName;
  int Line = 0;
  std::vector<TParsedProp> Props;
  std::vector<TParsedObject> Children;
};

class TParser {
 public:
  explicit TParser(const std::string& Text) : Lex_(Text) { Advance(); }

  TParsedObject Form() {
    TParsedObject root = Object();
    if (Tok_.Kind != ttEnd) Fail(Tok_.Line, "Text after the end of the form");
    return root;
  }

 private:
  void Advance() { Tok_ = Lex_.Next(); }
  bool IsWord(const char* w) const { return Tok_.Kind == ttIdent && SameText(Tok_.Text, w); }
  bool IsSymbol(char c) const { return Tok_.Kind == ttSymbol && Tok_.Text[0] == c; }
  std::string Ident(const char* What) {
    if (Tok_.Kind != ttIdent) Expected(What);
    std::string s = Tok_.Text;
    Advance();
    return s;
  }
  [[noreturn]] void Expected(const char* What) const {
    if (Tok_.Kind == ttEnd) Fail(Tok_.Line, Format("Unexpected end of form: %s expected", What));
    Fail(Tok_.Line, Format("%s expected", What));
  }

  TParsedObject Object(int Depth = 0) {
    if (!IsWord("object")) Expected("'object'");
    // Bounds the recursion of a hostile file.
    if (Depth >= 64) Fail(Tok_.Line, "Objects nested too deeply");
    TParsedObject o;
    o.Line = Tok_.Line;
    Advance();
    std::string first = Ident("Component name");
    if (IsSymbol(':')) {
      Advance();
      o.Name = first;
      o.ClassName = Ident("Class name");
    } else {
      o.ClassName = first;
    }
    while (!IsWord("end")) {
      if (Tok_.Kind == ttEnd) Expected("'end'");
      if (IsWord("object")) {
        o.Children.push_back(Object(Depth + 1));
        continue;
      }
      TParsedProp p;
      p.Line = Tok_.Line;
      p.Name = Ident("Property name");
      if (!IsSymbol('=')) Expected("'='");
      Advance();
      p.Value = Value();
      o.Props.push_back(std::move(p));
    }
    Advance();
    return o;
  }

  TParsedValue Value() {
    TParsedValue v;
    v.Kind = Tok_.Kind;
    if (Tok_.Kind == ttIdent || Tok_.Kind == ttString) {
      v.Text = Tok_.Text;
    } else if (Tok_.Kind == ttInteger) {
      v.Int = Tok_.Int;
    } else if (IsSymbol('[')) {
      Advance();
      while (!IsSymbol(']')) {
        v.Items.push_back(Ident("Set element"));
        if (IsSymbol(',')) Advance();
        else if (!IsSymbol(']')) Expected("',' or ']'");
      }
    } else {
      Expected("Property value");
    }
    Advance();
    return v;
  }

  TLexer Lex_;
  TToken Tok_;
};

// --- building ----------------------------------------------------------------------------------

int IndexOfName(const std::vector<std::string>& Names, const std::string& Name) {
  for (size_t i = 0; i < Names.size(); ++i)
    if (SameText(Names[i], Name)) return static_cast<int>(i);
  return -1;
}

TComponent* CreateByName(const TParsedObject& O, TComponent* Owner) {
  const TClassInfo* cls = FindComponentClass(O.ClassName);
  if (!cls) Fail(O.Line, Format("Class %s not found", O.ClassName));
  try {
    return cls->Create(Owner);
  } catch (const std::exception& e) {
    Fail(O.Line, Format("Cannot create %s: %s", O.ClassName, e.what()));
  }
}

struct TFixup {
  TComponent* Component;
  const TPropInfo* Prop;
  std::string Target;
  int Line;
};

class TBuilder {
 public:
  TBuilder(TComponent& Root, bool RootCreated) : Root_(Root), RootCreated_(RootCreated) {}

  void Run(const TParsedObject& Form) {
    try {
      Root_.SetReading(true);
      Read_.push_back(&Root_);
      if (!RootCreated_ && !Form.Name.empty() && Root_.Name().empty()) Root_.SetName(Form.Name);
      Fill(Root_, Form);
      for (const TFixup& f : Fixups_) Resolve(f);
      for (TComponent* c : Read_) c->Loaded();
      for (TComponent* c : Read_) c->SetReading(false);
    } catch (...) {
      Undo();
      throw;
    }
  }

 private:
  void Fill(TComponent& C, const TParsedObject& O) {
    for (const TParsedProp& p : O.Props) SetProp(C, O, p);
    for (const TParsedObject& child : O.Children) Create(C, child);
  }

  void Create(TComponent& Owner, const TParsedObject& O) {
    TComponent* c = CreateByName(O, &Owner);
    Created_.push_back(c);
    c->SetReading(true);
    Read_.push_back(c);
    try {
      c->SetName(O.Name);
    } catch (const std::exception& e) {
      Fail(O.Line, e.what());
    }
    Fill(*c, O);
  }

  std::string Where(const TComponent& C, const TPropInfo& P) const {
    return (C.Name().empty() ? C.ClassName() : C.Name()) + "." + P.Name;
  }

  [[noreturn]] void BadValue(const TComponent& C, const TPropInfo& P, int Line) const {
    std::string expected;
    switch (P.Kind) {
      case tkInteger: expected = "an integer"; break;
      case tkBoolean: expected = "True or False"; break;
      case tkString: expected = "a string"; break;
      case tkChar: expected = "a single character"; break;
      case tkEnumeration: expected = "a value of " + P.TypeName; break;
      case tkSet: expected = "a set of " + P.TypeName; break;
      case tkClass: expected = "a component name"; break;
      case tkMethod: expected = "a method name"; break;
    }
    Fail(Line, Format("Invalid property value for %s: %s expected", Where(C, P), expected));
  }

  void SetProp(TComponent& C, const TParsedObject& O, const TParsedProp& PP) {
    const TPropInfo* p = GetPropInfo(C.ClassName(), PP.Name);
    if (!p)
      Fail(PP.Line, Format("Property %s does not exist in %s", PP.Name, O.ClassName));
    if (p->ReadOnly()) Fail(PP.Line, Format("Property %s of %s is read-only", p->Name, O.ClassName));
    const TParsedValue& v = PP.Value;
    TPropValue value;
    switch (p->Kind) {
      case tkInteger:
        if (v.Kind != ttInteger || v.Int < INT32_MIN || v.Int > INT32_MAX) BadValue(C, *p, PP.Line);
        value = v.Int;
        break;
      case tkBoolean:
        if (v.Kind != ttIdent || (!SameText(v.Text, "True") && !SameText(v.Text, "False")))
          BadValue(C, *p, PP.Line);
        value = SameText(v.Text, "True");
        break;
      case tkString:
        if (v.Kind != ttString) BadValue(C, *p, PP.Line);
        value = v.Text;
        break;
      case tkChar:
        if (v.Kind != ttString || v.Text.size() != 1) BadValue(C, *p, PP.Line);
        value = int64_t{static_cast<unsigned char>(v.Text[0])};
        break;
      case tkEnumeration: {
        int i = v.Kind == ttIdent ? IndexOfName(p->ValueNames, v.Text) : -1;
        if (i < 0) BadValue(C, *p, PP.Line);
        value = int64_t{i};
        break;
      }
      case tkSet: {
        if (v.Kind != ttSymbol) BadValue(C, *p, PP.Line);
        uint64_t bits = 0;
        for (const std::string& item : v.Items) {
          int i = IndexOfName(p->ValueNames, item);
          if (i < 0 || i >= 64)
            Fail(PP.Line, Format("Invalid property value for %s: %s is not an element of %s", Where(C, *p), item, p->TypeName));
          bits |= uint64_t{1} << i;
        }
        value = static_cast<int64_t>(bits);
        break;
      }
      case tkClass:
      case tkMethod:
        if (v.Kind != ttIdent) BadValue(C, *p, PP.Line);
        Fixups_.push_back({&C, p, v.Text, PP.Line});
        return;
    }
    Apply(PP.Line, C, *p, [&] { p->Set(C, value); });
  }

  template <class F>
  void Apply(int Line, TComponent& C, const TPropInfo& P, F Step) {
    try {
      Step();
    } catch (const EReadError&) {
      throw;
    } catch (const std::exception& e) {
      Fail(Line, Format("Error setting %s: %s", Where(C, P), e.what()));
    }
  }

  TComponent* FindInForm(const std::string& Name) {
    if (SameText(Root_.Name(), Name)) return &Root_;
    if (ByName_.empty())
      for (TComponent* c : Read_)
        if (!c->Name().empty()) ByName_.emplace(UpperCase(c->Name()), c);  // first of a name wins
    if (auto it = ByName_.find(UpperCase(Name)); it != ByName_.end()) return it->second;
    // Components the root already owned before this read.
    return FindDeep(Root_, Name);
  }
  static TComponent* FindDeep(const TComponent& Owner, const std::string& Name) {
    if (TComponent* c = Owner.FindComponent(Name)) return c;
    for (int i = 0; i < Owner.ComponentCount(); ++i)
      if (TComponent* c = FindDeep(*Owner.Components(i), Name)) return c;
    return nullptr;
  }

  void Resolve(const TFixup& F) {
    TComponent& C = *F.Component;
    const TPropInfo& P = *F.Prop;
    if (P.Kind == tkClass) {
      TComponent* target = nullptr;
      if (!SameText(F.Target, "nil")) {
        target = FindInForm(F.Target);
        if (!target)
          Fail(F.Line, Format("Unresolved reference to '%s' in %s", F.Target, Where(C, P)));
        if (!P.Accepts(target))
          Fail(F.Line, Format("Invalid property value for %s: %s is not a %s", Where(C, P), F.Target, P.TypeName));
      }
      Apply(F.Line, C, P, [&] { P.Set(C, target); });
      return;
    }
    const std::any* method = Root_.MethodAddress(F.Target);
    if (!method)
      Fail(F.Line, Format("Method '%s' not found for %s", F.Target, Where(C, P)));
    bool fits = true;
    Apply(F.Line, C, P, [&] { fits = P.SetMethod(C, method); });
    if (!fits)
      Fail(F.Line, Format("Method '%s' is not of type %s for %s", F.Target, P.TypeName, Where(C, P)));
    C.SetMethodName(P.Name, F.Target);
  }

  // Destroys what this read created, newest first; the ones owned by another created
  // component go with it.
  void Undo() {
    for (auto it = Created_.rbegin(); it != Created_.rend(); ++it) {
      TComponent* c = *it;
      bool ownedByCreated = false;
      for (TComponent* o : Created_) ownedByCreated = ownedByCreated || (o == c->Owner());
      if (!ownedByCreated) c->Free();
    }
    Created_.clear();
    Root_.SetReading(false);
  }

  TComponent& Root_;
  bool RootCreated_;
  std::vector<TComponent*> Created_;
  std::vector<TComponent*> Read_;
  std::vector<TFixup> Fixups_;
  std::unordered_map<std::string, TComponent*> ByName_;
};

std::string ReadWholeFile(const std::string& FileName) {
  TFileStream f(FileName, fmOpenRead | fmShareDenyWrite);
  std::string text(static_cast<size_t>(f.Size()), '\0');
  if (!text.empty()) f.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
  return text;
}

}  // namespace

std::string PropValueText(const TPropInfo& Info, const TPropValue& Value) {
  switch (Info.Kind) {
    case tkInteger: return std::to_string(std::get<int64_t>(Value));
    case tkBoolean: return std::get<bool>(Value) ? "True" : "False";
    case tkString: return QuoteText(std::get<std::string>(Value));
    case tkChar: return QuoteText(std::string(1, static_cast<char>(std::get<int64_t>(Value))));
    case tkEnumeration: {
      auto i = std::get<int64_t>(Value);
      if (i >= 0 && i < static_cast<int64_t>(Info.ValueNames.size())) return Info.ValueNames[static_cast<size_t>(i)];
      return std::to_string(i);
    }
    case tkSet: {
      auto bits = static_cast<uint64_t>(std::get<int64_t>(Value));
      std::string out = "[";
      for (size_t i = 0; i < Info.ValueNames.size() && i < 64; ++i)
        if (bits & (uint64_t{1} << i)) out += (out.size() > 1 ? ", " : "") + Info.ValueNames[i];
      return out + "]";
    }
    case tkClass: {
      TComponent* c = std::get<TComponent*>(Value);
      return c ? c->Name() : "nil";
    }
    case tkMethod: break;
  }
  return {};
}

std::string WriteComponentText(TComponent& Root) {
  std::string out;
  WriteObject(Root, Root, 0, out);
  return out;
}

void WriteComponentFile(const std::string& FileName, TComponent& Root) {
  std::string text = WriteComponentText(Root);
  TFileStream f(FileName, fmCreate);
  f.WriteString(text);
}

TComponent* ReadComponentText(const std::string& Text, TComponent* AOwner, bool Designing) {
  TParsedObject form = TParser(Text).Form();
  TOwned<TComponent> root(CreateByName(form, nullptr));
  if (Designing) root->SetDesigning(true);
  try {
    root->SetName(form.Name);
  } catch (const std::exception& e) {
    Fail(form.Line, e.what());
  }
  TBuilder(*root, true).Run(form);
  if (AOwner) AOwner->InsertComponent(root.get());
  return root.release();
}

TComponent* ReadComponentFile(const std::string& FileName, TComponent* AOwner, bool Designing) {
  return ReadComponentText(ReadWholeFile(FileName), AOwner, Designing);
}

void ReadRootComponent(const std::string& Text, TComponent& Root, bool Designing) {
  TParsedObject form = TParser(Text).Form();
  if (!SameText(form.ClassName, Root.ClassName()))
    Fail(form.Line, Format("Form is of class %s, not %s", form.ClassName, Root.ClassName()));
  if (Designing) Root.SetDesigning(true);
  TBuilder(Root, false).Run(form);
}

}  // namespace Halyard::Framework
