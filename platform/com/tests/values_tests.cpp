// Strings, GUIDs, variants, safe arrays, statuses and error information.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/errorinfo.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/variant.h"

using namespace quor::com;

namespace {

TEST(Bstr, NullAndEmptyAreDifferent) {
  Bstr null;
  Bstr empty(u"");
  EXPECT_TRUE(null.IsNull());
  EXPECT_FALSE(empty.IsNull());
  EXPECT_NE(null, empty);
  EXPECT_EQ(null, Bstr::Null());
  EXPECT_EQ(null.Length(), 0u);
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(null.c_str(), nullptr);
  ASSERT_NE(empty.c_str(), nullptr);
  EXPECT_EQ(empty.c_str()[0], u'\0');
  EXPECT_FALSE(null == u"");
  EXPECT_TRUE(empty == u"");
  EXPECT_EQ(Bstr(static_cast<const char16_t*>(nullptr)), null);

  Bstr text(u"abc");
  Bstr moved(std::move(text));
  EXPECT_EQ(moved, u"abc");
  EXPECT_TRUE(text.IsNull());  // NOLINT: a moved-from Bstr is defined to be null
  Bstr appended;
  appended.Append(u"");
  EXPECT_FALSE(appended.IsNull());
}

TEST(Bstr, Utf8RoundTripCountsUtf16Units) {
  const std::string utf8 = "a\xC3\xA4\xE6\x97\xA5\xF0\x9F\x98\x80";  // a, ä, 日, U+1F600
  Bstr b = Bstr::FromUtf8(utf8);
  EXPECT_EQ(b.Length(), 5u);  // the emoji takes two units
  EXPECT_EQ(b.ToUtf8(), utf8);
  EXPECT_EQ(Bstr().ToUtf8(), "");
  EXPECT_EQ(Bstr::FromUtf8("bad \xFF").View(), u"bad \uFFFD");
}

TEST(Bstr, CopiesShareOneTextInEitherForm) {
  const std::string utf8 = "x\xC3\xA4<&>\xF0\x9F\x98\x80" + std::string(40, 'y');
  const Bstr fromUtf8 = Bstr::FromUtf8(utf8);
  const Bstr fromWide(fromUtf8.View());  // made from UTF-16
  EXPECT_EQ(fromUtf8, fromWide);
  EXPECT_EQ(fromWide.Utf8(), utf8);
  EXPECT_EQ(fromUtf8.Length(), fromWide.Length());
  EXPECT_NE(fromUtf8, Bstr::FromUtf8(utf8 + "z"));
  // A lone surrogate has no UTF-8 form: it is written '?', as before.
  EXPECT_EQ(Bstr(u"a\xD800").Utf8(), "a?");

  // Appending to a copy leaves the original as it was; a text grown in
  // place writes its new UTF-8 form.
  Bstr copy = fromUtf8;
  copy.Append(u"!");
  EXPECT_EQ(copy.ToUtf8(), utf8 + "!");
  EXPECT_EQ(fromUtf8.ToUtf8(), utf8);
  EXPECT_EQ(copy.Append(u"?").Utf8(), utf8 + "!?");

  // Threads that first ask a shared text for its other form all get it whole.
  const Bstr shared = Bstr::TakeUtf8(std::string(1 << 16, 'q') + "\xE6\x97\xA5");
  std::vector<std::thread> readers;
  std::vector<size_t> seen(4);
  for (size_t i = 0; i < seen.size(); ++i)
    readers.emplace_back([&, i] { seen[i] = Bstr(shared).View().size(); });
  for (auto& r : readers) r.join();
  EXPECT_EQ(seen, std::vector<size_t>(4, (1u << 16) + 1));
}

TEST(Guid, ParseAndFormat) {
  auto g = Guid::Parse("{8c8177a5-2185-402f-a2d7-26202af051be}");
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->Format(), "{8C8177A5-2185-402F-A2D7-26202AF051BE}");
  EXPECT_EQ(g->data1, 0x8C8177A5u);
  EXPECT_EQ(g->data2, 0x2185);
  EXPECT_EQ(g->data4[0], 0xA2);
  EXPECT_EQ(Guid::Parse("8C8177A5-2185-402F-A2D7-26202AF051BE"), g);
  EXPECT_EQ(g->FormatWide(), u"{8C8177A5-2185-402F-A2D7-26202AF051BE}");
  for (const char* bad : {"", "{8C8177A5-2185-402F-A2D7-26202AF051BE", "{8C8177A5+2185-402F-A2D7-26202AF051BE}",
                          "8C8177A5-2185-402F-A2D7-26202AF051BG", "{8C8177A5-2185-402F-A2D7-26202AF051BE}}",
                          "8C8177A52185402FA2D726202AF051BE"})
    EXPECT_FALSE(Guid::Parse(bad).has_value()) << bad;
  constexpr Guid kConstant = Guid::Literal("{00020400-0000-0000-C000-000000000046}");
  static_assert(kConstant.data1 == 0x00020400);
  EXPECT_EQ(kConstant, IDispatch::kIid);
  EXPECT_NE(std::hash<Guid>{}(kConstant), std::hash<Guid>{}(IUnknown::kIid));
  EXPECT_TRUE(Guid{}.IsNull());
}

