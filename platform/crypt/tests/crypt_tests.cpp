// The crypto layer against real OpenSSL and real key container files in a
// temporary key folder.
#include "platform/crypt/crypt.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/registry/registry.h"
#include "testing/TempDir.h"

namespace fs = std::filesystem;
using namespace quor::crypt;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

using TempDir = quor::test::TempDir;

class CryptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QUOR_KEYDIR", (dir.Path() / "keys").c_str(), 1);
    ::setenv("QUOR_REGISTRY", (dir.Path() / "registry.reg").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("QUOR_KEYDIR"); }

  Provider Verify() {
    Provider p;
    EXPECT_EQ(Provider::Acquire(std::nullopt, "", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, p), S_OK);
    return p;
  }
  Provider Machine(std::string_view name) {
    Provider p;
    HRESULT hr = Provider::Acquire(name, kBaseProvider, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, p);
    if (hr == NTE_BAD_KEYSET) hr = Provider::Acquire(name, kBaseProvider, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET, p);
    EXPECT_EQ(hr, S_OK);
    return p;
  }
  static Key Rc2(const Provider& p, uint32_t flags = CRYPT_EXPORTABLE) {
    Key k;
    EXPECT_EQ(p.GenKey(CALG_RC2, flags, k), S_OK);
    return k;
  }
  static Bytes Export(const Key& k, uint32_t type, const Key* with = nullptr) {
    Bytes blob;
    EXPECT_EQ(k.Export(type, with, blob), S_OK);
    return blob;
  }
  static Bytes Sha1(std::span<const uint8_t> data) {
    Bytes out(20);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha1(), nullptr);
    return out;
  }

  TempDir dir;
};

TEST_F(CryptTest, ContainersAreCreatedOnceAsPrivateFilesAndDeleted) {
  Provider p;
  EXPECT_EQ(Provider::Acquire("Velt.QuorService", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, p), NTE_BAD_KEYSET);
  EXPECT_FALSE(p.IsOpen());
  ASSERT_EQ(Provider::Acquire("Velt.QuorService", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET, p), S_OK);
  EXPECT_EQ(p.Name(), kBaseProvider);
  EXPECT_EQ(p.Container(), "Velt.QuorService");
  const fs::path file = dir.Path() / "keys" / "machine" / "Velt.QuorService.key";
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);

  Provider again;
  EXPECT_EQ(Provider::Acquire("Velt.QuorService", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET, again),
            NTE_EXISTS);
  EXPECT_EQ(Provider::Acquire("Velt.QuorService", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, again), S_OK);
  // A user key set of the same name is another container.
  EXPECT_EQ(Provider::Acquire("Velt.QuorService", "", PROV_RSA_FULL, 0, again), NTE_BAD_KEYSET);

  EXPECT_EQ(Provider::DeleteKeySet("Velt.QuorService", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET), S_OK);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(Provider::DeleteKeySet("Velt.QuorService", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET), NTE_BAD_KEYSET);
}

TEST_F(CryptTest, ContainerNamesNeverLeaveTheKeyFolder) {
  const fs::path keys = dir.Path() / "keys";
  for (std::string name : std::vector<std::string>{"../../escape", "Velt.QuorService:user1@REALM", "/etc/passwd", ".hidden",
                           std::string(600, 'x')}) {
    Provider p = Machine(name);
    ASSERT_TRUE(p.IsOpen()) << name;
  }
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir.Path()))
    if (entry.is_regular_file() && entry.path().extension() == ".key") {
      EXPECT_EQ(entry.path().parent_path(), keys / "machine");
      EXPECT_LE(entry.path().filename().string().size(), 255u);
      files.insert(entry.path().filename().string());
    }
  EXPECT_EQ(files.size(), 5u);
  EXPECT_TRUE(files.count("Velt.QuorService%3Auser1@REALM.key"));
}

