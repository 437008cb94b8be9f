// The local account store reader (quor-accounts' file): each input is a
// store file's text; one that reads is written out again, and what is written
// must read to the same store.
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_util.h"
#include "platform/directory/accounts.h"

using namespace quor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dir::AccountStore store;
  std::string reason;
  if (dir::AccountStore::Parse(fuzz::AsText(data, size), store, &reason) != 0) return 0;
  for (const dir::AccountGroup& g : store.groups)
    for (const std::string& m : g.members) (void)(store.FindUser(m) || store.FindGroup(m));
  const std::string written = store.Serialize();
  dir::AccountStore again;
  if (dir::AccountStore::Parse(written, again, &reason) != 0 || again.Serialize() != written) {
    std::fprintf(stderr, "a store that read does not read back the same once written: %s\n", reason.c_str());
    std::abort();
  }
  return 0;
}
