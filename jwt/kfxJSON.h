// A small JSON document model with its own lenient reader and a writer whose
// output is always valid JSON.
//
// A document (TkfxJSON) is an ordered list of nodes (TkfxObjectJSON); object
// and list nodes own a nested document. Values keep their text form: a string
// read from text holds the raw text between its quotes (escapes left as they
// are) and a number its digits, so reading and writing gives back the tokens.
//
// Lifetime: documents and nodes are reference counted through their
// interfaces (IkfxJSON, IkfxObjectJSON held by TInterfaceRef) and also have an
// owner that asks for their destruction. An object is freed once destruction
// was asked for and no interface reference is left; a reference therefore
// keeps a node usable after its document let go of it. Create them with new
// (or NewJSONDocument) and end them with Destroy(), never with delete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "rtl/Classes.h"

enum class TkfxJSONtype {
  kfxJSONUndefined,
  kfxJSONObject,
  kfxJSONList,
  kfxJSONString,
  kfxJSONNumber,
  kfxJSONBoolean,
  kfxJSONNull
};

// A node's value: nothing, text, integer, 64-bit integer, floating point or boolean.
using TkfxJSONValue = std::variant<std::monostate, std::string, int32_t, int64_t, double, bool>;
// The value as text: numbers in decimal (floating point in the shortest
// general form with up to 15 significant digits and a point as decimal
// separator, whatever the locale), booleans as true/false, nothing as the
// empty text.
std::string JSONValueText(const TkfxJSONValue& aValue);

// The reference-counted base interface.
class IInterface {
 public:
  virtual int32_t _AddRef() = 0;
  virtual int32_t _Release() = 0;

 protected:
  ~IInterface() = default;
};

// An interface reference: counts itself on the object it refers to.
template <class I>
class TInterfaceRef {
 public:
  TInterfaceRef() = default;
  TInterfaceRef(std::nullptr_t) {}
  TInterfaceRef(I* aIntf) : FIntf(aIntf) {
    if (FIntf) FIntf->_AddRef();
  }
  TInterfaceRef(const TInterfaceRef& aOther) : TInterfaceRef(aOther.FIntf) {}
  TInterfaceRef(TInterfaceRef&& aOther) noexcept : FIntf(std::exchange(aOther.FIntf, nullptr)) {}
  TInterfaceRef& operator=(TInterfaceRef aOther) noexcept {
    std::swap(FIntf, aOther.FIntf);
    return *this;
  }
  ~TInterfaceRef() {
    if (FIntf) FIntf->_Release();
  }

  I* get() const { return FIntf; }
  I* operator->() const { return FIntf; }
  I& operator*() const { return *FIntf; }
  explicit operator bool() const { return FIntf != nullptr; }
  bool operator==(const TInterfaceRef& aOther) const { return FIntf == aOther.FIntf; }

 private:
  I* FIntf = nullptr;
};

// A component that is also reference counted through interfaces. Taking an
// interface reference raises RefCount, releasing one lowers it; the object is
// freed when destruction was requested (Destroy, or its owner going away)
// and RefCount is 0, whichever comes last.
class TInterfacedComponent : public TComponent, public virtual IInterface {
 public:
  // The owner is tied by free notification, not by the owner's component
  // list: an owner that goes away requests destruction, which waits for the
  // last interface reference.
  explicit TInterfacedComponent(TComponent* AOwner);
  ~TInterfacedComponent() override;

  int32_t _AddRef() override;
  int32_t _Release() override;
  // Requests destruction; frees the object at once when no reference is held.
  void Destroy();
  TComponent* OwnerComponent() const { return FOwnerComponent; }

  int32_t RefCount = 0;
  bool DestroyObject = false;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Hands the object to another owner (nullptr: none); a pending destruction is cancelled.
  void SetOwnerComponent(TComponent* aOwner);

 private:
  TComponent* FOwnerComponent = nullptr;
};

// Requests destruction of an owner-less document or node held by unique_ptr.
struct TDestroyDeleter {
  void operator()(TInterfacedComponent* aObject) const {
    if (aObject) aObject->Destroy();
  }
};

class IkfxJSON;
class TkfxJSON;
class TkfxObjectJSON;

