// Plain objects the HTTP/2 client passes around: request and response,
// local SETTINGS, the HTTP/2 exception, GOAWAY and RST_STREAM properties,
// queued-event notify objects and the server-push list (on the keyed queue,
// base/kfxHTTP2_Classes_Queue.h), plus the byte and URL helpers of the frame
// layer. They sit at the core because the frame layer raises the exception and
// keeps the requests.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "base/kfxHTTP2_Classes_Queue.h"
#include "base/kfxWebSocket_Classes_SyncObjs.h"
#include "rtl/Classes.h"
#include "rtl/PersistentFields.h"
#include "rtl/DateTime.h"
#include "rtl/StringList.h"
#include "rtl/Streams.h"

enum class Th2Methods {
  h2meHead, h2meGet, h2mePost, h2meOptions, h2meTrace, h2mePut, h2meDelete, h2meConnect, h2mePatch
};
enum class Th2ErrorResponse { h2errGO_AWAY, h2errRST_STREAM };
enum class Th2ErrorCodes {
  h2erNO_ERROR, h2erPROTOCOL_ERROR, h2erINTERNAL_ERROR, h2erFLOW_CONTROL_ERROR,
  h2erSETTINGS_TIMEOUT, h2erSTREAM_CLOSED, h2erFRAME_SIZE_ERROR, h2erREFUSED_STREAM,
  h2erCANCEL, h2erCOMPRESSION_ERROR, h2erCONNECT_ERROR, h2erENHANCE_YOUR_CALM,
  h2erINADEQUATE_SECURITY, h2erHTTP_1_1_REQUIRED
};

// The :method text of each method, indexed by Th2Methods.
extern const std::array<const char*, 9> h2MethodNames;
inline const char* MethodName(Th2Methods aMethod) { return h2MethodNames[static_cast<size_t>(aMethod)]; }
// The description of a wire error code: empty above 13.
std::string ErrorDescription(int64_t aErrorCode);

class TkfxHTTP2Exception : public Exception {
 public:
  TkfxHTTP2Exception(Th2ErrorCodes aErrorCode, const std::string& aMessage,
                     Th2ErrorResponse aErrorResponse, int32_t aStreamIdentifier)
      : Exception(aMessage),
        ErrorCode(aErrorCode),
        ErrorResponse(aErrorResponse),
        StreamIdentifier(aStreamIdentifier) {}

  Th2ErrorCodes ErrorCode;
  Th2ErrorResponse ErrorResponse;
  int32_t StreamIdentifier;  // 0 for the connection
};

// Handed to GOAWAY events; owned by whoever created it.
class TkfxHTTP2GoAwayProperty : public TObject {
 public:
  std::string AdditionalDebugData;
  int32_t ErrorCode = 0;
  std::string ErrorDescription;
  int32_t LastStreamId = 0;
};

class TkfxHTTP2RSTStreamProperty : public TObject {
 public:
  int32_t ErrorCode = 0;
  std::string ErrorDescription;
  int32_t StreamIdentifier = 0;  // the stream that was reset
};

// The request description that becomes a HEADERS frame; the published part is
// stored with the client's Request property.
class TkfxHTTP2Request : public TPersistent {
 public:
  TkfxHTTP2Request() = default;
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  void AddCookie(const std::string& aName, const std::string& aValue);
  void ClearCookies();
  // name=value pairs joined with ";" (no space); empty without cookies.
  std::string GetCookiesHeader();
  // Lines of the form name=value; created on first use.
  TStringList& Cookies();
  bool HasCookies() const { return FCookies && FCookies->Count() > 0; }

  std::string Accept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  bool BasicAuthentication = false;
  bool BearerAuthentication = false;
  std::string BearerToken;
  std::string CacheControl;
  std::string CharSet;
  std::string Connection;
  std::string ContentDisposition;
  std::string ContentType;
  std::string ContentVersion;
  TDateTime Date = 0;
  std::string ETag;
  TDateTime Expires = 0;
  std::string From;
  std::string Host;
  TDateTime LastModified = 0;
  std::string Referer;
  std::string TransferEncoding;
  std::string UserAgent = "Mozilla/5.0 (kfxWebSockets 4.5.1)";
  // Complete header lines "name: value", sent as written.
  TStringList CustomHeaders;
  std::string ID;
  Th2Methods Method = Th2Methods::h2meHead;
  std::string Password;
  std::string URL;
  std::string Username;
  bool Redirect = false;

 private:
  static const TPersistentFields<TkfxHTTP2Request>& Fields();

  std::unique_ptr<TStringList> FCookies;
};

// A request as a stream or an answer keeps it: a whole copy, or settings
// shared with other requests (every field but ID, URL and method, which it
// keeps itself), made whole on first use. Queued requests mostly share their
// settings, so a stream need not copy them.
class TkfxHTTP2RequestCopy {
 public:
  TkfxHTTP2RequestCopy() = default;
  // A whole copy of aRequest.
  explicit TkfxHTTP2RequestCopy(const TkfxHTTP2Request& aRequest);
  // aRequest's own ID, URL and method on aBase, which must equal aRequest in
  // every other field.
  TkfxHTTP2RequestCopy(std::shared_ptr<const TkfxHTTP2Request> aBase, const TkfxHTTP2Request& aRequest);

  bool Empty() const { return !FWhole && !FBase; }
  // The whole request; an empty copy becomes a default request.
  TkfxHTTP2Request& Whole();
  const std::string& ID() const { return FWhole ? FWhole->ID : FID; }
  const std::string& URL() const { return FWhole ? FWhole->URL : FURL; }
  Th2Methods Method() const { return FWhole ? FWhole->Method : FMethod; }

