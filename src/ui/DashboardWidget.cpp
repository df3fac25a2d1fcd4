#include "ui/DashboardWidget.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "presentation/DashboardPresentation.h"
#include "presentation/NumberText.h"
#include "presentation/PresentationCommands.h"
#include "presentation/StatusBarPresentation.h"
#include "presentation/StatusMenu.h"
#include "presentation/UsageMixPresentation.h"
#include "ui/CandleChartWidget.h"
#include "ui/ShapePainter.h"
#include "ui/UiColors.h"

namespace quorvin::ui {

using namespace presentation;

namespace {

const Color kAccent = roleColor(ColorRole::green);

QString qs(const std::string& text) { return QString::fromStdString(text); }

QLabel* label(const QString& text, double size, bool semibold, const Color& color, const QPalette& palette,
              bool monospaced = false, bool wrap = false) {
  auto* l = new QLabel(text);
  l->setFont(uiFont(size, semibold, monospaced));
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, resolveColor(color, palette));
  l->setPalette(p);
  l->setWordWrap(wrap);
  l->setTextFormat(Qt::PlainText);
  return l;
}

QLabel* secondary(const QString& text, double size, const QPalette& palette, bool wrap = false) {
  return label(text, size, false, roleColor(ColorRole::secondaryLabel), palette, false, wrap);
}

QWidget* row(std::initializer_list<QWidget*> widgets, bool stretchAfterFirst = true) {
  auto* w = new QWidget;
  auto* l = new QHBoxLayout(w);
  l->setContentsMargins(0, 0, 0, 0);
  l->setSpacing(6);
  bool first = true;
  for (auto* child : widgets) {
    l->addWidget(child);
    if (first && stretchAfterFirst) {
      l->addStretch(1);
    }
    first = false;
  }
  return w;
}

// The usage-mix bar: one segment per agent, widths by share.
class MixBar : public QWidget {
 public:
  MixBar(std::vector<AgentUsageSegment> segments, std::vector<Color> colors)
      : segments_(std::move(segments)), colors_(std::move(colors)) {
    setFixedHeight(8);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(resolveColor(roleColor(ColorRole::label, 0.08), palette()));
    painter.drawRoundedRect(rect(), 3, 3);
    double x = 0;
    for (size_t i = 0; i < segments_.size(); ++i) {
      const double w = segments_[i].fraction * width();
      painter.setBrush(resolveColor(colors_[i % colors_.size()], palette()));
      painter.drawRect(QRectF(x, 0, std::max(w - 1, 1.0), height()));
      x += w;
    }
  }

 private:
  std::vector<AgentUsageSegment> segments_;
  std::vector<Color> colors_;
};

QWidget* strip(const QString& title, const QPalette& palette) {
  auto* w = new QWidget;
  auto* l = new QVBoxLayout(w);
  l->setContentsMargins(0, 4, 0, 4);
  l->setSpacing(3);
  l->addWidget(label(title.toUpper(), 8.5, true, roleColor(ColorRole::secondaryLabel), palette, true));
  return w;
}

void add(QWidget* container, QWidget* child) { static_cast<QVBoxLayout*>(container->layout())->addWidget(child); }

}  // namespace

DashboardWidget::DashboardWidget(PresentationCommands& commands, QWidget* parent)
    : QWidget(parent), commands_(commands), layout_(new QVBoxLayout(this)) {
  layout_->setContentsMargins(16, 12, 16, 12);
  setFixedWidth(static_cast<int>(kMenuWidth));
  setAutoFillBackground(true);
}

void DashboardWidget::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && state_) {
    setState(state_, now_);
  }
}

void DashboardWidget::setState(std::shared_ptr<const PresentationState> state, WallTime now) {
  state_ = std::move(state);
  now_ = now;
  if (content_) {
    layout_->removeWidget(content_);
    delete content_;
  }
  content_ = new QWidget;
  auto* l = new QVBoxLayout(content_);
  l->setContentsMargins(0, 0, 0, 0);
  l->setSpacing(8);
  build(*state_, now);
  layout_->addWidget(content_);
  // Not adjustSize(): it caps a top-level widget at two thirds of the screen.
  resize(sizeHint());
}

void DashboardWidget::build(const PresentationState& s, WallTime now) {
  auto* l = static_cast<QVBoxLayout*>(content_->layout());
  l->addWidget(header(s));
  switch (s.status.kind) {
    case ConnectionStatus::Kind::disconnected:
      l->addWidget(disconnectedBody(s));
      break;
    case ConnectionStatus::Kind::pairing:
      l->addWidget(pairingBody(s));
      break;
    case ConnectionStatus::Kind::connected:
      l->addWidget(connectedBody(s, now));
      break;
  }
}

