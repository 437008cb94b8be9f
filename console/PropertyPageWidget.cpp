#include "console/PropertyPageWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <algorithm>
#include <memory>
#include <utility>

#include <utility>
#include <vector>

namespace quor::console::qt {

namespace {

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

}  // namespace

PropertyPageWidget::PropertyPageWidget(IPropertyPage& page, std::function<void()> edited, QWidget* parent)
    : QWidget(parent), page_(page), edited_(std::move(edited)) {
  auto* form = new QFormLayout(this);
  for (const PageField& field : page_.Fields()) {
    const std::string id = field.id;
    const QString value = FromUtf8(field.value);
    QWidget* widget = nullptr;
    switch (field.kind) {
      case FieldKind::Text:
      case FieldKind::Password:
      case FieldKind::Number:
      case FieldKind::ReadOnlyText: {
        auto* edit = new QLineEdit(value, this);
        edit->setReadOnly(field.kind == FieldKind::ReadOnlyText);
        if (field.kind == FieldKind::Password) edit->setEchoMode(QLineEdit::Password);
        if (field.kind == FieldKind::Number) edit->setInputMethodHints(Qt::ImhDigitsOnly);
        connect(edit, &QLineEdit::textEdited, this, [this, id](const QString& text) { Edit(id, text); });
        widget = edit;
        break;
      }
      case FieldKind::MultiLineText: {
        auto* edit = new QPlainTextEdit(value, this);
        connect(edit, &QPlainTextEdit::textChanged, this, [this, id, edit] {
          if (!syncing_) Edit(id, edit->toPlainText());
        });
        widget = edit;
        break;
      }
      case FieldKind::Check: {
        auto* box = new QCheckBox(FromUtf8(field.label), this);
        box->setChecked(field.value == "1");
        connect(box, &QCheckBox::toggled, this,
                [this, id](bool on) { Edit(id, on ? QStringLiteral("1") : QStringLiteral("0")); });
        widget = box;
        break;
      }
      case FieldKind::Button: {
        auto* button = new QPushButton(FromUtf8(field.label), this);
        connect(button, &QPushButton::clicked, this, [this, id] { Press(id); });
        widget = button;
        break;
      }
      case FieldKind::List: {
        auto* list = new QListWidget(this);
        for (const std::string& option : field.options) list->addItem(FromUtf8(option));
        if (const auto found = list->findItems(value, Qt::MatchExactly); !found.isEmpty())
          list->setCurrentItem(found.front());
        connect(list, &QListWidget::currentTextChanged, this, [this, id](const QString& text) { Edit(id, text); });
        widget = list;
        break;
      }
      case FieldKind::Grid: {
        auto* grid = new QTreeWidget(this);
        grid->setRootIsDecorated(false);
        grid->setAllColumnsShowFocus(true);
        grid->setSelectionMode(field.multiSelect ? QAbstractItemView::ExtendedSelection
                                                 : QAbstractItemView::SingleSelection);
        FillGrid(grid, field);
        connect(grid, &QTreeWidget::itemSelectionChanged, this, [this, id, grid] {
          if (syncing_) return;
          std::vector<size_t> rows;
          for (int row = 0; row < grid->topLevelItemCount(); ++row)
            if (grid->topLevelItem(row)->isSelected()) rows.push_back(static_cast<size_t>(row));
          Edit(id, FromUtf8(GridValue(rows)));
        });
        connect(grid, &QTreeWidget::itemActivated, this, [this, id, grid](QTreeWidgetItem* row, int) {
          // The row double-clicked is the one the press is for.
          if (row && !row->isSelected()) {
            grid->clearSelection();
            row->setSelected(true);
          }
          Press(id);
        });
        widget = grid;
        break;
      }
      case FieldKind::Choice: {
        auto* combo = new QComboBox(this);
        for (const std::string& option : field.options) combo->addItem(FromUtf8(option));
        combo->setCurrentIndex(combo->findText(value));
        // A pick of the entry already chosen changes no text but is still a
        // choice the page may act on (list the provider's sources again).
        auto changed = std::make_shared<bool>(false);
        connect(combo, &QComboBox::currentTextChanged, this, [this, id, changed](const QString& text) {
          if (syncing_) return;
          *changed = true;
          Edit(id, text);
        });
        connect(combo, &QComboBox::activated, this, [this, id, combo, changed](int) {
          if (!std::exchange(*changed, false)) Edit(id, combo->currentText());
        });
        widget = combo;
        break;
      }
    }
    widget->setObjectName(FromUtf8(field.id));
    widget->setEnabled(field.enabled);
    // A check box and a button carry their own text.
    if (field.kind == FieldKind::Check || field.kind == FieldKind::Button || field.label.empty())
      form->addRow(widget);
    else
      form->addRow(FromUtf8(field.label), widget);
    widgets_[field.id] = widget;
  }
}

void PropertyPageWidget::FillGrid(QTreeWidget* grid, const PageField& field) {
  QStringList headers;
  for (const std::string& column : field.columns) headers << FromUtf8(column);
  grid->clear();
  grid->setColumnCount(static_cast<int>(std::max<size_t>(1, field.columns.size())));
  grid->setHeaderLabels(headers);
  for (const auto& cells : field.rows) {
    auto* row = new QTreeWidgetItem(grid);
    for (size_t column = 0; column < cells.size() && column < field.columns.size(); ++column)
      row->setText(static_cast<int>(column), FromUtf8(cells[column]));
  }
  for (size_t row : GridSelection(field.value))
    if (row < static_cast<size_t>(grid->topLevelItemCount())) grid->topLevelItem(static_cast<int>(row))->setSelected(true);
}

void PropertyPageWidget::Edit(const std::string& id, const QString& value) {
  if (syncing_) return;
  const QByteArray text = value.toUtf8();
  page_.SetValue(id, std::string_view(text.constData(), static_cast<size_t>(text.size())));
  Sync();
  if (edited_) edited_();
}

void PropertyPageWidget::Press(const std::string& id) {
  page_.Press(id);
  Sync();
  if (edited_) edited_();
}

void PropertyPageWidget::Sync() {
  syncing_ = true;
  for (const PageField& field : page_.Fields()) {
    const auto it = widgets_.find(field.id);
    if (it == widgets_.end()) continue;
    QWidget* widget = it->second;
    widget->setEnabled(field.enabled);
    const QString value = FromUtf8(field.value);
    // Only what differs is put back, so the cursor of the edit being typed
    // in stays where it is.
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      if (edit->text() != value) edit->setText(value);
    } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
      if (plain->toPlainText() != value) plain->setPlainText(value);
    } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      box->setChecked(field.value == "1");
    } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
      QStringList lines;
      for (const std::string& option : field.options) lines << FromUtf8(option);
      QStringList shown;
      for (int row = 0; row < list->count(); ++row) shown << list->item(row)->text();
      if (shown != lines) {
        list->clear();
        list->addItems(lines);
      }
      const int row = value.isEmpty() ? -1 : static_cast<int>(lines.indexOf(value));
      if (row != list->currentRow()) list->setCurrentRow(row);
    } else if (auto* grid = qobject_cast<QTreeWidget*>(widget)) {
      // Rebuilt only when the rows or headers changed, so that a selection
      // the user is making stays.
      bool same = grid->topLevelItemCount() == static_cast<int>(field.rows.size()) &&
                  grid->columnCount() == static_cast<int>(std::max<size_t>(1, field.columns.size()));
      for (size_t column = 0; same && column < field.columns.size(); ++column)
        same = grid->headerItem()->text(static_cast<int>(column)) == FromUtf8(field.columns[column]);
      for (size_t row = 0; same && row < field.rows.size(); ++row)
        for (size_t column = 0; same && column < field.columns.size(); ++column) {
          const std::string cell = column < field.rows[row].size() ? field.rows[row][column] : std::string();
          same = grid->topLevelItem(static_cast<int>(row))->text(static_cast<int>(column)) == FromUtf8(cell);
        }
      if (!same) {
        FillGrid(grid, field);
      } else {
        const std::vector<size_t> selected = GridSelection(field.value);
        for (int row = 0; row < grid->topLevelItemCount(); ++row)
          grid->topLevelItem(row)->setSelected(std::find(selected.begin(), selected.end(), static_cast<size_t>(row)) !=
                                               selected.end());
      }
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      // A choice's options may change with another field (a cascade).
      QStringList options;
      for (const std::string& option : field.options) options << FromUtf8(option);
      QStringList shown;
      for (int i = 0; i < combo->count(); ++i) shown << combo->itemText(i);
      if (shown != options) {
        combo->clear();
        combo->addItems(options);
      }
      const int index = combo->findText(value);
      if (index != combo->currentIndex()) combo->setCurrentIndex(index);
    }
  }
  syncing_ = false;
}

}  // namespace quor::console::qt
