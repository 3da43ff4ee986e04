// TIdIOHandler: the object through which a connection moves bytes. It keeps
// the receive buffer that socket reads append to and readers consume from,
// an optional write buffer, the time-outs and line limits, and the intercept
// chain that sees every block sent or received. The socket calls themselves
// belong to subclasses (TIdIOHandlerSocket, TIdIOHandlerStack, the TLS
// handlers). The handler has no lock of its own: one thread reads at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "rtl/StringList.h"
#include "transport/IdBuffer.h"
#include "transport/IdComponent.h"
#include "transport/IdIntercept.h"

class TStream;

enum class TIdMaxLineAction { maException, maSplit };

class EIdMaxCaptureLineExceeded : public EIdException {
 public:
  using EIdException::EIdException;
};

class TIdIOHandler;
using TIdIOHandlerFactory = std::function<TIdIOHandler*(TComponent* AOwner)>;

class TIdIOHandler : public TIdComponent {
 public:
  explicit TIdIOHandler(TComponent* AOwner = nullptr);
  ~TIdIOHandler() override;

  // The class a connection creates when it needs a handler and has none
  // (TIdIOHandlerStack unless a unit registers another).
  static void SetDefaultClass(TIdIOHandlerFactory AFactory);
  static TIdIOHandler* MakeDefaultIOHandler(TComponent* AOwner = nullptr);
  // Handler classes available to TIdTCPConnection::CreateIOHandler; the last
  // registered that is a T wins.
  static void RegisterIOHandler(TIdIOHandlerFactory AFactory);
  template <class T>
  static T* MakeIOHandler(TComponent* AOwner = nullptr);

