// Connection strings: the OLE DB connection string (as the data accessor's
// settings and the service's ConnectionString give it) mapped to the ODBC
// string of the driver that plays the provider's part.
#include "fuzz/fuzz_util.h"
#include "platform/ado/ado.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)ado::MapConnectionString(fuzz::AsText(data, size));
  (void)ado::QuoteConnectionValue(fuzz::AsText(data, size));
  return 0;
}