TEST_F(CryptTest, AcquisitionRefusesWhatItDoesNotOffer) {
  Provider p;
  EXPECT_EQ(Provider::Acquire(std::nullopt, "No Such Provider", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, p),
            NTE_KEYSET_NOT_DEF);
  EXPECT_EQ(Provider::Acquire(std::nullopt, "", 0, CRYPT_VERIFYCONTEXT, p), NTE_BAD_PROV_TYPE);
  EXPECT_EQ(Provider::Acquire(std::nullopt, "", 3, CRYPT_VERIFYCONTEXT, p), NTE_PROV_TYPE_NO_MATCH);
  EXPECT_EQ(Provider::Acquire(std::nullopt, "", PROV_RSA_FULL, 0x100, p), NTE_BAD_FLAGS);
  EXPECT_EQ(Provider::Acquire("named", "", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT, p), NTE_BAD_FLAGS);
  // Provider names compare without case.
  EXPECT_EQ(Provider::Acquire(std::nullopt, "microsoft enhanced cryptographic provider v1.0", PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT, p),
            S_OK);
  // The user's default container.
  EXPECT_EQ(Provider::Acquire(std::nullopt, "", PROV_RSA_FULL, CRYPT_NEWKEYSET, p), S_OK);
  EXPECT_FALSE(p.Container().empty());
  EXPECT_TRUE(fs::exists(dir.Path() / "keys" / "user" / std::to_string(::geteuid())));
  Key none;
  EXPECT_EQ(Provider().GenKey(CALG_RC2, 0, none), HRESULT_FROM_WIN32(6));
}

TEST_F(CryptTest, KeyFolderComesFromEnvironmentRegistryOrBesideTheRegistryFile) {
  EXPECT_EQ(KeyFolder(), dir.Path() / "keys");
  ::unsetenv("QUOR_KEYDIR");
  EXPECT_EQ(KeyFolder(), dir.Path() / "keys");
  quor::reg::Key key;
  ASSERT_EQ(quor::reg::Win32Error(key.Create(quor::reg::Hive::LocalMachine, "SOFTWARE\\Velt\\QuorService")), 0);
  ASSERT_EQ(quor::reg::Win32Error(key.SetString("KeyDir", (dir.Path() / "elsewhere").string())), 0);
  EXPECT_EQ(KeyFolder(), dir.Path() / "elsewhere");
  Provider p = Machine("c");
  EXPECT_TRUE(fs::exists(dir.Path() / "elsewhere" / "machine" / "c.key"));
}

TEST_F(CryptTest, ContainerKeyPairsPersistAndConcurrentFirstUseAgrees) {
  Provider p = Machine("signer");
  Key k;
  EXPECT_EQ(p.GetUserKey(AT_SIGNATURE, k), NTE_NO_KEY);
  // Eight threads, each with its own context, ask for the missing key at once.
  std::vector<Bytes> publics(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < publics.size(); ++i)
    threads.emplace_back([&, i] {
      Provider own;
      if (Provider::Acquire("signer", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, own) != S_OK) return;
      Key key;
      if (own.GetUserKey(AT_SIGNATURE, key, true) == S_OK) key.Export(PUBLICKEYBLOB, nullptr, publics[i]);
    });
  for (auto& t : threads) t.join();
  for (const Bytes& pub : publics) EXPECT_EQ(pub, publics[0]);
  ASSERT_FALSE(publics[0].empty());

  // Signed in one context, checked with the public blob in another.
  Provider later = Machine("signer");
  Hash h;
  ASSERT_EQ(later.CreateHash(CALG_SHA1, nullptr, h), S_OK);
  ASSERT_EQ(h.HashData(B("ticket")), S_OK);
  Bytes signature;
  ASSERT_EQ(h.Sign(AT_SIGNATURE, signature), S_OK);
  EXPECT_EQ(signature.size(), kRsaKeyBits / 8);
  EXPECT_EQ(h.Sign(AT_KEYEXCHANGE, signature), NTE_NO_KEY);

  Provider checker = Verify();
  Key pub;
  ASSERT_EQ(checker.ImportKey(publics[0], nullptr, 0, pub), S_OK);
  auto verify = [&](std::string_view data, const Bytes& sig) {
    Hash v;
    EXPECT_EQ(checker.CreateHash(CALG_SHA1, nullptr, v), S_OK);
    v.HashData(B(data));
    return v.Verify(sig, pub);
  };
  ASSERT_EQ(h.Sign(AT_SIGNATURE, signature), S_OK);
  EXPECT_EQ(verify("ticket", signature), S_OK);
  EXPECT_EQ(verify("ticket!", signature), NTE_BAD_SIGNATURE);
  Bytes flipped = signature;
  flipped[100] ^= 1;
  EXPECT_EQ(verify("ticket", flipped), NTE_BAD_SIGNATURE);
  EXPECT_EQ(verify("ticket", Bytes(3, 0)), NTE_BAD_SIGNATURE);

  // Another container's key does not verify it.
  Provider other = Machine("other");
  Key otherKey;
  ASSERT_EQ(other.GetUserKey(AT_SIGNATURE, otherKey, true), S_OK);
  Hash v;
  ASSERT_EQ(other.CreateHash(CALG_SHA1, nullptr, v), S_OK);
  v.HashData(B("ticket"));
  EXPECT_EQ(v.Verify(signature, otherKey), NTE_BAD_SIGNATURE);
}

