// The local account store reader (quor-accounts' file): each input is a
// store file's text; one that reads is written out again, and what is written
// must read to the same store.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "platform/directory/accounts.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Result<dir::AccountStore> read = dir::AccountStore::Parse(fuzz::AsText(data, size));
  if (!read.ok()) return 0;
  const dir::AccountStore& store = *read;
  for (const dir::AccountGroup& g : store.groups)
    for (const std::string& m : g.members) (void)(store.FindUser(m) || store.FindGroup(m));
  const std::string written = store.Serialize();
  const Result<dir::AccountStore> again = dir::AccountStore::Parse(written);
  if (!again.ok() || again->Serialize() != written) {
    std::fprintf(stderr, "a store that read does not read back the same once written: %s\n",
                 again.status().message().c_str());
    std::abort();
  }
  return 0;
}
