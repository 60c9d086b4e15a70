#include "halyard/framework/Classes.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "halyard/framework/Threads.h"

namespace Halyard::Framework {

std::string TObject::ClassName() const {
  int status = 0;
  const char* mangled = typeid(*this).name();
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                    std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  auto colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

// --- TComponent ----------------------------------------------------------------------------

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  if (!BeforeDestructionDone_) {
    std::fprintf(stderr,
                 "halyard: component '%s' was deleted without Free(); its clean-up did not run\n",
                 Name_.c_str());
    std::abort();
  }
  NotifyFreeNotifies();
  DestroyComponents();
  if (Owner_) Owner_->RemoveComponent(this);
}

void TComponent::Free() {
  if (!BeforeDestructionDone_) {
    BeforeDestructionDone_ = true;
    Destroying();
    try {
      BeforeDestruction();
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
    // While the object is still whole: holders of a reference clear it before any
    // descendant's destructor takes the object apart.
    NotifyFreeNotifies();
  }
  delete this;
}

void TComponent::NotifyFreeNotifies() {
  while (!FreeNotifies_.empty()) {
    TComponent* c = FreeNotifies_.back();
    FreeNotifies_.pop_back();
    auto& theirs = c->FreeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
    c->Notification(this, opRemove);
  }
}

void TComponent::BeforeDestruction() {}

void TComponent::Destroying() {
  if (State_.Contains(csDestroying)) return;
  State_.Include(csDestroying);
  for (TComponent* c : Components_) c->Destroying();
}

void TComponent::SetName(const std::string& NewName) {
  if (NewName == Name_) return;
  if (!NewName.empty()) {
    bool valid = !std::isdigit(static_cast<unsigned char>(NewName[0]));
    for (char ch : NewName)
      if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '_') valid = false;
    if (!valid) throw EComponentError("'" + NewName + "' is not a valid component name");
    if (Owner_) {
      TComponent* other = Owner_->FindComponent(NewName);
      if (other && other != this)
        throw EComponentError("A component named " + NewName + " already exists");
    }
  }
  Name_ = NewName;
}

void TComponent::SetReading(bool Value) {
  if (Value) {
    State_.Include(csReading);
    State_.Include(csLoading);
  } else {
    State_.Exclude(csReading);
    State_.Exclude(csLoading);
  }
}

void TComponent::SetDesigning(bool Value, bool SetChildren) {
  if (Value) State_.Include(csDesigning);
  else State_.Exclude(csDesigning);
  if (SetChildren)
    for (TComponent* c : Components_) c->SetDesigning(Value, true);
}

void TComponent::Loaded() { State_.Exclude(csLoading); }

TComponent* TComponent::Components(int Index) const {
  if (Index < 0 || Index >= ComponentCount()) ListIndexError(Index);
  return Components_[static_cast<size_t>(Index)];
}

TComponent* TComponent::FindComponent(const std::string& AName) const {
  if (AName.empty()) return nullptr;
  for (TComponent* c : Components_)
    if (SameText(c->Name(), AName)) return c;
  return nullptr;
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->Owner_ == this) return;
  if (AComponent->Owner_) AComponent->Owner_->RemoveComponent(AComponent);
  Insert(AComponent);
  if (IsDesigning()) AComponent->SetDesigning(true);
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->Owner_ != this) return;
  Notification(AComponent, opRemove);
  Remove(AComponent);
}

void TComponent::Insert(TComponent* c) {
  ++Generation_;
  Components_.push_back(c);
  c->Owner_ = this;
}

void TComponent::Remove(TComponent* c) {
  ++Generation_;
  Components_.erase(std::remove(Components_.begin(), Components_.end(), c), Components_.end());
  c->Owner_ = nullptr;
}

void TComponent::DestroyComponents() {
  while (!Components_.empty()) {
    TComponent* c = Components_.back();
    Remove(c);
    c->Free();
  }
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(FreeNotifies_.begin(), FreeNotifies_.end(), AComponent) == FreeNotifies_.end())
    FreeNotifies_.push_back(AComponent);
  auto& theirs = AComponent->FreeNotifies_;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  FreeNotifies_.erase(std::remove(FreeNotifies_.begin(), FreeNotifies_.end(), AComponent),
                      FreeNotifies_.end());
  auto& theirs = AComponent->FreeNotifies_;
  theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent) RemoveFreeNotification(AComponent);
  // A handler may destroy components: walk a copy, and look a component up again only when
  // the list has changed meanwhile.
  std::vector<TComponent*> owned = Components_;
  uint64_t generation = Generation_;
  for (TComponent* c : owned)
    if (generation == Generation_ || std::find(Components_.begin(), Components_.end(), c) != Components_.end())
      c->Notification(AComponent, Operation);
}

void TComponent::PublishAny(const std::string& MethodName, std::any Method) {
  for (auto& [name, m] : Methods_)
    if (SameText(name, MethodName)) {
      m = std::move(Method);
      return;
    }
  Methods_.emplace_back(MethodName, std::move(Method));
}

