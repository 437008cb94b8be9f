// The utility library: codecs (checked against OpenSSL's Base64), name tables,
// message texts and error raising, the crypto and registry wrappers against a
// temporary key folder and registry file, and the critical section.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#include <type_traits>

#include "auth/util/codec.h"
#include "auth/util/crypto.h"
#include "auth/util/error.h"
#include "auth/util/lock.h"
#include "auth/util/names.h"
#include "auth/util/regkey.h"
#include "testing/TempDir.h"

namespace fs = std::filesystem;
using namespace quor::auth::util;
using quor::com::ComError;

namespace {

using TempDir = quor::test::TempDir;

// The status and description a failing call leaves behind: `fn` returns a
// Status or Result.
template <typename Fn>
std::pair<HRESULT, std::string> Raised(Fn&& fn) {
  quor::com::ClearErrorInfo();
  using R = std::invoke_result_t<Fn>;
  HRESULT code = S_OK;
  if constexpr (std::is_same_v<R, quor::Status>) {
    code = fn().code();
  } else {
    code = fn().status().code();
  }
  if (code == S_OK) return {S_OK, {}};
  auto info = quor::com::GetErrorInfo();
  return {code, info ? info->description.ToUtf8() : std::string("(no error information)")};
}

// The value of a call that must succeed.
template <typename T>
T Must(quor::Result<T> result) {
  EXPECT_TRUE(result.ok()) << result.status().Text();
  return result.ok() ? std::move(result).value() : T();
}
void Must(const quor::Status& status) { EXPECT_TRUE(status.ok()) << status.Text(); }

// ---- Codecs ----------------------------------------------------------------------

TEST(AuthUtilCodec, HexIsUpperCaseAndDecodesLeniently) {
  EXPECT_EQ(HexEncode(Bytes{0x00, 0xAB}), "00AB");
  EXPECT_EQ(HexDecode(std::string_view("00ab")), (Bytes{0x00, 0xAB}));
  EXPECT_EQ(HexDecode(std::u16string_view(u"00AB7")), (Bytes{0x00, 0xAB}));
  // Not rejected: "G" enters with its own bits (0x47 << 4 | 0, low 8 bits).
  EXPECT_EQ(HexDecode(std::string_view("G0")), Bytes{0x70});
  EXPECT_TRUE(HexDecode(std::string_view("A")).empty());
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(HexDecode(std::string_view(HexEncode(all))), all);
}

TEST(AuthUtilCodec, Base64AgreesWithOpenSslAndTheEdgeCases) {
  auto bytes = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  EXPECT_EQ(Base64Encode(bytes("abc")), "YWJj");
  EXPECT_EQ(Base64Encode(bytes("a")), "YQ==");
  EXPECT_EQ(Base64Encode(bytes("ab")), "YWI=");
  EXPECT_EQ(Base64Encode(Bytes{}), "");
  EXPECT_TRUE(Base64Decode(std::string_view("YWJ")).empty());
  EXPECT_EQ(Base64Decode(std::string_view("YQ==")), bytes("a"));
  EXPECT_EQ(Base64Decode(std::u16string_view(u"YWI=")), bytes("ab"));
  EXPECT_EQ(Base64Decode(std::string_view("YWJjZ")), bytes("abc"));  // the part group is ignored

  std::mt19937 rng(7);
  for (size_t n = 0; n < 300; ++n) {
    Bytes data(n);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::string expected(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data.data(), static_cast<int>(n));
    expected.resize(static_cast<size_t>(len));
    const std::string ours = Base64Encode(data);
    ASSERT_EQ(ours, expected) << n;
    ASSERT_EQ(Base64Decode(std::string_view(ours)), data) << n;
    ASSERT_EQ(Base64Decode(std::u16string_view(WidenAscii(ours))), data) << n;
  }
  // Garbage never fails and never reads past the text.
  for (std::u16string junk : {u"!!!!", u"\xFFFF\xFFFF\xFFFF\xFFFF", u"====", u"=", u"ab=="}) {
    Bytes out = Base64Decode(std::u16string_view(junk));
    EXPECT_LE(out.size(), 3u);
  }
}

// ---- Names -----------------------------------------------------------------------

TEST(AuthUtilNames, SchemeWordsBecomeNumbersWithoutRegardToCase) {
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"calg_rc2")), 0x6602u);
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"CALG_SHA1")), 0x8004u);
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"CALG_SHA")), 0x8004u);
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"ALG_SID_SSL3SHAMD5")), 8u);
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"CALG_SHA_256")), 0x800Cu);
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"CALG_RC2 ")), 0u);
  EXPECT_EQ(AlgIdFromName(std::u16string_view(u"ＣALG_RC2")), 0u);
  EXPECT_EQ(ProvTypeFromName(std::u16string_view(u"")), 0u);
  EXPECT_EQ(ProvTypeFromName(std::u16string_view(u"prov_rsa_full")), 1u);
  EXPECT_EQ(ProvTypeFromName(std::string_view("PROV_INTEL_SEC")), 22u);
}

