#include "console/InputDialogs.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "console/Dialogs.h"

namespace quor::console::qt {

namespace {

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QRect ToQRect(const Rect& r) { return {r.x, r.y, r.width, r.height}; }

}  // namespace

int ShowNotice(QWidget* parent, const Notice& notice) {
  uint32_t style = MB_OK;
  switch (notice.buttons) {
    case Notice::Buttons::Ok: style = MB_OK; break;
    case Notice::Buttons::RetryCancel: style = MB_RETRYCANCEL; break;
    case Notice::Buttons::YesNo: style = MB_YESNO; break;
  }
  switch (notice.kind) {
    case Notice::Kind::Information: style |= MB_ICONINFORMATION; break;
    case Notice::Kind::Warning: style |= MB_ICONEXCLAMATION; break;
    case Notice::Kind::Error: style |= MB_ICONHAND; break;
  }
  return ShowMessageBox(parent, notice.text, notice.caption, style);
}

TextInputDialog::TextInputDialog(InputDialog& model, QWidget* parent)
    : QDialog(parent), model_(model), save_(dynamic_cast<SaveConfigDialog*>(&model)) {
  setObjectName(ControlName(InputDialog::kDialogId));
  setModal(true);
  model_.Open();

  prompt_ = new QLabel(FromUtf8(model_.Prompt()), this);
  prompt_->setObjectName(ControlName(InputDialog::kPromptStatic));
  edit_ = new QLineEdit(this);
  edit_->setObjectName(ControlName(InputDialog::kValueEdit));
  edit_->setMaxLength(kMaxText);
  prompt_->setBuddy(edit_);
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(ControlName(kOkButton));
  ok_->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ControlName(kCancelButton));

  // The fixed pixel layout the model gives, whatever the style would choose.
  setFixedSize(InputDialog::kWidth, InputDialog::kHeight);
  const InputDialog::Layout layout = InputDialog::ControlLayout();
  prompt_->setGeometry(ToQRect(layout.prompt));
  edit_->setGeometry(ToQRect(layout.edit));
  ok_->setGeometry(ToQRect(layout.ok));
  cancel->setGeometry(ToQRect(layout.cancel));

  setWindowTitle(FromUtf8(model_.Caption()));
  edit_->setText(FromUtf8(model_.EditText()));
  ok_->setEnabled(model_.OkEnabled());
  connect(edit_, &QLineEdit::textChanged, this, [this](const QString& text) {
    model_.SetEditText(text.toStdString());
    ok_->setEnabled(model_.OkEnabled());
  });
  connect(ok_, &QPushButton::clicked, this, &TextInputDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &TextInputDialog::reject);
  edit_->setFocus(Qt::OtherFocusReason);
}

void TextInputDialog::accept() {
  // Enter reaches here through the default button even while it is disabled.
  if (!model_.OkEnabled()) return;
  Finish(model_.Ok());
}

void TextInputDialog::Finish(const InputDialog::Outcome& outcome) {
  if (outcome.notice) {
    const int answer = ShowNotice(this, *outcome.notice);
    switch (outcome.notice->buttons) {
      case Notice::Buttons::RetryCancel:
        if (answer == IDCANCEL) return Finish(model_.Cancel());
        return Finish(save_ ? save_->Retry() : InputDialog::Outcome{});
      case Notice::Buttons::YesNo:
        if (save_) return Finish(save_->ConfirmReplace(answer == IDYES));
        return;
      case Notice::Buttons::Ok:
        break;
    }
  }
  if (!outcome.end) {
    // The dialog stays open with the typed text, for another try.
    edit_->setFocus(Qt::OtherFocusReason);
    edit_->selectAll();
    return;
  }
  if (*outcome.end == kIdOk)
    QDialog::accept();
  else
    QDialog::reject();
}

int TextInputDialog::Exec(QDialog& dialog) {
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  const int result = dialog.exec();
  QApplication::restoreOverrideCursor();
  return result;
}

DialogReply TextInputDialog::Run(const InputRequest& request, QWidget* parent) {
  InputDialog model(request.caption, request.prompt, request.initial);
  if (request.okAlways) model.EnableOkAlways();
  TextInputDialog dialog(model, parent);
  if (Exec(dialog) != QDialog::Accepted) return {};
  return {true, model.Value()};
}

DialogReply TextInputDialog::RunSave(const SaveRequest& request, QWidget* parent) {
  SaveConfigDialog model(request.folder, request.initialName);
  TextInputDialog dialog(model, parent);
  if (Exec(dialog) != QDialog::Accepted) return {};
  return {true, model.Path()};
}

}  // namespace quor::console::qt
