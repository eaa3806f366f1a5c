// The reason table: the bracketed message a rejection record carries for
// each ReasonCode. Every message begins and ends with one space so that the
// record's fields need no separators of their own. The six messages with a
// placeholder name the list entry that matched (FormatReason fills them).
#include "log/reason.h"

namespace rg {

const char* const kReasonMessages[kReasonCount] = {
    " [No Error] ",                                                     // 0
    " [Incorrect Request Line] ",                                       // 1
    " [More than 1 SP sent in Request Line] ",                          // 2
    " [Request does not contain allowed verb] ",                        // 3
    " [Denied verb '%s' found in Url] ",                                // 4: Verbs
    " [Unallowed host:port pair found in schema] ",                     // 5
    " [Url exceeds allowed length] ",                                   // 6
    " [Invalid character found at start of Url] ",                      // 7
    " [Url different after 2nd canonicalization] ",                     // 8
    " [Dot found in Url before extension] ",                            // 9
    " [Url does not contain allowed extension] ",                       // 10
    " [Denied extension '%s' found in Url] ",                           // 11: Extensions
    " [High bit character found in Url] ",                              // 12
    " [Control character (< 0x20) found in Url] ",                      // 13
    " [Unallowed sequence '%s' found in Url] ",                         // 14: UrlSequences
    " [Unallowed sequence '%s' found in Query] ",                       // 15: QuerySequences
    " [High bit character found in Query] ",                            // 16
    " [Control character (< 0x20) found in Query] ",                    // 17
    " [Query exceeds allowed length] ",                                 // 18
    " [Query different after 2nd canonicalization] ",                   // 19
    " [Unallowed http version] ",                                       // 20
    " [Header separator (':') not found] ",                             // 21
    " [Header name exceeds allowed length] ",                           // 22
    " [Header value exceeds allowed length] ",                          // 23
    " [Unallowed byte found in header name] ",                          // 24
    " [Unallowed byte found in header value] ",                         // 25
    " [Unallowed header name '%s'] ",                                   // 26: DeniedHeaderNames
    " [Unallowed pair host:port found in host header] ",                // 27
    " [Content-Length header was sent incorrectly] ",                   // 28
    " [Content-Length header exceeds maximum value allowed] ",          // 29
    " [Request header '%s' value exceeds allowed length (%d)] ",        // 30: HeaderLimits
    " [Payload exceeds allowed length] ",                               // 31
    " [Unable to log request by status] ",                              // 32
    " [Unable to log rejected request] ",                               // 33
    " [Windows returned an error] ",                                    // 34
    " [Header name different after 2nd canonicalization] ",             // 35
    " [Header value different after 2nd canonicalization] ",            // 36
    " [Unallowed byte found in header name after canonicalization] ",   // 37
    " [Unallowed byte found in header value after canonicalization] ",  // 38
    " [High bit character found in Payload] ",                          // 39
    " [Request head exceeds allowed length] ",                          // 40
    " [Malformed message] ",  // 41: the framer's own message replaces it
};

}  // namespace rg