// ---- Messages and raising -------------------------------------------------------------

class AuthUtilMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    for (auto& [name, value] : saved_)
      value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(AuthUtilMessages, MessagesTakeOnlyTheInsertsGivenInTheSystemLanguage) {
  const Insert registry[] = {std::u16string(u"access denied"), std::u16string(u"SOFTWARE\\Velt")};
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x80040201), registry),
            u"Failed to opend the registry.\r\n\tkey:\tSOFTWARE\\Velt\r\n\tdetail\taccess denied");
  // One insert given: the second stays as written, nothing is read beyond.
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x80040202), std::span(registry, 1)),
            u"Failed to read the registry.\r\n\tkey:\taccess denied\r\n\tname:\t%2\r\n\tdetail\t%3");
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x80040200)), u"%1");

  const Insert parse[] = {uint64_t{0xC00CE502}, uint64_t{3}, uint64_t{14}, std::u16string(u"bad tag")};
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x8004020A), parse),
            u"Failed to parse the parameter.\r\n\tcode:\t0xc00ce502\r\n\tline:\t3\r\n\tcolumn:\t14\r\n\treason:\tbad tag");
  const Insert small[] = {uint64_t{0x1F}};
  EXPECT_NE(FormatErrorText(static_cast<HRESULT>(0x80040209), small).find(u"\t0x00001f\r\n"), std::u16string::npos);

  ::setenv("LANG", "ja_JP.UTF-8", 1);
  EXPECT_EQ(MessageLanguage(), 1041u);
  // The Japanese text puts the inserts the other way round.
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x80040201), registry),
            u"レジストリーのオープンに失敗しました。\r\n\tキー:\taccess denied\r\n\t詳細:\tSOFTWARE\\Velt");
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(MessageLanguage(), 1033u);

  EXPECT_EQ(FormatErrorText(E_FAIL), u"Unspecified error");
  EXPECT_EQ(FormatErrorText(quor::crypt::NTE_BAD_DATA), u"Bad Data.");
  EXPECT_EQ(FormatErrorText(2), u"The system cannot find the file specified.");
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x80040299)), u"");
  EXPECT_EQ(FormatErrorText(static_cast<HRESULT>(0x87654321)), u"");
}

TEST(AuthUtilRaise, SetsErrorInformationAndNeverRaisesSuccess) {
  auto [code, text] = Raised([] { return Fail(quor::crypt::NTE_BAD_DATA, "CryptDecrypt"); });
  EXPECT_EQ(code, quor::crypt::NTE_BAD_DATA);
  EXPECT_EQ(text, "CryptDecrypt");
  std::tie(code, text) = Raised([] { return Fail(0, "CryptAcquireContext"); });
  EXPECT_EQ(code, E_FAIL);
  std::tie(code, text) = Raised([] { return Fail(E_POINTER); });
  EXPECT_EQ(text, "Invalid pointer");
  // A system error number is raised as its HRESULT, not as a positive status.
  std::tie(code, text) = Raised([] { return Fail(2); });
  EXPECT_EQ(code, static_cast<HRESULT>(0x80070002));
  EXPECT_EQ(text, "The system cannot find the file specified.");

  EXPECT_EQ(StatusFromSystemError(0), 0);
  EXPECT_EQ(StatusFromSystemError(-5), -5);
  EXPECT_EQ(StatusFromSystemError(5), E_ACCESSDENIED);
  EXPECT_EQ(StatusFromSystemError(0x12345), static_cast<HRESULT>(0x80072345));
}