 private:
  std::unique_ptr<TkfxHTTP2Request> FWhole;
  std::shared_ptr<const TkfxHTTP2Request> FBase;
  std::string FID, FURL;
  Th2Methods FMethod = Th2Methods::h2meHead;
};

// The answer a synchronous call fills.
class TkfxHTTP2Response : public TObject {
 public:
  // The body; created on first use.
  TMemoryStream& Content();
  // "name=value" lines as decoded, pseudo-headers included; created on first use.
  TStringList& Headers();
  // The charset parameter of content-type, unquoted; empty when absent.
  std::string Charset();
  // :status as a number; 0 when missing.
  int Status();

  void Clear();
  // Copies aValue's bytes from its position into Content and leaves both at
  // the position aValue had; null only empties Content.
  void SetContent(TStream* aValue);

 private:
  std::unique_ptr<TMemoryStream> FContent;
  std::unique_ptr<TStringList> FHeaders;
};

class TkfxHTTP2Settings : public TPersistent {
 public:
  void Assign(const TPersistent* Source) override;
  void GetPublishedProperties(TPublishedProperties& aList) override;

  bool EnableConnectProtocol = false;
  bool EnablePush = true;
  int32_t HeaderTableSize = 4096;
  int32_t InitialWindowSize = 65535;
  int32_t MaxConcurrentStreams = 2147483647;
  int32_t MaxFrameSize = 16384;
  int32_t MaxHeaderListSize = 2147483647;

 private:
  static const TPersistentFields<TkfxHTTP2Settings>& Fields();
};

// One queued event. Connection, Headers and RawObject are not owned: they
// must outlive the delivery. GoAway and RSTStream are owned copies, and
// RawException shares ownership of the caught exception, so the record can be
// delivered after the handler that caught it has ended (ExceptionClassName and
// ExceptionMessage read it; rethrowing it gives the exception itself).
class TkfxHTTP2NotifyObject : public TObject {
 public:
  TkfxHTTP2GoAwayProperty& GoAway();
  void SetGoAway(const TkfxHTTP2GoAwayProperty* aValue);
  TkfxHTTP2RSTStreamProperty& RSTStream();
  void SetRSTStream(const TkfxHTTP2RSTStreamProperty* aValue);
  bool HasGoAway() const { return FGoAway != nullptr; }
  bool HasRSTStream() const { return FRSTStream != nullptr; }

  TIdBytes Bytes;
  TObject* Connection = nullptr;
  std::exception_ptr RawException;
  std::string Text;
  TStringList* Headers = nullptr;
  TObject* RawObject = nullptr;

 private:
  std::unique_ptr<TkfxHTTP2GoAwayProperty> FGoAway;
  std::unique_ptr<TkfxHTTP2RSTStreamProperty> FRSTStream;
};

// A locked, ordered list of notify objects. It frees what it created: the
// objects still listed when it is destroyed go with it.
class TkfxHTTP2ObjectList : public TkfxThreadList {
 public:
  ~TkfxHTTP2ObjectList() override;

  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection);
  // aException: std::current_exception() inside the handler that caught it.
  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection, const std::string& aText,
                                         std::exception_ptr aException);
  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection, const TkfxHTTP2GoAwayProperty* aGoAway);
  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection, TObject* aObject, const TIdBytes& aBytes);
  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection, TStringList* aHeaders);
  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection, TObject* aObject);
  TkfxHTTP2NotifyObject* AddNotifyObject(TObject* Connection, const TkfxHTTP2RSTStreamProperty* aRSTStream);

  // Destroys and removes every notify object, first to last.
  void DeleteAll();

 private:
  TkfxHTTP2NotifyObject* Append(std::unique_ptr<TkfxHTTP2NotifyObject> aObject);
};

class TkfxHTTP2PushPromiseItem : public TkfxQueueItemBase {
 public:
  const std::string& Path() const { return ID; }
  void SetPath(const std::string& aPath) { ID = aPath; }
  // Created on first use.
  TStringList& Links();
  bool HasLinks() const { return FLinks && FLinks->Count() > 0; }

 private:
  std::unique_ptr<TStringList> FLinks;
};

// Links pushed by a server, keyed by path; owns its items.
class TkfxHTTP2PushPromiseList : public TkfxQueue<TkfxHTTP2PushPromiseItem> {
 public:
  TkfxHTTP2PushPromiseList() { OwnObjects = true; }
  void AddPushPromise(const std::string& aPath, const TStringList& aLinks);
  // The links of the first item with that path when it has any; otherwise null.
  TStringList* GetPushPromiseLinks(const std::string& aPath);
};

// Unsigned big-endian integer of aSize bytes (1 to 4) at aPosition; 0 for other sizes.
uint32_t ReadBigEndianInteger(const TIdBytes& aBytes, int aSize, int aPosition);
// Zero-fills aSize bytes at aPosition, then writes aValue right-aligned using
// only as many bytes as it needs; values of 2^31 and more leave the range zero.
void WriteBigEndianInteger(int64_t aValue, int aPosition, int aSize, TIdBytes& aBytes);
TIdBytes AnsiStringToBytes(const std::string& aText);
int AnsiByteLength(const std::string& aText);
int ASCIIByteCount(const std::string& aText);
// Splits an absolute URL into protocol, host, port (443 unless given) and
// path ("/" when empty). False when the URL has no host item; a port that is
// not a number raises EConvertError.
bool SplitHTTP2URL(const std::string& aURL, std::string& aProtocol, std::string& aHost, int& aPort,
                   std::string& aPath);
