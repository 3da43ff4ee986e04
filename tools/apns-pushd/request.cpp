#include "tools/apns-pushd/request.h"

#include <set>

#include "jwt/kfxJSON.h"

namespace apns_pushd {

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (!IsHex(s[i])) {
      return false;
    }
  }
  return true;
}

const std::set<std::string>& PushTypes() {
  static const std::set<std::string> types{"alert",        "background",   "location",    "voip",
                                           "complication", "fileprovider", "mdm",         "liveactivity",
                                           "pushtotalk",   "controls",     "widgets"};
  return types;
}

// One notification object into n; the fault, or empty.
std::string ReadOne(IkfxObjectJSON& aNode, Notification& n) {
  if (aNode.GetJSONType() != TkfxJSONtype::kfxJSONObject) return "a notification must be a JSON object";
  TInterfaceRef<IkfxJSON> doc = aNode.GetJSONObject();
  bool havePayload = false;
  for (int i = 0; i < doc->GetCount(); ++i) {
    TInterfaceRef<IkfxObjectJSON> field = doc->GetItem(i);
    const std::string name = field->GetName();
    const TkfxJSONtype type = field->GetJSONType();
    if (name == "payload") {
      if (type != TkfxJSONtype::kfxJSONObject) return "payload: must be a JSON object";
      n.Payload = JSONValueText(field->GetValue());
      if (n.Payload.size() > kMaxPayload)
        return "payload: " + std::to_string(n.Payload.size()) + " octets, APNs takes at most " +
               std::to_string(kMaxPayload);
      havePayload = true;
      continue;
    }
    std::string* target = nullptr;
    if (name == "device_token") target = &n.DeviceToken;
    else if (name == "topic") target = &n.Topic;
    else if (name == "push_type") target = &n.PushType;
    else if (name == "priority") target = &n.Priority;
    else if (name == "expiration") target = &n.Expiration;
    else if (name == "collapse_id") target = &n.CollapseId;
    else if (name == "apns_id") target = &n.ApnsId;
    else return "unknown field \"" + name + "\"";
    const bool number = type == TkfxJSONtype::kfxJSONNumber && (name == "priority" || name == "expiration");
    if (type != TkfxJSONtype::kfxJSONString && !number) return name + ": must be a string";
    *target = JSONValueText(field->GetValue());
    // Header values: printable ASCII only (no escapes, no line breaks).
    for (char c : *target)
      if (c < 0x20 || c > 0x7E || c == '\\') return name + ": printable ASCII only";
  }
  if (n.DeviceToken.empty()) return "device_token: missing";
  if (!WellFormedDeviceToken(n.DeviceToken))
    return "device_token: expected 64 to 200 hexadecimal digits, an even number";
  if (!havePayload) return "payload: missing";
  if (!n.PushType.empty() && !PushTypes().count(n.PushType)) return "push_type: unknown type \"" + n.PushType + "\"";
  if (!n.Priority.empty() && n.Priority != "1" && n.Priority != "5" && n.Priority != "10")
    return "priority: expected 1, 5 or 10";
  if (!n.Expiration.empty() && (n.Expiration.size() > 12 || n.Expiration.find_first_not_of("0123456789") != std::string::npos))
    return "expiration: expected seconds since the epoch (0: do not store)";
  if (n.CollapseId.size() > 64) return "collapse_id: at most 64 octets";
  if (!n.ApnsId.empty() && !IsUUID(n.ApnsId)) return "apns_id: expected a UUID (8-4-4-4-12 hexadecimal digits)";
  if (n.Topic.size() > 255) return "topic: at most 255 octets";
  return "";
}

}  // namespace

bool WellFormedDeviceToken(const std::string& t) {
  if (t.size() < 64 || t.size() > 200 || t.size() % 2) return false;
  for (char c : t)
    if (!IsHex(c)) return false;
  return true;
}

ParsedBatch ParseNotifications(const std::string& aBody, size_t aBatchMax) {
  ParsedBatch out;
  if (std::string fault = JSONSyntaxError(aBody, 32); !fault.empty()) {
    out.Error = "malformed JSON: " + fault;
    return out;
  }
  size_t start = aBody.find_first_not_of(" \t\r\n");
  if (aBody[start] != '{' && aBody[start] != '[') {
    out.Error = "expected a notification object, an array of them or {\"notifications\":[...]}";
    return out;
  }
  TkfxJSONPtr doc = NewJSONDocument(aBody.substr(start));
  TInterfaceRef<IkfxJSON> list;
  TkfxJSON* root = doc.get();
  bool single = false;
  if (root->GetIsArray()) {
    list = TInterfaceRef<IkfxJSON>(root);
  } else if (TInterfaceRef<IkfxObjectJSON> items = root->GetNode("notifications")) {
    if (items->GetJSONType() != TkfxJSONtype::kfxJSONList || root->GetCount() != 1) {
      out.Error = "notifications: expected an array of notification objects and nothing beside it";
      return out;
    }
    list = items->GetJSONObject();
  } else {
    single = true;
  }
  if (single) {
    // The root object itself: read it through a node that holds it.
    TkfxJSONPtr wrapper = NewJSONDocument("{\"n\":" + aBody.substr(start) + "}");
    Notification n;
    if (std::string fault = ReadOne(*wrapper->GetNode("n"), n); !fault.empty()) {
      out.Error = fault;
      out.Index = 0;
      return out;
    }
    out.Notifications.push_back(std::move(n));
    return out;
  }
  const int count = list->GetCount();
  if (count == 0) {
    out.Error = "no notifications";
    return out;
  }
  if (static_cast<size_t>(count) > aBatchMax) {
    out.Error = "too many notifications in one request: " + std::to_string(count) + ", at most " +
                std::to_string(aBatchMax);
    return out;
  }
  out.Notifications.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    Notification n;
    if (std::string fault = ReadOne(*list->GetItem(i), n); !fault.empty()) {
      out.Notifications.clear();
      out.Error = fault;
      out.Index = i;
      return out;
    }
    out.Notifications.push_back(std::move(n));
  }
  return out;
}

}  // namespace apns_pushd
