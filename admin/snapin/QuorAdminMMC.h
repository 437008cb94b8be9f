// The snap-in as the host sees it: the component data (which owns the root
// node and answers the scope pane, context menus, property sheets and the
// empty persistence), one component per view, and the About object.
#pragma once

#include <memory>

#include "admin/snapin/Images.h"
#include "admin/snapin/Resources.h"
#include "admin/snapin/RootNode.h"
#include "platform/com/object.h"
#include "platform/console/snapin.h"

namespace quor::admin::snapin {

class CQuorAdminMMC final : public com::ComObject<CQuorAdminMMC, console::IComponentData, console::IExtendContextMenu,
                                                  console::IExtendPropertySheet, console::IPersistStream> {
 public:
  static constexpr std::string_view kRootName = "Quor Server Manager";

  CQuorAdminMMC();
  ~CQuorAdminMMC() override;

  // IComponentData. Initialize keeps the console, creates the root node
  // (which signs in through the console's dialogs) and sets the scope images.
  HRESULT Initialize(console::IConsole* console) override;
  HRESULT CreateComponent(console::IComponent** out) override;
  HRESULT Notify(console::IDataObject* dataObject, uint32_t event, std::intptr_t arg, std::intptr_t param) override;
  // Ends the root (and with it the session) and lets go of the console.
  HRESULT Destroy() override;
  HRESULT QueryDataObject(console::Cookie cookie, uint32_t type, console::IDataObject** out) override;
  HRESULT GetDisplayInfo(console::ScopeItem& item) override;

  // IExtendContextMenu
  HRESULT AddMenuItems(console::IDataObject* dataObject, console::IContextMenuCallback* callback,
                       long allowed) override;
  HRESULT Command(long commandId, console::IDataObject* dataObject) override;

  // IExtendPropertySheet
  HRESULT CreatePropertyPages(console::IPropertySheetCallback* callback, std::intptr_t handle,
                              console::IDataObject* dataObject) override;
  HRESULT QueryPagesFor(console::IDataObject* dataObject) override;

  // IPersistStream: nothing of the snap-in is kept in the console file.
  HRESULT GetClassID(com::CLSID& clsid) override;
  HRESULT IsDirty() override;
  HRESULT Load(std::span<const uint8_t> stream) override;
  HRESULT Save(std::vector<uint8_t>& stream, bool clearDirty) override;
  HRESULT GetSizeMax(uint64_t& size) override;
  HRESULT InitNew() override;

  console::IConsole* Console() const { return console_; }
  CQuorAdminMMCData* Root() const { return root_.get(); }
  // The node of a cookie: 0 is the root.
  CSnapInItem* NodeOf(console::Cookie cookie) const;

 private:
  void ReleaseConsole();

  console::IConsole* console_ = nullptr;
  console::IDialogHost* dialogs_ = nullptr;
  std::unique_ptr<CQuorAdminMMCData> root_;
  // Bitmaps 102 and 103, loaded as the object is made.
  console::ImageStrip smallStrip_ = LoadStrip(IDB_SMALL_STRIP);
  console::ImageStrip largeStrip_ = LoadStrip(IDB_LARGE_STRIP);
};

class CQuorAdminMMCComponent final
    : public com::ComObject<CQuorAdminMMCComponent, console::IComponent, console::IExtendContextMenu,
                            console::IExtendPropertySheet, console::IPersistStream> {
 public:
  explicit CQuorAdminMMCComponent(com::ComPtr<CQuorAdminMMC> owner);
  ~CQuorAdminMMCComponent() override;

  // IComponent
  HRESULT Initialize(console::IConsole* console) override;
  HRESULT Notify(console::IDataObject* dataObject, uint32_t event, std::intptr_t arg, std::intptr_t param) override;
  HRESULT Destroy(console::Cookie cookie) override;
  HRESULT QueryDataObject(console::Cookie cookie, uint32_t type, console::IDataObject** out) override;
  HRESULT GetResultViewType(console::Cookie cookie, std::string& viewType, long& options) override;
  HRESULT GetDisplayInfo(console::ResultItem& item) override;

  // IExtendContextMenu, IExtendPropertySheet: as the component data's, for
  // items of the result pane.
  HRESULT AddMenuItems(console::IDataObject* dataObject, console::IContextMenuCallback* callback,
                       long allowed) override;
  HRESULT Command(long commandId, console::IDataObject* dataObject) override;
  HRESULT CreatePropertyPages(console::IPropertySheetCallback* callback, std::intptr_t handle,
                              console::IDataObject* dataObject) override;
  HRESULT QueryPagesFor(console::IDataObject* dataObject) override;

  HRESULT GetClassID(com::CLSID& clsid) override;
  HRESULT IsDirty() override;
  HRESULT Load(std::span<const uint8_t> stream) override;
  HRESULT Save(std::vector<uint8_t>& stream, bool clearDirty) override;
  HRESULT GetSizeMax(uint64_t& size) override;
  HRESULT InitNew() override;

  console::IConsole* Console() const { return console_; }

 private:
  com::ComPtr<CQuorAdminMMC> owner_;
  console::IConsole* console_ = nullptr;
  // Bitmaps 102 and 103, loaded as the object is made.
  console::ImageStrip smallStrip_ = LoadStrip(IDB_SMALL_STRIP);
  console::ImageStrip largeStrip_ = LoadStrip(IDB_LARGE_STRIP);
};

class CQuorAdminMMCAbout final : public com::ComObject<CQuorAdminMMCAbout, console::ISnapinAbout> {
 public:
  HRESULT GetSnapinDescription(std::string& text) override;
  HRESULT GetProvider(std::string& text) override;
  HRESULT GetSnapinVersion(std::string& text) override;
  HRESULT GetStaticFolderImage(console::ImageStrip& smallImage, console::ImageStrip& largeImage,
                               uint32_t& mask) override;
};

}  // namespace quor::admin::snapin