TEST_F(CryptTest, DamagedContainerFilesAreRefused) {
  Provider p = Machine("broken");
  const fs::path file = dir.Path() / "keys" / "machine" / "broken.key";
  for (std::string content : std::vector<std::string>{"", "QuorKeyContainer 1\nexchange !!!!\n", "QuorKeyContainer 1\nexchange QUJD\n",
                              "QuorKeyContainer 1\nwhatever AAAA\n", "something else\n"}) {
    std::ofstream(file, std::ios::trunc) << content;
    Provider q;
    ASSERT_EQ(Provider::Acquire("broken", "", PROV_RSA_FULL, CRYPT_MACHINE_KEYSET, q), S_OK);
    Key k;
    EXPECT_EQ(q.GetUserKey(AT_KEYEXCHANGE, k, true), NTE_KEYSET_ENTRY_BAD) << content;
  }
}

TEST_F(CryptTest, HashesMatchTheStandardVectorsAndCloseAfterReading) {
  Provider p = Verify();
  Hash h;
  ASSERT_EQ(p.CreateHash(CALG_SHA1, nullptr, h), S_OK);
  ASSERT_EQ(h.HashData(B("ab")), S_OK);
  ASSERT_EQ(h.HashData(B("c")), S_OK);
  Bytes value;
  ASSERT_EQ(h.GetValue(value), S_OK);
  const Bytes sha1abc = {0xA9, 0x99, 0x3E, 0x36, 0x47, 0x06, 0x81, 0x6A, 0xBA, 0x3E,
                         0x25, 0x71, 0x78, 0x50, 0xC2, 0x6C, 0x9C, 0xD0, 0xD8, 0x9D};
  EXPECT_EQ(value, sha1abc);
  EXPECT_EQ(h.HashData(B("more")), NTE_BAD_HASH_STATE);
  Bytes again;
  ASSERT_EQ(h.GetValue(again), S_OK);
  EXPECT_EQ(again, value);

  for (auto [alg, size] : {std::pair{CALG_MD5, 16u}, {CALG_SHA_256, 32u}, {CALG_SHA_384, 48u}, {CALG_SHA_512, 64u}}) {
    Hash other;
    ASSERT_EQ(p.CreateHash(alg, nullptr, other), S_OK);
    ASSERT_EQ(other.GetValue(value), S_OK);
    EXPECT_EQ(value.size(), size);
  }
  Hash bad;
  EXPECT_EQ(p.CreateHash(CALG_RC2, nullptr, bad), NTE_BAD_ALGID);
  Key k = Rc2(p);
  EXPECT_EQ(p.CreateHash(CALG_SHA1, &k, bad), NTE_BAD_KEY);
}

