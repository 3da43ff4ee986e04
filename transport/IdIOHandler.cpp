#include "transport/IdIOHandler.h"

#include <algorithm>
#include <climits>

#include "base/kfxBase_Helpers.h"
#include "rtl/Streams.h"
#include "transport/IdStack.h"

namespace {

TIdIOHandlerFactory& DefaultFactory() {
  static TIdIOHandlerFactory factory;
  return factory;
}

}  // namespace

std::vector<TIdIOHandlerFactory>& TIdIOHandler::Registry() {
  static std::vector<TIdIOHandlerFactory> registry;
  return registry;
}

void TIdIOHandler::SetDefaultClass(TIdIOHandlerFactory AFactory) {
  DefaultFactory() = std::move(AFactory);
}

TIdIOHandler* TIdIOHandler::MakeDefaultIOHandler(TComponent* AOwner) {
  if (!DefaultFactory()) return nullptr;
  return DefaultFactory()(AOwner);
}

void TIdIOHandler::RegisterIOHandler(TIdIOHandlerFactory AFactory) {
  Registry().push_back(std::move(AFactory));
}

TIdIOHandler::TIdIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {
  FInputBuffer = std::make_unique<TIdBuffer>(
      [this](TObject*, int ABytes) { DoWork(TWorkMode::wmRead, ABytes); });
}

TIdIOHandler::~TIdIOHandler() { SetIntercept(nullptr); }

std::string TIdIOHandler::Destination() const { return FHost; }

void TIdIOHandler::SetDestination(const std::string& AValue) { FHost = AValue; }

void TIdIOHandler::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
}

void TIdIOHandler::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FIntercept) FIntercept = nullptr;
  TIdComponent::Notification(AComponent, Operation);
}

bool TIdIOHandler::Connected() {
  CheckForDisconnect(false, false);
  if ((FClosedGracefully || !FInputBuffer) && InputBufferIsEmpty()) return false;
  return FOpened;
}

bool TIdIOHandler::CheckForDataOnSource(int ATimeout) {
  const int before = FInputBuffer->Size();
  // Connected may pull waiting bytes in itself; then there is no need to wait.
  if (!Connected()) return false;
  if (FInputBuffer->Size() == before) ReadFromSource(false, ATimeout, false);
  return FInputBuffer->Size() > before;
}

void TIdIOHandler::Close() {
  try {
    if (FIntercept) FIntercept->Disconnect();
  } catch (...) {
    FOpened = false;
    WriteBufferClear();
    throw;
  }
  FOpened = false;
  WriteBufferClear();
}

void TIdIOHandler::Open() {
  FOpened = false;
  FClosedGracefully = false;
  FCloseError = 0;
  FWriteClosed = false;
  FWriteClosedDeadline = 0;
  WriteBufferClear();
  FInputBuffer->Clear();
  FOpened = true;
}

bool TIdIOHandler::Readable(int) { return false; }

// --- writing ---

void TIdIOHandler::Write(const TIdBytes& ABuffer, int ALength, int AOffset) {
  const int available = static_cast<int>(ABuffer.size()) - AOffset;
  if (ALength < 0 || ALength > available) ALength = available;
  if (ALength <= 0 || AOffset < 0) return;
  if (!FWriteBuffer) {
    WriteDirect(ABuffer, ALength, AOffset);
    return;
  }
  FWriteBuffer->Write(ABuffer, ALength, -1, AOffset);
  if (FWriteBufferThreshold > 0) {
    while (FWriteBuffer && FWriteBuffer->Size() >= FWriteBufferThreshold)
      WriteBufferFlush(FWriteBufferThreshold);
  }
}

void TIdIOHandler::Write(const std::string& AOut, TIdTextEncoding AByteEncoding) {
  if (AOut.empty()) return;
  Write(ToBytes(AOut, Encoding(AByteEncoding)));
}

void TIdIOHandler::WriteLn(const std::string& AOut, TIdTextEncoding AByteEncoding) {
  Write(AOut + "\r\n", AByteEncoding);
}

void TIdIOHandler::WriteLnRFC(const std::string& AOut, TIdTextEncoding AByteEncoding) {
  WriteLn(!AOut.empty() && AOut[0] == '.' ? "." + AOut : AOut, AByteEncoding);
}