  // --- properties ---
  virtual std::string Destination() const;
  virtual void SetDestination(const std::string& AValue);
  const std::string& Host() const { return FHost; }
  virtual void SetHost(const std::string& AValue) { FHost = AValue; }
  int Port() const { return FPort; }
  virtual void SetPort(int AValue) { FPort = AValue; }
  // First link of the intercept chain (not owned; observed for freeing).
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdConnectionIntercept* AValue);
  int MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int AValue) { FMaxLineLength = AValue; }
  TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction AValue) { FMaxLineAction = AValue; }
  int RecvBufferSize() const { return FRecvBufferSize; }
  void SetRecvBufferSize(int AValue) { FRecvBufferSize = AValue > 0 ? AValue : 32768; }
  int SendBufferSize() const { return FSendBufferSize; }
  void SetSendBufferSize(int AValue) { FSendBufferSize = AValue; }
  // Milliseconds; -1 or 0: wait without limit.
  int ReadTimeout() const { return FReadTimeOut; }
  void SetReadTimeout(int AValue) { FReadTimeOut = AValue; }
  // Milliseconds for the connect step; -1 or 0: no limit.
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
  TIdBuffer* InputBuffer() const { return FInputBuffer.get(); }
  bool Opened() const { return FOpened; }
  bool ClosedGracefully() const { return FClosedGracefully; }
  // When set, a send that fails because the peer is gone (reset, broken pipe)
  // does not close the connection: writing stops, later writes are dropped,
  // and what the peer sent before is still read until the end of the stream,
  // a read error, or WriteClosedDrainMS() later, whichever comes first.
  bool ReadAfterWriteError() const { return FReadAfterWriteError; }
  void SetReadAfterWriteError(bool AValue) { FReadAfterWriteError = AValue; }
  bool WriteClosed() const { return FWriteClosed; }
  static constexpr int WriteClosedDrainMS() { return 2000; }
  TIdTextEncoding DefStringEncoding() const { return FDefStringEncoding; }
  void SetDefStringEncoding(TIdTextEncoding AValue) { FDefStringEncoding = AValue; }
  bool LargeStream() const { return FLargeStream; }
  void SetLargeStream(bool AValue) { FLargeStream = AValue; }
  int MaxCapturedLines() const { return FMaxCapturedLines; }
  void SetMaxCapturedLines(int AValue) { FMaxCapturedLines = AValue; }
  bool ReadLnSplit() const { return FReadLnSplit; }
  bool ReadLnTimedOut() const { return FReadLnTimedOut; }

  // --- state ---
  virtual void AfterAccept() {}
  virtual bool Connected();
  // Closes the handler when the peer closed; raises EIdConnClosedGracefully
  // when asked and disconnected with the buffer drained (or ignored).
  virtual void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true,
                                  bool AIgnoreBuffer = false) = 0;
  // Whether bytes arrived within ATimeout ms; never later than that bound.
  virtual bool CheckForDataOnSource(int ATimeout = 0);
  virtual void Close();
  virtual void CloseGracefully() { FClosedGracefully = true; }
  virtual void Open();
  virtual bool Readable(int AMSec = IdTimeoutDefault);

  // --- writing ---
  // ALength -1: to the end. Nothing for an empty range (not even a connection check).
  virtual void Write(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);
  virtual void Write(const std::string& AOut,
                     TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  void Write(const char* AOut) { Write(std::string(AOut)); }
  virtual void WriteLn(const std::string& AOut = "",
                       TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // A line starting with "." gets a second "." in front.
  virtual void WriteLnRFC(const std::string& AOut = "",
                          TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  virtual void Write(const TStrings& AValue, bool AWriteLinesCount = false,
                     TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // ASize 0: from the position to the end; AWriteByteCount sends the size first (32 or 64 bits).
  virtual void Write(TStream& AStream, int64_t ASize = 0, bool AWriteByteCount = false);
  void Write(uint8_t AValue);
  void Write(uint16_t AValue, bool AConvert = true);  // AConvert: network byte order
  void Write(uint32_t AValue, bool AConvert = true);
  void Write(uint64_t AValue, bool AConvert = true);
  // Sends at once, bypassing the write buffer (the intercept chain still applies).
  void WriteDirect(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);

  void WriteBufferOpen(int AThreshold = -1);
  // Sends up to AByteCount buffered bytes (-1: all).
  void WriteBufferFlush(int AByteCount = -1);
  // Flushes, then ends buffering (also when the flush raised).
  void WriteBufferClose();
  void WriteBufferClear();
  // Clears, then ends buffering.
  void WriteBufferCancel();
  bool WriteBufferingActive() const { return FWriteBuffer != nullptr; }

  // --- reading ---
  // AByteCount > 0: exactly that many (waiting, ReadTimeout raises);
  // < 0: what is there, after at most one wait of ReadTimeout; 0: nothing.
  virtual void ReadBytes(TIdBytes& VBuffer, int AByteCount, bool AAppend = true);
  // A line up to ATerminator (LF when empty; a CR before an LF goes too).
  // Empty on time-out (ReadLnTimedOut), the first AMaxLineLength bytes with
  // maSplit (ReadLnSplit). ATimeout -1: ReadTimeout; AMaxLineLength -1: MaxLineLength.
  virtual std::string ReadLn(const std::string& ATerminator = "", int ATimeout = IdTimeoutDefault,
                             int AMaxLineLength = -1,
                             TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  std::string ReadLn(TIdTextEncoding AByteEncoding) { return ReadLn("", IdTimeoutDefault, -1, AByteEncoding); }
  // The first non-empty (trimmed) line of at most AFailCount.
  virtual std::string ReadLnWait(int AFailCount = INT32_MAX,
                                 TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // ReadLn; a line "." alone returns the delimiter, ".." at the start loses one ".".
  std::string ReadLnRFC(bool& VMsgEnd, const std::string& ALineTerminator = "\n",
                        const std::string& ADelim = ".",
                        TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  uint8_t ReadByte();
  uint16_t ReadUInt16(bool AConvert = true);
  uint32_t ReadUInt32(bool AConvert = true);
  uint64_t ReadUInt64(bool AConvert = true);
  int32_t ReadInt32(bool AConvert = true) { return static_cast<int32_t>(ReadUInt32(AConvert)); }
  std::string ReadString(int ABytes, TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // ALineCount < 0: read the count first (32 bits).
  void ReadStrings(TStrings& AValue, int AReadLinesCount = -1,
                   TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // AByteCount -1 with AReadUntilDisconnect: everything until the peer closes.
  void ReadStream(TStream& AStream, int64_t AByteCount = -1, bool AReadUntilDisconnect = false);
  // Everything until the peer closes, as text.
  std::string AllData(TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // Reads lines into ADest until one equal to ADelim (not added). Raises
  // EIdMaxCaptureLineExceeded when more than a positive MaxCapturedLines come.
  void Capture(TStrings& ADest, const std::string& ADelim = ".", bool AUsesDotTransparency = true,
               TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  // Reads and drops exactly AByteCount bytes.
  void Discard(int64_t AByteCount);

  bool InputBufferIsEmpty() const { return !FInputBuffer || FInputBuffer->Size() == 0; }
  std::string InputBufferAsString(TIdTextEncoding AByteEncoding = TIdTextEncoding::encDefault);
  void InputBufferToStream(TStream& AStream, int AByteCount = -1);

  // One pass of the receive path: waits up to ATimeout ms (-1: ReadTimeout,
  // where -1 or 0 mean no limit) and appends what arrives to the input
  // buffer. Returns the count added, 0 after a peer close, -1 on time-out.
  int ReadFromSource(bool ARaiseExceptionIfDisconnected = true, int ATimeout = IdTimeoutDefault,
                     bool ARaiseExceptionOnTimeout = true);

  void GetPublishedProperties(TPublishedProperties& aList) override;

 protected:
  // One receive into VBuffer: the count, 0 when the peer closed, negative on error.
  virtual int ReadDataFromSource(TIdBytes& VBuffer) = 0;
  // One send: the count, or negative on error.
  virtual int WriteDataToTarget(const TIdBytes& ABuffer, int AOffset, int ALength) = 0;
  virtual bool SourceIsAvailable() = 0;
  // The error code of a failed result; raises for codes that are not tolerated.
  virtual int CheckForError(int ALastResult) = 0;
  [[noreturn]] virtual void RaiseError(int AError) = 0;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  TIdTextEncoding Encoding(TIdTextEncoding AEncoding) const {
    return AEncoding == TIdTextEncoding::encDefault ? FDefStringEncoding : AEncoding;
  }

  bool FLargeStream = false;
  bool FClosedGracefully = false;
  bool FReadAfterWriteError = false;
  // Sending failed with the peer gone; the read side still drains.
  bool FWriteClosed = false;
  uint64_t FWriteClosedDeadline = 0;
  // The error (reset, abort, shutdown) that closed the connection, or 0 after
  // a peer's orderly close: a drained buffer then reports it, not a graceful close.
  int FCloseError = 0;
  int FConnectTimeout = 0;
  std::string FHost;
  std::unique_ptr<TIdBuffer> FInputBuffer;
  TIdConnectionIntercept* FIntercept = nullptr;
  int FMaxCapturedLines = -1;
  TIdMaxLineAction FMaxLineAction = TIdMaxLineAction::maException;
  int FMaxLineLength = 16384;
  bool FOpened = false;
  int FPort = 0;
  bool FReadLnSplit = false;
  bool FReadLnTimedOut = false;
  int FReadTimeOut = -1;
  int FRecvBufferSize = 32768;
  int FSendBufferSize = 32768;
  std::unique_ptr<TIdBuffer> FWriteBuffer;
  int FWriteBufferThreshold = 0;
  TIdTextEncoding FDefStringEncoding = TIdTextEncoding::encASCII;

 private:
  static std::vector<TIdIOHandlerFactory>& Registry();
};

template <class T>
T* TIdIOHandler::MakeIOHandler(TComponent* AOwner) {
  auto& registry = Registry();
  for (auto it = registry.rbegin(); it != registry.rend(); ++it) {
    TIdIOHandler* handler = (*it)(AOwner);
    if (T* typed = dynamic_cast<T*>(handler)) return typed;
    delete handler;
  }
  return nullptr;
}