TEST_F(CryptTest, Rc2IsTheRealCipherWith128EffectiveBits) {
  // RFC 2268's vector for a 16-byte key with 128 effective bits; with a zero
  // initial vector the first CBC block is that ECB block.
  const Bytes keyBytes = {0x88, 0xBC, 0xA9, 0x0E, 0x90, 0x87, 0x5A, 0x7F,
                          0x0F, 0x79, 0xC3, 0x84, 0x62, 0x7B, 0xAF, 0xB2};
  Bytes blob = {OPAQUEKEYBLOB, 2, 0, 0, 0x02, 0x66, 0, 0, 16, 0, 0, 0};
  blob.insert(blob.end(), keyBytes.begin(), keyBytes.end());
  Provider p = Verify();
  Key k;
  ASSERT_EQ(p.ImportKey(blob, nullptr, 0, k), S_OK);
  uint32_t block = 0;
  ASSERT_EQ(k.BlockLength(block), S_OK);
  EXPECT_EQ(block, 8u);
  Bytes data(8, 0);
  ASSERT_EQ(k.Encrypt(nullptr, true, data), S_OK);
  ASSERT_EQ(data.size(), 16u);  // one block of padding
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 8), (Bytes{0x22, 0x69, 0x55, 0x2A, 0xB0, 0xF8, 0x5C, 0xA6}));
  ASSERT_EQ(k.Decrypt(nullptr, true, data), S_OK);
  EXPECT_EQ(data, Bytes(8, 0));
  // Not exportable: imported without the flag.
  Bytes out;
  EXPECT_EQ(k.Export(OPAQUEKEYBLOB, nullptr, out), NTE_BAD_KEY_STATE);
}

TEST_F(CryptTest, EncryptionChainsAcrossRunsAndChecksLengthAndPadding) {
  Provider p = Verify();
  Key k = Rc2(p);
  Bytes whole = B("sixteen bytes!!!and some more");
  Bytes oneShot = whole;
  ASSERT_EQ(k.Encrypt(nullptr, true, oneShot), S_OK);
  EXPECT_EQ(oneShot.size(), 32u);

  Bytes first(whole.begin(), whole.begin() + 16), rest(whole.begin() + 16, whole.end());
  ASSERT_EQ(k.Encrypt(nullptr, false, first), S_OK);
  ASSERT_EQ(k.Encrypt(nullptr, true, rest), S_OK);
  first.insert(first.end(), rest.begin(), rest.end());
  EXPECT_EQ(first, oneShot);

  Bytes odd = B("seven b");
  EXPECT_EQ(k.Encrypt(nullptr, false, odd), NTE_BAD_DATA);

  Bytes plain = oneShot;
  ASSERT_EQ(k.Decrypt(nullptr, true, plain), S_OK);
  EXPECT_EQ(plain, whole);
  Bytes truncated(oneShot.begin(), oneShot.end() - 3);
  EXPECT_EQ(k.Decrypt(nullptr, true, truncated), NTE_BAD_DATA);
  Bytes empty;
  EXPECT_EQ(k.Decrypt(nullptr, true, empty), NTE_BAD_DATA);
  // A failed run leaves no chaining state behind.
  plain = oneShot;
  ASSERT_EQ(k.Decrypt(nullptr, true, plain), S_OK);
  EXPECT_EQ(plain, whole);

  // Another key: the padding check fails, or the text is not the original.
  Key other = Rc2(p);
  Bytes wrong = oneShot;
  HRESULT hr = other.Decrypt(nullptr, true, wrong);
  EXPECT_TRUE(hr == NTE_BAD_DATA || wrong != whole);
}