TEST(HResult, ValuesAndHelpers) {
  EXPECT_EQ(static_cast<uint32_t>(DISP_E_EXCEPTION), 0x80020009u);
  EXPECT_EQ(static_cast<uint32_t>(E_FAIL), 0x80004005u);
  EXPECT_EQ(static_cast<uint32_t>(CO_E_CLASSSTRING), 0x800401F3u);
  EXPECT_EQ(static_cast<uint32_t>(REGDB_E_CLASSNOTREG), 0x80040154u);
  EXPECT_EQ(static_cast<uint32_t>(HRESULT_FROM_WIN32(2)), 0x80070002u);
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(87), E_INVALIDARG);
  EXPECT_EQ(MAKE_HRESULT(1, FACILITY_ITF, 0x200), static_cast<HRESULT>(0x80040200));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
  EXPECT_TRUE(FAILED(E_POINTER));
  EXPECT_EQ(HResultText(E_FAIL), "Unspecified error");
  EXPECT_EQ(HResultText(static_cast<HRESULT>(0x81000085)), "Error 0x81000085");
}

TEST(Variant, ConversionsToText) {
  Bstr s;
  EXPECT_EQ(Variant(int32_t{-42}).ToBstr(s), S_OK);
  EXPECT_EQ(s, u"-42");
  EXPECT_EQ(Variant(2.5).ToBstr(s), S_OK);
  EXPECT_EQ(s, u"2.5");
  EXPECT_EQ(Variant(true).ToBstr(s), S_OK);
  EXPECT_EQ(s, u"-1");
  EXPECT_EQ(Variant().ToBstr(s), S_OK);
  EXPECT_EQ(s, u"");
  EXPECT_FALSE(s.IsNull());
  EXPECT_EQ(Variant::Null().ToBstr(s), DISP_E_TYPEMISMATCH);
  // A null string stays null through a copy.
  Variant nullText{Bstr()};
  Variant copy;
  EXPECT_EQ(nullText.ChangeType(VT_BSTR, copy), S_OK);
  EXPECT_TRUE(copy.GetBstr().IsNull());
}

TEST(Variant, ConversionsToNumbersAndTruth) {
  int32_t i = 0;
  EXPECT_EQ(Variant(u" 123 ").ToI4(i), S_OK);
  EXPECT_EQ(i, 123);
  EXPECT_EQ(Variant(u"12abc").ToI4(i), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Variant(u"").ToI4(i), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Variant(u"99999999999").ToI4(i), DISP_E_OVERFLOW);
  EXPECT_EQ(Variant(int64_t{1} << 40).ToI4(i), DISP_E_OVERFLOW);
  EXPECT_EQ(Variant(2.5).ToI4(i), S_OK);
  EXPECT_EQ(i, 2);  // halves go to the even neighbour
  EXPECT_EQ(Variant(3.5).ToI4(i), S_OK);
  EXPECT_EQ(i, 4);
  EXPECT_EQ(Variant(std::nan("")).ToI4(i), DISP_E_OVERFLOW);
  EXPECT_EQ(Variant(true).ToI4(i), S_OK);
  EXPECT_EQ(i, -1);
  EXPECT_EQ(Variant().ToI4(i), S_OK);
  EXPECT_EQ(i, 0);
  EXPECT_EQ(Variant::Null().ToI4(i), DISP_E_TYPEMISMATCH);

  bool b = false;
  EXPECT_EQ(Variant(u"True").ToBool(b), S_OK);
  EXPECT_TRUE(b);
  EXPECT_EQ(Variant(u"false").ToBool(b), S_OK);
  EXPECT_FALSE(b);
  EXPECT_EQ(Variant(u"0").ToBool(b), S_OK);
  EXPECT_FALSE(b);
  EXPECT_EQ(Variant(int32_t{7}).ToBool(b), S_OK);
  EXPECT_TRUE(b);
  EXPECT_EQ(Variant(u"maybe").ToBool(b), DISP_E_TYPEMISMATCH);

  Variant out;
  EXPECT_EQ(Variant(int32_t{-1}).ChangeType(VT_UI4, out), DISP_E_OVERFLOW);
  EXPECT_EQ(Variant(int32_t{255}).ChangeType(VT_UI1, out), S_OK);
  EXPECT_EQ(out.UI1(), 255);
  EXPECT_EQ(Variant(int32_t{1}).ChangeType(static_cast<VARTYPE>(64), out), DISP_E_BADVARTYPE);
  EXPECT_EQ(Variant(true).Type(), VT_BOOL);
  EXPECT_THROW(Variant(int32_t{1}).GetBstr(), ComError);
  EXPECT_THROW(Variant(u"x").I4(), ComError);
}