TEST(AuthUtilRaise, OuterEdgesTurnEverythingIntoStatuses) {
  constexpr quor::com::Guid iid = quor::com::Guid::Literal("{715319E9-173A-4F47-A05D-6DC76B57FE24}");
  quor::com::ClearErrorInfo();
  EXPECT_EQ(CatchAtEdge(u"Edge", iid, [] { return Fail(E_FAIL, "No Such Session"); }), E_FAIL);
  auto info = quor::com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"No Such Session");
  EXPECT_EQ(info->source, u"Edge");
  // Thrown without error information: the status's message text.
  EXPECT_EQ(CatchAtEdge(u"Edge", iid, [] () -> HRESULT { throw ComError(E_INVALIDARG); }), E_INVALIDARG);
  info = quor::com::GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"The parameter is incorrect.");
  EXPECT_EQ(info->iid, iid);
  EXPECT_EQ(CatchAtEdge(u"Edge", iid, [] () -> HRESULT { throw ComError(0); }), E_FAIL);
  EXPECT_EQ(CatchAtEdge(u"Edge", iid, [] () -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(CatchAtEdge(u"Edge", iid, [] () -> HRESULT { throw std::runtime_error("x"); }), E_UNEXPECTED);
  EXPECT_EQ(CatchAtEdge(u"Edge", iid, [] { return S_FALSE; }), S_FALSE);
}

// ---- Crypto wrappers and registry key ----------------------------------------------

class AuthUtilFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QUOR_KEYDIR", (dir.Path() / "keys").c_str(), 1);
    ::setenv("QUOR_REGISTRY", (dir.Path() / "registry.reg").c_str(), 1);
  }
  TempDir dir;
};

TEST_F(AuthUtilFiles, AcquireContextCreatesAMissingMachineContainer) {
  CryptProvider p;
  Must(p.AcquireContext("Velt.QuorService", std::nullopt, 0, quor::crypt::CRYPT_MACHINE_KEYSET));
  EXPECT_TRUE(fs::exists(dir.Path() / "keys" / "machine" / "Velt.QuorService.key"));
  EXPECT_EQ(Must(p.GetProvName()), kDefaultProvider);
  EXPECT_EQ(Must(p.GetProvType()), 1u);
  // Opened again as it is, the same signature key.
  CryptKey first = Must(p.GetSignatureKey());
  CryptProvider q;
  Must(q.AcquireContext("Velt.QuorService", std::nullopt, 0, quor::crypt::CRYPT_MACHINE_KEYSET));
  EXPECT_EQ(Must(Must(q.GetSignatureKey()).ExportKey(quor::crypt::PUBLICKEYBLOB, nullptr)),
            Must(first.ExportKey(quor::crypt::PUBLICKEYBLOB, nullptr)));
  EXPECT_EQ(CryptProvider::DeleteKeySet("Velt.QuorService", std::nullopt, 0, quor::crypt::CRYPT_MACHINE_KEYSET).code(),
            S_OK);
  EXPECT_EQ(CryptProvider::DeleteKeySet("Velt.QuorService", std::nullopt, 0, quor::crypt::CRYPT_MACHINE_KEYSET).code(),
            quor::crypt::NTE_BAD_KEYSET);
}

TEST_F(AuthUtilFiles, CryptoFailuresCarryTheCallName) {
  auto [code, text] = Raised([] {
    CryptProvider p;
    return p.AcquireContext(std::nullopt, "Microsoft Base Cryptographic Provider v1.0", 0,
                            quor::crypt::CRYPT_VERIFYCONTEXT);
  });
  EXPECT_EQ(code, quor::crypt::NTE_BAD_PROV_TYPE);
  EXPECT_EQ(text, "CryptAcquireContext");

  CryptProvider p;
  Must(p.AcquireContext(std::nullopt, std::nullopt, 0, quor::crypt::CRYPT_VERIFYCONTEXT));
  CryptKey key = Must(p.GenKey(quor::crypt::CALG_RC2, quor::crypt::CRYPT_EXPORTABLE));
  EXPECT_EQ(Must(key.GetBlockLength()), 8u);
  std::tie(code, text) = Raised([&] { return key.Decrypt(Bytes(12, 1), true); });
  EXPECT_EQ(code, quor::crypt::NTE_BAD_DATA);
  EXPECT_EQ(text, "CryptDecrypt");
  std::tie(code, text) = Raised([&] { return CryptKey().Encrypt(Bytes(3), true); });
  EXPECT_EQ(code, E_HANDLE);
  EXPECT_EQ(text, "CryptEncrypt");
  std::tie(code, text) = Raised([&] { return p.CreateHash(0x6602); });
  EXPECT_EQ(text, "CryptCreateHash");

  // A run that is not final is rounded up to whole blocks with zeros.
  Bytes five = {1, 2, 3, 4, 5};
  Bytes cipher = Must(key.Encrypt(five, false));
  EXPECT_EQ(cipher.size(), 8u);
  CryptKey twin = Must(p.ImportKey(Must(key.ExportKey(quor::crypt::OPAQUEKEYBLOB, nullptr)), 0, nullptr));
  Bytes plain = Must(twin.Decrypt(cipher, false));
  EXPECT_EQ(plain, (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));

  CryptHash hash = Must(p.CreateHash(0x8004));
  Must(hash.HashData(five));
  EXPECT_EQ(Must(hash.GetHashValue()).size(), 20u);
  std::tie(code, text) = Raised([&] { return hash.HashData(five); });
  EXPECT_EQ(text, "CryptHashData");
  EXPECT_FALSE(hash.VerifySignature(Bytes(256), key));
}

