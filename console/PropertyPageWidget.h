// One property page of a sheet, drawn from the fields the snap-in's page
// gives: a form of labelled widgets, each named by its control id. Every
// edit goes to the page at once; the widget then takes the page's fields
// again, since one edit may unlock others.
#pragma once

#include <QWidget>

class QTreeWidget;

#include <functional>
#include <map>
#include <string>

#include "platform/console/snapin.h"

namespace quor::console::qt {

class PropertyPageWidget final : public QWidget {
 public:
  // `edited` runs after every edit the page took or refused.
  PropertyPageWidget(IPropertyPage& page, std::function<void()> edited, QWidget* parent = nullptr);

  IPropertyPage& Page() const { return page_; }
  // Takes the page's fields again after something else changed them.
  void Refresh() { Sync(); }

 private:
  void Edit(const std::string& id, const QString& value);
  void Press(const std::string& id);
  void FillGrid(QTreeWidget* grid, const PageField& field);
  // Enabled states (and values the page changed itself) from the page.
  void Sync();

  IPropertyPage& page_;
  std::function<void()> edited_;
  std::map<std::string, QWidget*> widgets_;
  bool syncing_ = false;
};

}  // namespace quor::console::qt
