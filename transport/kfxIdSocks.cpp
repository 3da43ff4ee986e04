#include "transport/kfxIdSocks.h"

#include "transport/IdIOHandler.h"
#include "transport/IdStack.h"

namespace {

const std::vector<std::string> kSocksVersionNames{"svNoSocks", "svSocks4", "svSocks4A", "svSocks5"};
const std::vector<std::string> kSocksAuthenticationNames{"saNoAuthentication",
                                                         "saUsernamePassword"};

void Append(TIdBytes& aTo, const TIdBytes& aBytes) { aTo.insert(aTo.end(), aBytes.begin(), aBytes.end()); }

void AppendPort(TIdBytes& aTo, uint16_t aPort) {
  aTo.push_back(static_cast<uint8_t>(aPort >> 8));
  aTo.push_back(static_cast<uint8_t>(aPort));
}

TIdBytes Cut(TIdBytes aBytes, size_t aMax) {
  if (aBytes.size() > aMax) aBytes.resize(aMax);
  return aBytes;
}

}  // namespace

TIdSocksInfo::TIdSocksInfo(TComponent* AOwner) : TIdCustomTransparentProxy(AOwner) { FPort = 1080; }

void TIdSocksInfo::NegotiateTunnel(TIdIOHandler* AIOHandler, const std::string& AHost,
                                   uint16_t APort, TIdIPVersion) {
  switch (FVersion) {
    case TSocksVersion::svSocks4:
    case TSocksVersion::svSocks4A:
      MakeSocks4Connection(AIOHandler, AHost, APort);
      break;
    case TSocksVersion::svSocks5:
      MakeSocks5Connection(AIOHandler, AHost, APort);
      break;
    case TSocksVersion::svNoSocks:
      break;
  }
}

void TIdSocksInfo::MakeSocks4Connection(TIdIOHandler* AIOHandler, const std::string& AHost,
                                        uint16_t APort) {
  TIdProxyDeadline deadline(AIOHandler, FNegotiationTimeout);
  TIdBytes request{4, 1};
  AppendPort(request, APort);
  if (FVersion == TSocksVersion::svSocks4A) {
    Append(request, {0, 0, 0, 1});
  } else {
    const auto address = TIdIPAddress::MakeAddressObject(GStack->ResolveHost(AHost, TIdIPVersion::Id_IPv4));
    Append(request, address->HToNBytes());
  }
  Append(request, ToBytes(FUsername, AIOHandler->DefStringEncoding()));
  request.push_back(0);
  if (FVersion == TSocksVersion::svSocks4A) {
    Append(request, ToBytes(AHost, AIOHandler->DefStringEncoding()));
    request.push_back(0);
  }
  // Sent at once, whatever write buffering the caller has open.
  AIOHandler->WriteDirect(request);
  TIdBytes reply;
  deadline.Arm();
  try {
    AIOHandler->ReadBytes(reply, 8, false);
  } catch (const EIdConnClosedGracefully&) {
    // Some proxies refuse by closing the connection without a reply.
    throw EIdSocksRequestFailed("Request rejected or failed.");
  }
  switch (reply[1]) {
    case 90: return;
    case 91: throw EIdSocksRequestFailed("Request rejected or failed.");
    case 92:
      throw EIdSocksRequestServerFailed("Request rejected because SOCKS server cannot connect.");
    case 93:
      throw EIdSocksRequestIdentFailed(
          "Request rejected because the client program and identd report different user-ids.");
    default: throw EIdSocksUnknownError("Unknown socks error.");
  }
}

