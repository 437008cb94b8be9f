#include "server/http_request.h"

#include <limits>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>

#include "server/http_text.h"

namespace quor::soap {

namespace http = boost::beast::http;
using boost::beast::error_code;

namespace {

// A field as the line it takes at the least: "name: value" and CRLF.
size_t LineLength(const http::fields::value_type& field) {
  return field.name_string().size() + field.value().size() + 4;
}

}  // namespace

RequestReader::RequestReader(uint64_t maxBodyBytes) : maxBodyBytes_(maxBodyBytes) {
  parser_.header_limit(static_cast<std::uint32_t>(kHeadLimit));
  // The route decides about the body.
  parser_.body_limit(std::numeric_limits<std::uint64_t>::max());
  parser_.on_chunk_header(onChunk_);
}

bool RequestReader::Complete() const { return body_ ? parser_.is_done() : parser_.is_header_done(); }

void RequestReader::ReadBody() {
  body_ = true;
  parser_.body_limit(maxBodyBytes_);
}

size_t RequestReader::Put(std::string_view bytes) {
  size_t taken = 0;
  // One step of the parser a time (it is not eager): the put that meets a
  // chunk's header starts at that header, which OnChunkHeader relies on.
  while (!refusal_ && !Complete() && taken < bytes.size()) {
    // Beast asserts that a last chunk it waits on comes back with five bytes
    // at least (in builds with assertions, one more byte would abort us). A
    // chunked body ends with five at least ("0\r\n\r\n"), so fewer are
    // never all there is to come.
    if (body_ && parser_.chunked() && bytes.size() - taken < 5) break;
    putStart_ = bytes.data() + taken;
    putEnd_ = bytes.data() + bytes.size();
    error_code ec;
    const size_t used = parser_.put(boost::asio::buffer(putStart_, bytes.size() - taken), ec);
    taken += used;
    if (!body_) headBytes_ += used;
    if (ec == http::error::need_more) break;
    if (ec) {
      Fail(ec);
      break;
    }
    if (used == 0) break;
  }
  putStart_ = putEnd_ = nullptr;
  if (!refusal_ && !Complete() && body_) CheckWaiting(bytes.substr(taken));
  // The trailers join the head's fields, and each of their lines is held to
  // a head line's limit; the head's own passed CheckHead already.
  if (!refusal_ && body_ && parser_.chunked() && parser_.is_done()) {
    for (const auto& field : parser_.get())
      if (LineLength(field) > kLineLimit) refusal_ = 400;
  }
  return taken;
}

// Chunk data passes the parser as it comes, so what it leaves waiting is a
// chunk's size line (after the CRLF ending the chunk before), or the last
// chunk's line with trailers, which it takes only once they are all in.
void RequestReader::CheckWaiting(std::string_view rest) {
  if (rest.size() <= kChunkLineLimit) return;
  if (rest.starts_with("\r\n")) rest.remove_prefix(2);
  const size_t eol = rest.find("\r\n");
  if (eol == std::string_view::npos || eol + 2 > kChunkLineLimit) {
    refusal_ = 400;
    return;
  }
  // A whole line still waiting is the last chunk's.
  if (rest.size() - (eol + 2) > TrailerRoom()) refusal_ = 431;
}

void RequestReader::OnChunkHeader(std::uint64_t size, boost::beast::string_view extensions, error_code& ec) {
  // The parser's put began at this chunk's line (or the CRLF before it).
  const char* const lineEnd = extensions.data() + extensions.size();
  std::string_view line(putStart_, static_cast<size_t>(lineEnd - putStart_));
  if (line.starts_with("\r\n")) line.remove_prefix(2);
  if (line.size() + 2 > kChunkLineLimit) {
    refusal_ = 400;
    ec = http::error::bad_chunk_extension;
    return;
  }
  // Extensions count as body: otherwise one-byte chunks could carry
  // kilobytes each past the limit.
  bodyBytes_ += size + extensions.size();
  if (bodyBytes_ > maxBodyBytes_) {
    refusal_ = 413;
    ec = http::error::body_limit;
    return;
  }
  if (size != 0) return;
  // The last chunk: the parser has all trailers in view and reads them
  // next. They count against the head's limit.
  const std::string_view after(lineEnd, static_cast<size_t>(putEnd_ - lineEnd));
  const size_t end = after.find("\r\n\r\n");
  if (end != std::string_view::npos && end > TrailerRoom()) {
    refusal_ = 431;
    ec = http::error::header_limit;
  }
}

void RequestReader::Fail(error_code ec) {
  if (refusal_) return;  // set by the check that stopped the parser
  if (ec == http::error::body_limit) {
    refusal_ = 413;
  } else if (ec == http::error::header_limit && !body_) {
    // A request line that did not even fit is too long itself.
    const auto& m = parser_.get();
    const size_t line = m.method_string().size() + m.target().size() + 12;
    refusal_ = m.target().empty() || line > kLineLimit ? 414 : 400;
  } else {
    refusal_ = 400;
  }
}

int RequestReader::CheckHead() const {
  const auto& m = parser_.get();
  if (m.method_string().size() + m.target().size() + 12 > kLineLimit) return 414;
  std::vector<std::string_view> codings;
  bool length = false;
  for (const auto& field : m) {
    if (LineLength(field) > kLineLimit) return 400;
    if (field.name() == http::field::transfer_encoding) codings.emplace_back(field.value().data(), field.value().size());
    if (field.name() == http::field::content_length) length = true;
  }
  if (m.version() != 10 && m.version() != 11) return 400;
  const TransferCoding coding = ReadTransferCoding(codings);
  if (coding == TransferCoding::None) return 0;
  // Two framings: a hop before us may have read the other, and what
  // follows the body would be taken for a request of its own.
  if (length || coding == TransferCoding::Empty) return 400;
  if (coding == TransferCoding::Unknown) return 501;
  return 0;
}

bool RequestReader::MustClose() const {
  const auto& m = parser_.get();
  return m.version() == 10 && m.find(http::field::transfer_encoding) != m.end();
}

}  // namespace quor::soap
