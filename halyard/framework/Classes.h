#pragma once
// Components, lists and streams of the host layer.
#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "halyard/framework/Set.h"
#include "halyard/framework/SysUtils.h"

namespace Halyard::Framework {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
  // The class name without namespaces, e.g. "TComm".
  virtual std::string ClassName() const;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// --- components ----------------------------------------------------------------------------

enum TComponentStateFlag { csLoading, csReading, csWriting, csDestroying, csDesigning };
using TComponentState = Set<TComponentStateFlag>;
enum TOperation { opInsert, opRemove };

// A component belongs to its owner, which destroys it. It ends in two steps: the virtual
// BeforeDestruction() while the object is still whole (descendants close and stop threads
// there), then the destructor chain. Free(), the owner and TComponentDeleter take both steps;
// a plain delete that skips the first one aborts the program with a message, because the
// descendant's clean-up would silently not have run.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  void Free();
  virtual void BeforeDestruction();

  TComponent* Owner() const { return Owner_; }
  const std::string& Name() const { return Name_; }
  virtual void SetName(const std::string& NewName);
  TComponentState ComponentState() const { return State_; }
  bool IsReading() const { return State_.Contains(csReading); }
  bool IsDesigning() const { return State_.Contains(csDesigning); }
  bool IsDestroying() const { return State_.Contains(csDestroying); }

  // The streaming layer and the designer drive these states.
  void SetReading(bool Value);
  void SetDesigning(bool Value, bool SetChildren = true);
  // Marks the component (and what it owns) as being destroyed.
  void Destroying();
  // Notification that the component has been read completely.
  virtual void Loaded();

  int ComponentCount() const { return static_cast<int>(Components_.size()); }
  TComponent* Components(int Index) const;
  TComponent* FindComponent(const std::string& AName) const;
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  // Ask to be told (Notification with opRemove) when AComponent is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  // Handlers this component offers by name to the event properties of a form it roots
  // (the form's methods). F is the event's handler type.
  template <class F>
  void PublishMethod(const std::string& MethodName, F Method) {
    PublishAny(MethodName, std::any(std::move(Method)));
  }
  const std::any* MethodAddress(const std::string& MethodName) const;
  // The handler name that a form gave an event property of this component; empty when the
  // handler was set in code or not at all.
  std::string MethodName(const std::string& EventName) const;
  void SetMethodName(const std::string& EventName, const std::string& MethodName);

 protected:
  virtual void Notification(TComponent* AComponent, TOperation Operation);

 private:
  void Insert(TComponent* c);
  void Remove(TComponent* c);
  void DestroyComponents();
  void NotifyFreeNotifies();

  TComponent* Owner_ = nullptr;
  std::string Name_;
  TComponentState State_;
  bool BeforeDestructionDone_ = false;
  std::vector<TComponent*> Components_;
  uint64_t Generation_ = 0;  // changes with every insertion into or removal from Components_
  std::vector<TComponent*> FreeNotifies_;
  std::vector<std::pair<std::string, std::any>> Methods_;
  std::vector<std::pair<std::string, std::string>> MethodNames_;

  void PublishAny(const std::string& MethodName, std::any Method);
};

struct TComponentDeleter {
  void operator()(TComponent* c) const {
    if (c) c->Free();
  }
};
template <class T>
using TOwned = std::unique_ptr<T, TComponentDeleter>;
template <class T, class... A>
TOwned<T> MakeComponent(A&&... args) {
  return TOwned<T>(new T(std::forward<A>(args)...));
}

// --- lists ---------------------------------------------------------------------------------

[[noreturn]] void ListIndexError(int Index);

// An ordered list of plain pointers (not owned).
template <class T = void>
class TList {
 public:
  using Item = T*;
  int Add(Item p) {
    Items_.push_back(p);
    return Count() - 1;
  }
  void Insert(int Index, Item p) {
    if (Index < 0 || Index > Count()) ListIndexError(Index);
    Items_.insert(Items_.begin() + Index, p);
  }
  void Delete(int Index) {
    Check(Index);
    Items_.erase(Items_.begin() + Index);
  }
  int Remove(Item p) {
    int i = IndexOf(p);
    if (i >= 0) Delete(i);
    return i;
  }
  int IndexOf(Item p) const {
    for (int i = 0; i < Count(); ++i)
      if (Items_[static_cast<size_t>(i)] == p) return i;
    return -1;
  }
  void Clear() { Items_.clear(); }
  int Count() const { return static_cast<int>(Items_.size()); }
  Item Items(int Index) const {
    Check(Index);
    return Items_[static_cast<size_t>(Index)];
  }
  Item operator[](int Index) const { return Items(Index); }
  void Put(int Index, Item p) {
    Check(Index);
    Items_[static_cast<size_t>(Index)] = p;
  }
  Item First() const { return Items(0); }
  Item Last() const { return Items(Count() - 1); }

