#include "transport/kfxIdConnectThroughHttpProxy.h"

#include <utility>
#include <vector>

#include "base/kfxBase_Helpers.h"
#include "transport/IdIOHandler.h"

namespace {

using THeaders = std::vector<std::pair<std::string, std::string>>;

std::string HeaderValue(const THeaders& aHeaders, const std::string& aName) {
  for (const auto& [name, value] : aHeaders)
    if (SameText(name, aName)) return value;
  return {};
}

bool IsDigits(const std::string& aText) {
  return !aText.empty() && aText.find_first_not_of("0123456789") == std::string::npos;
}

// "HTTP/1.x NNN ..." → NNN and the text from the code on; false otherwise.
bool ParseStatusLine(const std::string& aLine, int& aCode, std::string& aReplyText) {
  if (aLine.size() < 12 || aLine.compare(0, 7, "HTTP/1.") != 0 || aLine[7] < '0' ||
      aLine[7] > '9' || aLine[8] != ' ')
    return false;
  aReplyText = aLine.substr(9);
  const std::string code = aReplyText.substr(0, 3);
  if (!IsDigits(code) || (aReplyText.size() > 3 && aReplyText[3] != ' ')) return false;
  aCode = std::stoi(code);
  return true;
}

}  // namespace

void TIdConnectThroughHttpProxy::NegotiateTunnel(TIdIOHandler* AIOHandler,
                                                 const std::string& AHost, uint16_t APort,
                                                 TIdIPVersion AIPVersion) {
  NegotiateHttpTunnel(AIOHandler, AHost, APort, FAuthorizationRequired, AIPVersion);
}

void TIdConnectThroughHttpProxy::NegotiateHttpTunnel(TIdIOHandler* AIOHandler,
                                                     const std::string& AHost, uint16_t APort,
                                                     bool AWithCredentials,
                                                     TIdIPVersion AIPVersion) {
  TIdProxyDeadline deadline(AIOHandler, FNegotiationTimeout);
  const std::string target =
      (AHost.find(':') != std::string::npos ? "[" + AHost + "]" : AHost) + ":" + std::to_string(APort);
  std::string request = "CONNECT " + target + " HTTP/1.0\r\n";
  if (AWithCredentials) {
    const TIdBytes credentials = ToBytes(FUsername + ":" + FPassword, TIdTextEncoding::enc8Bit);
    request += "Proxy-Authorization: Basic " +
               Base64EncodeText(std::string(credentials.begin(), credentials.end()), false) + "\r\n";
  }
  request += "\r\n";
  // One block: the request line never leaves without the rest.
  AIOHandler->WriteDirect(ToBytes(request, AIOHandler->DefStringEncoding()));

  const auto readLine = [&]() {
    deadline.Arm();
    std::string line;
    try {
      line = AIOHandler->ReadLn("\n", IdTimeoutDefault, MaxLineLength);
    } catch (const EIdConnClosedGracefully&) {
      throw EIdHttpProxyError("Proxy closed the connection.");
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
      throw EIdHttpProxyError("Proxy reply line too long.");
    }
    if (AIOHandler->ReadLnTimedOut()) throw EIdReadTimeout("Read timed out.");
    if (AIOHandler->ReadLnSplit()) throw EIdHttpProxyError("Proxy reply line too long.");
    return line;
  };

  const std::string statusLine = readLine();
  int code = 0;
  std::string replyText;
  if (!ParseStatusLine(statusLine, code, replyText))
    throw EIdHttpProxyError("Invalid response from proxy: \"" + statusLine + "\"");

  THeaders headers;
  for (;;) {
    const std::string line = readLine();
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {
      headers.back().second += " " + Trim(line);
      continue;
    }
    if (static_cast<int>(headers.size()) >= MaxHeaderLines)
      throw EIdHttpProxyError("Too many header lines in the proxy reply.");
    const size_t colon = line.find(':');
    headers.emplace_back(Trim(line.substr(0, colon)),
                         colon == std::string::npos ? std::string() : Trim(line.substr(colon + 1)));
  }

  const bool success = code >= 200 && code <= 299;
  // A 2xx answer to CONNECT has no body: what follows belongs to the tunnel.
  bool bodyEndKnown = true;
  if (!success) {
    const std::string length = HeaderValue(headers, "Content-Length");
    if (!HeaderValue(headers, "Transfer-Encoding").empty() || !IsDigits(length) ||
        length.size() > 12 || std::stoll(length) > MaxDiscardedBody) {
      // Without a usable length (or beyond the cap) the answer ends only with
      // the connection: it is not read, and the connection is not reused.
      bodyEndKnown = false;
    } else {
      for (int64_t left = std::stoll(length); left > 0;) {
        const int64_t chunk = std::min<int64_t>(left, 65536);
        deadline.Arm();
        try {
          AIOHandler->Discard(chunk);
        } catch (const EIdConnClosedGracefully&) {
          throw EIdHttpProxyError("Proxy closed the connection.");
        }
        left -= chunk;
      }
    }
  }

  if (code == 407 && !AWithCredentials && (!FUsername.empty() || !FPassword.empty())) {
    if (!bodyEndKnown || SameText(HeaderValue(headers, "Proxy-Connection"), "close") ||
        SameText(HeaderValue(headers, "Connection"), "close")) {
      // A new connection that runs the whole connect step again, credentials included.
      AIOHandler->Close();
      FAuthorizationRequired = true;
      try {
        AIOHandler->Open();
      } catch (...) {
        FAuthorizationRequired = false;
        throw;
      }
      FAuthorizationRequired = false;
    } else {
      NegotiateHttpTunnel(AIOHandler, AHost, APort, true, AIPVersion);
    }
    return;
  }
  if (!success) throw EIdHttpProxyError(replyText);
}

const TPersistentFields<TIdConnectThroughHttpProxy>& TIdConnectThroughHttpProxy::Fields() {
  using C = TIdConnectThroughHttpProxy;
  static const auto fields = TPersistentFields<C>().Field("Enabled", &C::FEnabled);
  return fields;
}

void TIdConnectThroughHttpProxy::Assign(const TPersistent* Source) {
  TIdCustomTransparentProxy::Assign(Source);
  Fields().AssignFrom(*this, Source);
}

void TIdConnectThroughHttpProxy::GetPublishedProperties(TPublishedProperties& aList) {
  TIdCustomTransparentProxy::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}
