// Status and its conversion at a component's edge: which error information
// the caller ends up with.
#include <gtest/gtest.h>

#include <string>

#include "platform/com/errorinfo.h"

using namespace quor;
using namespace quor::com;

namespace {

Result<int> Half(int n) {
  if (n % 2) return Status(E_INVALIDARG, "odd");
  return n / 2;
}

Status Quarter(int n, int& out) {
  QUOR_ASSIGN_OR_RETURN(int half, Half(n));
  QUOR_ASSIGN_OR_RETURN(out, Half(half));
  return {};
}

}  // namespace

TEST(Status, ResultsCarryValuesOrTheFirstFailure) {
  int out = -1;
  EXPECT_TRUE(Quarter(8, out).ok());
  EXPECT_EQ(out, 2);
  const Status failed = Quarter(6, out);  // 6 -> 3 is odd at the second step
  EXPECT_EQ(failed.code(), E_INVALIDARG);
  EXPECT_EQ(failed.message(), "odd");
  // Only S_OK is ok; another success code passes the edge as it is.
  EXPECT_FALSE(Status(S_FALSE).ok());
  ClearErrorInfo();
  EXPECT_EQ(ReportStatus(Status(S_FALSE), u"Edge"), S_FALSE);
  EXPECT_FALSE(GetErrorInfo());
  EXPECT_EQ(Status(E_FAIL).Text(), HResultText(E_FAIL));
}

TEST(Status, TheEdgeKeepsTheMostSpecificErrorInformation) {
  ClearErrorInfo();
  // Its own message wins over what a called component left.
  RaiseError(E_ACCESSDENIED, Bstr(u"Inner"), Bstr(u"inner text"));
  EXPECT_EQ(ReportStatus(Status(E_FAIL, "outer text"), u"Outer"), E_FAIL);
  auto info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description.ToUtf8(), "outer text");
  EXPECT_EQ(info->source.ToUtf8(), "Outer");

  // Without one, the called component's information passes unchanged.
  RaiseError(E_ACCESSDENIED, Bstr(u"Inner"), Bstr(u"inner text"));
  EXPECT_EQ(ReportStatus(StatusOf(E_ACCESSDENIED), u"Outer"), E_ACCESSDENIED);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->source.ToUtf8(), "Inner");

  // With neither, the code's own text.
  EXPECT_EQ(ReportStatus(Status(E_POINTER), u"Outer"), E_POINTER);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description.ToUtf8(), HResultText(E_POINTER));

  // Taking the information clears it.
  RaiseError(E_FAIL, Bstr(u"Inner"), Bstr(u"taken"));
  EXPECT_EQ(TakeStatus(E_FAIL).message(), "taken");
  EXPECT_FALSE(HasErrorInfo());

  // CatchErrors reports a returned status the same way.
  EXPECT_EQ(CatchErrors(u"Edge", GUID_NULL, [] { return Status(E_INVALIDARG, "bad"); }), E_INVALIDARG);
  info = GetErrorInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->description.ToUtf8(), "bad");
}
