#include "ui/SavingsPlanWindow.h"

#include <QCheckBox>
#include <QEvent>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QUrl>
#include <QVBoxLayout>

#include "presentation/DashboardPresentation.h"
#include "presentation/PresentationCommands.h"
#include "presentation/SavingsPlanPresentation.h"
#include "ui/ShapePainter.h"
#include "ui/UiColors.h"

namespace quorvin::ui {

using namespace presentation;

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

QLabel* text(const QString& value, double size, bool semibold, const Color& color, const QPalette& palette,
             bool wrap = true) {
  auto* l = new QLabel(value);
  l->setFont(uiFont(size, semibold, false));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, resolveColor(color, palette));
  l->setPalette(p);
  l->setWordWrap(wrap);
  l->setTextFormat(Qt::PlainText);
  return l;
}

QLabel* ink(const QString& v, double size, const QPalette& p) { return text(v, size, true, roleColor(ColorRole::label), p); }
QLabel* muted(const QString& v, double size, const QPalette& p) {
  return text(v, size, false, roleColor(ColorRole::secondaryLabel), p);
}

QWidget* pageColumn(std::initializer_list<QWidget*> children) {
  auto* w = new QWidget;
  auto* l = new QVBoxLayout(w);
  l->setContentsMargins(0, 8, 0, 0);
  l->setSpacing(10);
  for (auto* child : children) {
    l->addWidget(child);
  }
  l->addStretch(1);
  return w;
}

}  // namespace

SavingsPlanWindow::SavingsPlanWindow(PresentationCommands& commands)
    : commands_(commands), layout_(new QVBoxLayout(this)), tabs_(new QTabBar) {
  setWindowTitle("Token savings");
  setObjectName("app.quorvin.savings-plan.v1");
  setMinimumSize(560, 600);
  resize(640, 760);
  layout_->setContentsMargins(28, 20, 28, 20);
  for (auto p : {SavingsPlanPage::opportunity, SavingsPlanPage::apply, SavingsPlanPage::results}) {
    tabs_->addTab(savingsPageTitle(p));
  }
  layout_->addWidget(tabs_);
  connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
    page_ = static_cast<SavingsPlanPage>(index);
    rebuild();
  });
  state_ = std::make_shared<const PresentationState>();
}

void SavingsPlanWindow::setState(std::shared_ptr<const PresentationState> state) {
  state_ = std::move(state);
  rebuild();
}

void SavingsPlanWindow::show(SavingsPlanPage page) {
  page_ = page;
  commands_.refreshSavingsAdvisor();
  rebuild();
  QWidget::show();
  raise();
  activateWindow();
}

void SavingsPlanWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange) {
    rebuild();
  }
}

void SavingsPlanWindow::setReviewedChanges(bool reviewed) {
  reviewedChanges_ = reviewed;
  rebuild();
}

void SavingsPlanWindow::rebuild() {
  const auto& s = *state_;
  const QPalette& pal = palette();
  if (content_) {
    layout_->removeWidget(content_);
    content_->hide();
    content_->deleteLater();
  }
  content_ = new QWidget;
  auto* l = new QVBoxLayout(content_);
  l->setContentsMargins(0, 0, 0, 0);

  auto* header = new QWidget;
  auto* h = new QHBoxLayout(header);
  h->setContentsMargins(0, 0, 0, 0);
  h->addWidget(ink("Token savings", 17, pal));
  h->addStretch(1);
  h->addWidget(text(qs(savingsBadge(s)), 9, true, roleColor(ColorRole::green), pal, false));
  l->addWidget(header);
  {
    const QSignalBlocker block(tabs_);
    tabs_->setCurrentIndex(static_cast<int>(page_));
  }
  if (s.savingsStatus) {
    const bool error = savingsStatusIsError(s.savingsStatus);
    l->addWidget(text(qs(*s.savingsStatus), 11, false,
                      roleColor(error ? ColorRole::red : ColorRole::secondaryLabel), pal));
  }
  switch (page_) {
    case SavingsPlanPage::opportunity:
      l->addWidget(opportunityPage(s));
      break;
    case SavingsPlanPage::apply:
      l->addWidget(applyPage(s));
      break;
    case SavingsPlanPage::results:
      l->addWidget(resultsPage(s));
      break;
  }
  layout_->addWidget(content_);
}