 private:
  void Check(int Index) const {
    if (Index < 0 || Index >= Count()) ListIndexError(Index);
  }
  std::vector<Item> Items_;
};

// Ordered strings with attached objects and name=value access. Names compare without regard
// to ASCII case. With OwnsObjects the list deletes the objects it drops.
class TStringList : public TObject {
 public:
  TStringList() = default;
  ~TStringList() override;

  int Count() const { return static_cast<int>(Items_.size()); }
  int Add(const std::string& S);
  int AddObject(const std::string& S, TObject* AObject);
  void Insert(int Index, const std::string& S);
  void InsertObject(int Index, const std::string& S, TObject* AObject);
  void Delete(int Index);
  // Deletes Count entries from Index on, with one change notification.
  void DeleteRange(int Index, int Count);
  void Clear();
  void Exchange(int Index1, int Index2);

  const std::string& Strings(int Index) const;
  const std::string& operator[](int Index) const { return Strings(Index); }
  void Put(int Index, const std::string& S);
  // The string at Index, to be changed in place. No change notification is sent: for lists
  // that are being built up, such as a working copy.
  std::string& Edit(int Index);
  TObject* Objects(int Index) const;
  void PutObject(int Index, TObject* AObject);
  // Hands the object at Index to the caller: the list keeps the string, no longer the object.
  TObject* ExtractObject(int Index);

  int IndexOf(const std::string& S) const;
  int IndexOfName(const std::string& Name) const;
  int IndexOfObject(const TObject* AObject) const;
  std::string Names(int Index) const;
  std::string ValueFromIndex(int Index) const;
  std::string GetValue(const std::string& Name) const;
  // An empty value removes the entry.
  void SetValue(const std::string& Name, const std::string& Value);

  // Lines joined by LF; SetText splits on CR LF, LF or CR.
  std::string Text() const;
  void SetText(const std::string& Value);
  void Assign(const TStringList& Source);

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return UpdateCount_; }

  bool OwnsObjects() const { return OwnsObjects_; }
  void SetOwnsObjects(bool v) { OwnsObjects_ = v; }
  bool CaseSensitive() const { return CaseSensitive_; }
  void SetCaseSensitive(bool v) { CaseSensitive_ = v; }

  TNotifyEvent OnChange;
  TNotifyEvent OnChanging;

  auto begin() const { return Items_.begin(); }
  auto end() const { return Items_.end(); }
  struct Entry {
    std::string S;
    TObject* Obj = nullptr;
  };

 private:
  void Check(int Index) const;
  void Changing();
  void Changed();
  void Drop(TObject* o);
  bool Same(const std::string& a, const std::string& b) const;

  std::vector<Entry> Items_;
  int UpdateCount_ = 0;
  bool OwnsObjects_ = false;
  bool CaseSensitive_ = false;
};

// --- streams -------------------------------------------------------------------------------

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
 public:
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
  virtual int64_t Size();
  virtual void SetSize(int64_t NewSize) = 0;

  // Raise EReadError / EWriteError unless all Count bytes move.
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  void WriteString(const std::string& S) { WriteBuffer(S.data(), static_cast<int64_t>(S.size())); }
};

constexpr unsigned fmCreate = 0xFFFF;
constexpr unsigned fmOpenRead = 0x0000;
constexpr unsigned fmOpenWrite = 0x0001;
constexpr unsigned fmOpenReadWrite = 0x0002;
constexpr unsigned fmShareCompat = 0x0000;
constexpr unsigned fmShareExclusive = 0x0010;
constexpr unsigned fmShareDenyWrite = 0x0020;
constexpr unsigned fmShareDenyRead = 0x0030;
constexpr unsigned fmShareDenyNone = 0x0040;

// A file opened by name. The sharing modes are kept with advisory locks (flock) between
// every opener that uses this class: a handle opened for writing with fmShareDenyWrite or
// fmShareExclusive refuses every other writer, in this process or another.
class TFileStream : public TStream {
 public:
  TFileStream(const std::string& FileName, unsigned Mode);
  ~TFileStream() override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;
  const std::string& FileName() const { return FileName_; }
  int Handle() const { return Fd_; }

 private:
  std::string FileName_;
  int Fd_ = -1;
};

class TMemoryStream : public TStream {
 public:
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;
  int64_t Size() override { return static_cast<int64_t>(Data_.size()); }
  const std::string& DataString() const { return Data_; }
  void Clear() {
    Data_.clear();
    Pos_ = 0;
  }

 private:
  std::string Data_;
  int64_t Pos_ = 0;
};

}  // namespace Halyard::Framework
