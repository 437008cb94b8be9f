// A console host without a display, for tests of snap-in logic: it records
// every call a snap-in makes on the console side (scope items, columns,
// result rows, menu items, verbs, image strips, property pages, message
// boxes, dialog requests, the connecting dialog's progress, description-bar
// text) and answers the dialogs from a script.
//
// One RecordingHost plays every view: the scope pane's console and each
// component's console are the same object, so one record holds all calls.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/console/snapin.h"

namespace quor::console::testing {

struct RecordedColumn {
  int column = 0;
  std::string title;
  int format = 0;
  int width = 0;
};

struct RecordedMessageBox {
  std::string text;
  std::string caption;
  uint32_t style = 0;
};

// One call on the connecting dialog.
struct RecordedProgress {
  enum class Kind { Begin, Set, End };
  Kind kind = Kind::Begin;
  std::string message;  // Begin
  int position = 0;     // Set
};

struct RecordedStrips {
  ImageStrip smallStrip, largeStrip;
  int start = 0;
  uint32_t mask = 0;
};

class RecordingHost final : public IConsole,
                            public IConsoleNameSpace,
                            public IResultData,
                            public IHeaderCtrl,
                            public IConsoleVerb,
                            public IImageList,
                            public IContextMenuCallback,
                            public IPropertySheetCallback,
                            public IDialogHost {
 public:
  // ---- What was recorded.
  std::vector<ScopeItem> scopeItems;  // every insertion, in order
  std::vector<std::pair<ScopeHandle, bool>> scopeDeletions;
  std::vector<ResultItem> resultItems;  // present rows
  std::vector<RecordedColumn> columns;
  std::vector<std::string> descriptionBar;  // every text set, in order
  std::map<uint32_t, bool> verbs;           // verb -> enabled (last call wins)
  std::vector<MenuItem> menuItems;
  std::vector<std::unique_ptr<IPropertyPage>> pages;  // kept for tests to fill and apply
  std::vector<RecordedMessageBox> messageBoxes;
  std::vector<LogonRequest> logonRequests;
  std::vector<InputRequest> inputRequests;
  std::vector<SaveRequest> saveRequests;
  std::vector<ChooserRequest> chooserRequests;
  std::vector<std::string> modalCaptions;  // every modal dialog run, in order
  std::vector<RecordedProgress> progress;
  std::vector<RecordedStrips> scopeStrips, resultStrips;
  int resultClears = 0;

  // ---- The script: answers given in order; when a queue runs out, a message
  // box answers its default button and the other dialogs are cancelled.
  std::deque<int> messageBoxAnswers;
  std::deque<LogonReply> logonReplies;
  std::deque<DialogReply> inputReplies, saveReplies, chooserReplies;
  // One step per modal dialog run, in order: it works the opened dialog
  // (SetValue, Press) as a user would. A dialog still running when its step
  // returns, or run with no step left, is cancelled.
  std::deque<std::function<void(IModalDialog&)>> modalSteps;

  // Parts the host leaves out, to test how a snap-in copes with them.
  bool withoutScopeImageList = false;

  void ClearMenu() { menuItems.clear(); }
  void ClearResult() {
    resultItems.clear();
    columns.clear();
  }

  // ---- IConsole
  IConsoleNameSpace* NameSpace() override { return this; }
  IResultData* ResultData() override { return this; }
  IHeaderCtrl* HeaderCtrl() override { return this; }
  IConsoleVerb* ConsoleVerb() override { return this; }
  IImageList* QueryScopeImageList() override { return withoutScopeImageList ? nullptr : &scopeImages_; }
  IImageList* QueryResultImageList() override { return this; }
  IDialogHost* Dialogs() override { return this; }

  // ---- IConsoleNameSpace
  HRESULT InsertItem(ScopeItem& item) override {
    item.id = nextHandle_++;
    scopeItems.push_back(item);
    return S_OK;
  }
  HRESULT DeleteItem(ScopeHandle item, bool deleteThis) override {
    scopeDeletions.emplace_back(item, deleteThis);
    return S_OK;
  }

  // ---- IResultData
  HRESULT InsertItem(ResultItem& item) override {
    item.itemId = nextHandle_++;
    resultItems.push_back(item);
    return S_OK;
  }
  HRESULT DeleteItem(ResultHandle item, int /*column*/) override {
    for (auto it = resultItems.begin(); it != resultItems.end(); ++it) {
      if (it->itemId != item) continue;
      resultItems.erase(it);
      return S_OK;
    }
    return E_INVALIDARG;
  }
  HRESULT DeleteAllRsltItems() override {
    resultItems.clear();
    ++resultClears;
    return S_OK;
  }
  HRESULT SetDescBarText(std::string_view text) override {
    descriptionBar.emplace_back(text);
    return S_OK;
  }

  // ---- IHeaderCtrl
  HRESULT InsertColumn(int column, std::string_view title, int format, int width) override {
    columns.push_back({column, std::string(title), format, width});
    return S_OK;
  }
  HRESULT SetColumnWidth(int column, int width) override {
    for (RecordedColumn& c : columns)
      if (c.column == column) c.width = width;
    return S_OK;
  }

  // ---- IConsoleVerb
  HRESULT SetVerbState(uint32_t verb, uint32_t state, bool on) override {
    if (state == ENABLED) verbs[verb] = on;
    return S_OK;
  }
  bool VerbEnabled(uint32_t verb) const {
    const auto it = verbs.find(verb);
    return it != verbs.end() && it->second;
  }

  // ---- IImageList (the result pane's; the scope pane's is scopeImages_)
  HRESULT ImageListSetStrip(const ImageStrip& smallStrip, const ImageStrip& largeStrip, int start,
                            uint32_t mask) override {
    resultStrips.push_back({smallStrip, largeStrip, start, mask});
    return S_OK;
  }

  // ---- IContextMenuCallback
  HRESULT AddItem(const MenuItem& item) override {
    menuItems.push_back(item);
    return S_OK;
  }

  // ---- IPropertySheetCallback
  HRESULT AddPage(std::unique_ptr<IPropertyPage> page) override {
    if (!page) return E_POINTER;
    pages.push_back(std::move(page));
    return S_OK;
  }

  // ---- IDialogHost
  int MessageBox(std::string_view text, std::string_view caption, uint32_t style) override {
    messageBoxes.push_back({std::string(text), std::string(caption), style});
    if (!messageBoxAnswers.empty()) {
      const int answer = messageBoxAnswers.front();
      messageBoxAnswers.pop_front();
      return answer;
    }
    switch (style & 0xF) {
      case MB_YESNO:
        return IDYES;
      case MB_RETRYCANCEL:
        return IDRETRY;
      default:
        return IDOK;
    }
  }
  LogonReply RunLogon(const LogonRequest& request) override {
    logonRequests.push_back(request);
    if (logonReplies.empty()) return {};
    LogonReply reply = std::move(logonReplies.front());
    logonReplies.pop_front();
    return reply;
  }
  DialogReply AskText(const InputRequest& request) override {
    inputRequests.push_back(request);
    return Next(inputReplies);
  }
  DialogReply AskSavePath(const SaveRequest& request) override {
    saveRequests.push_back(request);
    return Next(saveReplies);
  }
  DialogReply ChoosePath(const ChooserRequest& request) override {
    chooserRequests.push_back(request);
    return Next(chooserReplies);
  }
  int RunModal(IModalDialog& dialog) override {
    modalCaptions.push_back(dialog.Caption());
    dialog.Open();
    if (!modalSteps.empty()) {
      auto step = std::move(modalSteps.front());
      modalSteps.pop_front();
      if (!dialog.Ended()) step(dialog);
    }
    if (!dialog.Ended()) dialog.Cancel();
    return dialog.Result();
  }
  void BeginProgress(std::string_view message) override {
    progress.push_back({RecordedProgress::Kind::Begin, std::string(message), 0});
  }
  void SetProgress(int position) override { progress.push_back({RecordedProgress::Kind::Set, {}, position}); }
  void EndProgress() override { progress.push_back({RecordedProgress::Kind::End, {}, 0}); }

  // A field of a kept page as it stands now; an empty id when there is none.
  PageField PageFieldOf(size_t page, std::string_view id) const {
    if (page < pages.size())
      for (PageField& field : pages[page]->Fields())
        if (field.id == id) return field;
    return {};
  }

  // A field of a modal dialog as it stands now; an empty id when there is none.
  static PageField FieldOf(const IModalDialog& dialog, std::string_view id) {
    for (PageField& field : dialog.Fields())
      if (field.id == id) return field;
    return {};
  }

  // The texts of the message boxes shown, in order.
  std::vector<std::string> MessageTexts() const {
    std::vector<std::string> texts;
    for (const RecordedMessageBox& box : messageBoxes) texts.push_back(box.text);
    return texts;
  }

 private:
  static DialogReply Next(std::deque<DialogReply>& replies) {
    if (replies.empty()) return {};
    DialogReply reply = std::move(replies.front());
    replies.pop_front();
    // A cancelled dialog gives no text, whatever the script says.
    if (!reply.ok) reply.text.clear();
    return reply;
  }

  class ScopeImages final : public IImageList {
   public:
    explicit ScopeImages(RecordingHost& host) : host_(host) {}
    HRESULT ImageListSetStrip(const ImageStrip& smallStrip, const ImageStrip& largeStrip, int start,
                              uint32_t mask) override {
      host_.scopeStrips.push_back({smallStrip, largeStrip, start, mask});
      return S_OK;
    }

   private:
    RecordingHost& host_;
  };

  ScopeImages scopeImages_{*this};
  ScopeHandle nextHandle_ = 1000;
};

}  // namespace quor::console::testing
