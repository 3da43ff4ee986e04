// What apns-push sends: the payload and the device tokens, read from the
// arguments, files or standard input and checked before the first connect.
#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "tools/apns-push/lines.h"

namespace apns_push {

// APNs takes payloads of at most this many octets; VoIP ones up to kMaxVoIPPayload.
inline constexpr size_t kMaxPayload = 4096;
inline constexpr size_t kMaxVoIPPayload = 5120;

// The payload limit for the push type aPushType.
inline size_t PayloadLimit(const std::string& aPushType) {
  return aPushType == "voip" ? kMaxVoIPPayload : kMaxPayload;
}

// The whole file aPath; aWhat names it in messages ("payload file").
// A file that cannot be read raises EUsageError.
std::string ReadWholeFile(const std::string& aPath, const std::string& aWhat);
// The whole of standard input.
std::string ReadStdin();

// aText without its trailing line breaks, when it is one JSON object of at
// most aLimit octets; otherwise EUsageError naming aSource and the fault.
std::string CheckedPayload(std::string aText, const std::string& aSource,
                           size_t aLimit = kMaxPayload);

struct DeviceToken {
  std::string Token;
  std::string Where;  // "FILE:LINE" or "argument N", for messages
  bool Malformed = false;
};

// 64 to 200 hexadecimal digits, an even number of them.
bool WellFormedToken(const std::string& t);

// The device tokens one at a time, from the arguments, a file or standard
// input, so a batch of any length is never held in memory whole.
class TokenSource {
 public:
  explicit TokenSource(std::vector<std::string> aArguments) : FArguments(std::move(aArguments)) {}
  // aIn is read line by line; aName names it in messages ("standard input").
  TokenSource(std::istream& aIn, std::string aName) : FIn(&aIn), FName(std::move(aName)) {}
  // The lines of aReader (a pipe, say): while it waits for input, a
  // SIGINT or SIGTERM ends the tokens.
  explicit TokenSource(LineReader& aReader) : FReader(&aReader), FName(aReader.Name()) {}

  // The next device token, none at the end. Blank lines and lines starting
  // with "#" are skipped; spaces, tabs and CR around a token are dropped.
  std::optional<DeviceToken> Next();

 private:
  std::vector<std::string> FArguments;
  std::istream* FIn = nullptr;
  LineReader* FReader = nullptr;
  std::string FName;
  size_t FLine = 0;  // lines read, or arguments taken
};

// The device tokens of a source with as many read ahead as it takes to know
// how many there are to send, up to aEnough sendable ones: whether a batch
// is one notification or more and how many connections are worth making.
class TokenFeed {
 public:
  TokenFeed(TokenSource& aSource, size_t aEnough);

  // The sendable (well-formed) tokens read ahead; at most aEnough + 1.
  size_t SendableAhead() const { return FSendable; }
  // True when the source ended while reading ahead.
  bool AllReadAhead() const { return !FMore; }
  // Tokens read ahead that are still to be taken.
  size_t Ahead() const { return FAhead.size(); }
  // The next device token, or none at the end.
  std::optional<DeviceToken> Next();

 private:
  TokenSource& FSource;
  std::deque<DeviceToken> FAhead;
  size_t FSendable = 0;
  bool FMore = true;
};

// How many device token lines a file has (0 when it cannot be read): for
// the progress line only.
size_t CountTokenLines(const std::string& aPath);

}  // namespace apns_push
