// The field table of a persistent class: each field is listed once, with its
// published name (or none), and the one list drives both Assign and the
// published properties, so the two cannot drift apart.
//
//   const TPersistentFields<TProxyOptions>& TProxyOptions::Fields() {
//     static const auto fields = TPersistentFields<TProxyOptions>()
//         .Field("Enabled", &TProxyOptions::FEnabled)
//         .Enum("ProxyType", ProxyNames, &TProxyOptions::FProxyType);
//     return fields;
//   }
//   void TProxyOptions::Assign(const TPersistent* Source) {
//     if (!Fields().AssignFrom(*this, Source)) TPersistent::Assign(Source);
//   }
//   void TProxyOptions::GetPublishedProperties(TPublishedProperties& aList) {
//     Fields().Publish(*this, aList);
//   }
//
// A table lists only the class's own fields; a subclass calls its base's
// Assign and GetPublishedProperties first, as before. Published properties
// come out in the order of the table.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "rtl/Classes.h"

template <class C>
class TPersistentFields {
 public:
  using TCopy = std::function<void(C& aDest, const C& aSource)>;
  using TPublish = std::function<TPublishedProperty(C& aObject)>;

  // A plain field (text, Boolean, 32- or 64-bit integer): copied, and
  // published under aName.
  template <class T>
  TPersistentFields Field(std::string aName, T C::*aMember) && {
    return std::move(*this).Add(CopyOf(aMember), [aName, aMember](C& aObject) {
      return PublishField(aName, aObject.*aMember);
    });
  }

  // A field of another type, published through aPublish(aName, field).
  template <class T>
  TPersistentFields Field(std::string aName, T C::*aMember,
                          TPublishedProperty (*aPublish)(const std::string&, T&)) && {
    return std::move(*this).Add(CopyOf(aMember), [aName, aMember, aPublish](C& aObject) {
      return aPublish(aName, aObject.*aMember);
    });
  }

  // An enumeration field, published by the names of its values.
  template <class E>
  TPersistentFields Enum(std::string aName, const std::vector<std::string>& aNames, E C::*aMember) && {
    return std::move(*this).Add(CopyOf(aMember), [aName, aNames, aMember](C& aObject) {
      return PublishEnumField(aName, aNames, aObject.*aMember);
    });
  }

  // An owned option object: copied with its own Assign, published as a
  // nested object.
  template <class T>
  TPersistentFields Object(std::string aName, std::unique_ptr<T> C::*aMember) && {
    return std::move(*this).Add(
        [aMember](C& aDest, const C& aSource) { (aDest.*aMember)->Assign((aSource.*aMember).get()); },
        [aName, aMember](C& aObject) {
          return PublishObject(aName, [&aObject, aMember]() -> TPersistent* { return (aObject.*aMember).get(); });
        });
  }

  // An option object held in the class itself.
  template <class T>
    requires std::is_base_of_v<TPersistent, T>
  TPersistentFields Object(std::string aName, T C::*aMember) && {
    return std::move(*this).Add(
        [aMember](C& aDest, const C& aSource) { (aDest.*aMember).Assign(&(aSource.*aMember)); },
        [aName, aMember](C& aObject) {
          return PublishObject(aName, [&aObject, aMember]() -> TPersistent* { return &(aObject.*aMember); });
        });
  }

  // An option object reached through an accessor (one that may create it
  // on first use).
  template <class T>
  TPersistentFields Object(std::string aName, T& (C::*aAccessor)()) && {
    return std::move(*this).Add(
        [aAccessor](C& aDest, const C& aSource) {
          (aDest.*aAccessor)().Assign(&(const_cast<C&>(aSource).*aAccessor)());
        },
        [aName, aAccessor](C& aObject) {
          return PublishObject(aName, [&aObject, aAccessor]() -> TPersistent* { return &(aObject.*aAccessor)(); });
        });
  }

  // A field that Assign copies but that is not published: a public setting
  // of the class that stored descriptions do not carry.
  template <class T>
  TPersistentFields Unpublished(T C::*aMember) && {
    return std::move(*this).Add(CopyOf(aMember), nullptr);
  }

  // A value with rules of its own: aCopy copies it (usually through the
  // class's setter), aPublish makes its published property.
  TPersistentFields Custom(TCopy aCopy, TPublish aPublish) && {
    return std::move(*this).Add(std::move(aCopy), std::move(aPublish));
  }

  // Copies every field of aSource into aDest, in the order of the table.
  void Copy(C& aDest, const C& aSource) const {
    for (const auto& entry : FEntries)
      if (entry.Copy) entry.Copy(aDest, aSource);
  }

  // Copies the fields when aSource is a C (or derived from it) and returns
  // true; returns false, copying nothing, for any other source.
  bool AssignFrom(C& aDest, const TPersistent* aSource) const {
    const auto* source = dynamic_cast<const C*>(aSource);
    if (!source) return false;
    if (source != &aDest) Copy(aDest, *source);
    return true;
  }

  // Appends the published fields of aObject to aList.
  void Publish(C& aObject, TPublishedProperties& aList) const {
    for (const auto& entry : FEntries)
      if (entry.Publish) aList.push_back(entry.Publish(aObject));
  }

 private:
  struct TEntry {
    TCopy Copy;
    TPublish Publish;
  };

  template <class T>
  static TCopy CopyOf(T C::*aMember) {
    return [aMember](C& aDest, const C& aSource) { aDest.*aMember = aSource.*aMember; };
  }

  TPersistentFields Add(TCopy aCopy, TPublish aPublish) && {
    FEntries.push_back({std::move(aCopy), std::move(aPublish)});
    return std::move(*this);
  }

  std::vector<TEntry> FEntries;
};