class IkfxObjectJSON : public virtual IInterface {
 public:
  virtual TInterfaceRef<IkfxJSON> GetJSONObject() = 0;
  virtual TkfxJSONtype GetJSONType() = 0;
  virtual void SetJSONObject(IkfxJSON* aValue) = 0;
  virtual void SetJSONType(TkfxJSONtype aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> GetNode(const std::string& aName) = 0;
  virtual void SetNode(const std::string& aName, IkfxObjectJSON* aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> GetItem(int aIndex) = 0;
  virtual void SetItem(int aIndex, IkfxObjectJSON* aValue) = 0;
  virtual TkfxJSONValue GetValue() = 0;
  virtual void SetValue(const TkfxJSONValue& aValue) = 0;
  virtual int GetCount() = 0;
  virtual std::string GetName() = 0;
  virtual void SetName(const std::string& aValue) = 0;
  virtual void Clear() = 0;

 protected:
  ~IkfxObjectJSON() = default;
};

class IkfxJSON : public virtual IInterface {
 public:
  virtual int GetCount() = 0;
  virtual TInterfaceRef<IkfxObjectJSON> GetNode(const std::string& aName) = 0;
  virtual void SetNode(const std::string& aName, IkfxObjectJSON* aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> GetItem(int aIndex) = 0;
  virtual void SetItem(int aIndex, IkfxObjectJSON* aValue) = 0;
  virtual bool GetIsArray() = 0;
  virtual void SetIsArray(bool aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName,
                                                const std::string& aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, int32_t aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, int64_t aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, double aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, bool aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddObject(const std::string& aName,
                                                  const std::string& aValue) = 0;
  virtual TInterfaceRef<IkfxObjectJSON> AddArray(const std::string& aName,
                                                 const std::string& aValue) = 0;
  virtual void Clear() = 0;
  virtual void Read(const std::string& aText) = 0;
  virtual std::string GetText() = 0;

 protected:
  ~IkfxJSON() = default;
};

// The ordered nodes of a document. It owns them: removing a node from the
// list (Clear, Delete) requests its destruction.
class TkfxObjectJSONList {
 public:
  TkfxObjectJSONList() = default;
  TkfxObjectJSONList(const TkfxObjectJSONList&) = delete;
  TkfxObjectJSONList& operator=(const TkfxObjectJSONList&) = delete;
  ~TkfxObjectJSONList();

  int Count() const { return static_cast<int>(FItems.size()); }
  TkfxObjectJSON* operator[](int aIndex) const { return FItems[static_cast<size_t>(aIndex)]; }
  int IndexOf(const TkfxObjectJSON* aNode) const;
  void Add(TkfxObjectJSON* aNode);
  // Puts aNode in place of node aIndex, whose destruction is requested.
  void Replace(int aIndex, TkfxObjectJSON* aNode);
  void Delete(int aIndex);
  // Takes aNode out of the list without destroying it.
  void Extract(const TkfxObjectJSON* aNode);
  void Clear();

 private:
  std::vector<TkfxObjectJSON*> FItems;
};

class TkfxObjectJSON : public TInterfacedComponent, public IkfxObjectJSON {
 public:
  explicit TkfxObjectJSON(TComponent* AOwner);
  ~TkfxObjectJSON() override;

  // A string value is written inside quotes; false for embedded JSON text.
  bool Quoted = true;

  // The nested document of an object or list node, created on first use;
  // it makes the node an object unless it is a list.
  TkfxJSON* JSONObject();
  int Count() const;
  TkfxJSONtype JSONType() const { return FJSONType; }
  const std::string& Name() const { return FName; }
  TkfxJSONValue Value();
  // Node aIndex / the first node named aName of the nested document; nullptr
  // when there is none (the nested document is not created for this).
  TkfxObjectJSON* Item(int aIndex) const;
  TkfxObjectJSON* Node(const std::string& aName) const;

  // IkfxObjectJSON
  TInterfaceRef<IkfxJSON> GetJSONObject() override;
  TkfxJSONtype GetJSONType() override { return FJSONType; }
  void SetJSONObject(IkfxJSON* aValue) override;
  void SetJSONType(TkfxJSONtype aValue) override;
  TInterfaceRef<IkfxObjectJSON> GetNode(const std::string& aName) override;
  void SetNode(const std::string& aName, IkfxObjectJSON* aValue) override;
  TInterfaceRef<IkfxObjectJSON> GetItem(int aIndex) override;
  void SetItem(int aIndex, IkfxObjectJSON* aValue) override;
  // Object and list nodes: the nested document's text. Others: the stored value.
  TkfxJSONValue GetValue() override { return Value(); }
  // The node takes the kind of the new value (text: string, numbers: number,
  // boolean: boolean, nothing: null); a nested document is dropped.
  void SetValue(const TkfxJSONValue& aValue) override;
  int GetCount() override { return Count(); }
  std::string GetName() override { return FName; }
  void SetName(const std::string& aValue) override;
  // Drops the nested document.
  void Clear() override;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  friend class TkfxJSON;
  friend class TkfxJSONReader;
  friend class TkfxJSONWriter;

  TkfxJSONValue FValue;
  std::string FName;
  TkfxJSON* FJSONObject = nullptr;  // owned (through destruction requests)
  TkfxJSONtype FJSONType = TkfxJSONtype::kfxJSONUndefined;
  // The name / a text value is stored in its escaped JSON form (read from
  // text, or added with EscapeStrings) rather than as plain text.
  bool FNameEscaped = false;
  bool FValueEscaped = false;
};

class TkfxJSON : public TInterfacedComponent, public IkfxJSON {
 public:
  explicit TkfxJSON(TComponent* AOwner);
  ~TkfxJSON() override;

  // Escape names and text values when they are added, so that they are
  // stored (and found by Node) in their escaped form. The writer escapes
  // whatever is stored plain, so the output is valid JSON either way.
  bool EscapeStrings = false;

  int Count() const { return FData ? FData->Count() : 0; }
  bool IsArray() const { return FIsArray; }
  std::string Text() { return GetText(); }
  TkfxObjectJSON* Item(int aIndex) const;
  TkfxObjectJSON* Node(const std::string& aName) const;

  // The pair forms add a node, or, when a node of that name exists, give
  // that node the new value and kind in place. A text starting with "{" or
  // "[" that is itself valid JSON is stored as embedded JSON (written raw).
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName,
                                        const std::string& aValue) override;
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, const char* aValue) {
    return AddPair(aName, std::string(aValue));
  }
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, int32_t aValue) override;
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, int64_t aValue) override;
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, double aValue) override;
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName, bool aValue) override;
  // A null member.
  TInterfaceRef<IkfxObjectJSON> AddPair(const std::string& aName);
  // An object or list node whose nested document is read from aValue.
  TInterfaceRef<IkfxObjectJSON> AddObject(const std::string& aName,
                                          const std::string& aValue) override;
  TInterfaceRef<IkfxObjectJSON> AddArray(const std::string& aName,
                                         const std::string& aValue) override;

  // IkfxJSON
  int GetCount() override { return Count(); }
  TInterfaceRef<IkfxObjectJSON> GetNode(const std::string& aName) override;
  // Puts aValue in place of the first node named aName (nothing when there
  // is none); nullptr removes that node. A node that belongs to another
  // document moves here; one that would contain this document is refused.
  void SetNode(const std::string& aName, IkfxObjectJSON* aValue) override;
  TInterfaceRef<IkfxObjectJSON> GetItem(int aIndex) override;
  void SetItem(int aIndex, IkfxObjectJSON* aValue) override;
  bool GetIsArray() override { return FIsArray; }
  void SetIsArray(bool aValue) override { FIsArray = aValue; }
  void Clear() override;
  // Replaces the content with the document read from aText. Never raises:
  // reading stops at the first thing it cannot read (and at a nesting
  // deeper than kMaxJSONDepth), keeping what it has read so far.
  void Read(const std::string& aText) override;
  std::string GetText() override;

  static constexpr int kMaxJSONDepth = 512;

 private:
  friend class TkfxObjectJSON;
  friend class TkfxJSONReader;
  friend class TkfxJSONWriter;

  TkfxObjectJSONList& Data();
  TInterfaceRef<IkfxObjectJSON> AddValue(const std::string& aName, TkfxJSONtype aKind,
                                         const TkfxJSONValue& aValue);
  void PutNode(int aIndex, IkfxObjectJSON* aValue);
  // True when this document is aNode's nested document or lies inside it.
  bool IsInside(const TkfxObjectJSON* aNode) const;

  bool FIsArray = false;
  std::unique_ptr<TkfxObjectJSONList> FData;  // created on first use
  // The member the reader is working on.
  std::string FJSONName;
  TkfxJSONtype FJSONType = TkfxJSONtype::kfxJSONUndefined;
  std::string FJSONValue;
};

