// The registry file reader: each input is a registry file, loaded by a
// registry of its own (so no cached reading stands in for it) and, when it
// loads, walked through every hive with each value read in its typed forms.
#include "fuzz/fuzz_util.h"
#include "platform/registry/registry.h"

using namespace quor;

namespace {

void Walk(const reg::Key& key, int depth) {
  if (const auto values = key.EnumValues(); values.ok()) {
    for (const reg::NamedValue& v : *values) {
      (void)v.value.AsString();
      (void)v.value.AsDword();
      (void)v.value.AsMultiString();
    }
  }
  if (depth > 64) return;
  const auto names = key.EnumSubKeys();
  if (!names.ok()) return;
  for (const std::string& name : *names) {
    reg::Key sub;
    if (sub.Open(key, name).ok()) Walk(sub, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reg::Registry registry(fuzz::WriteTemp("registry.reg", fuzz::AsText(data, size)));
  if (!registry.Check().ok()) return 0;
  for (reg::Hive hive : {reg::Hive::LocalMachine, reg::Hive::ClassesRoot, reg::Hive::CurrentUser}) {
    reg::Key root(registry);
    if (root.Open(hive, "").ok()) Walk(root, 0);
  }
  return 0;
}
