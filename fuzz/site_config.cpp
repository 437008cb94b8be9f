// The site configuration reader: each input is a sites.xml text; one that
// reads is checked and written out again, and what is written must read.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "platform/webconfig/webconfig.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  webconfig::SiteConfig config;
  std::string error;
  if (webconfig::SiteConfig::Parse(fuzz::AsText(data, size), config, error) != webconfig::Status::Ok) return 0;
  if (config.Validate(error) != webconfig::Status::Ok) return 0;
  webconfig::SiteConfig again;
  if (webconfig::SiteConfig::Parse(config.Serialize(), again, error) != webconfig::Status::Ok) {
    std::fprintf(stderr, "a configuration that read and checked does not read once written: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
