// The listener's readings of request text: percent escapes, byte ranges,
// path segments, comma-separated header lists and the transfer coding,
// numbers on the command line; and the text of its answers: the content type
// a file name gets, a status's reason phrase. Pure functions, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quor::soap {

// Percent escapes, also the web server's "%uXXXX" (to UTF-8; a surrogate
// half stands for nothing); a broken escape stays as it is. `plusIsSpace`
// for query parts.
std::string DecodeUrl(std::string_view s, bool plusIsSpace);

// One byte range of a file of `size` bytes ("bytes=a-b", "bytes=a-" or
// "bytes=-n"): false when there is none to honour (another form, several
// ranges, b before a: the whole file goes); `satisfiable` false when it lies
// beyond the end, else [first, last] within the file.
bool ByteRange(std::string_view header, uint64_t size, uint64_t& first, uint64_t& last, bool& satisfiable);

enum class PathCheck { Ok, Empty, Refused };

// The segments of a relative path, "." and empty ones dropped. Refused when
// one is "..", holds a backslash or a NUL; Empty when none is left.
PathCheck PathSegments(std::string_view relative, std::vector<std::string>& segments);

// The elements of a comma-separated header list, without the optional white
// space around them; empty elements are dropped.
std::vector<std::string_view> HeaderList(std::string_view value);

enum class TransferCoding { None, Chunked, Unknown, Empty };

// What Transfer-Encoding field values (all of them, in order) ask for:
// Chunked only for exactly one element "chunked" (any case); Unknown for
// anything else named; Empty when the fields name nothing; None without a
// field.
TransferCoding ReadTransferCoding(const std::vector<std::string_view>& values);

// A decimal number from min to max, digits only.
bool ParseCount(std::string_view value, uint64_t min, uint64_t max, uint64_t& out);

// The content type of a file by its name's last extension (without case);
// application/octet-stream for any other.
std::string_view MimeType(std::string_view name);

// The reason phrase of the statuses the listener refuses with; "Error" for
// any other.
std::string_view ReasonPhrase(int status);

}  // namespace quor::soap