TEST(Variant, ByReferenceReadsAndWritesTheCallersVariable) {
  Bstr text(u"before");
  Variant ref = Variant::ByRef(&text);
  EXPECT_EQ(ref.Type(), VT_BYREF | VT_BSTR);
  EXPECT_EQ(ref.Dereferenced().GetBstr(), u"before");
  EXPECT_EQ(ref.AssignThroughRef(Variant(int32_t{5})), S_OK);
  EXPECT_EQ(text, u"5");

  VARIANT_BOOL flag = VARIANT_FALSE;
  EXPECT_EQ(Variant::ByRefBool(&flag).AssignThroughRef(Variant(true)), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);

  Variant target(int32_t{1});
  Variant toVariant = Variant::ByRef(&target);
  EXPECT_EQ(toVariant.AssignThroughRef(Variant(u"x")), S_OK);
  EXPECT_EQ(target.GetBstr(), u"x");
  int32_t i = 0;
  EXPECT_EQ(toVariant.ToI4(i), DISP_E_TYPEMISMATCH);  // converts the target
  int32_t number = 3;
  EXPECT_EQ(Variant::ByRef(&number).AssignThroughRef(Variant(u"x")), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(number, 3);
  EXPECT_EQ(Variant(int32_t{1}).AssignThroughRef(Variant()), E_INVALIDARG);
}

TEST(SafeArray, TwoDimensionsStoreTheFirstIndexFastest) {
  SafeArray grid(VT_UI1, {1, 3}, {-1, 2});  // rows 1..3, columns -1..0
  EXPECT_EQ(grid.Dimensions(), 2u);
  int32_t lo = 0, hi = 0;
  EXPECT_EQ(grid.GetLBound(2, lo), S_OK);
  EXPECT_EQ(grid.GetUBound(2, hi), S_OK);
  EXPECT_EQ(lo, -1);
  EXPECT_EQ(hi, 0);
  EXPECT_EQ(grid.GetUBound(1, hi), S_OK);
  EXPECT_EQ(hi, 3);
  EXPECT_EQ(grid.GetLBound(3, lo), DISP_E_BADINDEX);
  for (int32_t r = 1; r <= 3; ++r)
    for (int32_t c = -1; c <= 0; ++c) {
      int32_t at[2] = {r, c};
      ASSERT_EQ(grid.PutElement(at, Variant(int32_t{r * 10 + (c + 2)})), S_OK);
    }
  const auto bytes = grid.Bytes();
  ASSERT_EQ(bytes.size(), 6u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), (std::vector<uint8_t>{11, 21, 31, 12, 22, 32}));

  int32_t outside[2] = {4, 0};
  Variant v;
  EXPECT_EQ(grid.GetElement(outside, v), DISP_E_BADINDEX);
  int32_t below[2] = {1, -2};
  EXPECT_EQ(grid.PutElement(below, Variant(int32_t{1})), DISP_E_BADINDEX);
  int32_t oneIndex[1] = {1};
  EXPECT_EQ(grid.GetElement(oneIndex, v), DISP_E_BADINDEX);
  int32_t at[2] = {2, 0};
  EXPECT_EQ(grid.GetElement(at, v), S_OK);
  EXPECT_EQ(v.UI1(), 22);
  EXPECT_EQ(grid.PutElement(at, Variant(int32_t{300})), DISP_E_OVERFLOW);
}