void TIdIOHandler::Write(const TStrings& AValue, bool AWriteLinesCount,
                         TIdTextEncoding AByteEncoding) {
  const bool buffering = WriteBufferingActive();
  if (!buffering) WriteBufferOpen();
  try {
    if (AWriteLinesCount) Write(static_cast<uint32_t>(AValue.Count()));
    for (const std::string& line : AValue.Lines()) WriteLn(line, AByteEncoding);
  } catch (...) {
    if (!buffering) WriteBufferCancel();
    throw;
  }
  if (!buffering) WriteBufferClose();
}

void TIdIOHandler::Write(TStream& AStream, int64_t ASize, bool AWriteByteCount) {
  if (ASize <= 0) ASize = AStream.Size() - AStream.Position();
  if (ASize < 0) ASize = 0;
  if (AWriteByteCount) {
    if (FLargeStream)
      Write(static_cast<uint64_t>(ASize));
    else
      Write(static_cast<uint32_t>(ASize));
  }
  TIdBytes chunk;
  while (ASize > 0) {
    chunk.resize(static_cast<size_t>(std::min<int64_t>(ASize, FSendBufferSize > 0 ? FSendBufferSize : 32768)));
    const int64_t got = AStream.Read(chunk.data(), static_cast<int64_t>(chunk.size()));
    if (got <= 0) break;
    Write(chunk, static_cast<int>(got));
    ASize -= got;
  }
}

void TIdIOHandler::Write(uint8_t AValue) { Write(TIdBytes{AValue}); }

void TIdIOHandler::Write(uint16_t AValue, bool AConvert) {
  TIdBytes bytes{static_cast<uint8_t>(AValue >> 8), static_cast<uint8_t>(AValue)};
  if (!AConvert) std::reverse(bytes.begin(), bytes.end());
  Write(bytes);
}

void TIdIOHandler::Write(uint32_t AValue, bool AConvert) {
  TIdBytes bytes(4);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(AValue >> (24 - 8 * i));
  if (!AConvert) std::reverse(bytes.begin(), bytes.end());
  Write(bytes);
}

void TIdIOHandler::Write(uint64_t AValue, bool AConvert) {
  TIdBytes bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(AValue >> (56 - 8 * i));
  if (!AConvert) std::reverse(bytes.begin(), bytes.end());
  Write(bytes);
}