QWidget* DashboardWidget::header(const PresentationState& s) {
  const QString handle = s.login.empty() ? QStringLiteral("Quorvin") : "@" + qs(s.login);
  return row({label(handle, 13, true, roleColor(ColorRole::label), palette()),
              label(qs(headerStatusLabel(s)), 10, true, statusColor(s), palette(), true)});
}

QWidget* DashboardWidget::disconnectedBody(const PresentationState& s) {
  const auto summary = disconnectedSummary(s);
  auto* w = strip({}, palette());
  add(w, label(qs(summary.title), 13, true, roleColor(ColorRole::label), palette()));
  add(w, secondary(qs(summary.message), 11.5, palette(), true));
  if (summary.progress) {
    auto* busy = new QProgressBar;
    busy->setRange(0, 0);  // indeterminate
    busy->setFixedSize(48, 6);
    busy->setTextVisible(false);
    add(w, row({busy, secondary(qs(*summary.progress), 10.5, palette())}, false));
  }
  return w;
}

QWidget* DashboardWidget::pairingBody(const PresentationState& s) {
  const auto summary = pairingSummary(s);
  auto* w = strip({}, palette());
  add(w, label(qs(summary.title), 13, true, roleColor(ColorRole::label), palette()));
  add(w, label(qs(summary.code), 20, true, roleColor(ColorRole::yellow), palette(), true));
  add(w, secondary(qs(summary.message), 11.5, palette(), true));
  return w;
}

