#include "auth/util/names.h"

#include "platform/text/text.h"

namespace quor::auth::util {
namespace {

struct Entry {
  std::string_view name;
  uint32_t value;
};

constexpr Entry kProvTypes[] = {
    {"PROV_RSA_FULL", 1},        {"PROV_RSA_SIG", 2},        {"PROV_DSS", 3},
    {"PROV_MS_EXCHANGE", 5},     {"PROV_SSL", 6},            {"PROV_RSA_SCHANNEL", 12},
    {"PROV_DSS_DH", 13},         {"PROV_EC_ECDSA_SIG", 14},  {"PROV_EC_ECNRA_SIG", 15},
    {"PROV_EC_ECDSA_FULL", 16},  {"PROV_EC_ECNRA_FULL", 17}, {"PROV_DH_SCHANNEL", 18},
    {"PROV_SPYRUS_LYNKS", 20},   {"PROV_INTEL_SEC", 22},
};

constexpr Entry kAlgIds[] = {
    {"CALG_MD2", 0x8001},
    {"CALG_MD4", 0x8002},
    {"CALG_MD5", 0x8003},
    {"CALG_SHA", 0x8004},
    {"CALG_SHA1", 0x8004},
    {"CALG_MAC", 0x8005},
    {"CALG_RSA_SIGN", 0x2400},
    {"CALG_DSS_SIGN", 0x2200},
    {"CALG_RSA_KEYX", 0xA400},
    {"CALG_DES", 0x6601},
    {"CALG_3DES_112", 0x6609},
    {"CALG_3DES", 0x6603},
    {"CALG_DESX", 0x6604},
    {"CALG_RC2", 0x6602},
    {"CALG_RC4", 0x6801},
    {"CALG_SEAL", 0x6802},
    {"CALG_DH_SF", 0xAA01},
    {"CALG_DH_EPHEM", 0xAA02},
    {"CALG_AGREEDKEY_ANY", 0xAA03},
    {"CALG_KEA_KEYX", 0xAA04},
    {"CALG_HUGHES_MD5", 0xA003},
    {"CALG_SKIPJACK", 0x660A},
    {"CALG_TEK", 0x660B},
    {"CALG_CYLINK_MEK", 0x660C},
    {"ALG_SID_SSL3SHAMD5", 8},
    {"CALG_SSL3_SHAMD5", 0x8008},
    {"CALG_SSL3_MASTER", 0x4C01},
    {"CALG_SCHANNEL_MASTER_HASH", 0x4C02},
    {"CALG_SCHANNEL_MAC_KEY", 0x4C03},
    {"CALG_SCHANNEL_ENC_KEY", 0x4C07},
    {"CALG_PCT1_MASTER", 0x4C04},
    {"CALG_SSL2_MASTER", 0x4C05},
    {"CALG_TLS1_MASTER", 0x4C06},
    {"CALG_RC5", 0x660D},
    {"CALG_HMAC", 0x8009},
    {"CALG_TLS1PRF", 0x800A},
    {"CALG_SHA_256", 0x800C},
    {"CALG_SHA_384", 0x800D},
    {"CALG_SHA_512", 0x800E},
};

template <size_t N>
uint32_t Find(const Entry (&table)[N], std::string_view name) {
  for (const Entry& e : table)
    if (text::EqualsNoCase(e.name, name)) return e.value;
  return 0;
}

// Names are ASCII; anything else cannot match.
std::string AsciiOnly(std::u16string_view name) {
  std::string out;
  for (char16_t c : name) out += c < 0x80 ? static_cast<char>(c) : '\x7F';
  return out;
}

}  // namespace

uint32_t ProvTypeFromName(std::string_view name) { return Find(kProvTypes, name); }
uint32_t ProvTypeFromName(std::u16string_view name) { return Find(kProvTypes, AsciiOnly(name)); }
uint32_t AlgIdFromName(std::string_view name) { return Find(kAlgIds, name); }
uint32_t AlgIdFromName(std::u16string_view name) { return Find(kAlgIds, AsciiOnly(name)); }

}  // namespace quor::auth::util
