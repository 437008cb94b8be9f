// The snap-in's node logic against the recording host, with no service
// behind it: identities, data formats, menus, pages, message boxes, the
// component objects' contract, and a root node whose sign-in is cancelled or
// fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "admin/RegistryAccess.h"
#include "admin/snapin/DatabasesNode.h"
#include "admin/snapin/NativeDBNode.h"
#include "admin/snapin/TransformersNode.h"
#include "admin/snapin/QuorAdminMMC.h"
#include "admin/snapin/RootNode.h"
#include "admin/snapin/SnapInModule.h"
#include "admin/snapin/UsersNode.h"
#include "admin/tests/SnapinFixture.h"
#include "testing/RecordingHost.h"
#include "testing/ServerProcess.h"

namespace quor::admin::snapin {
namespace {

using namespace console;
using console::testing::RecordingHost;

class SnapinOffline : public testing::OfflineSnapinTest {
 protected:
  static std::string Text(CSnapInItem& node, std::string_view format) {
    ComPtrData data(node);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(data->GetDataHere(format, bytes), S_OK) << format;
    return TextFromWideBytes(bytes);
  }
  // A data object of a node, released at the end of the scope.
  struct ComPtrData {
    explicit ComPtrData(CSnapInItem& node, uint32_t type = CCT_SCOPE) {
      EXPECT_EQ(node.GetDataObject(object.Put(), type), S_OK);
    }
    IDataObject* operator->() const { return object.Get(); }
    com::ComPtr<IDataObject> object;
  };

};

constexpr long kGreyed = MF_GRAYED | MF_DISABLED;
constexpr long kAllPoints =
    CCM_INSERTIONALLOWED_TOP | CCM_INSERTIONALLOWED_NEW | CCM_INSERTIONALLOWED_TASK | CCM_INSERTIONALLOWED_VIEW;

TEST_F(SnapinOffline, CancelledLogonLeavesAnEmptyTreeWithGreyedReloads) {
  CQuorAdminMMCData root("Quor Server Manager");
  EXPECT_EQ(root.ConnectionResult(), -1);
  ASSERT_EQ(host_.logonRequests.size(), 1u) << "cancel ends the loop";
  EXPECT_EQ(host_.logonRequests[0].serviceName, "local") << "no stored service";
  EXPECT_EQ(host_.logonRequests[0].userName, "");
  ASSERT_EQ(host_.messageBoxes.size(), 1u);
  EXPECT_EQ(host_.messageBoxes[0].text, "Service Logon cancelled.");
  EXPECT_EQ(host_.messageBoxes[0].caption, "Information");
  EXPECT_EQ(host_.messageBoxes[0].style, MB_ICONINFORMATION | MB_OK);
  EXPECT_EQ(root.Databases(), nullptr);

  // Expanding inserts nothing; the menu offers the three reloads, greyed.
  CQuorAdminMMC* none = nullptr;
  CQuorAdminMMCComponent* noView = nullptr;
  EXPECT_EQ(root.Notify(MMCN_EXPAND, 1, 77, none, noView, CCT_SCOPE), E_UNEXPECTED) << "no console at all";
  EXPECT_EQ(root.AddMenuItems(&host_, kAllPoints, CCT_SCOPE), S_OK);
  ASSERT_EQ(host_.menuItems.size(), 3u);
  const char* names[] = {"&Reload Configuration Files", "&Reload Transformer Files", "&Reload Unify Tables"};
  const char* status[] = {"Reload Configuration Files", "Reload Transformer Files", "Reload Unify Tables"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(host_.menuItems[i].name, names[i]);
    EXPECT_EQ(host_.menuItems[i].statusBarText, status[i]);
    EXPECT_EQ(host_.menuItems[i].commandId, 32776 + static_cast<long>(i));
    EXPECT_EQ(host_.menuItems[i].insertionPointId, CCM_INSERTIONPOINTID_PRIMARY_TASK);
    EXPECT_EQ(host_.menuItems[i].flags, kGreyed);
  }
  // A reload ordered anyway (the host ignored the grey) fails visibly.
  host_.messageBoxes.clear();
  EXPECT_EQ(root.Command(32776, CCT_SCOPE), S_OK);
  EXPECT_EQ(host_.MessageTexts(), std::vector<std::string>{"Fail to reload configuration files."});
  EXPECT_EQ(host_.messageBoxes[0].caption, "Error");
}

TEST_F(SnapinOffline, LogonStartsFromStoredNamesAndFailedSignInsEndAfterThreeTries) {
  RegistryAccess registry;
  registry.WriteServiceText("Service", "beta");
  registry.WriteServiceText("UserName", "bob");
  registry.WriteText("QuorService\\ServiceInfo\\alpha", "Service", "xxx://127.0.0.1:1/a.xxx");
  registry.WriteText("QuorService\\ServiceInfo\\beta", "Service", "xxx://127.0.0.1:1/b.xxx");
  // Port 1: nothing listens, every sign-in fails at its first step.
  for (int i = 0; i < 4; ++i) host_.logonReplies.push_back({true, "http://127.0.0.1:1/q.sod", "bob", "secret"});

  CQuorAdminMMCData root("Quor Server Manager");
  EXPECT_EQ(root.ConnectionResult(), -7) << "the last attempt's result";
  ASSERT_EQ(host_.logonRequests.size(), 3u) << "three tries, then no more";
  EXPECT_EQ(host_.logonRequests[0].serviceName, "beta");
  EXPECT_EQ(host_.logonRequests[0].userName, "bob");
  EXPECT_EQ(host_.logonRequests[0].knownServices, "alpha,beta");
  ASSERT_EQ(host_.messageBoxes.size(), 3u);
  for (const auto& box : host_.messageBoxes) {
    EXPECT_EQ(box.caption, "Error");
    EXPECT_EQ(box.style, MB_ICONHAND | MB_OK);
    EXPECT_NE(box.text.find("127.0.0.1:1"), std::string::npos) << box.text;
  }
  // Nothing was written back: the names are stored only for an administrator.
  EXPECT_EQ(registry.ReadServiceText("Service"), "beta");
  EXPECT_EQ(root.Databases(), nullptr);
}

TEST_F(SnapinOffline, RootIdentityDataFormatsAndPages) {
  CQuorAdminMMCData root("Quor Server Manager");
  EXPECT_EQ(Text(root, CCF_SZNODETYPE), "7560B67F-BC85-46D3-92A3-527678FC80A9");
  EXPECT_EQ(Text(root, CCF_DISPLAY_NAME), "QuorAdmin");
  ComPtrData data(root);
  std::vector<uint8_t> bytes;
  ASSERT_EQ(data->GetDataHere(CCF_NODETYPE, bytes), S_OK);
  EXPECT_EQ(bytes, GuidBytes(com::Guid::Literal("{7560B67F-BC85-46D3-92A3-527678FC80A9}")));
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(bytes[0], 0x7F) << "the first field is stored little-endian";
  ASSERT_EQ(data->GetDataHere(CCF_SNAPIN_CLASSID, bytes), S_OK);
  EXPECT_EQ(bytes, GuidBytes(kClsidQuorAdminMMC));
  bytes = {1, 2};
  EXPECT_EQ(data->GetDataHere(CCF_GETOBJECTDATA, bytes), DV_E_CLIPFORMAT);
  EXPECT_EQ(data->GetDataHere("no such format", bytes), DV_E_CLIPFORMAT);
  uint32_t type = 0;
  EXPECT_EQ(CSnapInDataObject::NodeOf(data.object.Get(), &type), &root);
  EXPECT_EQ(type, CCT_SCOPE);

  // The host's records: text asked for by mask, image 1 both ways.
  ScopeItem scope;
  scope.mask = SDI_STR | SDI_IMAGE | SDI_OPENIMAGE | SDI_PARAM;
  ASSERT_EQ(root.GetScopePaneInfo(scope), S_OK);
  EXPECT_EQ(scope.text, "Quor Server Manager");
  EXPECT_EQ(scope.image, 1);
  EXPECT_EQ(scope.openImage, 1);
  EXPECT_EQ(scope.param, root.CookieValue());
  ResultItem row;
  row.mask = RDI_STR | RDI_IMAGE;
  row.column = 1;
  ASSERT_EQ(root.GetResultPaneInfo(row), S_OK);
  EXPECT_EQ(row.text, "");
  row.column = 0;
  ASSERT_EQ(root.GetResultPaneInfo(row), S_OK);
  EXPECT_EQ(row.text, "Quor Server Manager");
  std::string view = "x";
  long options = 9;
  EXPECT_EQ(root.GetResultViewType(view, options), S_FALSE);
  EXPECT_TRUE(view.empty());
  EXPECT_EQ(options, 0);
  ScopeItem* record = nullptr;
  EXPECT_EQ(root.GetScopeData(nullptr), E_FAIL);
  ASSERT_EQ(root.GetScopeData(&record), S_OK);
  EXPECT_EQ(record->param, root.CookieValue());

  // Pages: only for scope and result objects.
  EXPECT_EQ(root.QueryPagesFor(CCT_SCOPE), S_OK);
  EXPECT_EQ(root.QueryPagesFor(CCT_RESULT), S_OK);
  EXPECT_EQ(root.QueryPagesFor(CCT_SNAPIN_MANAGER), S_FALSE);
  EXPECT_EQ(root.CreatePropertyPages(&host_, 0, CCT_SNAPIN_MANAGER), E_UNEXPECTED);
  EXPECT_TRUE(host_.pages.empty());
  EXPECT_EQ(root.CreatePropertyPages(&host_, 0, CCT_SCOPE), S_OK);
  ASSERT_EQ(host_.pages.size(), 1u);
  EXPECT_EQ(host_.pages[0]->Title(), "Registry Setting");

  // No toolbars: a button click is a command, anything else unexpected.
  EXPECT_EQ(root.ControlbarNotify(MMCN_SELECT, 0, CCT_SCOPE), S_OK);
  EXPECT_EQ(root.ControlbarNotify(MMCN_EXPAND, 0, CCT_SCOPE), E_UNEXPECTED);
}

TEST_F(SnapinOffline, FolderIdentitiesAndMenus) {
  struct Expected {
    std::string name, type, dataName, item;
    int image;
    long command;
  };
  CDatabasesNode databases;
  CNativeDBNode nativeDb;
  CTransformersNode transformers;
  CUsersNode users;
  const std::pair<CSnapInItem*, Expected> cases[] = {
      {&databases,
       {"Databases", "9DA4C7DE-AA6C-4BB9-B32B-E61B92F62FEA", "Databases", "&New Database Connection", 1, 32785}},
      {&nativeDb, {"Native DB", "CAD0C44F-B4ED-41B2-B3D9-9031068976E1", "Repos", "&New Native DB", 9, 32793}},
      {&transformers,
       {"Transformers", "7DD48E7B-FEEE-49B4-A160-DF898DF5A451", "Transformers", "&Add Transformer", 16, 32800}},
      {&users, {"Users", "5664669B-B0A0-46A3-8F76-5BBA01163E6B", "Users", "&Add User", 17, 32825}},
  };
  for (const auto& [node, want] : cases) {
    SCOPED_TRACE(want.name);
    EXPECT_EQ(node->DisplayName(), want.name);
    EXPECT_EQ(Text(*node, CCF_SZNODETYPE), want.type);
    EXPECT_EQ(Text(*node, CCF_DISPLAY_NAME), want.dataName);
    ScopeItem scope;
    scope.mask = SDI_IMAGE | SDI_OPENIMAGE;
    node->GetScopePaneInfo(scope);
    EXPECT_EQ(scope.image, want.image);
    EXPECT_EQ(scope.openImage, want.image);

    // Their one item sits in TOP: offered only where TOP is allowed.
    host_.ClearMenu();
    EXPECT_EQ(node->AddMenuItems(&host_, CCM_INSERTIONALLOWED_TASK | CCM_INSERTIONALLOWED_VIEW, CCT_SCOPE), S_OK);
    EXPECT_TRUE(host_.menuItems.empty());
    EXPECT_EQ(node->AddMenuItems(&host_, CCM_INSERTIONALLOWED_TOP, CCT_SCOPE), S_OK);
    ASSERT_EQ(host_.menuItems.size(), 1u);
    EXPECT_EQ(host_.menuItems[0].name, want.item);
    EXPECT_EQ(host_.menuItems[0].commandId, want.command);
    EXPECT_EQ(host_.menuItems[0].insertionPointId, CCM_INSERTIONPOINTID_PRIMARY_TOP);
    EXPECT_EQ(host_.menuItems[0].flags, MF_ENABLED);
  }
}

TEST_F(SnapinOffline, FolderNotificationsThroughTheScopePaneAndAView) {
  com::ComPtr<CQuorAdminMMC> snapin = com::MakeObject<CQuorAdminMMC>();
  ASSERT_EQ(snapin->Initialize(&host_), S_OK);
  com::ComPtr<IComponent> view;
  ASSERT_EQ(snapin->CreateComponent(view.Put()), S_OK);
  ASSERT_EQ(view->Initialize(&host_), S_OK);
  CUsersNode users;
  CTransformersNode transformers;
  ComPtrData usersObject(users), transformersObject(transformers);

  EXPECT_EQ(snapin->Notify(usersObject.object.Get(), MMCN_EXPAND, 1, 9), S_OK) << "no children yet";
  EXPECT_TRUE(host_.scopeItems.empty());
  EXPECT_EQ(snapin->Notify(usersObject.object.Get(), MMCN_SELECT, 0, 0), S_OK);
  EXPECT_TRUE(host_.VerbEnabled(MMC_VERB_REFRESH));
  EXPECT_FALSE(host_.VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(view->Notify(usersObject.object.Get(), MMCN_REFRESH, 0, 0), S_OK);
  EXPECT_EQ(view->Notify(usersObject.object.Get(), MMCN_DBLCLICK, 0, 0), E_NOTIMPL);
  EXPECT_EQ(view->Notify(usersObject.object.Get(), MMCN_DELETE, 0, 0), E_NOTIMPL);
  // Showing sets the Transformers description; hiding leaves it.
  EXPECT_EQ(view->Notify(transformersObject.object.Get(), MMCN_SHOW, 1, 0), S_OK);
  EXPECT_EQ(view->Notify(transformersObject.object.Get(), MMCN_SHOW, 0, 0), S_OK);
  EXPECT_EQ(host_.descriptionBar, std::vector<std::string>{std::string(CTransformersNode::kDescription)});
  view->Destroy(0);
  snapin->Destroy();
}

TEST_F(SnapinOffline, LogEntryItemAnswersItsColumnsAndOnlyExpandAndShow) {
  CLogEntryItem item({"12", "2026-12-09", "alice", "Query", "0"});
  for (int column = 0; column < 5; ++column) {
    ResultItem row;
    row.mask = RDI_STR | RDI_IMAGE | RDI_INDEX;
    row.column = column;
    ASSERT_EQ(item.GetResultPaneInfo(row), S_OK);
    EXPECT_EQ(row.image, 2) << "its image in the result pane";
    EXPECT_EQ(row.index, 0);
  }
  EXPECT_EQ(item.GetResultPaneColInfo(2), "alice");
  EXPECT_EQ(item.GetResultPaneColInfo(5), "");
  EXPECT_EQ(item.GetResultPaneColInfo(-1), "");
  ResultItem* record = nullptr;
  ASSERT_EQ(item.GetResultData(&record), S_OK);
  EXPECT_NE(record->mask & RDI_INDEX, 0u);
  ScopeItem scope;
  scope.mask = SDI_IMAGE;
  item.GetScopePaneInfo(scope);
  EXPECT_EQ(scope.image, 8);
  EXPECT_EQ(Text(item, CCF_SZNODETYPE), "EAE65C05-E204-4B57-84AA-23671732B809");
  EXPECT_EQ(Text(item, CCF_DISPLAY_NAME), "Log");
  EXPECT_EQ(item.Notify(MMCN_EXPAND, 1, 0, nullptr, nullptr, CCT_RESULT), S_OK);
  EXPECT_EQ(item.Notify(MMCN_SHOW, 1, 0, nullptr, nullptr, CCT_RESULT), S_OK);
  EXPECT_EQ(item.Notify(MMCN_SELECT, 1, 0, nullptr, nullptr, CCT_RESULT), E_NOTIMPL);
  EXPECT_EQ(item.Notify(MMCN_DBLCLICK, 0, 0, nullptr, nullptr, CCT_RESULT), E_NOTIMPL);
  // Menu 206 holds no commands.
  EXPECT_EQ(item.AddMenuItems(&host_, kAllPoints, CCT_RESULT), S_OK);
  EXPECT_TRUE(host_.menuItems.empty());
}

TEST_F(SnapinOffline, MessageBoxKindsAndTheTaskModalWord) {
  CMessageBox::Information("i");
  host_.messageBoxAnswers = {IDNO, IDOK, IDCANCEL};
  EXPECT_EQ(CMessageBox::Warning("w"), IDNO);
  EXPECT_EQ(CMessageBox::Error("e"), IDOK);
  EXPECT_EQ(CMessageBox::ErrorRetry("r"), IDCANCEL);
  CMessageBox::SetTaskModal(true);
  CMessageBox::Information(IDS_VERSION);
  ASSERT_EQ(host_.messageBoxes.size(), 5u);
  EXPECT_EQ(host_.messageBoxes[0].style, MB_ICONINFORMATION | MB_OK);
  EXPECT_EQ(host_.messageBoxes[1].caption, "Warning");
  EXPECT_EQ(host_.messageBoxes[1].style, MB_ICONEXCLAMATION | MB_YESNO);
  EXPECT_EQ(host_.messageBoxes[2].caption, "Error");
  EXPECT_EQ(host_.messageBoxes[2].style, MB_ICONHAND | MB_OK);
  EXPECT_EQ(host_.messageBoxes[3].style, MB_ICONHAND | MB_RETRYCANCEL);
  EXPECT_EQ(host_.messageBoxes[4].text, "QuorAdmin Version 1.0") << "a string-table entry";
  EXPECT_EQ(host_.messageBoxes[4].style, MB_ICONINFORMATION | MB_TASKMODAL);

  // Without a host nothing is shown and the answer is the dismissal.
  Module::SetDialogs(nullptr);
  EXPECT_EQ(CMessageBox::Warning("w"), IDNO);
  EXPECT_EQ(CMessageBox::ErrorRetry("r"), IDCANCEL);
  EXPECT_EQ(host_.messageBoxes.size(), 5u);
}

TEST_F(SnapinOffline, ComponentDataAndComponentThroughTheirInterfaces) {
  com::ComPtr<CQuorAdminMMC> snapin = com::MakeObject<CQuorAdminMMC>();
  IComponentData* data = snapin.Get();
  EXPECT_EQ(data->Initialize(nullptr), E_POINTER);

  // Persistence keeps nothing.
  IPersistStream* persist = snapin.Get();
  com::CLSID clsid;
  uint64_t size = 0;
  std::vector<uint8_t> stream;
  EXPECT_EQ(persist->GetClassID(clsid), E_NOTIMPL);
  EXPECT_EQ(persist->GetSizeMax(size), E_NOTIMPL);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  EXPECT_EQ(persist->Load(stream), S_OK);
  EXPECT_EQ(persist->Save(stream, true), S_OK);
  EXPECT_TRUE(stream.empty());
  EXPECT_EQ(persist->InitNew(), S_OK);

  // A host without a scope image list: the console is kept, the answer unexpected.
  host_.withoutScopeImageList = true;
  EXPECT_EQ(data->Initialize(&host_), E_UNEXPECTED);
  host_.withoutScopeImageList = false;
  ASSERT_EQ(data->Initialize(&host_), S_OK);
  ASSERT_EQ(host_.logonRequests.size(), 1u) << "the root was made once, signing in";
  ASSERT_EQ(host_.scopeStrips.size(), 1u);
  EXPECT_EQ(host_.scopeStrips[0].smallStrip.resourceId, 102);
  EXPECT_EQ(host_.scopeStrips[0].largeStrip.resourceId, 103);
  EXPECT_EQ(host_.scopeStrips[0].mask, 0xFFFF00u);
  // The strips carry their pixels: every index up to 22, at 16 and 32.
  for (const ImageStrip* strip : {&host_.scopeStrips[0].smallStrip, &host_.scopeStrips[0].largeStrip}) {
    EXPECT_EQ(strip->count, 23);
    EXPECT_EQ(strip->pixels.size(), static_cast<size_t>(strip->count * strip->size * strip->size));
  }
  EXPECT_EQ(host_.scopeStrips[0].largeStrip.size, 32);
  ASSERT_NE(snapin->Root(), nullptr);

  // The root's scope text through the host's display-information call.
  ScopeItem scope;
  scope.mask = SDI_STR;
  scope.param = 0;
  ASSERT_EQ(data->GetDisplayInfo(scope), S_OK);
  EXPECT_EQ(scope.text, "Quor Server Manager");

  // Select through the component data: signed out, so no Properties verb.
  com::ComPtr<IDataObject> rootObject;
  ASSERT_EQ(data->QueryDataObject(0, CCT_SCOPE, rootObject.Put()), S_OK);
  host_.verbs[MMC_VERB_PROPERTIES] = true;
  EXPECT_EQ(data->Notify(rootObject.Get(), MMCN_SELECT, 0, 0), S_OK);
  EXPECT_FALSE(host_.VerbEnabled(MMC_VERB_PROPERTIES));
  EXPECT_EQ(data->Notify(rootObject.Get(), MMCN_DBLCLICK, 0, 0), E_NOTIMPL);
  EXPECT_EQ(data->Notify(nullptr, MMCN_EXPAND, 1, 5), E_NOTIMPL);

  // A view: images on request, notifications passed to the node.
  com::ComPtr<IComponent> view;
  ASSERT_EQ(data->CreateComponent(view.Put()), S_OK);
  ASSERT_EQ(view->Initialize(&host_), S_OK);
  IImageList* images = &host_;
  EXPECT_EQ(view->Notify(nullptr, MMCN_ADD_IMAGES, reinterpret_cast<std::intptr_t>(images), 0), S_OK);
  ASSERT_EQ(host_.resultStrips.size(), 1u);
  EXPECT_EQ(host_.resultStrips[0].smallStrip.resourceId, 102);
  EXPECT_EQ(host_.resultStrips[0].mask, 0xFFFF00u);
  EXPECT_EQ(view->Notify(nullptr, MMCN_SHOW, 1, 0), E_NOTIMPL) << "no data object";
  EXPECT_EQ(view->Notify(rootObject.Get(), MMCN_SHOW, 1, 0), S_OK);
  EXPECT_TRUE(host_.resultItems.empty()) << "the root lists nothing itself";
  ResultItem row;
  row.mask = RDI_STR;
  row.param = 0;
  ASSERT_EQ(view->GetDisplayInfo(row), S_OK);
  EXPECT_EQ(row.text, "Quor Server Manager");
  std::string viewType;
  long options = 0;
  EXPECT_EQ(view->GetResultViewType(0, viewType, options), S_FALSE);

  // Menus and pages through the component data.
  IExtendContextMenu* menu = snapin.Get();
  EXPECT_EQ(menu->AddMenuItems(rootObject.Get(), &host_, CCM_INSERTIONALLOWED_TASK), S_OK);
  EXPECT_EQ(host_.menuItems.size(), 3u);
  EXPECT_EQ(menu->AddMenuItems(nullptr, &host_, CCM_INSERTIONALLOWED_TASK), E_UNEXPECTED);
  IExtendPropertySheet* sheet = snapin.Get();
  EXPECT_EQ(sheet->QueryPagesFor(rootObject.Get()), S_OK);
  EXPECT_EQ(view->Destroy(0), S_OK);
  EXPECT_EQ(data->Destroy(), S_OK);
}

TEST_F(SnapinOffline, AboutAnswersFromTheStringTable) {
  com::ComPtr<CQuorAdminMMCAbout> about = com::MakeObject<CQuorAdminMMCAbout>();
  std::string text;
  ASSERT_EQ(about->GetSnapinDescription(text), S_OK);
  EXPECT_EQ(text, "QuorAdmin Description");
  ASSERT_EQ(about->GetProvider(text), S_OK);
  EXPECT_EQ(text, "QuorAdmin Provider");
  ASSERT_EQ(about->GetSnapinVersion(text), S_OK);
  EXPECT_EQ(text, "QuorAdmin Version 1.0");
}

}  // namespace
}  // namespace quor::admin::snapin
