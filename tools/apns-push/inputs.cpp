#include "tools/apns-push/inputs.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "jwt/kfxJSON.h"
#include "tools/apns-push/error.h"
#include "tools/apns-push/interrupt.h"
#include "tools/apns-push/text.h"

namespace apns_push {

namespace {

// Payloads nest objects and arrays at most this deep.
constexpr int kMaxPayloadDepth = 65;

}  // namespace

std::string ReadWholeFile(const std::string& aPath, const std::string& aWhat) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) Fail("cannot read " + aWhat + " " + aPath + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) Fail("cannot read " + aWhat + " " + aPath);
  return text.str();
}

std::string ReadStdin() {
  std::ostringstream text;
  text << std::cin.rdbuf();
  return text.str();
}

std::string CheckedPayload(std::string aText, const std::string& aSource, size_t aLimit) {
  // A file or a here-document usually ends with a line break: not part of the payload.
  while (!aText.empty() && (aText.back() == '\n' || aText.back() == '\r')) aText.pop_back();
  if (aText.empty()) Fail("payload (" + aSource + ") is empty");
  if (aText.size() > aLimit)
    Fail("payload (" + aSource + ") is " + std::to_string(aText.size()) +
         " octets; APNs accepts at most " + std::to_string(aLimit));
  const size_t first = aText.find_first_not_of(" \t\n\r");
  std::string problem = first == std::string::npos || aText[first] != '{'
                            ? "not a JSON object"
                            : JSONSyntaxError(aText, kMaxPayloadDepth);
  if (!problem.empty()) Fail("payload (" + aSource + ") is not a JSON object: " + problem);
  return aText;
}

bool WellFormedToken(const std::string& t) {
  if (t.size() < 64 || t.size() > 200 || t.size() % 2) return false;
  for (char c : t)
    if (!IsHex(c)) return false;
  return true;
}

std::optional<DeviceToken> TokenSource::Next() {
  if (!FIn && !FReader) {
    if (FLine >= FArguments.size()) return std::nullopt;
    const std::string& token = FArguments[FLine++];
    return DeviceToken{token, "argument " + std::to_string(FLine), !WellFormedToken(token)};
  }
  std::string line;
  // The next line of FReader, or of FIn; false at the end.
  auto next = [&]() -> bool {
    if (!FReader) return static_cast<bool>(std::getline(*FIn, line));
    for (;;) {
      switch (FReader->Next(line, 100)) {
        case LineReader::Got::Line:
          return true;
        case LineReader::Got::TooLong:
          line = "(a line too long to be a device token)";
          return true;
        case LineReader::Got::End:
          return false;
        case LineReader::Got::Wait:
          if (InterruptSignal()) return false;
          break;
      }
    }
  };
  while (next()) {
    ++FLine;
    const size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos || line[b] == '#') continue;
    const size_t e = line.find_last_not_of(" \t\r");
    std::string token = line.substr(b, e - b + 1);
    const bool malformed = !WellFormedToken(token);
    return DeviceToken{std::move(token), FName + ":" + std::to_string(FLine), malformed};
  }
  return std::nullopt;
}

TokenFeed::TokenFeed(TokenSource& aSource, size_t aEnough) : FSource(aSource) {
  while (FSendable <= aEnough) {
    std::optional<DeviceToken> t = FSource.Next();
    if (!t) {
      FMore = false;
      break;
    }
    FSendable += t->Malformed ? 0 : 1;
    FAhead.push_back(std::move(*t));
  }
}

std::optional<DeviceToken> TokenFeed::Next() {
  if (!FAhead.empty()) {
    DeviceToken t = std::move(FAhead.front());
    FAhead.pop_front();
    return t;
  }
  if (!FMore) return std::nullopt;
  std::optional<DeviceToken> t = FSource.Next();
  if (!t) FMore = false;
  return t;
}

size_t CountTokenLines(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  size_t count = 0;
  for (std::string line; std::getline(in, line);) {
    const size_t b = line.find_first_not_of(" \t\r");
    count += b != std::string::npos && line[b] != '#';
  }
  return count;
}

}  // namespace apns_push
