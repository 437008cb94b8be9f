// The listener's reading of requests (server/http_request.h) over what a
// client sends on one connection: heads, bodies by length or chunked with
// extensions and trailers, one request after another, fed in reads of a size
// the input picks, as the listener feeds them. Aborts when what waits untaken,
// a body or a field of a request taken whole outgrows the bounds the limits
// promise.
//
// Input: one byte picking the read size, one picking the body limit, then
// the bytes of the connection.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "fuzz/fuzz_util.h"
#include "server/http_request.h"

using namespace quor;
using soap::RequestReader;

namespace {

constexpr size_t kReads[] = {1, 2, 7, 64, 1000, 4096, 65536};
// The listener's default, and small ones that the inputs can reach.
constexpr uint64_t kBodyLimits[] = {16u << 20, 65536, 100, 1};

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "bound broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t read = kReads[data[0] % std::size(kReads)];
  const uint64_t maxBody = kBodyLimits[data[1] % std::size(kBodyLimits)];
  std::string_view input = fuzz::AsText(data + 2, size - 2);
  std::string buffer;  // read and not yet taken, as the connection's

  for (bool more = true; more;) {
    RequestReader reader(maxBody);
    bool body = false;
    for (;;) {
      if (!buffer.empty() && !reader.Complete()) buffer.erase(0, reader.Put(buffer));
      if (reader.Refusal()) return 0;
      if (reader.Complete() && !body) {
        if (reader.CheckHead() != 0) return 0;
        // A declared length over the limit is refused unread.
        if (const auto length = reader.parser().content_length(); length && *length > maxBody) return 0;
        reader.ReadBody();
        body = true;
        continue;
      }
      if (reader.Complete()) break;
      Check(buffer.size() <= (body ? soap::kHeadLimit + soap::kChunkLineLimit + 2 : soap::kHeadLimit),
            "bytes waiting untaken");
      Check(reader.parser().get().body().size() <= maxBody, "the body");
      if (input.empty()) return 0;
      const size_t n = std::min(read, input.size());
      buffer.append(input.substr(0, n));
      input.remove_prefix(n);
    }
    Check(reader.parser().get().body().size() <= maxBody, "the body");
    // Every field taken, the trailers' too, fits in a line: "name: value"
    // and CRLF.
    for (const auto& field : reader.parser().get())
      Check(field.name_string().size() + field.value().size() + 4 <= soap::kLineLimit, "a field's line");
    // As the listener: the next request on the connection, unless this one
    // ends it.
    more = reader.parser().get().keep_alive() && !reader.MustClose();
  }
  return 0;
}
