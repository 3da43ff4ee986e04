#include "rtl/Classes.h"

#include <algorithm>
#include <sstream>

void TPersistent::Assign(const TPersistent* Source) {
  if (Source) return Source->AssignTo(this);
  AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* Dest) const {
  Dest->AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
  const std::string sourceName = Source ? Source->ClassName() : "nil";
  throw EConvertError("Cannot assign a " + sourceName + " to a " + ClassName());
}

void TPersistent::GetPublishedProperties(TPublishedProperties&) {}

namespace {

// Walks a dotted path through nested object properties to the last value property.
const TPublishedProperty* FindProperty(TPersistent* aObject, const std::string& aPath,
                                       TPublishedProperties& aHolder) {
  std::string rest = aPath;
  while (aObject) {
    const auto dot = rest.find('.');
    const std::string head = rest.substr(0, dot);
    aHolder.clear();
    aObject->GetPublishedProperties(aHolder);
    auto it = std::find_if(aHolder.begin(), aHolder.end(),
                           [&](const TPublishedProperty& p) { return SameText(p.Name, head); });
    if (it == aHolder.end()) return nullptr;
    if (dot == std::string::npos) return &*it;
    if (!it->Object) return nullptr;
    aObject = it->Object();
    rest = rest.substr(dot + 1);
  }
  return nullptr;
}

}  // namespace

bool TPersistent::SetPublishedValue(const std::string& aPath, const std::string& aValue) {
  TPublishedProperties holder;
  const TPublishedProperty* p = FindProperty(this, aPath, holder);
  if (!p || !p->Set) return false;
  p->Set(aValue);
  return true;
}

bool TPersistent::GetPublishedValue(const std::string& aPath, std::string& aValue) {
  TPublishedProperties holder;
  const TPublishedProperty* p = FindProperty(this, aPath, holder);
  if (!p || !p->Get) return false;
  aValue = p->Get();
  return true;
}

TPublishedProperty PublishString(std::string aName, std::function<std::string()> aGet,
                                 std::function<void(const std::string&)> aSet) {
  return {std::move(aName), std::move(aGet), std::move(aSet), nullptr};
}

TPublishedProperty PublishInteger(std::string aName, std::function<int64_t()> aGet,
                                  std::function<void(int64_t)> aSet) {
  return {std::move(aName), [aGet] { return IntToStr(aGet()); },
          [aSet](const std::string& aText) { aSet(StrToInt64(aText)); }, nullptr};
}

TPublishedProperty PublishBoolean(std::string aName, std::function<bool()> aGet,
                                  std::function<void(bool)> aSet) {
  return {std::move(aName), [aGet] { return std::string(aGet() ? "True" : "False"); },
          [aSet](const std::string& aText) {
            if (SameText(aText, "True"))
              aSet(true);
            else if (SameText(aText, "False"))
              aSet(false);
            else
              throw EConvertError("'" + aText + "' is not a valid boolean value");
          },
          nullptr};
}

TPublishedProperty PublishInt32(std::string aName, std::function<int32_t()> aGet,
                                std::function<void(int32_t)> aSet) {
  const std::string name = aName;
  return PublishInteger(
      std::move(aName), [aGet] { return int64_t{aGet()}; },
      [aSet, name](int64_t aValue) {
        if (aValue < INT32_MIN || aValue > INT32_MAX)
          throw EConvertError("Value out of range for " + name);
        aSet(static_cast<int32_t>(aValue));
      });
}

TPublishedProperty PublishObject(std::string aName, std::function<TPersistent*()> aObject) {
  return {std::move(aName), nullptr, nullptr, std::move(aObject)};
}

TPublishedProperty PublishField(std::string aName, std::string& aField) {
  return PublishString(
      std::move(aName), [&aField] { return aField; },
      [&aField](const std::string& aValue) { aField = aValue; });
}

TPublishedProperty PublishField(std::string aName, bool& aField) {
  return PublishBoolean(
      std::move(aName), [&aField] { return aField; }, [&aField](bool aValue) { aField = aValue; });
}

TPublishedProperty PublishField(std::string aName, int32_t& aField) {
  return PublishInt32(
      std::move(aName), [&aField] { return aField; },
      [&aField](int32_t aValue) { aField = aValue; });
}

TPublishedProperty PublishField(std::string aName, int64_t& aField) {
  return PublishInteger(
      std::move(aName), [&aField] { return aField; },
      [&aField](int64_t aValue) { aField = aValue; });
}

// --- TComponent ---

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell every component that asked to be told, and forget them.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->RemoveNotification(this);
    other->Notification(this, TOperation::opRemove);
  }
  // Free the owned components, last created first.
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    RemoveComponent(child);
    child->Free();
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::BeforeDestruction() {
  Destroying();
}