TEST_F(AuthUtilFiles, RegistryKeyFailsWithTheRegistrysNumbers) {
  constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);
  constexpr HRESULT kMismatch = static_cast<HRESULT>(0x80070000 | 1629);
  RegistryKey key;
  auto [code, why] = Raised([&] { return key.OpenKey(quor::reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Services"); });
  EXPECT_EQ(code, kNotFound);
  EXPECT_EQ(why, "RegOpenKeyEx");

  Must(key.CreateKey(quor::reg::Hive::LocalMachine, "SOFTWARE\\Velt\\Services"));
  const uint64_t before = Must(key.GetLastWriteTime());
  Must(key.SetValue("qsc", quor::reg::ValueType::String, "http://%s/QuorService"));
  Must(key.SetValue("count", 7u));
  Must(key.SetValue("path", quor::reg::ValueType::ExpandString, "%HOME%"));
  EXPECT_GT(Must(key.GetLastWriteTime()), before);
  auto text = [&](const RegistryKey& k, std::string_view name) {
    std::string value;
    Must(k.GetValue(name, value));
    return value;
  };
  uint32_t number = 0;
  EXPECT_EQ(text(key, "qsc"), "http://%s/QuorService");
  EXPECT_EQ(text(key, "path"), "%HOME%");
  Must(key.GetValue("count", number));
  EXPECT_EQ(number, 7u);
  std::tie(code, why) = Raised([&] { return key.GetValue("qsc", number); });
  EXPECT_EQ(code, kMismatch);
  EXPECT_EQ(why, "getValue(DWORD");
  std::string textValue;
  std::tie(code, why) = Raised([&] { return key.GetValue("count", textValue); });
  EXPECT_EQ(code, kMismatch);
  EXPECT_EQ(why, "getValue(CStr)");
  std::tie(code, why) = Raised([&] { return key.GetValue("missing", number); });
  EXPECT_EQ(code, kNotFound);
  EXPECT_EQ(why, "getValue(DWORD)");

  auto values = Must(key.EnumValues());
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "qsc");
  EXPECT_EQ(values[1].value.type, quor::reg::ValueType::Dword);
  EXPECT_EQ(Must(key.GetValueCount()), 3u);
  EXPECT_EQ(Must(key.DeleteValue("count")), 0);
  EXPECT_EQ(Must(key.DeleteValue("count")), 2);

  RegistryKey copy = Must(key.DuplicateKeyHandle());
  EXPECT_EQ(text(copy, "qsc"), "http://%s/QuorService");
  EXPECT_EQ(Must(RegistryKey::DeleteKey(quor::reg::Hive::LocalMachine, "SOFTWARE\\Velt")), 0);
  EXPECT_EQ(Must(RegistryKey::DeleteKey(quor::reg::Hive::LocalMachine, "SOFTWARE\\Velt")), 2);
  std::tie(code, why) = Raised([&] { return copy.GetValue("qsc", textValue); });
  EXPECT_TRUE(FAILED(code));
}

// ---- Critical section ----------------------------------------------------------------

TEST(AuthUtilLock, CriticalSectionExcludesOtherThreadsButNotItsOwner) {
  EXPECT_EQ(CriticalSection::DefaultSpinCount(), std::thread::hardware_concurrency() > 1 ? 4000 : 0);
  EXPECT_EQ(CriticalSection(0).SpinCount(), 0);
  CriticalSection cs;
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());  // the owner may enter again
  cs.Leave();
  bool other = true;
  std::thread([&] { other = cs.TryEnter(); }).join();
  EXPECT_FALSE(other);
  cs.Leave();

  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        std::lock_guard guard(cs);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

}  // namespace
