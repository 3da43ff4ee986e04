// Byte, time and text routines shared by the whole library, and the routines
// that release objects and threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/kfxBase_Classes.h"
#include "rtl/DateTime.h"
#include "rtl/System.h"

// Clears the reference, then frees the object it held (nothing for null).
template <class T>
void FreeObject(T*& aObject) {
  T* object = aObject;
  aObject = nullptr;
  if (object) object->Free();
}
template <class T, class D>
void FreeObject(std::unique_ptr<T, D>& aObject) {
  aObject.reset();
}

// Stops and disposes of a thread, also from inside that thread or from one of
// its event handlers (called on the thread that runs the handler): then the
// thread is told to free itself when it ends (after that handler returned)
// and the call returns at once. Otherwise, also while a handler runs on
// another thread, it terminates the thread (waiting up to about a second for
// a Terminate that declines), frees it (which waits for its end) and clears
// the reference.
void FreeThread(TkfxIdThread*& aThread);
template <class T>
void FreeThread(T*& aThread) {
  TkfxIdThread* thread = aThread;
  aThread = nullptr;
  FreeThread(thread);
}
template <class T>
void FreeThread(TOwned<T>& aThread) {
  TkfxIdThread* thread = aThread.release();
  FreeThread(thread);
}

// The whole byte array decoded as UTF-8 (invalid sequences become U+FFFD).
// Appends the UTF-8 encoding of the code point aCp to aOut.
void AppendUTF8(std::string& aOut, uint32_t aCp);
std::string UTF8BytesToString(const TIdBytes& aBytes);
TIdBytes StringToUTF8Bytes(const std::string& aText);
// A new random GUID as 32 upper-case hexadecimal digits.
std::string NewGUIDText();
// Whole seconds since 1970-01-01 00:00 UTC as decimal text; aDateTime is
// local time unless aInputIsUTC.
std::string UnixTimeText(TDateTime aDateTime, bool aInputIsUTC);
// Every occurrence of aFrom replaced by aTo, case-sensitive.
std::string ReplaceText(const std::string& aText, const std::string& aFrom, const std::string& aTo);
// A monotonic millisecond tick count.
uint64_t TicksNow();
// Milliseconds from aStart to aNow, both taken as the low 32 bits of TicksNow,
// across the wrap of the 32-bit value.
uint64_t TickDiff(uint64_t aStart, uint64_t aNow);
// Standard Base64 with padding and no line breaks of the text's bytes. The
// platform's 8-bit code page is UTF-8, so aUTF8 selects the same bytes.
std::string Base64EncodeText(const std::string& aText, bool aUTF8);
// The text with JSON string escapes, without surrounding quotation marks.
std::string EscapeJSONString(const std::string& aText);
// aDest grows by aSource, copied to its end.
void ConcatBytes(const TIdBytes& aSource, TIdBytes& aDest);
// Copies aCount bytes when aCount > 0 (the ranges may overlap).
void MoveBytes(const void* aSource, void* aDest, int64_t aCount);
// The folder of the running program, with a trailing separator.
std::string ExecutableFolder();
