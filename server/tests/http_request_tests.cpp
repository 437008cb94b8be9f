// The listener's request reader on its own: what a chunked body's trailers
// may hold, fed whole and in the small reads a slow client makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "server/http_request.h"

using namespace quor::soap;

namespace {

// The refusal (0 when none) of a chunked POST whose trailers are `trailers`,
// its bytes given `read` at a time as the connection gives them.
int TrailerRefusal(const std::string& trailers, size_t read) {
  const std::string head = "POST /a.sod HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string input = head + "5\r\nhello\r\n0\r\n" + trailers + "\r\n";
  RequestReader reader(1 << 20);
  std::string buffer;
  bool body = false;
  for (size_t at = 0; !reader.Refusal();) {
    if (!buffer.empty() && !reader.Complete()) buffer.erase(0, reader.Put(buffer));
    if (reader.Refusal()) break;
    if (reader.Complete() && !body) {
      EXPECT_EQ(reader.CheckHead(), 0);
      reader.ReadBody();
      body = true;
      continue;
    }
    if (reader.Complete()) {
      EXPECT_EQ(reader.parser().get().body(), "hello");
      break;
    }
    if (at == input.size()) {
      ADD_FAILURE() << "the request is neither whole nor refused";
      break;
    }
    const size_t n = std::min(read, input.size() - at);
    buffer.append(input, at, n);
    at += n;
  }
  return reader.Refusal();
}

}  // namespace

TEST(HttpRequestTest, EachTrailerLineIsCappedAsAHeadLineIs) {
  // "X-T: " and the CRLF around the value: a line of exactly the limit.
  const std::string atLimit = "X-T: " + std::string(kLineLimit - 7, 't') + "\r\n";
  const std::string overLimit = "X-T: " + std::string(kLineLimit - 6, 't') + "\r\n";
  for (const size_t read : {size_t{1000}, size_t{1} << 20}) {
    EXPECT_EQ(TrailerRefusal("X-A: 1\r\n" + atLimit, read), 0) << read;
    EXPECT_EQ(TrailerRefusal(overLimit, read), 400) << read;
    EXPECT_EQ(TrailerRefusal("X-A: 1\r\n" + overLimit + "X-B: 2\r\n", read), 400) << read;
    // A field folded over lines that each fit is one line, as in the head.
    EXPECT_EQ(TrailerRefusal("X-" + std::string(6000, 'n') + ": v\r\n\t" + std::string(2500, 'u') + "\r\n", read), 400)
        << read;
    // Past what the head left, the trailers as a whole are what is refused.
    EXPECT_EQ(TrailerRefusal("X-T: " + std::string(kHeadLimit, 't') + "\r\n", read), 431) << read;
  }
}
