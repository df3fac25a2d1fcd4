#include "ui/TrayApplication.h"

#include <QApplication>
#include <memory>

#include "ui/TrayController.h"

namespace quorvin::ui {

int runTrayApplication(int& argc, char** argv, presentation::StateSource& source,
                       presentation::PresentationCommands& commands, const Clock& clock) {
  std::unique_ptr<QApplication> owned;
  if (!QApplication::instance()) {
    owned = std::make_unique<QApplication>(argc, argv);
  }
  QApplication::setApplicationName("Quorvin");
  // The savings window is the only ordinary window; closing it must not end the agent.
  QApplication::setQuitOnLastWindowClosed(false);
  TrayController controller(source, commands, clock);
  return QApplication::exec();
}

}  // namespace quorvin::ui
