// The header fields of a request: as the text lines the before-request event
// shows and may change, or straight as the HEADERS frame's entries when no
// one asks for the lines. Both give the same fields in the same order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "http2/core/kfxHTTP2_Classes.h"
#include "http2/core/kfxHTTP2_HPACK.h"
#include "rtl/StringList.h"

// True for a line of a field that describes a single hop of HTTP/1.x
// (Connection, Keep-Alive, Transfer-Encoding, Upgrade, Proxy-Connection, in
// any case); HTTP/2 forbids them and they are never sent.
bool IsConnectionSpecificHeaderLine(std::string_view aLine);

// The header lines of a request, in wire order: pseudo-headers, the fields
// of aRequest's properties, authorization, cookies, then its custom lines.
void BuildHTTP2HeaderLines(Th2Methods aMethod, const std::string& aPath, const std::string& aAuthority,
                           TStream* aSource, const TkfxHTTP2Request& aRequest, TStringList& aHeaders);

// The fields those lines give once the connection-specific ones are dropped
// and each is read as the frame writer reads a line, written into the first
// entries of aFields (which keep their storage); returns how many.
size_t BuildHTTP2HeaderFields(Th2Methods aMethod, const std::string& aPath, const std::string& aAuthority,
                              TStream* aSource, const TkfxHTTP2Request& aRequest,
                              std::vector<TkfxHTTP2_TableEntry>& aFields);
