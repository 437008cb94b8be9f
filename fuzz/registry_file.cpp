// The registry file reader: each input is a registry file, loaded by a
// registry of its own (so no cached reading stands in for it) and, when it
// loads, walked through every hive with each value read in its typed forms.
#include "fuzz/fuzz_util.h"
#include "platform/registry/registry.h"

using namespace quor;

namespace {

void Walk(const reg::Key& key, int depth) {
  std::vector<reg::NamedValue> values;
  if (key.EnumValues(values) == reg::ERROR_SUCCESS) {
    for (const reg::NamedValue& v : values) {
      (void)v.value.AsString();
      (void)v.value.AsDword();
      (void)v.value.AsMultiString();
    }
  }
  std::vector<std::string> names;
  if (depth > 64 || key.EnumSubKeys(names) != reg::ERROR_SUCCESS) return;
  for (const std::string& name : names) {
    reg::Key sub;
    if (sub.Open(key, name) == reg::ERROR_SUCCESS) Walk(sub, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reg::Registry registry(fuzz::WriteTemp("registry.reg", fuzz::AsText(data, size)));
  std::string reason;
  if (registry.Check(&reason) != reg::ERROR_SUCCESS) return 0;
  for (reg::Hive hive : {reg::Hive::LocalMachine, reg::Hive::ClassesRoot, reg::Hive::CurrentUser}) {
    reg::Key root(registry);
    if (root.Open(hive, "") == reg::ERROR_SUCCESS) Walk(root, 0);
  }
  return 0;
}