void TComponent::ChangeState(TComponentStateItem aItem, bool aInclude) {
  TComponentState state = FComponentState.load();
  TComponentState wanted;
  do {
    wanted = state;
    if (aInclude)
      wanted.Include(aItem);
    else
      wanted.Exclude(aItem);
  } while (!FComponentState.compare_exchange_weak(state, wanted));
}

void TComponent::Destroying() {
  if (ComponentState().Contains(TComponentStateItem::csDestroying)) return;
  ChangeState(TComponentStateItem::csDestroying, true);
  for (TComponent* child : FComponents) child->Destroying();
}

void TComponent::SetName(const std::string& aName) {
  FName = aName;
}

TComponent* TComponent::FindComponent(const std::string& aName) const {
  if (aName.empty()) return nullptr;
  for (TComponent* c : FComponents)
    if (SameText(c->Name(), aName)) return c;
  return nullptr;
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  // Mutual, so that whichever goes first unregisters itself from the other.
  auto& theirs = AComponent->FFreeNotifies;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  RemoveNotification(AComponent);
  AComponent->RemoveNotification(this);
}

void TComponent::RemoveNotification(TComponent* AComponent) {
  std::erase(FFreeNotifies, AComponent);
}

void TComponent::SetDesigning(bool aDesigning) {
  ChangeState(TComponentStateItem::csDesigning, aDesigning);
  for (TComponent* child : FComponents) child->SetDesigning(aDesigning);
}

void TComponent::BeginLoading() {
  ChangeState(TComponentStateItem::csLoading, true);
}

void TComponent::EndLoading() {
  if (!ComponentState().Contains(TComponentStateItem::csLoading)) return;
  Loaded();
}

void TComponent::Loaded() {
  ChangeState(TComponentStateItem::csLoading, false);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  // An owned component that goes away is no longer ours.
  if (Operation == TOperation::opRemove && AComponent != this) std::erase(FComponents, AComponent);
}

void TComponent::InsertComponent(TComponent* AComponent) {
  AComponent->FOwner = this;
  FComponents.push_back(AComponent);
  for (TComponent* c : FComponents)
    if (c != AComponent) c->Notification(AComponent, TOperation::opInsert);
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  std::erase(FComponents, AComponent);
  AComponent->FOwner = nullptr;
  for (TComponent* c : FComponents) c->Notification(AComponent, TOperation::opRemove);
  Notification(AComponent, TOperation::opRemove);
}

void TComponent::GetPublishedProperties(TPublishedProperties& aList) {
  aList.push_back(PublishString(
      "Name", [this] { return FName; }, [this](const std::string& v) { SetName(v); }));
}

std::any TComponent::MethodAddress(const std::string&) {
  return {};
}

// --- stored descriptions ---

namespace {

std::string ParseDescriptionValue(const std::string& aRaw) {
  const std::string raw = Trim(aRaw);
  if (raw.empty() || raw.front() != '\'') return raw;
  std::string out;
  size_t i = 1;
  for (; i < raw.size(); ++i) {
    if (raw[i] == '\'') {
      if (i + 1 < raw.size() && raw[i + 1] == '\'') {
        out += '\'';
        ++i;
        continue;
      }
      break;
    }
    out += raw[i];
  }
  if (i != raw.size() - 1) throw EConvertError("Unterminated text value " + raw);
  return out;
}

}  // namespace

void ReadComponentDescription(TComponent* aRoot, const std::string& aText) {
  std::vector<TComponent*> loading{aRoot};
  for (int i = 0; i < aRoot->ComponentCount(); ++i) loading.push_back(aRoot->Components(i));
  for (TComponent* c : loading) c->BeginLoading();

  std::istringstream in(aText);
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed.rfind("//", 0) == 0) continue;
    const auto eq = trimmed.find('=');
    if (eq == std::string::npos)
      throw EConvertError("Line " + IntToStr(lineNumber) + ": '=' expected: " + trimmed);
    std::string path = Trim(trimmed.substr(0, eq));
    const std::string value = ParseDescriptionValue(trimmed.substr(eq + 1));
    TComponent* target = aRoot;
    const auto dot = path.find('.');
    if (dot != std::string::npos) {
      if (TComponent* child = aRoot->FindComponent(path.substr(0, dot))) {
        target = child;
        path = path.substr(dot + 1);
      }
    }
    try {
      if (!target->SetPublishedValue(path, value)) throw EConvertError("unknown property " + path);
    } catch (const Exception& e) {
      throw EConvertError("Line " + IntToStr(lineNumber) + ": " + e.Message());
    }
  }
  for (TComponent* c : loading) c->EndLoading();
}
