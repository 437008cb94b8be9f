// Paths, DN helpers and status names: what needs no server.

#include <gtest/gtest.h>

#include "platform/directory/directory.h"

using namespace quor::dir;

namespace {

TEST(PathsTest, LdapAndWinNTPathsParseAndPrint) {
  AdsPath p;
  ASSERT_EQ(AdsPath::Parse("ldap://a.b.c/DC=a,DC=b,DC=c", p), S_OK);
  EXPECT_EQ(p.provider, Provider::Ldap);
  EXPECT_EQ(p.HostName(), "a.b.c");
  EXPECT_EQ(p.Port(), 0);
  EXPECT_EQ(p.dn, "DC=a,DC=b,DC=c");
  EXPECT_EQ(p.ToString(), "LDAP://a.b.c/DC=a,DC=b,DC=c");

  // A '/' inside a DN is written "\/" in a path.
  ASSERT_EQ(AdsPath::Parse("LDAP://[::1]:3890/cn=a\\/b,dc=x", p), S_OK);
  EXPECT_EQ(p.HostName(), "::1");
  EXPECT_EQ(p.Port(), 3890);
  EXPECT_EQ(p.dn, "cn=a/b,dc=x");
  EXPECT_EQ(p.ToString(), "LDAP://[::1]:3890/cn=a\\/b,dc=x");

  ASSERT_EQ(AdsPath::Parse("WinNT://QUOR/HOST/alice,user", p), S_OK);
  EXPECT_EQ(p.provider, Provider::WinNT);
  EXPECT_EQ(p.host, "QUOR");
  EXPECT_EQ(p.names, (std::vector<std::string>{"HOST", "alice"}));
  EXPECT_EQ(p.className, "user");
  EXPECT_EQ(p.ToString(), "WinNT://QUOR/HOST/alice,user");

  for (const char* bad : {"", "LDAP:", "LDAP://", "LDAP://DC=a,DC=b", "LDAP://h:0/dc=x", "LDAP://h:70000/x",
                          "LDAP://h:12a/x", "LDAP://[::1/x", "WinNT://", "WinNT://a//b", "WinNT://a,", "HTTP://h/x"}) {
    EXPECT_EQ(AdsPath::Parse(bad, p), E_ADS_BAD_PATHNAME) << bad;
    Object object;
    EXPECT_EQ(GetObject(bad, Options{}, object), E_ADS_BAD_PATHNAME) << bad;
  }
}

TEST(PathsTest, LoopbackIsDecidedWithoutResolvingNames) {
  for (const char* host : {"localhost", "LOCALHOST", "127.0.0.1", "127.8.9.10", "::1", "[::1]", "::ffff:127.0.0.1"})
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  for (const char* host : {"128.0.0.1", "10.0.0.1", "::2", "localhost.example", "127.0.0.1.example", "", "0.0.0.0"})
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(PathsTest, EscapedValuesKeepTheirMeaningInsideDns) {
  // An escaped value parses back as one attribute value, whatever it holds.
  EXPECT_TRUE(DnEquals("cn=" + EscapeDnValue(" a,b+c\\d=\"e\" ") + ",dc=x", "cn=\\20a\\2Cb\\2Bc\\5Cd\\3D\\22e\\22\\20,dc=x"));
  EXPECT_TRUE(DnEquals("cn=" + EscapeDnValue("#1") + ",dc=x", "cn=\\231,dc=x"));
  EXPECT_TRUE(DnEquals("CN=Alice Archer, OU=People,DC=quor", "cn=alice archer,ou=people,dc=QUOR"));
  EXPECT_TRUE(DnEquals("cn=a+sn=b,dc=x", "sn=b+cn=a,dc=x"));
  EXPECT_FALSE(DnEquals("cn=a,dc=x", "cn=a,dc=y"));
  EXPECT_FALSE(DnEquals("cn=a,dc=x", "dc=x"));
  EXPECT_FALSE(DnEquals("not a dn", "not a dn"));

  EXPECT_EQ(EscapeFilterValue("a*(b)\\c"), "a\\2a\\28b\\29\\5cc");
  EXPECT_EQ(EscapeFilterValue(std::string("x\0y", 3)), "x\\00y");
  EXPECT_EQ(EscapeFilterPattern("a*(b)"), "a*\\28b\\29");
}

TEST(PathsTest, StatusNamesCoverExactlyTheDirectoryStatuses) {
  EXPECT_EQ(StatusName(E_ADS_BAD_PATHNAME), "E_ADS_BAD_PATHNAME");
  EXPECT_EQ(StatusName(E_ADS_PROPERTY_NOT_FOUND), "E_ADS_PROPERTY_NOT_FOUND");
  EXPECT_EQ(StatusName(S_ADS_NOMORE_ROWS), "S_ADS_NOMORE_ROWS");
  EXPECT_EQ(StatusName(E_ADS_INVALID_FILTER), "E_ADS_INVALID_FILTER");
  EXPECT_EQ(StatusName(static_cast<HRESULT>(0x80005012u)), "");  // a failure with a success's code
  EXPECT_EQ(StatusName(static_cast<HRESULT>(0x00005000)), "");
  EXPECT_EQ(StatusName(static_cast<HRESULT>(0x80005015u)), "");
  EXPECT_EQ(StatusName(kLogonFailure), "");
  EXPECT_EQ(kLogonFailure, static_cast<HRESULT>(0x8007052Eu));
  EXPECT_EQ(kNoSuchObject, static_cast<HRESULT>(0x80072030u));
  EXPECT_EQ(kServerDown, static_cast<HRESULT>(0x8007203Au));
}

}  // namespace
