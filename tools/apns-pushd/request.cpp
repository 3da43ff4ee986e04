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

// One notification object (its text, valid JSON) into n; the fault, or empty.
std::string ReadOne(const std::string& aText, Notification& n) {
  if (aText.empty() || aText[0] != '{') return "a notification must be a JSON object";
  TkfxJSONPtr doc = NewJSONDocument(aText);
  bool havePayload = false;
  for (int i = 0; i < doc->GetCount(); ++i) {
    TInterfaceRef<IkfxObjectJSON> field = doc->GetItem(i);
    const std::string name = field->GetName();
    const TkfxJSONtype type = field->GetJSONType();
    if (name == "payload") {
      if (type != TkfxJSONtype::kfxJSONObject) return "payload: must be a JSON object";
      n.Payload = JSONValueText(field->GetValue());
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
  const size_t limit = n.PushType == "voip" ? kMaxVoIPPayload : kMaxPayload;
  if (n.Payload.size() > limit)
    return "payload: " + std::to_string(n.Payload.size()) + " octets, APNs takes at most " + std::to_string(limit) +
           (n.PushType == "voip" ? " for voip" : "");
  if (!n.Priority.empty() && n.Priority != "1" && n.Priority != "5" && n.Priority != "10")
    return "priority: expected 1, 5 or 10";
  if (!n.Expiration.empty() && (n.Expiration.size() > 12 || n.Expiration.find_first_not_of("0123456789") != std::string::npos))
    return "expiration: expected seconds since the epoch (0: do not store)";
  if (n.CollapseId.size() > 64) return "collapse_id: at most 64 octets";
  if (!n.ApnsId.empty() && !IsUUID(n.ApnsId)) return "apns_id: expected a UUID (8-4-4-4-12 hexadecimal digits)";
  if (n.Topic.size() > 255) return "topic: at most 255 octets";
  return "";
}

// In valid JSON text: the first position at or after aAt that is not white space.
size_t SkipSpace(const std::string& s, size_t aAt) {
  while (aAt < s.size() && (s[aAt] == ' ' || s[aAt] == '\t' || s[aAt] == '\r' || s[aAt] == '\n')) ++aAt;
  return aAt;
}

// In valid JSON text: the position just after the value that starts at aAt.
size_t SkipValue(const std::string& s, size_t aAt) {
  if (s[aAt] == '"') {
    for (size_t i = aAt + 1; i < s.size(); ++i) {
      if (s[i] == '\\') ++i;
      else if (s[i] == '"') return i + 1;
    }
    return s.size();
  }
  if (s[aAt] == '{' || s[aAt] == '[') {
    int depth = 0;
    for (size_t i = aAt; i < s.size(); ++i) {
      const char c = s[i];
      if (c == '"') {
        i = SkipValue(s, i) - 1;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if ((c == '}' || c == ']') && --depth == 0) {
        return i + 1;
      }
    }
    return s.size();
  }
  size_t i = aAt;
  while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ' && s[i] != '\t' &&
         s[i] != '\r' && s[i] != '\n')
    ++i;
  return i;
}

// In valid JSON text: where each item of the array that starts at aOpen
// begins and ends.
std::vector<std::pair<size_t, size_t>> ArrayItems(const std::string& s, size_t aOpen) {
  std::vector<std::pair<size_t, size_t>> items;
  size_t at = SkipSpace(s, aOpen + 1);
  while (at < s.size() && s[at] != ']') {
    const size_t end = SkipValue(s, at);
    items.emplace_back(at, end);
    at = SkipSpace(s, end);
    if (at < s.size() && s[at] == ',') at = SkipSpace(s, at + 1);
  }
  return items;
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
  // The body is valid JSON from here on: the scanner below only finds where
  // each notification's text starts and ends, and each is read on its own
  // (one small document each, not one for the whole batch).
  size_t at = SkipSpace(aBody, 0);
  std::vector<std::pair<size_t, size_t>> items;
  if (aBody[at] == '[') {
    items = ArrayItems(aBody, at);
  } else if (aBody[at] == '{') {
    size_t key = SkipSpace(aBody, at + 1);
    const size_t keyEnd = aBody[key] == '"' ? SkipValue(aBody, key) : key;
    if (aBody.compare(key, keyEnd - key, "\"notifications\"") == 0) {
      const size_t value = SkipSpace(aBody, aBody.find(':', keyEnd) + 1);
      const size_t after = SkipSpace(aBody, SkipValue(aBody, value));
      if (aBody[value] != '[' || aBody[after] != '}') {
        out.Error = "notifications: expected an array of notification objects and nothing beside it";
        return out;
      }
      items = ArrayItems(aBody, value);
    } else {
      items.emplace_back(at, SkipValue(aBody, at));
    }
  } else {
    out.Error = "expected a notification object, an array of them or {\"notifications\":[...]}";
    return out;
  }
  if (items.empty()) {
    out.Error = "no notifications";
    return out;
  }
  if (items.size() > aBatchMax) {
    out.Error = "too many notifications in one request: " + std::to_string(items.size()) + ", at most " +
                std::to_string(aBatchMax);
    return out;
  }
  out.Notifications.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    Notification n;
    if (std::string fault = ReadOne(aBody.substr(items[i].first, items[i].second - items[i].first), n);
        !fault.empty()) {
      out.Notifications.clear();
      out.Error = fault;
      out.Index = static_cast<int>(i);
      return out;
    }
    out.Notifications.push_back(std::move(n));
  }
  return out;
}

}  // namespace apns_pushd