using TkfxJSONPtr = std::unique_ptr<TkfxJSON, TDestroyDeleter>;
// A document without owner, read from aText when given.
TkfxJSONPtr NewJSONDocument(const std::string& aText = "");

// True when aText is one JSON value (RFC 8259) with nothing but white space
// around it, nested at most kMaxJSONDepth deep.
bool IsValidJSON(const std::string& aText);
// The same check with objects and arrays nested at most aMaxDepth deep,
// saying what is wrong: empty when aText is one JSON value, otherwise the
// first fault and its octet offset ("unexpected end of JSON at offset 7",
// "expected ':' at offset 5", "unexpected text after the object at offset 8").
std::string JSONSyntaxError(const std::string& aText, int aMaxDepth = TkfxJSON::kMaxJSONDepth);

// The one string escaper: appends aText as the body of a JSON string (no
// quotes). Quote, backslash and control characters are escaped (\b \t \n
// \f \r, else \u and four upper-case hex digits), malformed UTF-8 becomes
// \uFFFD, the rest is kept as it is. With aKeepEscapes aText is taken as
// already in escaped form (read from a document): its valid escapes stay.
void AppendJSONString(std::string& aOut, const std::string& aText, bool aKeepEscapes);
// aText as a JSON string, quotes included.
std::string JSONQuotedString(const std::string& aText);