QWidget* SavingsPlanWindow::opportunityPage(const PresentationState& s) {
  const QPalette& pal = palette();
  const auto& p = s.savingsProjection;
  auto* link = new QPushButton("Open RTK source");
  link->setFlat(true);
  connect(link, &QPushButton::clicked, this, [] { QDesktopServices::openUrl(QUrl(kRtkSourceUrl)); });
  auto* next = new QPushButton("Review setup");
  connect(next, &QPushButton::clicked, this, [this] { show(SavingsPlanPage::apply); });
  return pageColumn({muted("WHAT TO CHANGE", 9, pal),
               ink(qs(savingsValueLabel(p)), 26, pal),
               muted(p.measured ? "Measured" : "Scenario", 10, pal),
               muted(qs(savingsSummary(p, s.savingsSnapshot)), 11.5, pal),
               muted("Cache reuse " + qs(savingsCachePercent(s)) + " · " + qs(savingsCoverageLabel(p)), 10, pal),
               ink("Start a clean task after finished work", 12, pal),
               muted("Carry forward the final handoff and decisions. Leave old command output and debugging "
                     "transcripts behind.",
                     11, pal),
               muted("LOCAL · Workflow", 9, pal), link, next});
}

QWidget* SavingsPlanWindow::applyPage(const PresentationState& s) {
  const QPalette& pal = palette();
  auto* reviewed = new QCheckBox("I reviewed the local changes and restart requirement.");
  reviewed->setChecked(reviewedChanges_);
  connect(reviewed, &QCheckBox::toggled, this, [this](bool on) { reviewedChanges_ = on; rebuild(); });

  QWidget* install = nullptr;
  if (s.isConfiguringSavings) {
    auto* busy = new QProgressBar;
    busy->setRange(0, 0);
    busy->setFixedSize(80, 8);
    busy->setTextVisible(false);
    install = busy;
  } else {
    auto* button = new QPushButton("Install and configure");
    button->setObjectName("installAndConfigure");
    button->setEnabled(savingsInstallEnabled(reviewedChanges_, s));
    connect(button, &QPushButton::clicked, this, [this] { commands_.configureSavings(true); });
    install = button;
  }
  auto* remove = new QPushButton("Remove integrations…");
  remove->setObjectName("removeIntegrations");
  remove->setEnabled(!s.isConfiguringSavings);
  connect(remove, &QPushButton::clicked, this, [this] { confirmRemoval(); });

  return pageColumn({ink("1  Review exact changes", 12, pal),
               muted("Quorvin validates the local RTK gain report before changing integrations.", 11, pal),
               muted("Homebrew installs the open-source rtk-ai/rtk package. Nothing runs until you approve below.",
                     11, pal),
               ink("2  Configure supported coding tools", 12, pal), muted(qs(savingsTargetDetail(s)), 11, pal),
               ink("3  Restart the affected tools", 12, pal),
               muted("The integration takes effect when those coding tools start their next session.", 11, pal),
               reviewed, install, remove,
               s.isConfiguringSavings ? muted("Updating RTK integrations…", 10.5, pal) : new QWidget});
}

QWidget* SavingsPlanWindow::resultsPage(const PresentationState& s) {
  const QPalette& pal = palette();
  const auto& snap = s.savingsSnapshot;
  auto* metrics = new QWidget;
  auto* m = new QHBoxLayout(metrics);
  m->setContentsMargins(0, 0, 0, 0);
  const std::pair<const char*, std::string> cells[] = {{"Tokens removed", shortTokens(snap.savedTokens)},
                                                       {"Commands", shortTokens(snap.totalCommands)},
                                                       {"Reduction", savingsMeasuredRate(snap)}};
  for (const auto& [title, value] : cells) {
    auto* cell = new QWidget;
    auto* c = new QVBoxLayout(cell);
    c->setContentsMargins(0, 0, 0, 0);
    c->addWidget(muted(title, 9.5, pal));
    c->addWidget(ink(qs(value), 18, pal));
    m->addWidget(cell);
  }
  auto* profile = new QPushButton("Open live profile");
  connect(profile, &QPushButton::clicked, this, [this] { commands_.openPublicProfile(); });
  auto* setup = new QPushButton("Review setup");
  connect(setup, &QPushButton::clicked, this, [this] { show(SavingsPlanPage::apply); });
  auto* measured = new QPushButton("View measured results");
  connect(measured, &QPushButton::clicked, this, [this] { show(SavingsPlanPage::results); });
  return pageColumn({muted(qs(savingsResultsSubtitle(snap)), 11.5, pal), metrics, profile, setup, measured});
}

void SavingsPlanWindow::confirmRemoval() {
  QMessageBox box(QMessageBox::Warning, kRemovalTitle, kRemovalTitle, QMessageBox::NoButton, this);
  box.setInformativeText(kRemovalText);
  auto* remove = box.addButton("Remove integrations", QMessageBox::DestructiveRole);
  box.addButton("Cancel", QMessageBox::RejectRole);
  box.exec();
  if (box.clickedButton() == remove) {
    commands_.configureSavings(false);
  }
}

}  // namespace quorvin::ui
