#include "app/DesktopCommand.h"

#include <cstdlib>
#include <iostream>

#ifdef QUORVIN_HAS_UI
#include <QApplication>
#include <QPointer>
#include <memory>

#include "shell/DesktopStartup.h"
#include "shell/HeadlessAgentManager.h"
#include "shell/InstanceClaim.h"
#include "ui/TrayApplication.h"
#include "ui/TrayController.h"
#endif

namespace quorvin::app {

bool environmentHasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

#ifndef QUORVIN_HAS_UI

int runDesktop(int&, char**) {
  std::cerr << "This build of Quorvin has no tray. Run `quorvin --headless` to publish this computer's usage."
            << std::endl;
  return 2;
}

#else

namespace {

// A display that is named but cannot be reached ends Qt's start with a fatal message and an
// abort; say what to do instead and end normally.
void noDisplayHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type != QtFatalMsg) {
    std::cerr << message.toStdString() << std::endl;
    return;
  }
  // Qt's own text (reinstalling, plugin lists) does not apply: the display is the problem,
  // and its warning before this line already named it.
  std::cerr << kNoDisplayText << std::endl;
  std::_Exit(2);
}

std::unique_ptr<QApplication> createApplication(int& argc, char** argv) {
  const QtMessageHandler previous = qInstallMessageHandler(noDisplayHandler);
  auto application = std::make_unique<QApplication>(argc, argv);
  qInstallMessageHandler(previous);
  return application;
}

// Runs `work` on the Qt thread, later.
template <typename Work>
void onQtThread(Work work) {
  QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
}

}  // namespace

int runDesktop(int& argc, char** argv) {
  if (!environmentHasDisplay()) {
    std::cerr << kNoDisplayText << std::endl;
    return 2;
  }
  const auto application = createApplication(argc, argv);
  const Paths paths = Paths::fromEnvironment();
  auto claim = InstanceClaim::claim(paths);
  if (claim.verdict != InstanceClaim::Verdict::run) return claim.exitCode();
  HeadlessAgentManager::disableCanonicalCLI(paths);

  DesktopStartup desktop(AppServices::Options::fromEnvironment(), LaunchHooks::fromEnvironment());
  // Read and written on the Qt thread only.
  QPointer<ui::TrayController> controller;
  DesktopStartup::Front front;
  front.showFromPeer = [&controller] {
    onQtThread([&controller] {
      if (controller) controller->showFromPeer();
    });
  };
  front.showSavings = [&controller](presentation::SavingsPlanPage page) {
    onQtThread([&controller, page] {
      if (controller) controller->showSavingsWindow(page);
    });
  };
  front.quit = [] { onQtThread([] { QCoreApplication::quit(); }); };
  desktop.start(std::move(front));
  const int code = ui::runTrayApplication(argc, argv, desktop.source(), desktop.commands(), desktop.clock(),
                                          [&controller](ui::TrayController* running) { controller = running; });
  desktop.stop();
  return code;
}

#endif

}  // namespace quorvin::app
