// Persistent objects, components and published properties.
//
// A persistent object can be copied with Assign and lists its published
// properties, so a stored description ("Name.Sub.Prop = value") can be read
// into it. A component has an owner that frees it, a name, a state and free
// notification: components that reference one another are told when the
// other is destroyed.
#pragma once

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rtl/System.h"

class TPersistent;

// One published property. A value property reads and writes text; an object
// property leads to a nested persistent object (its own published properties).
struct TPublishedProperty {
  std::string Name;
  std::function<std::string()> Get;
  std::function<void(const std::string&)> Set;
  std::function<TPersistent*()> Object;
};
using TPublishedProperties = std::vector<TPublishedProperty>;

class TPersistent : public TObject {
 public:
  // Copies Source into this object. The base hands the work to
  // Source->AssignTo(this), which fails with EConvertError
  // "Cannot assign a <source class> to a <target class>".
  virtual void Assign(const TPersistent* Source);

  // Appends the published properties of this object, base class first.
  virtual void GetPublishedProperties(TPublishedProperties& aList);

  // Finds a published property by a dotted path ("TLSOptions.IOHandler");
  // returns false when no such value property exists.
  bool SetPublishedValue(const std::string& aPath, const std::string& aValue);
  bool GetPublishedValue(const std::string& aPath, std::string& aValue);

 protected:
  virtual void AssignTo(TPersistent* Dest) const;
  [[noreturn]] void AssignError(const TPersistent* Source) const;
};

// Builders for published properties of common types.
TPublishedProperty PublishString(std::string aName, std::function<std::string()> aGet,
                                 std::function<void(const std::string&)> aSet);
TPublishedProperty PublishInteger(std::string aName, std::function<int64_t()> aGet,
                                  std::function<void(int64_t)> aSet);
TPublishedProperty PublishBoolean(std::string aName, std::function<bool()> aGet,
                                  std::function<void(bool)> aSet);
// A published 32-bit integer; a stored value out of range raises EConvertError.
TPublishedProperty PublishInt32(std::string aName, std::function<int32_t()> aGet,
                                std::function<void(int32_t)> aSet);
TPublishedProperty PublishObject(std::string aName, std::function<TPersistent*()> aObject);
// Properties that read and write a plain field of the publishing object.
TPublishedProperty PublishField(std::string aName, std::string& aField);
TPublishedProperty PublishField(std::string aName, bool& aField);
TPublishedProperty PublishField(std::string aName, int32_t& aField);
TPublishedProperty PublishField(std::string aName, int64_t& aField);
// An enumeration published by the names of its values, in ordinal order.
template <class E>
TPublishedProperty PublishEnum(std::string aName, std::vector<std::string> aNames,
                               std::function<E()> aGet, std::function<void(E)> aSet) {
  return TPublishedProperty{std::move(aName),
                            [aNames, aGet] { return aNames.at(static_cast<size_t>(aGet())); },
                            [aNames, aSet](const std::string& aText) {
                              for (size_t i = 0; i < aNames.size(); ++i)
                                if (SameText(aNames[i], aText)) return aSet(static_cast<E>(i));
                              throw EConvertError("Invalid property value '" + aText + "'");
                            },
                            nullptr};
}

// An enumeration property that reads and writes a plain field.
template <class E>
TPublishedProperty PublishEnumField(std::string aName, std::vector<std::string> aNames, E& aField) {
  return PublishEnum<E>(
      std::move(aName), std::move(aNames), [&aField] { return aField; },
      [&aField](E aValue) { aField = aValue; });
}

enum class TComponentStateItem { csLoading, csReading, csWriting, csDestroying, csDesigning };
using TComponentState = TSet<TComponentStateItem>;
enum class TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
 public:
  // The owner, when given, frees this component when it is destroyed itself.
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  void BeforeDestruction() override;

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& aName);
  // Any thread may ask (a component's threads check whether it is being
  // destroyed while the main thread marks it so).
  TComponentState ComponentState() const { return FComponentState.load(std::memory_order_acquire); }

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int aIndex) const { return FComponents.at(static_cast<size_t>(aIndex)); }
  TComponent* FindComponent(const std::string& aName) const;

  // AComponent is told (Notification opRemove) when this component is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  void SetDesigning(bool aDesigning);
  // Marks the start and end of reading a stored description; Loaded runs at the end.
  void BeginLoading();
  void EndLoading();

  void GetPublishedProperties(TPublishedProperties& aList) override;

  // The event handler offered under aName to "OnX = aName" lines of stored
  // descriptions: a std::function of the event's type wrapped in std::any,
  // empty when there is none. A root component overrides it for its handlers.
  virtual std::any MethodAddress(const std::string& aName);

 protected:
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  virtual void Loaded();
  void Destroying();

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void RemoveNotification(TComponent* AComponent);
  // Adds aItem to the state (aInclude) or takes it out.
  void ChangeState(TComponentStateItem aItem, bool aInclude);

  TComponent* FOwner = nullptr;
  std::string FName;
  std::atomic<TComponentState> FComponentState{TComponentState{}};
  std::vector<TComponent*> FComponents;    // owned
  std::vector<TComponent*> FFreeNotifies;  // not owned, mutual
};

// The handler that aComponent's owners offer under aName (nearest owner
// first), as an event of type TEvent. EConvertError when no owner offers a
// handler of that name and type.
template <class TEvent>
TEvent FindEventHandler(TComponent* aComponent, const std::string& aName) {
  for (TComponent* owner = aComponent->Owner(); owner; owner = owner->Owner()) {
    std::any handler = owner->MethodAddress(aName);
    if (!handler.has_value()) continue;
    if (const TEvent* event = std::any_cast<TEvent>(&handler)) return *event;
    throw EConvertError("Method '" + aName + "' does not match the event");
  }
  throw EConvertError("Method '" + aName + "' not found");
}

// An event published by handler name: a stored value binds aEvent to the
// handler of that name (FindEventHandler); an empty value clears it. The name
// is not kept, so the property can be written but not read.
template <class TEvent>
TPublishedProperty PublishEvent(std::string aName, TComponent* aComponent, TEvent& aEvent) {
  return TPublishedProperty{
      std::move(aName), nullptr,
      [aComponent, &aEvent](const std::string& aHandler) {
        aEvent = aHandler.empty() ? TEvent() : FindEventHandler<TEvent>(aComponent, aHandler);
      },
      nullptr};
}

// Reads a stored description into a component tree. Each non-empty line not
// starting with "//" is "Path = Value", where Path is "Property.Sub" of aRoot,
// or "ComponentName.Property.Sub" of a component owned by aRoot. Values are
// plain words or numbers, or texts in single quotes ('' stands for one quote).
// Components are put into the loading state while they are read, and Loaded
// runs for each afterwards. An unknown path or bad value raises EConvertError
// naming the line.
void ReadComponentDescription(TComponent* aRoot, const std::string& aText);
