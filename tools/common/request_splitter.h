// Where the requests of a recorded connection begin and end, as a strict
// framer of its own reads the recording from its start: the `ravelgard
// check` command and the Windows host program report their verdicts per
// request by it, whatever the filter under test decides about the bytes.
// When the framer refuses the framing, the rest of the recording is one
// request: where the next would start cannot be told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "frame/framer.h"

namespace rg {

class RequestSplitter {
 public:
  struct Request {
    uint64_t start;
    uint64_t end;
    bool complete;  // false: cut short by the end of the recording or a refused framing
  };

  RequestSplitter() { FramerInit(&framer_, FrameKind::kRequest, 0); }
  // The framer's parser points back into it.
  RequestSplitter(const RequestSplitter&) = delete;
  RequestSplitter& operator=(const RequestSplitter&) = delete;

  // Reads up to the next request end (or all of the bytes), notes the
  // request that ends there, and returns the bytes taken.
  size_t Next(const char* bytes, size_t length) {
    atBoundary_ = false;
    if (failed_) {
      Note(bytes, length);
      return length;
    }
    size_t taken = 0;
    while (taken < length) {
      FrameResult r = FramerFeed(&framer_, bytes + taken, length - taken);
      if (r.error != FrameError::kNone) {
        failed_ = true;
        Note(bytes + taken, length - taken);
        return length;
      }
      Note(bytes + taken, r.consumed);
      taken += r.consumed;
      if (r.messageComplete) {
        Report(position_, true);
        atBoundary_ = true;
        return taken;
      }
      if (r.consumed == 0) break;
    }
    if (taken < length) {  // cannot happen with a healthy framer; report the rest as is
      Note(bytes + taken, length - taken);
      taken = length;
    }
    return taken;
  }

  // The end of the recording: what is left is a request cut short, unless
  // it is only line ends. Line ends after the last request are no request,
  // unless the filter judged them (judged) or the recording holds nothing
  // else (nothingElse). After a refused framing, the rest of the recording
  // is taken as that one request, which then ends where the recording does.
  void Finish(bool judged, bool nothingElse) {
    if (position_ > requestStart_ && (!onlyLineEnds_ || judged || nothingElse))
      Report(position_, failed_);
  }

  // Whether the last Next ended at a request's end.
  bool AtBoundary() const { return atBoundary_; }
  // Where the request being framed began.
  uint64_t RequestStart() const { return requestStart_; }
  // The requests ended so far and not yet taken, oldest first.
  std::deque<Request>& Ended() { return ended_; }

 private:
  void Note(const char* bytes, size_t length) {
    for (size_t i = 0; i < length && onlyLineEnds_; ++i)
      onlyLineEnds_ = bytes[i] == '\r' || bytes[i] == '\n';
    position_ += length;
  }

  void Report(uint64_t end, bool complete) {
    ended_.push_back(Request{requestStart_, end, complete});
    requestStart_ = end;
    onlyLineEnds_ = true;
  }

  Framer framer_;
  bool failed_ = false;
  bool atBoundary_ = false;
  bool onlyLineEnds_ = true;
  uint64_t position_ = 0;      // bytes read
  uint64_t requestStart_ = 0;  // where the request being framed began
  std::deque<Request> ended_;
};

}  // namespace rg
