// The site configuration reader: each input is a sites.xml text; one that
// reads is checked and written out again, and what is written must read.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "platform/webconfig/webconfig.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Result<webconfig::SiteConfig> config = webconfig::SiteConfig::Parse(fuzz::AsText(data, size));
  if (!config.ok()) return 0;
  if (!config->Validate().ok()) return 0;
  const Status again = webconfig::SiteConfig::Parse(config->Serialize()).status();
  if (!again.ok()) {
    std::fprintf(stderr, "a configuration that read and checked does not read once written: %s\n",
                 again.message().c_str());
    std::abort();
  }
  return 0;
}
