// URNs of Vesk objects, share fields and resources, and the resource folder
// and URL of the service key.
#include "core/ServiceHelpers.h"
#include "core/ServiceConfig.h"
#include "platform/registry/registry.h"

namespace quor::core {
namespace {

constexpr std::string_view kVOContentPrefix = "urn:vocontent:vodb000:";
constexpr std::string_view kCoVOContentPrefix = "urn:vocontent:covodb000:";
constexpr std::string_view kVOResourcePrefix = "urn:voresource:";
constexpr std::string_view kVOResourceDirPrefix = "urn_voresource_";

// The registry keeps these values in a buffer of 261 bytes, terminator
// included: a longer value is not read at all.
constexpr size_t kResourceValueBuffer = 261;

std::string Join(std::string_view prefix, std::string_view first, std::string_view second) {
  std::string urn;
  urn.reserve(prefix.size() + first.size() + 1 + second.size());
  urn.append(prefix).append(first).append("-").append(second);
  return urn;
}

com::Bstr JoinWide(std::string_view prefix, const com::Bstr& first, const com::Bstr& second) {
  std::u16string urn(prefix.begin(), prefix.end());  // the prefixes are ASCII
  urn.append(first.View()).append(u"-").append(second.View());
  return com::Bstr(std::move(urn));
}

std::optional<std::string> ReadResourceValue(std::string_view name) {
  reg::Key key;
  if (!key.Open(reg::Hive::LocalMachine, kServiceKey).ok()) return std::nullopt;
  const auto read = key.GetValue(name);
  if (!read.ok()) return std::nullopt;
  const reg::Value& raw = *read;
  if (raw.data.size() <= 1 || raw.data.size() > kResourceValueBuffer) return std::nullopt;
  std::string value(raw.data.begin(), raw.data.end());
  value = value.substr(0, value.find('\0'));
  // A value written without its terminator must still leave room for one.
  if (value.size() >= kResourceValueBuffer || value.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::string CServiceHelpers::MakeVOContentURI(std::string_view user, std::string_view name) {
  return Join(kVOContentPrefix, user, name);
}

std::string CServiceHelpers::MakeCoVOContentURI(std::string_view author, std::string_view name) {
  return Join(kCoVOContentPrefix, author, name);
}

std::string CServiceHelpers::MakeVOResourceURI(std::string_view name) {
  return std::string(kVOResourcePrefix).append(name);
}

std::string CServiceHelpers::MakeVOResourceDirName(std::string_view name) {
  return std::string(kVOResourceDirPrefix).append(name);
}

// The wide forms join the wide texts themselves, so that a URN made from a
// request and one stored by an insert are the same text for every input.
com::Bstr CServiceHelpers::MakeVOContentURIW(const com::Bstr& user, const com::Bstr& name) {
  return JoinWide(kVOContentPrefix, user, name);
}

com::Bstr CServiceHelpers::MakeCoVOContentURIW(const com::Bstr& author, const com::Bstr& name) {
  return JoinWide(kCoVOContentPrefix, author, name);
}

int CServiceHelpers::ClassifyVOURI(const com::Bstr& uri) {
  const std::u16string_view text = uri.View();
  if (text.starts_with(u"urn:vocontent:vodb")) return 1;
  if (text.starts_with(u"urn:vocontent:covodb")) return 2;
  return 0;
}

std::optional<std::string> CServiceHelpers::ReadResourceURL() { return ReadResourceValue("ResourceURL"); }

std::optional<std::string> CServiceHelpers::ReadResourceDir() { return ReadResourceValue("ResourceDir"); }

}  // namespace quor::core