QWidget* DashboardWidget::connectedBody(const PresentationState& s, WallTime now) {
  auto* body = new QWidget;
  auto* l = new QVBoxLayout(body);
  l->setContentsMargins(0, 0, 0, 0);
  l->setSpacing(6);
  const QPalette& pal = palette();

  if (s.pairingSuccessHandle) {
    auto* dismiss = new QPushButton("Dismiss");
    dismiss->setAccessibleName("Dismiss connection success");
    QObject::connect(dismiss, &QPushButton::clicked, this, [this] { commands_.dismissPairingSuccess(); });
    // The handle opens the live profile the pairing just published to.
    auto* open = new QPushButton(qs(*s.pairingSuccessHandle));
    open->setFlat(true);
    QObject::connect(open, &QPushButton::clicked, this, [this] { commands_.openLiveProfile(); });
    l->addWidget(row({label("Connection successful", 11, true, kAccent, pal), open, dismiss}));
    if (s.profileOpenError) {
      l->addWidget(label(qs(*s.profileOpenError), 10.5, false, roleColor(ColorRole::red), pal, false, true));
    }
  }

  // Headline totals
  l->addWidget(row({label(qs(cost(s.publicCost(), StatusBarCostDisplayMode::exact)), 24, true,
                          roleColor(ColorRole::label), pal, true),
                    secondary(qs(shortTokens(s.publicTokens())) + " tokens", 11, pal)}));
  l->addWidget(row({secondary(qs(leverageLabel(s.leverage())), 10, pal), secondary(qs(syncLabel(s, now)), 10, pal)}));

  for (const auto& line : attentionLines(s)) {
    l->addWidget(label(qs(line.text), 10.5, false, line.color, pal, false, true));
  }

  // Live meter
  const auto meter = liveMeter(s.recentTicks, now);
  auto* pace = strip("Pace", pal);
  add(pace, row({label(qs(formatRate(meter.average)), 13, true, roleColor(ColorRole::label), pal, true),
                 secondary("peak " + qs(formatRate(meter.peak)), 10, pal)}));
  add(pace, row({secondary("Cost rate", 10, pal),
                 label("$" + qs(formatDouble("%.2f", s.publicCandleCostRate)) + "/h", 10, true,
                       roleColor(ColorRole::label), pal, true)}));
  l->addWidget(pace);

  // Candle panel
  const bool anyObserved =
      std::any_of(s.publicCandles.begin(), s.publicCandles.end(), [](const auto& c) { return c.observed; });
  QString word = !anyObserved ? "Collecting"
                 : s.publicCandleStale ? "paused"
                 : qs(formatRate(s.publicCandleTokenRate)) + " index";
  if (s.publicCandleState == "waiting") {
    word = "Waiting";
  }
  auto* candles = strip("Compute productivity", pal);
  add(candles, row({secondary(word, 9, pal)}, false));
  auto* chart = new CandleChartWidget;
  chart->setSeries(s.publicCandles, s.publicCandleStale);
  chart->setFixedHeight(120);
  add(candles, chart);
  l->addWidget(candles);

  // Usage mix
  const auto agents = agentSegments(s.agentBreakdown, 4);
  const auto models = modelRows(s.modelBreakdown, 3);
  if (!agents.empty() || !models.empty()) {
    const std::vector<Color> colors{rgbColor(0.16, 0.51, 0.82), rgbColor(0.11, 0.72, 0.34),
                                    rgbColor(0.78, 0.48, 0.02), roleColor(ColorRole::secondaryLabel)};
    auto* mix = strip("All-time usage mix", pal);
    if (!agents.empty()) {
      add(mix, secondary("All-time agent traffic", 9, pal));
      add(mix, new MixBar(agents, colors));
      for (const auto& a : agents) {
        add(mix, row({secondary(qs(a.name), 10, pal),
                      label(qs(shortTokens(a.tokens)) + "  " + qs(formatDouble("%.0f%%", a.fraction * 100)), 10,
                            false, roleColor(ColorRole::label), pal, true)}));
      }
    }
    if (!models.empty()) {
      add(mix, secondary("All-time model traffic", 9, pal));
      for (const auto& m : models) {
        add(mix, row({secondary(qs(m.name), 10, pal),
                      label(qs(shortTokens(m.traffic)) + "  " + qs(formatDouble("%.0f%%", m.fraction * 100)), 10,
                            false, roleColor(ColorRole::label), pal, true)}));
      }
    }
    l->addWidget(mix);
  }

  // Context
  auto* context = strip("Context", pal);
  auto* grid = new QWidget;
  auto* g = new QGridLayout(grid);
  g->setContentsMargins(0, 0, 0, 0);
  g->setHorizontalSpacing(10);
  const auto reuse = displayedReuse(s);
  const std::pair<const char*, std::string> cells[] = {
      {"Fresh input", shortTokens(s.contextInput)},
      {"Output", shortTokens(s.contextOutput)},
      {"Cache read", shortTokens(s.contextCacheRead)},
      {"Cache write", shortTokens(s.contextCacheWrite)},
      {"Reuse", reuse ? formatDouble("%.1f%%", *reuse) : "—"}};
  int column = 0;
  for (const auto& [title, value] : cells) {
    g->addWidget(secondary(title, 8.5, pal), 0, column);
    g->addWidget(label(qs(value), 10, true, roleColor(ColorRole::label), pal, true), 1, column);
    ++column;
  }
  add(context, grid);
  l->addWidget(context);

  // Savings
  auto* savings = strip("Token savings", pal);
  const char* badge = s.savingsSnapshot.enabled ? "RTK ON" : s.savingsSnapshot.installed ? "READY" : "10% PLAN";
  add(savings, row({label(qs(savingsValueLabel(s.savingsProjection)), 13, true, kAccent, pal, true),
                    label(badge, 8.5, true, roleColor(ColorRole::secondaryLabel), pal, true)}));
  add(savings, secondary(qs(savingsSummary(s.savingsProjection, s.savingsSnapshot)), 10, pal, true));
  if (s.savingsStatus) {
    add(savings, secondary(qs(*s.savingsStatus), 10, pal, true));
  }
  l->addWidget(savings);

  // Provider quotas
  auto* quotas = new QWidget;
  auto* q = new QHBoxLayout(quotas);
  q->setContentsMargins(0, 0, 0, 0);
  for (const auto& snapshot : s.providerQuotas) {
    const auto text = quotaTileText(snapshot);
    auto* tile = new QWidget;
    auto* t = new QVBoxLayout(tile);
    t->setContentsMargins(0, 0, 0, 0);
    t->setSpacing(2);
    t->addWidget(row({label(qs(text.provider), 10, true, roleColor(ColorRole::label), pal),
                      label(qs(text.statusWord), 8.5, false,
                            text.statusAccent ? kAccent : roleColor(ColorRole::secondaryLabel), pal, true)}));
    if (text.bodyLine) {
      t->addWidget(secondary(qs(*text.bodyLine), 9.5, pal));
    } else {
      for (const auto& window : snapshot.windows) {
        auto* line = row({secondary(qs(window.label), 9.5, pal),
                          label(qs(formatDouble("%.0f%%", window.usedPercent)), 9.5, true,
                                roleColor(ColorRole::label), pal, true),
                          secondary(qs(quotaResetText(window.resetsAt, now)), 9.5, pal)});
        line->setAccessibleName(qs(quotaWindowAccessibility(window, now)));
        t->addWidget(line);
      }
    }
    q->addWidget(tile);
  }
  l->addWidget(quotas);

  // Live sources
  QString sources = "Watching local usage";
  if (!s.activeSources.empty()) {
    QStringList names;
    for (const auto& source : s.activeSources) {
      names << qs(displayName(source));
    }
    sources += " · " + names.join(", ");
  }
  QString oracle = qs(std::to_string(s.appCount)) + " apps indexed";
  if (s.oracleError) {
    oracle += " · Retrying verification";
  } else if (s.oracleSequence) {
    oracle += " · Signed #" + qs(std::to_string(*s.oracleSequence));
  }
  l->addWidget(secondary(sources, 9.5, pal, true));
  l->addWidget(secondary(oracle, 9.5, pal));
  return body;
}

}  // namespace quorvin::ui
