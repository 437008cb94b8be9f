// The registration round trip of both plug-ins: registered with the real
// registration program, found by either ProgID, created and called by name;
// unregistered, they are gone.
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "testing/PluginEnv.h"

namespace quor::transform::testing {
namespace {

using namespace com;

struct Plugin {
  fs::path library;
  std::u16string_view progId;
  CLSID clsid;
  IID iid;
  std::string_view invalidText;
};

const Plugin kPlugins[] = {
    {kFlatConvert, u"FlatConvert.TransCSV", Guid::Literal("{CB553C3A-0D7F-4E3C-858F-9160065F5506}"),
     Guid::Literal("{C7749017-3DA2-4E9F-B84B-9E64864F6FC8}"), "Source XML is Invalid."},
    {kGridPage, u"GridPage.TransXHTML", Guid::Literal("{29C4231A-6C13-44B2-AD4C-7A469557CECE}"),
     Guid::Literal("{4CBDDEAC-7F84-4C37-A390-1D87EA427006}"), "Source XML is invalid."},
};

TEST(RegistrationTest, RegisteredCreatedCalledUnregistered) {
  TempRegistry registry;
  CLSID clsid;
  for (const Plugin& p : kPlugins) {
    EXPECT_EQ(CLSIDFromProgID(p.progId, clsid), CO_E_CLASSSTRING);
    ASSERT_EQ(RunRegsvr({p.library.string()}), 0) << p.library;
  }
  for (const Plugin& p : kPlugins) {
    SCOPED_TRACE(text::Narrow(p.progId));
    ASSERT_EQ(CLSIDFromProgID(p.progId, clsid), S_OK);
    EXPECT_EQ(clsid, p.clsid);
    ASSERT_EQ(CLSIDFromProgID(std::u16string(p.progId) + u".1", clsid), S_OK);
    EXPECT_EQ(clsid, p.clsid);
    Bstr progId;
    ASSERT_EQ(ProgIDFromCLSID(clsid, progId), S_OK);
    EXPECT_EQ(progId.Str(), std::u16string(p.progId) + u".1");
    reg::Key server, curVer;
    ASSERT_EQ(reg::Win32Error(server.Open(reg::Hive::ClassesRoot, "CLSID\\" + p.clsid.Format() + "\\InprocServer32")),
              0);
    const auto library = server.GetString("");
    ASSERT_EQ(reg::Win32Error(library), 0);
    EXPECT_EQ(*library, fs::canonical(p.library).string());
    const auto model = server.GetString("ThreadingModel");
    ASSERT_EQ(reg::Win32Error(model), 0);
    EXPECT_EQ(*model, "Apartment");
    ASSERT_EQ(reg::Win32Error(curVer.Open(reg::Hive::ClassesRoot, text::Narrow(p.progId) + "\\CurVer")), 0);
    const auto current = curVer.GetString("");
    ASSERT_EQ(reg::Win32Error(current), 0);
    EXPECT_EQ(*current, text::Narrow(progId.View()));

    ComPtr<IDispatch> object;
    ASSERT_EQ(CreateObject(p.progId, object), S_OK);
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(object->GetIDOfName(u"Convert", id), S_OK);
    EXPECT_EQ(id, 1);
    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(object->QueryInterface(ISupportErrorInfo::kIid, errors.PutVoid()), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(p.iid), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IDispatch::kIid), S_FALSE);
    ComPtr<IUnknown> own;
    EXPECT_EQ(object->QueryInterface(p.iid, own.PutVoid()), S_OK);

    // Called as the transformer chain calls it; a fault still answers S_OK.
    EXPECT_TRUE(Convert(p.progId, Bstr(u"<response><table name=\"t\"/></response>"), Bstr(u"rule"))
                    .View()
                    .starts_with(u"<response><"));
    EXPECT_NE(Convert(p.progId, Bstr(u"oops")).ToUtf8().find(p.invalidText), std::string::npos);
  }

  CoFreeUnusedLibraries();
  for (const Plugin& p : kPlugins) {
    ASSERT_EQ(RunRegsvr({"-u", p.library.string()}), 0) << p.library;
    EXPECT_EQ(CLSIDFromProgID(p.progId, clsid), CO_E_CLASSSTRING);
    ComPtr<IDispatch> object;
    EXPECT_EQ(CoCreateInstance(p.clsid, object), REGDB_E_CLASSNOTREG);
  }
  const std::string left = ReadFile(registry.File());
  EXPECT_EQ(left.find("FlatConvert"), std::string::npos) << left;
  EXPECT_EQ(left.find("GridPage"), std::string::npos) << left;
}

}  // namespace
}  // namespace quor::transform::testing
