// quor-console: the management console host. It loads the administration
// snap-in (or the one named by --progid) from the registry file that
// QUOR_REGISTRY names and shows its tree; the snap-in signs in through the
// logon dialog.
#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdlib>

#include "console/ConsoleWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quor-console"));
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Quor Server administration console. QUOR_REGISTRY names the registry file in which the "
                     "snap-in library is registered."));
  parser.addHelpOption();
  QCommandLineOption progId(QStringLiteral("progid"), QStringLiteral("ProgID of the snap-in to load."),
                            QStringLiteral("progid"), QStringLiteral("QuorAdmin.QuorAdminMMC"));
  parser.addOption(progId);
  parser.process(app);

  quor::console::qt::ConsoleWindow window;
  window.show();
  const std::string snapin = parser.value(progId).toStdString();
  // Loaded once the window is up, so that the logon dialog has its owner.
  QTimer::singleShot(0, &window, [&window, snapin] { window.LoadSnapin(snapin); });
  return QApplication::exec();
}
