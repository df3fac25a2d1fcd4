#pragma once

#include <QImage>
#include <QString>

namespace quorvin::testing {

// Compares a render with a golden PNG under tests/data/golden. Both are converted to
// ARGB32 first. A pixel may differ by a few levels anywhere (rounding); a larger difference
// is tolerated only on anti-aliased edges of the golden (pixels whose 3x3 neighbourhood
// already changes sharply), and only on a small share of them. With QUORVIN_UPDATE_GOLDEN=1
// the golden is (re)written instead. On failure the render is saved next to the test binary
// as <name>.actual.png.
struct ImageMatch {
  bool ok = false;
  QString message;
};
ImageMatch matchGolden(const QImage& actual, const QString& name);

}  // namespace quorvin::testing
