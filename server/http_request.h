// How the listener reads a request from what a client sends: Beast's parser
// under the listener's limits, so that nothing a client sends is held
// without a bound. The fuzz target listener_request drives this same reader.
//
// Limits: the head (request line and fields) 64 KiB, each of its lines
// 8 KiB; a chunk's size line (size, extensions, CRLF) 4 KiB; the body's
// chunk data and chunk extensions together the body limit; the trailers what
// the head left of its 64 KiB, each of their lines 8 KiB. Transfer-Encoding
// must be "chunked" alone; a request with both Transfer-Encoding and
// Content-Length is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace quor::soap {

// A request line or one header or trailer line (with its CRLF) longer than
// this is refused (414 and 400).
inline constexpr size_t kLineLimit = 8192;
// The whole head; trailers count against what it leaves.
inline constexpr size_t kHeadLimit = 64 * 1024;
// One chunk's size line with its extensions and CRLF.
inline constexpr size_t kChunkLineLimit = 4096;

class RequestReader {
 public:
  using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

  // Ready for a head. A body is read only after ReadBody, up to
  // `maxBodyBytes` of chunk data and chunk extensions together.
  explicit RequestReader(uint64_t maxBodyBytes);
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Takes what it can from the front of `bytes` (what was read and not yet
  // taken): the head, or after ReadBody the rest of the request. Answers
  // how many bytes it took; what is left must come again with more.
  size_t Put(std::string_view bytes);
  // The head is in (before ReadBody), or the whole request (after).
  bool Complete() const;
  // The status to refuse the request with, once Put found it wrong or over
  // a limit (400, 413, 414, 431); 0 while it is not.
  int Refusal() const { return refusal_; }
  // Once the head is in: the status to refuse it with (414 or 400 for its
  // lines and version, 400 for both framings or an empty coding, 501 for a
  // transfer coding other than chunked alone); 0 when it may be served.
  int CheckHead() const;
  // The body follows (the head passed CheckHead).
  void ReadBody();
  // The framing leaves the connection unfit for another request, whatever
  // the client asks (HTTP/1.0 with Transfer-Encoding).
  bool MustClose() const;

  Parser& parser() { return parser_; }
  const Parser& parser() const { return parser_; }

 private:
  void OnChunkHeader(std::uint64_t size, boost::beast::string_view extensions, boost::beast::error_code& ec);
  void CheckWaiting(std::string_view rest);
  void Fail(boost::beast::error_code ec);
  size_t TrailerRoom() const { return headBytes_ < kHeadLimit ? kHeadLimit - headBytes_ : 0; }

  const uint64_t maxBodyBytes_;
  bool body_ = false;
  int refusal_ = 0;
  size_t headBytes_ = 0;
  uint64_t bodyBytes_ = 0;  // chunk data and extensions so far
  // The bytes of the parser's put under way, for the chunk-header check.
  const char* putStart_ = nullptr;
  const char* putEnd_ = nullptr;
  // Before the parser, which holds a reference to it.
  struct OnChunk {
    RequestReader* reader;
    void operator()(std::uint64_t size, boost::beast::string_view extensions, boost::beast::error_code& ec) {
      reader->OnChunkHeader(size, extensions, ec);
    }
  } onChunk_{this};
  Parser parser_;
};

}  // namespace quor::soap