void TIdSocksInfo::MakeSocks5Connection(TIdIOHandler* AIOHandler, const std::string& AHost,
                                        uint16_t APort) {
  TIdProxyDeadline deadline(AIOHandler, FNegotiationTimeout);
  // Every failed reply read is "did not respond", with the cause kept.
  const auto readReply = [&](int aCount) {
    TIdBytes reply;
    try {
      deadline.Arm();
      AIOHandler->ReadBytes(reply, aCount, false);
    } catch (...) {
      throw EIdSocksServerRespondError("Socks server did not respond.", std::current_exception());
    }
    return reply;
  };

  const bool withPassword = FAuthentication == TSocksAuthentication::saUsernamePassword;
  const uint8_t method = withPassword ? 2 : 0;
  AIOHandler->WriteDirect(TIdBytes{5, 1, method});
  TIdBytes reply = readReply(2);
  if (reply[1] != method || reply[1] == 255)
    throw EIdSocksAuthMethodError("Invalid socks authentication method.");
  if (withPassword) {
    const TIdBytes user = Cut(ToBytes(FUsername, TIdTextEncoding::encASCII), 255);
    const TIdBytes password = Cut(ToBytes(FPassword, TIdTextEncoding::encASCII), 255);
    TIdBytes auth{1, static_cast<uint8_t>(user.size())};
    Append(auth, user);
    auth.push_back(static_cast<uint8_t>(password.size()));
    Append(auth, password);
    AIOHandler->WriteDirect(auth);
    reply = readReply(2);
    if (reply[1] != 0) throw EIdSocksAuthError("Authentication error to socks server.");
  }

  TIdBytes request{5, 1, 0};
  if (TIdStack::IsIP(AHost)) {
    request.push_back(1);
    Append(request, TIdIPAddress::MakeAddressObject(AHost)->HToNBytes());
  } else if (TIdStack::IsValidIPv6(AHost)) {
    request.push_back(4);
    Append(request, TIdIPAddress::MakeAddressObject(AHost)->HToNBytes());
  } else {
    const TIdBytes name = Cut(ToBytes(AHost, TIdTextEncoding::encASCII), 255);
    request.push_back(3);
    request.push_back(static_cast<uint8_t>(name.size()));
    Append(request, name);
  }
  AppendPort(request, APort);
  AIOHandler->WriteDirect(request);

  reply = readReply(5);
  switch (reply[1]) {
    case 0: break;
    case 1: throw EIdSocksServerGeneralError("General SOCKS server failure.");
    case 2: throw EIdSocksServerPermissionError("Connection not allowed by ruleset.");
    case 3: throw EIdSocksServerNetUnreachableError("Network unreachable.");
    case 4: throw EIdSocksServerHostUnreachableError("Host unreachable.");
    case 5: throw EIdSocksServerConnectionRefusedError("Connection refused.");
    case 6: throw EIdSocksServerTTLExpiredError("TTL expired.");
    case 7: throw EIdSocksServerCommandError("Command not supported.");
    case 8: throw EIdSocksServerAddressError("Address type not supported.");
    default: throw EIdSocksUnknownError("Unknown socks error.");
  }
  // The rest of the bound address and the port, so the tunnel starts at the right byte.
  switch (reply[3]) {
    case 1: readReply(5); break;
    case 4: readReply(17); break;
    case 3: readReply(reply[4] + 2); break;
    default:
      // Its length is unknown: no byte after it could be trusted to be the target's.
      throw EIdSocksUnknownError("Unknown socks error.");
  }
}

const TPersistentFields<TIdSocksInfo>& TIdSocksInfo::Fields() {
  using C = TIdSocksInfo;
  static const auto fields = TPersistentFields<C>()
                                 .Enum("Authentication", kSocksAuthenticationNames, &C::FAuthentication)
                                 .Enum("Version", kSocksVersionNames, &C::FVersion);
  return fields;
}

void TIdSocksInfo::Assign(const TPersistent* Source) {
  TIdCustomTransparentProxy::Assign(Source);
  Fields().AssignFrom(*this, Source);
}

void TIdSocksInfo::GetPublishedProperties(TPublishedProperties& aList) {
  TIdCustomTransparentProxy::GetPublishedProperties(aList);
  Fields().Publish(*this, aList);
}
