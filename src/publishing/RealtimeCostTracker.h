#pragma once

#include <map>
#include <optional>
#include <string>

namespace quorvin {

// Projects the all-time cost between two reconciliations: the last ledger cost plus the
// live per-source growth since then. The live figures restart from zero whenever the
// watcher restarts or a log rolls over; such resets are detected and never lower the
// projection. A plain value, used on the model thread only.
class RealtimeCostTracker {
 public:
  // Feeds the live per-source costs and the displayed ledger cost; returns the projection.
  double ingest(const std::map<std::string, double>& costs, double ledgerTotal);
  // After a reconciliation: the reconciled cost becomes the base and counting restarts
  // from the latest figures.
  void rebase(double reconciledCost);

  // Sum of every positive per-source increment seen since creation.
  double streamTotal() const { return streamTotal_; }
  std::optional<double> ledgerBase() const { return ledgerBase_; }
  const std::map<std::string, double>& baselines() const { return baselines_; }

 private:
  std::map<std::string, double> baselines_;
  std::map<std::string, double> latest_;
  std::map<std::string, double> previous_;
  std::optional<double> ledgerBase_;
  double streamTotal_ = 0;
};

}  // namespace quorvin
