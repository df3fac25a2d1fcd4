#pragma once

#include <QWidget>
#include <memory>

#include "presentation/PresentationState.h"
#include "presentation/StatusMenu.h"

class QTabBar;
class QStackedWidget;
class QVBoxLayout;

namespace quorvin::presentation {
class PresentationCommands;
}

namespace quorvin::ui {

// The savings plan window: opportunity, apply and results pages. Kept for the life of the
// process; closing only hides it.
class SavingsPlanWindow : public QWidget {
 public:
  explicit SavingsPlanWindow(presentation::PresentationCommands& commands);
  void setState(std::shared_ptr<const presentation::PresentationState> state);
  void show(presentation::SavingsPlanPage page);
  presentation::SavingsPlanPage page() const { return page_; }
  bool reviewedChanges() const { return reviewedChanges_; }
  void setReviewedChanges(bool reviewed);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void rebuild();
  QWidget* opportunityPage(const presentation::PresentationState& s);
  QWidget* applyPage(const presentation::PresentationState& s);
  QWidget* resultsPage(const presentation::PresentationState& s);
  void confirmRemoval();

  presentation::PresentationCommands& commands_;
  std::shared_ptr<const presentation::PresentationState> state_;
  presentation::SavingsPlanPage page_ = presentation::SavingsPlanPage::opportunity;
  bool reviewedChanges_ = false;
  QVBoxLayout* layout_;
  QTabBar* tabs_;
  QWidget* content_ = nullptr;
};

}  // namespace quorvin::ui
