// Root classes of the runtime framework: TObject, the Exception family and
// the small flag-set type used for the library's option sets.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

using TIdBytes = std::vector<uint8_t>;
using TBytes = TIdBytes;

// The class name of a dynamic type as the framework reports it: the C++ type
// name without namespaces or template arguments ("TStringList").
std::string ClassNameOf(const std::type_info& aType);

// Root of every framework class. Objects are normally owned by unique_ptr;
// Free() exists for the few classes that must run code before their most
// derived destructor (threads stop before their Execute override goes away).
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;

  std::string ClassName() const { return ClassNameOf(typeid(*this)); }
  // Runs when construction is complete (NewObject calls it).
  virtual void AfterConstruction() {}
  // Runs before any destructor when the object is released through Free().
  virtual void BeforeDestruction() {}
  // BeforeDestruction, then delete. Only for heap objects.
  void Free();
};

// unique_ptr deleter that releases through TObject::Free.
struct TFreeDeleter {
  void operator()(TObject* aObject) const {
    if (aObject) aObject->Free();
  }
};
template <class T>
using TOwned = std::unique_ptr<T, TFreeDeleter>;

// Root of the exception hierarchy: a message and a class name.
class Exception : public std::exception {
 public:
  explicit Exception(std::string aMessage) : FMessage(std::move(aMessage)) {}
  ~Exception() override = default;

  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string aMessage) { FMessage = std::move(aMessage); }
  const char* what() const noexcept override { return FMessage.c_str(); }
  std::string ClassName() const { return ClassNameOf(typeid(*this)); }

 private:
  std::string FMessage;
};

// Standard exception classes of the framework.
class EConvertError : public Exception { using Exception::Exception; };
class EListError : public Exception { using Exception::Exception; };
class EStringListError : public EListError { using EListError::EListError; };
class EStreamError : public Exception { using Exception::Exception; };
class EFileStreamError : public EStreamError { using EStreamError::EStreamError; };
class EFOpenError : public EFileStreamError { using EFileStreamError::EFileStreamError; };
class EFCreateError : public EFileStreamError { using EFileStreamError::EFileStreamError; };
class EReadError : public EStreamError { using EStreamError::EStreamError; };
class EWriteError : public EStreamError { using EStreamError::EStreamError; };
class EThread : public Exception { using Exception::Exception; };
class EInvalidOperation : public Exception { using Exception::Exception; };
class EArgumentException : public Exception { using Exception::Exception; };

// The message of any caught exception: Exception::Message, what(), or a
// fixed text for foreign throwables.
std::string ExceptionMessage(const std::exception_ptr& aException);
// The class name of a caught exception ("Exception" family or std type name).
std::string ExceptionClassName(const std::exception_ptr& aException);

// A set of enumeration values (enumerations with at most 64 values).
template <class E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> aItems) {
    for (E e : aItems) Include(e);
  }
  constexpr void Include(E aItem) { FBits |= Bit(aItem); }
  constexpr void Exclude(E aItem) { FBits &= ~Bit(aItem); }
  constexpr bool Contains(E aItem) const { return (FBits & Bit(aItem)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TSet operator+(TSet aOther) const { return FromBits(FBits | aOther.FBits); }
  constexpr TSet operator-(TSet aOther) const { return FromBits(FBits & ~aOther.FBits); }
  constexpr TSet operator*(TSet aOther) const { return FromBits(FBits & aOther.FBits); }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr uint64_t Bit(E aItem) { return uint64_t{1} << static_cast<unsigned>(aItem); }
  static constexpr TSet FromBits(uint64_t aBits) {
    TSet s;
    s.FBits = aBits;
    return s;
  }
  uint64_t FBits = 0;
};

// Numeric conversions with the framework's error texts.
int64_t StrToInt64(const std::string& aText);  // EConvertError "'x' is not a valid integer value"
int StrToInt(const std::string& aText);
std::string IntToStr(int64_t aValue);
std::string IntToHex(uint64_t aValue, int aDigits);
std::string UpperCase(std::string aText);  // ASCII letters only
std::string LowerCase(std::string aText);
bool SameText(std::string_view a, std::string_view b);  // ASCII case-insensitive
std::string Trim(const std::string& aText);  // removes characters <= ' ' at both ends
