#include "console/Dialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QAbstractItemView>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace quor::console::qt {

namespace {

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string ToUtf8(const QString& text) { return text.left(LogonDialog::kMaxText).toStdString(); }

}  // namespace

QString ControlName(int id) { return QString::number(id); }

int ShowMessageBox(QWidget* parent, std::string_view text, std::string_view caption, uint32_t style) {
  QMessageBox box(parent);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setWindowTitle(FromUtf8(caption));
  box.setText(FromUtf8(text));
  switch (style & 0xF0) {
    case MB_ICONHAND: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONEXCLAMATION: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  // Each button carries the answer it gives.
  struct Choice {
    QMessageBox::StandardButton button;
    int answer;
  };
  std::vector<Choice> choices;
  int escapeAnswer = IDCANCEL;
  switch (style & 0xF) {
    case MB_OKCANCEL: choices = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
    case MB_YESNO:
      choices = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
      escapeAnswer = IDNO;
      break;
    case MB_RETRYCANCEL: choices = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; break;
    default:
      choices = {{QMessageBox::Ok, IDOK}};
      escapeAnswer = IDOK;
      break;
  }
  QMessageBox::StandardButtons buttons;
  for (const Choice& choice : choices) buttons |= choice.button;
  box.setStandardButtons(buttons);
  box.setDefaultButton(choices.front().button);
  // The box is modal on the whole application: the console waits for it
  // (and shows the normal cursor while it does).
  box.setWindowModality(Qt::ApplicationModal);
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  box.exec();
  QApplication::restoreOverrideCursor();
  const auto pressed = box.standardButton(box.clickedButton());
  for (const Choice& choice : choices)
    if (choice.button == pressed) return choice.answer;
  return escapeAnswer;
}

// ---- LogonDialog ------------------------------------------------------------------------

LogonDialog::LogonDialog(const LogonRequest& request, QWidget* parent) : QDialog(parent) {
  setObjectName(ControlName(kDialogId));
  setWindowTitle(QStringLiteral("Logon"));
  setFont(QFont(QStringLiteral("Arial"), 10));
  setModal(true);

  service_ = new QComboBox(this);
  service_->setObjectName(ControlName(kServiceCombo));
  service_->setEditable(true);
  service_->setInsertPolicy(QComboBox::NoInsert);
  service_->lineEdit()->setMaxLength(kMaxText);
  service_->setMinimumWidth(320);
  // The drop-down list is at least 100 pixels tall, room for a few services.
  service_->view()->setMinimumHeight(100);
  user_ = new QLineEdit(this);
  user_->setObjectName(ControlName(kUserEdit));
  user_->setMaxLength(kMaxText);
  password_ = new QLineEdit(this);
  password_->setObjectName(ControlName(kPasswordEdit));
  password_->setMaxLength(kMaxText);
  password_->setEchoMode(QLineEdit::Password);

  auto label = [this](int id, const char* text, QWidget* buddy) {
    auto* l = new QLabel(QString::fromUtf8(text), this);
    l->setObjectName(ControlName(id));
    l->setBuddy(buddy);
    return l;
  };
  auto* grid = new QGridLayout;
  grid->addWidget(label(kServiceLabel, "&Service Name:", service_), 0, 0);
  grid->addWidget(service_, 0, 1);
  grid->addWidget(label(kUserLabel, "&User Name:", user_), 1, 0);
  grid->addWidget(user_, 1, 1);
  grid->addWidget(label(kPasswordLabel, "&Password:", password_), 2, 0);
  grid->addWidget(password_, 2, 1);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(ControlName(kOkButton));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(ControlName(kCancelButton));
  connect(ok, &QPushButton::clicked, this, &LogonDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &LogonDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);

  user_->setText(FromUtf8(request.userName));

  // Every part of the comma-joined list is an item, the empty remainder
  // after a trailing comma (or of an empty list) too.
  const QStringList known = FromUtf8(request.knownServices).split(QLatin1Char(','), Qt::KeepEmptyParts);
  service_->addItems(known);

  // The first item that begins with the stored name, searching from the
  // second item and wrapping round to the first.
  const QString stored = FromUtf8(request.serviceName);
  const int count = service_->count();
  int match = -1;
  for (int step = 0; step < count && match < 0; ++step) {
    const int index = (1 + step) % count;
    if (service_->itemText(index).startsWith(stored, Qt::CaseInsensitive)) match = index;
  }
  if (match >= 0) {
    service_->setCurrentIndex(match);
  } else {
    // No item names it: the stored name is typed over the first item.
    service_->setCurrentIndex(0);
    service_->setEditText(stored);
  }

  QWidget* focus = password_;
  if (request.userName.empty()) focus = user_;
  if (request.serviceName.empty()) focus = service_;
  focus->setFocus(Qt::OtherFocusReason);
}

LogonReply LogonDialog::Reply() const {
  LogonReply reply;
  reply.ok = result() == QDialog::Accepted;
  reply.serviceName = ToUtf8(service_->currentText());
  reply.userName = ToUtf8(user_->text());
  reply.password = ToUtf8(password_->text());
  return reply;
}

void LogonDialog::accept() {
  if (service_->currentText().isEmpty()) {
    ShowMessageBox(this, "The Service Name is blank.  Please, try again.", "Error", MB_ICONHAND | MB_OK);
    service_->setFocus(Qt::OtherFocusReason);
    return;
  }
  if (user_->text().isEmpty()) {
    ShowMessageBox(this, "The User Name is blank.  Please, try again.", "Error", MB_ICONHAND | MB_OK);
    user_->setFocus(Qt::OtherFocusReason);
    return;
  }
  QDialog::accept();
}

LogonReply LogonDialog::Run(const LogonRequest& request, QWidget* parent) {
  LogonDialog dialog(request, parent);
  QApplication::setOverrideCursor(Qt::ArrowCursor);
  const int result = dialog.exec();
  QApplication::restoreOverrideCursor();
  if (result != QDialog::Accepted) return {};
  return dialog.Reply();
}

// ---- ConnectingDialog -------------------------------------------------------------------

ConnectingDialog::ConnectingDialog(std::string_view message, QWidget* parent) : QDialog(parent) {
  setObjectName(ControlName(kDialogId));
  setWindowTitle(QStringLiteral("Connecting . . ."));
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  progress_ = new QProgressBar(this);
  progress_->setObjectName(ControlName(kProgress));
  progress_->setRange(0, 100);
  progress_->setMinimumWidth(260);
  message_ = new QLabel(QStringLiteral("..."), this);
  message_->setObjectName(ControlName(kMessage));
  message_->setWordWrap(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(message_);
  layout->addWidget(progress_);
  message_->setText(FromUtf8(message));
  progress_->setValue(0);
}

void ConnectingDialog::SetPosition(int position) {
  progress_->setValue(position);
  repaint();
}

}  // namespace quor::console::qt
