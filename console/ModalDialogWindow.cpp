#include "console/ModalDialogWindow.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include <string>
#include <vector>

#include "console/PropertyPageWidget.h"

namespace quor::console::qt {

// The dialog's fields without its buttons, as a page the form widget draws.
class ModalDialogWindow::FieldPage final : public IPropertyPage {
 public:
  explicit FieldPage(IModalDialog& dialog) : dialog_(dialog) {}
  std::string Title() const override { return dialog_.Caption(); }
  std::vector<PageField> Fields() const override {
    std::vector<PageField> fields = dialog_.Fields();
    std::erase_if(fields, [](const PageField& field) { return field.kind == FieldKind::Button; });
    return fields;
  }
  bool SetValue(std::string_view id, std::string_view value) override { return dialog_.SetValue(id, value); }
  // A grid's activated row.
  bool Press(std::string_view id) override { return dialog_.Press(id); }

 private:
  IModalDialog& dialog_;
};

namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ModalDialogWindow::ModalDialogWindow(IModalDialog& dialog, QWidget* parent)
    : QDialog(parent), dialog_(dialog), fields_(std::make_unique<FieldPage>(dialog)) {
  setWindowTitle(FromUtf8(dialog_.Caption()));
  auto* layout = new QVBoxLayout(this);
  std::vector<QPushButton*> buttons;
  auto* form = new PropertyPageWidget(*fields_, [this] { AfterChange(); }, this);
  layout->addWidget(form);
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (const PageField& field : dialog_.Fields()) {
    if (field.kind != FieldKind::Button) continue;
    auto* button = new QPushButton(FromUtf8(field.label), this);
    button->setObjectName(FromUtf8(field.id));
    button->setAutoDefault(false);
    button->setDefault(field.id == "1");
    const std::string id = field.id;
    connect(button, &QPushButton::clicked, this, [this, form, id] {
      dialog_.Press(id);
      // A press may change any control (a line added, buttons enabled).
      form->Refresh();
      AfterChange();
    });
    row->addWidget(button);
    buttons.push_back(button);
  }
  layout->addLayout(row);
  AfterChange();
}

ModalDialogWindow::~ModalDialogWindow() = default;

void ModalDialogWindow::AfterChange() {
  if (dialog_.Ended()) {
    done(dialog_.Result());
    return;
  }
  for (const PageField& field : dialog_.Fields()) {
    if (field.kind != FieldKind::Button) continue;
    if (auto* button = findChild<QPushButton*>(FromUtf8(field.id))) button->setEnabled(field.enabled);
  }
}

void ModalDialogWindow::reject() {
  // The dialog may refuse to end (a failed save it keeps open for).
  dialog_.Cancel();
  if (dialog_.Ended()) done(dialog_.Result());
}

int ModalDialogWindow::Run(IModalDialog& dialog, QWidget* parent) {
  dialog.Open();
  // A dialog may end while it fills itself.
  if (dialog.Ended()) return dialog.Result();
  ModalDialogWindow window(dialog, parent);
  window.exec();
  return dialog.Ended() ? dialog.Result() : IDCANCEL;
}

}  // namespace quor::console::qt