void TIdIOHandler::WriteDirect(const TIdBytes& ABuffer, int ALength, int AOffset) {
  CheckForDisconnect(true, true);
  // The peer stopped taking data; the connection ends once what it sent is read.
  if (FWriteClosed) return;
  const int available = static_cast<int>(ABuffer.size()) - AOffset;
  if (ALength < 0 || ALength > available) ALength = available;
  if (ALength <= 0 || AOffset < 0) return;
  TIdBytes intercepted;
  const TIdBytes* data = &ABuffer;
  int offset = AOffset, length = ALength;
  if (FIntercept) {
    intercepted.assign(ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + ALength);
    FIntercept->Send(intercepted);
    data = &intercepted;
    offset = 0;
    length = static_cast<int>(intercepted.size());
  }
  int sent = 0;
  while (sent < length) {
    const int count = WriteDataToTarget(*data, offset + sent, length - sent);
    if (count < 0) {
      const int code = CheckForError(count);
      // The peer is gone for writing, but what it sent before the reset (its
      // answers, its last words) still waits in the receive queue: reading
      // goes on, writing stops, and the error is reported when reading ends.
      if (FReadAfterWriteError && FOpened &&
          (code == Id_WSAECONNRESET || code == Id_WSAECONNABORTED || code == Id_WSAESHUTDOWN)) {
        FWriteClosed = true;
        FCloseError = code;
        FWriteClosedDeadline = TicksNow() + static_cast<uint64_t>(WriteClosedDrainMS());
        return;
      }
      // A block that went out in part can never be completed: anything sent
      // after it would be read as the rest of it. Only a time-out before the
      // first byte leaves the connection usable.
      if (code != Id_WSAETIMEDOUT || sent > 0) {
        FClosedGracefully = true;
        FCloseError = code;
        Close();
      }
      RaiseError(code);
    }
    if (count == 0) {
      FClosedGracefully = true;
      Close();
      throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    sent += count;
    DoWork(TWorkMode::wmWrite, count);
    if (sent < length) CheckForDisconnect(true, false);
  }
}

void TIdIOHandler::WriteBufferOpen(int AThreshold) {
  if (FWriteBuffer)
    FWriteBuffer->Clear();
  else
    FWriteBuffer = std::make_unique<TIdBuffer>();
  FWriteBufferThreshold = AThreshold;
}

void TIdIOHandler::WriteBufferFlush(int AByteCount) {
  if (!FWriteBuffer || FWriteBuffer->Size() == 0) return;
  if (AByteCount < 0 || AByteCount > FWriteBuffer->Size()) AByteCount = FWriteBuffer->Size();
  TIdBytes bytes;
  FWriteBuffer->ExtractToBytes(bytes, AByteCount, false);
  WriteDirect(bytes);
}

void TIdIOHandler::WriteBufferClose() {
  try {
    WriteBufferFlush();
  } catch (...) {
    FWriteBuffer.reset();
    throw;
  }
  FWriteBuffer.reset();
}

void TIdIOHandler::WriteBufferClear() {
  if (FWriteBuffer) FWriteBuffer->Clear();
}

void TIdIOHandler::WriteBufferCancel() {
  WriteBufferClear();
  FWriteBuffer.reset();
}

// --- reading ---

int TIdIOHandler::ReadFromSource(bool ARaiseExceptionIfDisconnected, int ATimeout,
                                 bool ARaiseExceptionOnTimeout) {
  int timeout = ATimeout;
  if (timeout == IdTimeoutDefault) timeout = FReadTimeOut <= 0 ? IdTimeoutInfinite : FReadTimeOut;
  CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  if (!SourceIsAvailable()) {
    if (ARaiseExceptionIfDisconnected) throw EIdNotConnected("Not Connected");
    return 0;
  }
  const uint64_t deadline = timeout < 0 ? 0 : TicksNow() + static_cast<uint64_t>(timeout);
  const auto timedOut = [&]() -> int {
    if (ARaiseExceptionOnTimeout) throw EIdReadTimeout("Read timed out.");
    return -1;
  };
  for (;;) {
    if (!Readable(timeout < 0 ? IdTimeoutInfinite : RemainingMS(deadline))) return timedOut();
    int count = 0;
    bool peerClosed = false;
    if (FOpened) {
      if (SourceIsAvailable()) {
        // Reads land in one buffer per thread, made once: a read costs no
        // allocation and no clearing of a whole chunk. A read nested in
        // another on the same thread gets a buffer of its own.
        thread_local TIdBytes scratch;
        thread_local bool scratchInUse = false;
        TIdBytes nested;
        const bool useScratch = !scratchInUse;
        TIdBytes& buffer = useScratch ? scratch : nested;
        if (buffer.size() < static_cast<size_t>(FRecvBufferSize)) buffer.resize(static_cast<size_t>(FRecvBufferSize));
        if (useScratch) scratchInUse = true;
        try {
          count = ReadDataFromSource(buffer);
        } catch (...) {
          if (useScratch) scratchInUse = false;
          throw;
        }
        if (useScratch) scratchInUse = false;
        if (count > 0 && FIntercept) {
          TIdBytes received(buffer.begin(), buffer.begin() + count);
          FIntercept->Receive(received);
          count = static_cast<int>(received.size());
          if (count > 0) FInputBuffer->Write(received);
        } else if (count > 0) {
          FInputBuffer->Write(buffer, count);
        } else if (count == 0) {
          peerClosed = true;
        } else {
          const int code = CheckForError(count);
          if (code == Id_WSAETIMEDOUT) return timedOut();
          FClosedGracefully = true;
          FCloseError = code;
          Close();
          if (InputBufferIsEmpty() && ARaiseExceptionIfDisconnected) RaiseError(code);
          count = 0;
          peerClosed = true;
        }
      } else if (ARaiseExceptionIfDisconnected) {
        throw EIdClosedSocket("Disconnected.");
      }
    } else if (ARaiseExceptionIfDisconnected) {
      throw EIdNotConnected("Not Connected");
    }
    // Only the socket's own result tells that the peer closed: an intercept
    // that swallowed a whole block does not end the connection.
    if (peerClosed) FClosedGracefully = true;
    CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    if (count != 0) return count;
    if (peerClosed || !FOpened || !SourceIsAvailable()) return 0;
    if (timeout >= 0 && RemainingMS(deadline) == 0) return timedOut();
  }
}

void TIdIOHandler::ReadBytes(TIdBytes& VBuffer, int AByteCount, bool AAppend) {
  if (AByteCount > 0) {
    while (FInputBuffer->Size() < AByteCount) {
      if (ReadFromSource(false, IdTimeoutDefault, true) <= 0) CheckForDisconnect(true, true);
    }
    FInputBuffer->ExtractToBytes(VBuffer, AByteCount, AAppend);
  } else if (AByteCount < 0) {
    if (InputBufferIsEmpty()) {
      ReadFromSource(false, FReadTimeOut, false);
      CheckForDisconnect(true, true);
    }
    if (!AAppend) VBuffer.clear();
    FInputBuffer->ExtractToBytes(VBuffer, -1, true);
  }
}

std::string TIdIOHandler::ReadLn(const std::string& ATerminator, int ATimeout, int AMaxLineLength,
                                 TIdTextEncoding AByteEncoding) {
  const TIdTextEncoding encoding = Encoding(AByteEncoding);
  const std::string terminatorText = ATerminator.empty() ? "\n" : ATerminator;
  const TIdBytes terminator = ToBytes(terminatorText, encoding);
  const int limit = AMaxLineLength < 0 ? FMaxLineLength : AMaxLineLength;
  FReadLnSplit = false;
  FReadLnTimedOut = false;
  const int timeout = ATimeout == IdTimeoutDefault ? (FReadTimeOut <= 0 ? IdTimeoutInfinite : FReadTimeOut) : ATimeout;
  const uint64_t deadline = timeout < 0 ? 0 : TicksNow() + static_cast<uint64_t>(timeout);
  int searchFrom = 0;
  int found = -1;
  bool readOnce = false;
  for (;;) {
    if (FInputBuffer->Size() > searchFrom) found = FInputBuffer->IndexOf(terminator, searchFrom);
    if (limit > 0 && ((found < 0 && FInputBuffer->Size() > limit) || found > limit)) {
      if (FMaxLineAction == TIdMaxLineAction::maException)
        throw EIdReadLnMaxLineLengthExceeded("Max line length exceeded.");
      FReadLnSplit = true;
      return FInputBuffer->ExtractToString(limit, encoding);
    }
    if (found >= 0) break;
    searchFrom = std::max(0, FInputBuffer->Size() - static_cast<int>(terminator.size()) + 1);
    if (timeout >= 0 && readOnce && RemainingMS(deadline) == 0) {
      FReadLnTimedOut = true;
      return {};
    }
    CheckForDisconnect(true, true);
    readOnce = true;
    if (ReadFromSource(true, timeout < 0 ? IdTimeoutInfinite : RemainingMS(deadline), false) == -1) {
      FReadLnTimedOut = true;
      return {};
    }
  }
  TIdBytes line;
  FInputBuffer->ExtractToBytes(line, found, false);
  FInputBuffer->Remove(static_cast<int>(terminator.size()));
  if (terminatorText == "\n" && !line.empty() && line.back() == '\r') line.pop_back();
  return BytesToString(line, encoding);
}

std::string TIdIOHandler::ReadLnWait(int AFailCount, TIdTextEncoding AByteEncoding) {
  for (int attempt = 0; attempt < AFailCount; ++attempt) {
    std::string line = Trim(ReadLn("", IdTimeoutDefault, -1, AByteEncoding));
    if (FReadLnTimedOut) throw EIdReadTimeout("Read timed out.");
    if (!line.empty()) return line;
  }
  throw EIdReadLnWaitMaxAttemptsExceeded("Max line read attempts exceeded.");
}

std::string TIdIOHandler::ReadLnRFC(bool& VMsgEnd, const std::string& ALineTerminator,
                                    const std::string& ADelim, TIdTextEncoding AByteEncoding) {
  std::string line = ReadLn(ALineTerminator, IdTimeoutDefault, -1, AByteEncoding);
  VMsgEnd = line == ADelim;
  if (!VMsgEnd && line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
  return line;
}

uint8_t TIdIOHandler::ReadByte() {
  TIdBytes bytes;
  ReadBytes(bytes, 1, false);
  return bytes[0];
}

uint16_t TIdIOHandler::ReadUInt16(bool AConvert) {
  TIdBytes b;
  ReadBytes(b, 2, false);
  return AConvert ? static_cast<uint16_t>(b[0] << 8 | b[1]) : static_cast<uint16_t>(b[1] << 8 | b[0]);
}

uint32_t TIdIOHandler::ReadUInt32(bool AConvert) {
  TIdBytes b;
  ReadBytes(b, 4, false);
  if (!AConvert) std::reverse(b.begin(), b.begin() + 4);
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | b[i];
  return value;
}

uint64_t TIdIOHandler::ReadUInt64(bool AConvert) {
  TIdBytes b;
  ReadBytes(b, 8, false);
  if (!AConvert) std::reverse(b.begin(), b.begin() + 8);
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | b[i];
  return value;
}

std::string TIdIOHandler::ReadString(int ABytes, TIdTextEncoding AByteEncoding) {
  if (ABytes <= 0) return {};
  TIdBytes bytes;
  ReadBytes(bytes, ABytes, false);
  return BytesToString(bytes, 0, static_cast<size_t>(ABytes), Encoding(AByteEncoding));
}

void TIdIOHandler::ReadStrings(TStrings& AValue, int AReadLinesCount, TIdTextEncoding AByteEncoding) {
  if (AReadLinesCount < 0) AReadLinesCount = ReadInt32();
  for (int i = 0; i < AReadLinesCount; ++i) AValue.Add(ReadLn(AByteEncoding));
}

void TIdIOHandler::ReadStream(TStream& AStream, int64_t AByteCount, bool AReadUntilDisconnect) {
  if (AReadUntilDisconnect) {
    try {
      for (;;) {
        if (InputBufferIsEmpty()) ReadFromSource(true, IdTimeoutDefault, true);
        FInputBuffer->ExtractToStream(AStream);
      }
    } catch (const EIdConnClosedGracefully&) {
      FInputBuffer->ExtractToStream(AStream);
    }
    return;
  }
  if (AByteCount < 0) AByteCount = FLargeStream ? static_cast<int64_t>(ReadUInt64()) : ReadInt32();
  while (AByteCount > 0) {
    const int chunk = static_cast<int>(std::min<int64_t>(AByteCount, FRecvBufferSize));
    TIdBytes bytes;
    ReadBytes(bytes, chunk, false);
    AStream.WriteBuffer(bytes.data(), chunk);
    AByteCount -= chunk;
  }
}

std::string TIdIOHandler::AllData(TIdTextEncoding AByteEncoding) {
  TMemoryStream stream;
  ReadStream(stream, -1, true);
  return BytesToString(stream.Bytes(), Encoding(AByteEncoding));
}

void TIdIOHandler::Capture(TStrings& ADest, const std::string& ADelim, bool AUsesDotTransparency,
                           TIdTextEncoding AByteEncoding) {
  int lines = 0;
  for (;;) {
    std::string line = ReadLn(AByteEncoding);
    if (FReadLnTimedOut) throw EIdReadTimeout("Read timed out.");
    if (line == ADelim) return;
    if (AUsesDotTransparency && ADelim == "." && line.size() >= 2 && line[0] == '.' && line[1] == '.')
      line.erase(0, 1);
    if (FMaxCapturedLines > 0 && ++lines > FMaxCapturedLines)
      throw EIdMaxCaptureLineExceeded("Maximum number of captured lines exceeded");
    ADest.Add(line);
  }
}

void TIdIOHandler::Discard(int64_t AByteCount) {
  while (AByteCount > 0) {
    const int chunk = static_cast<int>(std::min<int64_t>(AByteCount, 1 << 20));
    if (FInputBuffer->Size() < chunk) {
      // Drop what is there first so the buffer never holds more than a chunk.
      const int held = FInputBuffer->Size();
      if (held > 0) {
        FInputBuffer->Remove(held);
        AByteCount -= held;
        continue;
      }
      const int added = ReadFromSource(false, IdTimeoutDefault, true);
      if (added <= 0) CheckForDisconnect(true, true);
      continue;
    }
    FInputBuffer->Remove(chunk);
    AByteCount -= chunk;
  }
}

std::string TIdIOHandler::InputBufferAsString(TIdTextEncoding AByteEncoding) {
  return FInputBuffer->ExtractToString(-1, Encoding(AByteEncoding));
}

void TIdIOHandler::InputBufferToStream(TStream& AStream, int AByteCount) {
  FInputBuffer->ExtractToStream(AStream, AByteCount);
}

void TIdIOHandler::GetPublishedProperties(TPublishedProperties& aList) {
  TIdComponent::GetPublishedProperties(aList);
  aList.push_back(PublishString(
      "Destination", [this] { return Destination(); },
      [this](const std::string& v) { SetDestination(v); }));
  aList.push_back(PublishString(
      "Host", [this] { return FHost; }, [this](const std::string& v) { SetHost(v); }));
  aList.push_back(PublishField("MaxLineLength", FMaxLineLength));
  aList.push_back(PublishEnumField<TIdMaxLineAction>("MaxLineAction", {"maException", "maSplit"},
                                                     FMaxLineAction));
  aList.push_back(PublishInteger(
      "Port", [this] { return FPort; }, [this](int64_t v) { SetPort(static_cast<int>(v)); }));
  aList.push_back(PublishField("RecvBufferSize", FRecvBufferSize));
  aList.push_back(PublishField("SendBufferSize", FSendBufferSize));
}