const std::any* TComponent::MethodAddress(const std::string& MethodName) const {
  for (const auto& [name, m] : Methods_)
    if (SameText(name, MethodName)) return &m;
  return nullptr;
}

std::string TComponent::MethodName(const std::string& EventName) const {
  for (const auto& [event, method] : MethodNames_)
    if (SameText(event, EventName)) return method;
  return {};
}

void TComponent::SetMethodName(const std::string& EventName, const std::string& MethodName) {
  for (auto it = MethodNames_.begin(); it != MethodNames_.end(); ++it)
    if (SameText(it->first, EventName)) {
      if (MethodName.empty()) MethodNames_.erase(it);
      else it->second = MethodName;
      return;
    }
  if (!MethodName.empty()) MethodNames_.emplace_back(EventName, MethodName);
}

// --- lists ---------------------------------------------------------------------------------

void ListIndexError(int Index) { throw EListError(Format("List index out of bounds (%d)", Index)); }

TStringList::~TStringList() {
  if (OwnsObjects_)
    for (auto& e : Items_) delete e.Obj;
}

void TStringList::Check(int Index) const {
  if (Index < 0 || Index >= Count()) throw EStringListError(Format("List index out of bounds (%d)", Index));
}

void TStringList::Changing() {
  if (UpdateCount_ == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
  if (UpdateCount_ == 0 && OnChange) OnChange(this);
}

void TStringList::Drop(TObject* o) {
  if (OwnsObjects_) delete o;
}

bool TStringList::Same(const std::string& a, const std::string& b) const {
  return CaseSensitive_ ? a == b : SameText(a, b);
}

int TStringList::Add(const std::string& S) { return AddObject(S, nullptr); }

int TStringList::AddObject(const std::string& S, TObject* AObject) {
  InsertObject(Count(), S, AObject);
  return Count() - 1;
}

void TStringList::Insert(int Index, const std::string& S) { InsertObject(Index, S, nullptr); }

void TStringList::InsertObject(int Index, const std::string& S, TObject* AObject) {
  if (Index < 0 || Index > Count()) throw EStringListError(Format("List index out of bounds (%d)", Index));
  Changing();
  Items_.insert(Items_.begin() + Index, Entry{S, AObject});
  Changed();
}

void TStringList::Delete(int Index) {
  Check(Index);
  Changing();
  TObject* o = Items_[static_cast<size_t>(Index)].Obj;
  Items_.erase(Items_.begin() + Index);
  Drop(o);
  Changed();
}

void TStringList::DeleteRange(int Index, int Count) {
  if (Count <= 0) return;
  Check(Index);
  Check(Index + Count - 1);
  Changing();
  std::vector<Entry> gone(std::make_move_iterator(Items_.begin() + Index),
                          std::make_move_iterator(Items_.begin() + Index + Count));
  Items_.erase(Items_.begin() + Index, Items_.begin() + Index + Count);
  for (auto& e : gone) Drop(e.Obj);
  Changed();
}

std::string& TStringList::Edit(int Index) {
  Check(Index);
  return Items_[static_cast<size_t>(Index)].S;
}

void TStringList::Clear() {
  if (Items_.empty()) return;
  Changing();
  std::vector<Entry> old;
  old.swap(Items_);
  for (auto& e : old) Drop(e.Obj);
  Changed();
}

void TStringList::Exchange(int Index1, int Index2) {
  Check(Index1);
  Check(Index2);
  Changing();
  std::swap(Items_[static_cast<size_t>(Index1)], Items_[static_cast<size_t>(Index2)]);
  Changed();
}

const std::string& TStringList::Strings(int Index) const {
  Check(Index);
  return Items_[static_cast<size_t>(Index)].S;
}

void TStringList::Put(int Index, const std::string& S) {
  Check(Index);
  Changing();
  Items_[static_cast<size_t>(Index)].S = S;
  Changed();
}

TObject* TStringList::Objects(int Index) const {
  Check(Index);
  return Items_[static_cast<size_t>(Index)].Obj;
}

void TStringList::PutObject(int Index, TObject* AObject) {
  Check(Index);
  Changing();
  TObject*& slot = Items_[static_cast<size_t>(Index)].Obj;
  if (slot != AObject) Drop(slot);
  slot = AObject;
  Changed();
}

TObject* TStringList::ExtractObject(int Index) {
  Check(Index);
  TObject* o = Items_[static_cast<size_t>(Index)].Obj;
  Items_[static_cast<size_t>(Index)].Obj = nullptr;
  return o;
}

int TStringList::IndexOf(const std::string& S) const {
  for (int i = 0; i < Count(); ++i)
    if (Same(Items_[static_cast<size_t>(i)].S, S)) return i;
  return -1;
}

int TStringList::IndexOfName(const std::string& Name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = Items_[static_cast<size_t>(i)].S;
    auto eq = s.find('=');
    if (eq != std::string::npos && Same(s.substr(0, eq), Name)) return i;
  }
  return -1;
}

int TStringList::IndexOfObject(const TObject* AObject) const {
  for (int i = 0; i < Count(); ++i)
    if (Items_[static_cast<size_t>(i)].Obj == AObject) return i;
  return -1;
}