TEST_F(CryptTest, EncryptionHashesThePlainText) {
  Provider p = Verify();
  Key k = Rc2(p);
  const Bytes text = B("plain text with a NUL\0 inside");
  Hash onEncrypt, onDecrypt;
  ASSERT_EQ(p.CreateHash(CALG_SHA1, nullptr, onEncrypt), S_OK);
  ASSERT_EQ(p.CreateHash(CALG_SHA1, nullptr, onDecrypt), S_OK);
  Bytes data = text;
  ASSERT_EQ(k.Encrypt(&onEncrypt, true, data), S_OK);
  ASSERT_EQ(k.Decrypt(&onDecrypt, true, data), S_OK);
  Bytes a, b;
  onEncrypt.GetValue(a);
  onDecrypt.GetValue(b);
  EXPECT_EQ(a, Sha1(text));
  EXPECT_EQ(b, Sha1(text));
  // A finished hash refuses more.
  EXPECT_EQ(k.Encrypt(&onEncrypt, true, data), NTE_BAD_HASH_STATE);
}

TEST_F(CryptTest, DerivedKeysAgreeAndHashSessionKeyCoversTheKeyBytes) {
  Provider a = Verify(), b = Verify();
  const Bytes seed = B("random seed bytes from the client");
  auto derive = [&](Provider& p) {
    Hash h;
    EXPECT_EQ(p.CreateHash(CALG_SHA1, nullptr, h), S_OK);
    h.HashData(seed);
    Key k;
    EXPECT_EQ(p.DeriveKey(CALG_RC2, h, CRYPT_EXPORTABLE, k), S_OK);
    return k;
  };
  Key ka = derive(a), kb = derive(b);
  Bytes blob = Export(ka, OPAQUEKEYBLOB);
  ASSERT_EQ(blob.size(), 8u + 4u + 16u);
  Bytes sha = Sha1(seed);
  EXPECT_EQ(Bytes(blob.begin() + 12, blob.end()), Bytes(sha.begin(), sha.begin() + 16));
  Bytes data = B("timestamp");
  ASSERT_EQ(ka.Encrypt(nullptr, true, data), S_OK);
  ASSERT_EQ(kb.Decrypt(nullptr, true, data), S_OK);
  EXPECT_EQ(data, B("timestamp"));

  Hash h;
  ASSERT_EQ(a.CreateHash(CALG_SHA1, nullptr, h), S_OK);
  ASSERT_EQ(h.HashSessionKey(ka), S_OK);
  Bytes value;
  h.GetValue(value);
  EXPECT_EQ(value, Sha1(Bytes(blob.begin() + 12, blob.end())));

  Hash unused;
  Key bad;
  ASSERT_EQ(a.CreateHash(CALG_SHA1, nullptr, unused), S_OK);
  EXPECT_EQ(a.DeriveKey(CALG_SHA1, unused, 0, bad), NTE_BAD_ALGID);
  EXPECT_EQ(a.DeriveKey(CALG_RC2, unused, 40u << 16, bad), NTE_BAD_FLAGS);
  EXPECT_EQ(a.GenKey(CALG_RC2, 56u << 16, bad), NTE_BAD_FLAGS);
  EXPECT_EQ(a.GenKey(0x6801, 0, bad), NTE_BAD_ALGID);
}

TEST_F(CryptTest, SessionKeysTravelWrappedUnderTheReceiversExchangeKey) {
  // The receiver (a client with its own container) publishes its exchange key;
  // the sender wraps a session key under it.
  Provider receiver = Machine("client");
  Key exchange;
  ASSERT_EQ(receiver.GetUserKey(AT_KEYEXCHANGE, exchange, true), S_OK);
  Bytes pubBlob = Export(exchange, PUBLICKEYBLOB);

  Provider sender = Verify();
  Key pub, session = Rc2(sender);
  ASSERT_EQ(sender.ImportKey(pubBlob, nullptr, 0, pub), S_OK);
  Bytes wrapped = Export(session, SIMPLEBLOB, &pub);
  EXPECT_EQ(wrapped.size(), 8u + 4u + kRsaKeyBits / 8);
  Bytes notExportable;
  Key fixed = Rc2(sender, 0);
  EXPECT_EQ(fixed.Export(SIMPLEBLOB, &pub, notExportable), NTE_BAD_KEY_STATE);
  EXPECT_EQ(session.Export(SIMPLEBLOB, nullptr, notExportable), NTE_BAD_KEY);

  Key received;
  ASSERT_EQ(receiver.ImportKey(wrapped, nullptr, CRYPT_EXPORTABLE, received), S_OK);
  EXPECT_EQ(Export(received, OPAQUEKEYBLOB), Export(session, OPAQUEKEYBLOB));

  // Anyone else's exchange key cannot unwrap it.
  Provider stranger = Machine("stranger");
  Key strangerKey;
  ASSERT_EQ(stranger.GetUserKey(AT_KEYEXCHANGE, strangerKey, true), S_OK);
  Key stolen;
  EXPECT_EQ(stranger.ImportKey(wrapped, nullptr, 0, stolen), NTE_BAD_DATA);
  // A context without an exchange key has nothing to unwrap with.
  EXPECT_EQ(Verify().ImportKey(wrapped, nullptr, 0, stolen), NTE_NO_KEY);
}

