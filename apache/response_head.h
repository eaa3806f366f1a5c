// The response side of mod_ravelgard, without Apache: finding where a
// response head ends in the bytes a connection sends, reading its status, and
// rewriting its Server: header as the policy asks.
//
// Apache writes the Server: header itself after every header filter has run,
// so the module edits the head in the connection's output instead; these
// functions are the part of that work that can be tested on plain bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/engine.h"

namespace rg::apache {

// Finds the empty line that ends a head in bytes that arrive in pieces.
// *matched carries how much of "\r\n\r\n" the previous pieces ended with
// (0 for a new head). Returns true when the head ends in this piece, with
// *used the bytes of the piece up to and including the empty line; false
// when every byte belongs to the head so far (*used == length).
bool FindHeadEnd(const char* bytes, size_t length, uint32_t* matched, size_t* used);

// True while what has arrived of a head can still begin "HTTP/"; a response
// that does not (HTTP/0.9, a body written without a head) is left alone.
bool MayBeStatusLine(const char* head, size_t length);

// The status code of a complete status line "HTTP/1.x NNN ...", or 0 when
// the line is malformed.
uint32_t ParseStatus(const char* head, size_t length);

// Room that RewriteServerHeader may need for a head of headLength bytes and
// a replacement text of textLength bytes.
size_t RewrittenHeadCapacity(size_t headLength, size_t textLength);

// Writes head (a complete head: status line, header lines, empty line, each
// ending in CR LF) into out with every Server: header line removed (kRemove)
// or replaced by one "Server: text" line (kReplace; added before the empty
// line when the head had none). Continuation lines of a removed header go
// with it; other headers, Server-Timing among them, stay as they are. out
// holds RewrittenHeadCapacity bytes. Returns the bytes written. kKeep copies
// the head unchanged.
size_t RewriteServerHeader(const char* head, size_t headLength, ServerHeaderAction action,
                           const char* text, char* out);

}  // namespace rg::apache
