// Where one request ends and the next begins in a recorded connection.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace rg::tool {

struct RequestSpan {
  size_t offset;  // first byte of the request in the recording
  size_t length;  // its bytes, body included
  bool complete;  // its end lies inside the recording
};

// Splits the bytes sent on one connection into requests by HTTP/1.x
// framing: the header block ends at the first CR LF CR LF; a chunked
// Transfer-Encoding (which wins over Content-Length) or a Content-Length
// then gives the body; without either there is no body. When the framing
// cannot be told (a malformed or conflicting Content-Length, an unknown
// transfer coding, a malformed chunk), the request takes the rest of the
// recording, as a server that cannot frame it would read to the end of the
// connection. Bytes left at the end that are only CR and LF are no request.
std::vector<RequestSpan> SplitRequests(std::string_view data);

}  // namespace rg::tool