TEST_F(CryptTest, MalformedBlobsAreRefused) {
  Provider p = Verify();
  Key k;
  Bytes good = Export(Rc2(p), OPAQUEKEYBLOB);
  EXPECT_EQ(p.ImportKey(Bytes{}, nullptr, 0, k), NTE_BAD_DATA);
  EXPECT_EQ(p.ImportKey(Bytes(good.begin(), good.begin() + 7), nullptr, 0, k), NTE_BAD_DATA);
  EXPECT_EQ(p.ImportKey(Bytes(good.begin(), good.end() - 1), nullptr, 0, k), NTE_BAD_DATA);
  Bytes version = good;
  version[1] = 3;
  EXPECT_EQ(p.ImportKey(version, nullptr, 0, k), NTE_BAD_VER);
  Bytes type = good;
  type[0] = 7;
  EXPECT_EQ(p.ImportKey(type, nullptr, 0, k), NTE_BAD_TYPE);
  Bytes alg = good;
  alg[4] = 0x01;
  EXPECT_EQ(p.ImportKey(alg, nullptr, 0, k), NTE_BAD_ALGID);
  Bytes longer = good;
  longer[8] = 200;
  EXPECT_EQ(p.ImportKey(longer, nullptr, 0, k), NTE_BAD_DATA);
  EXPECT_EQ(p.ImportKey(good, nullptr, 0x4, k), NTE_BAD_FLAGS);

  Provider holder = Machine("holder");
  Key exchange;
  ASSERT_EQ(holder.GetUserKey(AT_KEYEXCHANGE, exchange, true), S_OK);
  Bytes pub = Export(exchange, PUBLICKEYBLOB);
  EXPECT_EQ(p.ImportKey(Bytes(pub.begin(), pub.end() - 20), nullptr, 0, k), NTE_BAD_PUBLIC_KEY);
  Bytes trailing = pub;
  trailing.push_back(0);
  EXPECT_EQ(p.ImportKey(trailing, nullptr, 0, k), NTE_BAD_DATA);
  EXPECT_EQ(p.ImportKey(pub, nullptr, 0, k), S_OK);
  EXPECT_FALSE(k.IsSet() && k.Algorithm() != CALG_RSA_KEYX);
}

TEST(CryptCompare, ConstantTimeComparisonIsStillAComparison) {
  EXPECT_TRUE(EqualConstantTime(std::u16string_view(u"ABCDEF"), std::u16string_view(u"ABCDEF")));
  EXPECT_FALSE(EqualConstantTime(std::u16string_view(u"ABCDEF"), std::u16string_view(u"ABCDEf")));
  EXPECT_FALSE(EqualConstantTime(std::u16string_view(u"ABC"), std::u16string_view(u"ABCD")));
  EXPECT_TRUE(EqualConstantTime(std::u16string_view(), std::u16string_view()));
  const Bytes a = {1, 2, 3};
  EXPECT_FALSE(EqualConstantTime(std::span<const uint8_t>(a), std::span<const uint8_t>(Bytes{1, 2, 4})));
  EXPECT_FALSE(ErrorText(NTE_BAD_DATA).empty());
  EXPECT_TRUE(ErrorText(E_FAIL).empty());
}

}  // namespace
