#include "tools/apns-push/payload.h"

#include "jwt/kfxJSON.h"
#include "tools/apns-push/error.h"

namespace apns_push {

namespace {

// The values --data takes nest at most this deep.
constexpr int kMaxDataDepth = 64;

// aName set to the text aValue, quoted whatever it looks like (AddPair
// alone would embed a text that happens to be JSON).
void SetText(TkfxJSON& aDoc, const std::string& aName, const std::string& aValue) {
  aDoc.AddPair(aName, aValue);
  aDoc.Node(aName)->Quoted = true;
}

// aName set to the JSON value aJSON, written as it is.
void SetRaw(TkfxJSON& aDoc, const std::string& aName, const std::string& aJSON) {
  const size_t first = aJSON.find_first_not_of(" \t\r\n");
  const char c = first == std::string::npos ? '\0' : aJSON[first];
  if (c == '{') {
    aDoc.AddObject(aName, aJSON);
  } else if (c == '[') {
    aDoc.AddArray(aName, aJSON);
  } else {
    aDoc.AddPair(aName, aJSON);
    aDoc.Node(aName)->Quoted = false;
  }
}

// The nested document of the object member aName of aDoc, made (or made an
// object) when it is not one.
TkfxJSON& Dictionary(TkfxJSON& aDoc, const std::string& aName) {
  TkfxObjectJSON* node = aDoc.Node(aName);
  if (!node || node->JSONType() != TkfxJSONtype::kfxJSONObject) {
    aDoc.AddObject(aName, "{}");
    node = aDoc.Node(aName);
  }
  return *node->JSONObject();
}

}  // namespace

std::pair<std::string, std::string> ParseDataOption(const std::string& aText) {
  const size_t equals = aText.find('=');
  if (equals == std::string::npos || equals == 0)
    Fail("--data: expected KEY=JSON (e.g. order_id=42 or 'link=\"https://...\"'), not \"" +
         aText + "\"");
  std::string key = aText.substr(0, equals), value = aText.substr(equals + 1);
  if (key == "aps") Fail("--data: the \"aps\" dictionary comes from --payload and the aps options");
  const std::string problem = JSONSyntaxError(value, kMaxDataDepth);
  if (!problem.empty())
    Fail("--data " + key + ": the value is not JSON (" + problem +
         "); text needs its quotes, e.g. " + key + "='\"text\"'");
  return {std::move(key), std::move(value)};
}

std::string MergePayload(const std::string& aBase, const PayloadOptions& o) {
  TkfxJSONPtr doc = NewJSONDocument(aBase);
  if (o.Alert || o.Title || o.Subtitle || o.Sound || o.Category || o.ThreadId ||
      o.InterruptionLevel || o.Badge || o.RelevanceScore || o.ContentAvailable || o.MutableContent) {
    TkfxJSON& aps = Dictionary(*doc, "aps");
    if (o.Title || o.Subtitle) {
      // The alert as a dictionary; a text alert of the base is its body.
      TkfxObjectJSON* alert = aps.Node("alert");
      std::string body;
      bool haveBody = false;
      if (alert && alert->JSONType() == TkfxJSONtype::kfxJSONString) {
        // Kept as read (escaped): embedded as a JSON string again.
        body = "\"" + JSONValueText(alert->Value()) + "\"";
        haveBody = true;
      }
      TkfxJSON& dict = Dictionary(aps, "alert");
      if (haveBody) SetRaw(dict, "body", body);
      if (o.Title) SetText(dict, "title", *o.Title);
      if (o.Subtitle) SetText(dict, "subtitle", *o.Subtitle);
      if (o.Alert) SetText(dict, "body", *o.Alert);
    } else if (o.Alert) {
      TkfxObjectJSON* alert = aps.Node("alert");
      if (alert && alert->JSONType() == TkfxJSONtype::kfxJSONObject)
        SetText(*alert->JSONObject(), "body", *o.Alert);
      else
        SetText(aps, "alert", *o.Alert);
    }
    if (o.Badge) aps.AddPair("badge", static_cast<int32_t>(*o.Badge));
    if (o.Sound) SetText(aps, "sound", *o.Sound);
    if (o.ContentAvailable) aps.AddPair("content-available", int32_t{1});
    if (o.MutableContent) aps.AddPair("mutable-content", int32_t{1});
    if (o.Category) SetText(aps, "category", *o.Category);
    if (o.ThreadId) SetText(aps, "thread-id", *o.ThreadId);
    if (o.InterruptionLevel) SetText(aps, "interruption-level", *o.InterruptionLevel);
    if (o.RelevanceScore) aps.AddPair("relevance-score", *o.RelevanceScore);
  }
  for (const auto& [key, value] : o.Data) SetRaw(*doc, key, value);
  return doc->Text();
}

}  // namespace apns_push
