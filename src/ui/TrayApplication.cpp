#include "ui/TrayApplication.h"

#include <QApplication>
#include <QPixmapCache>
#include <memory>

#include "ui/TrayController.h"

namespace quorvin::ui {

void applyTrayApplicationSettings() {
  QApplication::setApplicationName("Quorvin");
  QApplication::setQuitOnLastWindowClosed(false);
  QPixmapCache::setCacheLimit(256);
}

int runTrayApplication(int& argc, char** argv, presentation::StateSource& source,
                       presentation::PresentationCommands& commands, const Clock& clock,
                       const std::function<void(TrayController*)>& started) {
  std::unique_ptr<QApplication> owned;
  if (!QApplication::instance()) {
    owned = std::make_unique<QApplication>(argc, argv);
  }
  applyTrayApplicationSettings();
  TrayController controller(source, commands, clock);
  if (started) started(&controller);
  const int code = QApplication::exec();
  if (started) started(nullptr);
  return code;
}

}  // namespace quorvin::ui
