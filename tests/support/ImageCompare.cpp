#include "support/ImageCompare.h"

#include <QDir>
#include <algorithm>
#include <cstdlib>

namespace quorvin::testing {

namespace {

constexpr int kRoundingLevels = 3;
constexpr int kEdgeContrast = 48;
constexpr double kEdgeShare = 0.02;

int channelDistance(QRgb a, QRgb b) {
  return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b)),
                   std::abs(qAlpha(a) - qAlpha(b))});
}

bool isEdge(const QImage& image, int x, int y) {
  const QRgb centre = image.pixel(x, y);
  for (int dy = -1; dy <= 1; ++dy) {
    for (int dx = -1; dx <= 1; ++dx) {
      const int nx = x + dx;
      const int ny = y + dy;
      if (nx >= 0 && ny >= 0 && nx < image.width() && ny < image.height() &&
          channelDistance(centre, image.pixel(nx, ny)) >= kEdgeContrast) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

ImageMatch matchGolden(const QImage& rendered, const QString& name) {
  const QString dir = QStringLiteral(QUORVIN_TEST_DATA) + "/golden";
  const QString path = dir + "/" + name + ".png";
  const QImage actual = rendered.convertToFormat(QImage::Format_ARGB32);
  if (qEnvironmentVariableIntValue("QUORVIN_UPDATE_GOLDEN") == 1) {
    QDir().mkpath(dir);
    return {actual.save(path), "golden written: " + path};
  }
  const QImage golden = QImage(path).convertToFormat(QImage::Format_ARGB32);
  const auto fail = [&](const QString& why) {
    actual.save(QStringLiteral(QUORVIN_BINARY_DIR) + "/" + name + ".actual.png");
    return ImageMatch{false, name + ": " + why};
  };
  if (golden.isNull()) {
    return fail("no golden at " + path);
  }
  if (golden.size() != actual.size()) {
    return fail(QString("size %1x%2, golden %3x%4")
                    .arg(actual.width())
                    .arg(actual.height())
                    .arg(golden.width())
                    .arg(golden.height()));
  }
  int edgeDifferences = 0;
  for (int y = 0; y < golden.height(); ++y) {
    for (int x = 0; x < golden.width(); ++x) {
      if (channelDistance(golden.pixel(x, y), actual.pixel(x, y)) <= kRoundingLevels) {
        continue;
      }
      if (!isEdge(golden, x, y)) {
        return fail(QString("pixel %1,%2 differs away from any edge").arg(x).arg(y));
      }
      ++edgeDifferences;
    }
  }
  const double limit = kEdgeShare * golden.width() * golden.height();
  if (edgeDifferences > limit) {
    return fail(QString("%1 edge pixels differ (at most %2)").arg(edgeDifferences).arg(limit));
  }
  return {true, {}};
}

}  // namespace quorvin::testing
