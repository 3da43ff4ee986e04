#include "http2/client/kfxHTTP.h"

namespace {

const std::vector<std::string> kNotifyEventNames{"neNoSync", "neAsynchronous", "neSynchronous"};

}  // namespace

void TkfxHTTP2Client::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxHTTP2CLient_Base::GetPublishedProperties(aList);
  aList.push_back(PublishBoolean(
      "Active", [this] { return Active(); }, [this](bool v) { SetActive(v); }));
  aList.push_back(PublishString(
      "Host", [this] { return Host(); }, [this](const std::string& v) { SetHost(v); }));
  aList.push_back(PublishInt32(
      "Port", [this] { return Port(); }, [this](int v) { SetPort(v); }));
  aList.push_back(PublishInt32(
      "ConnectTimeout", [this] { return ConnectTimeout(); },
      [this](int v) { SetConnectTimeout(v); }));
  aList.push_back(PublishInt32(
      "ReadTimeout", [this] { return ReadTimeout(); }, [this](int v) { SetReadTimeout(v); }));
  aList.push_back(PublishBoolean(
      "TLS", [this] { return TLS(); }, [this](bool v) { SetTLS(v); }));
  aList.push_back(PublishObject("Proxy", [this] { return &Proxy(); }));
  aList.push_back(PublishEnum<TIdIPVersion>(
      "IPVersion", IdIPVersionNames, [this] { return IPVersion(); },
      [this](TIdIPVersion v) { SetIPVersion(v); }));
  aList.push_back(PublishEnum<TwsNotifyEvent>(
      "NotifyEvents", kNotifyEventNames, [this] { return NotifyEvents(); },
      [this](TwsNotifyEvent v) { SetNotifyEvents(v); }));
  aList.push_back(PublishObject("LogFile", [this] { return &LogFile(); }));
  aList.push_back(PublishObject("HeartBeat", [this] { return &HeartBeat(); }));
  aList.push_back(PublishObject("WatchDog", [this] { return &WatchDog(); }));
  aList.push_back(PublishObject("Throttle", [this] { return &Throttle(); }));
  aList.push_back(PublishObject("TLSOptions", [this] { return &TLSOptions(); }));
  aList.push_back(PublishObject("Request", [this] { return &Request(); }));
  aList.push_back(PublishObject("Settings", [this] { return &Settings(); }));
  aList.push_back(PublishObject("Authentication", [this] { return &Authentication(); }));
  aList.push_back(PublishEvent("OnHTTP2Connect", this, OnHTTP2Connect));
  aList.push_back(PublishEvent("OnHTTP2Disconnect", this, OnHTTP2Disconnect));
  aList.push_back(PublishEvent("OnHTTP2Exception", this, OnHTTP2Exception));
  aList.push_back(PublishEvent("OnHTTP2Response", this, OnHTTP2Response));
  aList.push_back(PublishEvent("OnHTTP2ResponseFragment", this, OnHTTP2ResponseFragment));
  aList.push_back(PublishEvent("OnHTTP2GoAway", this, OnHTTP2GoAway));
  aList.push_back(PublishEvent("OnHTTP2RSTStream", this, OnHTTP2RSTStream));
  aList.push_back(PublishEvent("OnHTTP2PushPromise", this, OnHTTP2PushPromise));
  aList.push_back(PublishEvent("OnHTTP2PendingRequests", this, OnHTTP2PendingRequests));
  aList.push_back(PublishEvent("OnHTTP2Authorization", this, OnHTTP2Authorization));
  aList.push_back(PublishEvent("OnHTTP2BeforeRequest", this, OnHTTP2BeforeRequest));
}

void TkfxHTTP_JWT_Client::GetPublishedProperties(TPublishedProperties& aList) {
  TkfxHTTPComponentClient_JWT::GetPublishedProperties(aList);
  aList.push_back(PublishObject("JWTOptions", [this] { return &JWTOptions(); }));
  aList.push_back(PublishEvent("OnAuthToken", this, OnAuthToken));
  aList.push_back(PublishEvent("OnAuthTokenError", this, OnAuthTokenError));
}