std::string TStringList::Names(int Index) const {
  const std::string& s = Strings(Index);
  auto eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int Index) const {
  const std::string& s = Strings(Index);
  auto eq = s.find('=');
  return eq == std::string::npos ? std::string() : s.substr(eq + 1);
}

std::string TStringList::GetValue(const std::string& Name) const {
  int i = IndexOfName(Name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValue(const std::string& Name, const std::string& Value) {
  int i = IndexOfName(Name);
  if (Value.empty()) {
    if (i >= 0) Delete(i);
  } else if (i < 0) {
    Add(Name + "=" + Value);
  } else {
    Put(i, Name + "=" + Value);
  }
}

std::string TStringList::Text() const {
  std::string out;
  for (auto& e : Items_) {
    out += e.S;
    out += '\n';
  }
  return out;
}

void TStringList::SetText(const std::string& Value) {
  BeginUpdate();
  try {
    Clear();
    size_t i = 0;
    while (i < Value.size()) {
      size_t j = Value.find_first_of("\r\n", i);
      if (j == std::string::npos) {
        Add(Value.substr(i));
        break;
      }
      Add(Value.substr(i, j - i));
      i = j + 1;
      if (Value[j] == '\r' && i < Value.size() && Value[i] == '\n') ++i;
    }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TStringList::Assign(const TStringList& Source) {
  if (&Source == this) return;
  BeginUpdate();
  Clear();
  for (auto& e : Source.Items_) Items_.push_back(Entry{e.S, OwnsObjects_ ? nullptr : e.Obj});
  EndUpdate();
}

void TStringList::BeginUpdate() {
  if (UpdateCount_ == 0) Changing();
  ++UpdateCount_;
}

void TStringList::EndUpdate() {
  if (UpdateCount_ == 0) return;
  if (--UpdateCount_ == 0) Changed();
}

// --- streams -------------------------------------------------------------------------------

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

namespace {
constexpr const char* kSharingViolation =
    "The process cannot access the file because it is being used by another process";
}

TFileStream::TFileStream(const std::string& FileName, unsigned Mode) : FileName_(FileName) {
  int lockOp = 0;
  if (Mode == fmCreate) {
    Fd_ = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (Fd_ < 0)
      throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName, SysErrorMessage(errno)));
    lockOp = LOCK_EX;
  } else {
    unsigned access = Mode & 3;
    unsigned share = Mode & 0xF0;
    int flags = access == fmOpenWrite ? O_WRONLY : access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    Fd_ = ::open(FileName.c_str(), flags | O_CLOEXEC);
    if (Fd_ < 0)
      throw EFOpenError(Format("Cannot open file \"%s\". %s", FileName, SysErrorMessage(errno)));
    bool writing = access != fmOpenRead;
    if (share == fmShareExclusive) lockOp = LOCK_EX;
    else if (share == fmShareDenyWrite) lockOp = writing ? LOCK_EX : LOCK_SH;
    else if (writing) lockOp = LOCK_SH;  // so that a deny-write holder refuses us
  }
  if (lockOp) {
    int r;
    do r = ::flock(Fd_, lockOp | LOCK_NB);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
      ::close(Fd_);
      Fd_ = -1;
      if (Mode == fmCreate)
        throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName, kSharingViolation));
      throw EFOpenError(Format("Cannot open file \"%s\". %s", FileName, kSharingViolation));
    }
  }
  // Truncate only once the lock is ours, so a refused creator destroys nothing.
  if (Mode == fmCreate && ::ftruncate(Fd_, 0) < 0) {
    int e = errno;
    ::close(Fd_);
    Fd_ = -1;
    throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName, SysErrorMessage(e)));
  }
}

TFileStream::~TFileStream() {
  if (Fd_ >= 0) ::close(Fd_);
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
  int64_t done = 0;
  auto* p = static_cast<char*>(Buffer);
  while (done < Count) {
    ssize_t n = ::read(Fd_, p + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
  int64_t done = 0;
  auto* p = static_cast<const char*>(Buffer);
  while (done < Count) {
    ssize_t n = ::write(Fd_, p + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(Fd_, static_cast<off_t>(Offset), whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void TFileStream::SetSize(int64_t NewSize) {
  if (::ftruncate(Fd_, static_cast<off_t>(NewSize)) < 0) throw EStreamError(SysErrorMessage(errno));
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || Pos_ >= Size()) return 0;
  int64_t n = std::min(Count, Size() - Pos_);
  std::memcpy(Buffer, Data_.data() + Pos_, static_cast<size_t>(n));
  Pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  if (Pos_ + Count > Size()) Data_.resize(static_cast<size_t>(Pos_ + Count));
  std::memcpy(Data_.data() + Pos_, Buffer, static_cast<size_t>(Count));
  Pos_ += Count;
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? Pos_ : Size();
  Pos_ = std::max<int64_t>(0, base + Offset);
  return Pos_;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  Data_.resize(static_cast<size_t>(std::max<int64_t>(0, NewSize)));
  Pos_ = std::min(Pos_, Size());
}

}  // namespace Halyard::Framework