TEST(SafeArray, TypedElementsAndDeepCopies) {
  SafeArray names(VT_BSTR, {0, 2});
  int32_t first[1] = {0}, second[1] = {1};
  Variant v;
  ASSERT_EQ(names.GetElement(first, v), S_OK);
  EXPECT_EQ(v.Type(), VT_BSTR);
  EXPECT_TRUE(v.GetBstr().IsNull());
  ASSERT_EQ(names.PutElement(first, Variant(u"alpha")), S_OK);
  ASSERT_EQ(names.PutElement(second, Variant(int32_t{2})), S_OK);  // converted to text
  ASSERT_EQ(names.GetElement(second, v), S_OK);
  EXPECT_EQ(v.GetBstr(), u"2");
  EXPECT_TRUE(names.Bytes().empty());

  Variant holder(names);
  EXPECT_EQ(holder.Type(), VT_ARRAY | VT_BSTR);
  Variant copy = holder;
  ASSERT_EQ(copy.Array().PutElement(first, Variant(u"changed")), S_OK);
  ASSERT_EQ(holder.Array().GetElement(first, v), S_OK);
  EXPECT_EQ(v.GetBstr(), u"alpha");

  SafeArray mixed(VT_VARIANT, {0, 2});
  ASSERT_EQ(mixed.PutElement(first, Variant(1.5)), S_OK);
  ASSERT_EQ(mixed.GetElement(first, v), S_OK);
  EXPECT_EQ(v.Type(), VT_R8);

  SafeArray out;
  SafeArray::Bound three[3] = {{0, 1}, {0, 1}, {0, 1}};
  EXPECT_EQ(SafeArray::Create(VT_I4, three, out), E_INVALIDARG);
  SafeArray::Bound one[1] = {{0, 1}};
  EXPECT_EQ(SafeArray::Create(VT_EMPTY, one, out), DISP_E_BADVARTYPE);
  EXPECT_THROW(SafeArray(static_cast<VARTYPE>(99), {0, 1}), ComError);
}

TEST(ErrorInfo, IsPerThreadAndTakingClearsIt) {
  ClearErrorInfo();
  EXPECT_EQ(RaiseError(E_FAIL, Bstr(u"Main"), Bstr(u"main thread")), E_FAIL);
  std::optional<ErrorInfo> other;
  bool otherHadOne = true;
  std::thread([&] {
    otherHadOne = HasErrorInfo();
    RaiseError(E_ABORT, Bstr(u"Worker"), Bstr(u"worker thread"));
    other = GetErrorInfo();
  }).join();
  EXPECT_FALSE(otherHadOne);
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->description, u"worker thread");
  auto mine = GetErrorInfo();
  ASSERT_TRUE(mine.has_value());
  EXPECT_EQ(mine->source, u"Main");
  EXPECT_EQ(mine->description, u"main thread");
  EXPECT_EQ(mine->code, E_FAIL);
  EXPECT_FALSE(GetErrorInfo().has_value());
}

TEST(ErrorInfo, ComErrorBecomesAStatusWithInformation) {
  ClearErrorInfo();
  constexpr Guid kIface = Guid::Literal("{BF68A9A6-407B-494B-9847-1F4DE5682DC8}");
  HRESULT hr = CatchErrors(u"QuorAuth.Auth", kIface, []() -> HRESULT { throw ComError(E_INVALIDARG, u"No Such Session"); });
  EXPECT_EQ(hr, E_INVALIDARG);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->source, u"QuorAuth.Auth");
  EXPECT_EQ(info->description, u"No Such Session");
  EXPECT_EQ(info->iid, kIface);

  // Without a description, information set before the throw is kept.
  hr = CatchErrors(u"Outer", GUID_NULL, []() -> HRESULT {
    RaiseError(E_ACCESSDENIED, Bstr(u"Inner"), Bstr(u"set by the raiser"));
    throw ComError(E_ACCESSDENIED);
  });
  EXPECT_EQ(hr, E_ACCESSDENIED);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description, u"set by the raiser");
  // ... and with none at all the status's text is used.
  hr = CatchErrors(u"Outer", GUID_NULL, []() -> HRESULT { throw ComError(E_POINTER); });
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description.ToUtf8(), HResultText(E_POINTER));
  EXPECT_EQ(info->source, u"Outer");
  EXPECT_EQ(CatchErrors(u"X", GUID_NULL, []() -> HRESULT { throw std::runtime_error("boom"); }), E_UNEXPECTED);
  EXPECT_EQ(GetErrorInfo()->description, u"boom");
  EXPECT_STREQ(ComError(E_FAIL, u"bad").what(), "bad (0x80004005)");
}

}  // namespace
