// The request mixes that both engines screen, as raw bytes (what a filter
// sees on the wire) and split into the pieces a parsing web server hands to
// ModSecurity.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rg::peer {

struct HeaderField {
  std::string_view name;
  std::string_view value;
};

// Views into a RequestMix's raw text; valid as long as the mix lives.
struct ParsedRequest {
  std::string_view method;
  std::string_view uri;      // path and query, as on the request line
  std::string_view version;  // "1.1"
  std::vector<HeaderField> headers;
  std::string_view body;
};

struct RequestMix {
  std::string name;
  std::string raw;
  bool hostile;  // both engines must refuse it
  ParsedRequest parsed;
};

// The typical browser GET, the 4 KiB form POST and one hostile request per
// class (traversal, double encoding, overlong UTF-8, denied header).
// host is the Host header of every request (a name the policy accepts; never
// a numeric address, which the Core Rule Set scores by itself);
// deniedHeader names the header of the denied-header request, one that the
// Ravelgard policy and the Core Rule Set both refuse.
std::vector<RequestMix> BuildMixes(std::string_view host, std::string_view deniedHeader);

// Requests that only ModSecurity's set-up is checked against: a SQL
// injection and a traversal in the query, both of which a working Core Rule
// Set blocks.
std::vector<RequestMix> BuildPeerSanityRequests(std::string_view host);

// Splits a raw HTTP/1.x request into request line parts, headers and body.
// Returns false when the text is not a complete request.
bool ParseRawRequest(std::string_view raw, ParsedRequest* out);

}  // namespace rg::peer
