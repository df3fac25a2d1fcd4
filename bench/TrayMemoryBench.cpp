// Runs the tray front end for a while with one state change a second and reports resident
// memory growth and CPU use. Needs an X display with a tray host:
//   tests/support/with-xvfb-tray build/bench/tray_memory_bench --seconds 600
// The baseline is the same tray, shown and idle, measured first in the same run.
#include <QApplication>
#include <QPixmapCache>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "support/RecordingCommands.h"
#include "support/SampleStates.h"
#include "ui/TrayApplication.h"
#include "ui/TrayController.h"

namespace {

double residentMiB() {
  long pages = 0;
  long resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
      resident = 0;
    }
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Bytes the heap hands out right now: growth here is a leak, growth only in resident memory is
// the allocator keeping freed pages.
double heapInUseMiB() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// Least-squares slope per minute of samples taken once a second.
double slopePerMinute(const std::vector<double>& perSecond) {
  const auto n = static_cast<double>(perSecond.size());
  if (n < 2) {
    return 0;
  }
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < perSecond.size(); ++i) {
    const auto x = static_cast<double>(i);
    sx += x;
    sy += perSecond[i];
    sxx += x * x;
    sxy += x * perSecond[i];
  }
  return (n * sxy - sx * sy) / (n * sxx - sx * sx) * 60;
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The state the model thread would publish at tick `i`: totals, rate and candles move.
quorvin::presentation::PresentationState stateAt(int i) {
  auto s = quorvin::testing::connectedSample();
  s.tokens += i * 3'517;
  s.cost += i * 0.37;
  s.tokensPerMinuteNow = 20'000 + (i % 60) * 9'000;
  s.publicCandles = quorvin::testing::sampleCandles(36, i * 0.1);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600;
  int baselineSeconds = 30;
  bool popup = false;
  int pixmapCacheKiB = -1;
  bool trimEachSecond = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::stoi(argv[++i]);
    } else if (arg == "--baseline-seconds" && i + 1 < argc) {
      baselineSeconds = std::stoi(argv[++i]);
    } else if (arg == "--pixmap-cache-kb" && i + 1 < argc) {
      pixmapCacheKiB = std::stoi(argv[++i]);  // overrides the tray's 256 KiB pixmap cache bound
    } else if (arg == "--trim-each-second") {
      trimEachSecond = true;  // experiment: hand freed heap back at once, to tell fragmentation from a leak
    } else if (arg == "--popup") {
      popup = true;  // keep the dashboard open, so it is rebuilt on every change too
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--baseline-seconds N] [--pixmap-cache-kb N] [--trim-each-second] [--popup]\n", argv[0]);
      return 2;
    }
  }
  QApplication app(argc, argv);
  quorvin::ui::applyTrayApplicationSettings();  // as runTrayApplication does
  if (pixmapCacheKiB >= 0) {
    QPixmapCache::setCacheLimit(pixmapCacheKiB);
  }
  quorvin::presentation::StateFeed feed;
  feed.publish(stateAt(0));
  quorvin::testing::RecordingCommands commands;
  quorvin::testing::SampleClock clock;
  quorvin::ui::TrayController tray(feed, commands, clock);
  if (popup) {
    QTimer::singleShot(500, [&] { tray.openPreferredStatusItem(); });
  }

  std::atomic<bool> publishing{false};
  std::atomic<bool> stop{false};
  std::thread model([&] {
    int tick = 1;
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      if (publishing) {
        feed.publish(stateAt(tick++));
        commands.calls.clear();  // the recorder is not what we measure
      }
    }
  });

  double phaseCpu = 0;
  double phaseWall = 0;
  double baselineCpuShare = 0;
  double rssStart = 0;
  double rssMax = 0;
  const auto beginPhase = [&] {
    phaseCpu = cpuSeconds();
    phaseWall = wallSeconds();
  };
  const auto phaseShare = [&] { return (cpuSeconds() - phaseCpu) / std::max(wallSeconds() - phaseWall, 1e-9); };

  // Resident memory at each tenth of the run, to tell a bounded cache from a leak.
  std::vector<double> trajectory;
  std::vector<double> heapTrajectory;
  std::vector<double> rssAfterWarmUp;  // one a second, from the third minute on
  std::vector<double> heapAfterWarmUp;
  int samples = 0;
  double heapStart = 0;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    if (trimEachSecond) {
      malloc_trim(0);
    }
    const double rss = residentMiB();
    const double heap = heapInUseMiB();
    if (samples >= 120 || seconds < 240) {
      rssAfterWarmUp.push_back(rss);
      heapAfterWarmUp.push_back(heap);
    }
    rssMax = std::max(rssMax, rss);
    if (++samples % std::max(seconds / 10, 1) == 0) {
      trajectory.push_back(rss);
      heapTrajectory.push_back(heap);
    }
  });

  // Warm-up (fonts, icon caches, the first popup), then the idle baseline, then the run.
  QTimer::singleShot(5'000, [&] {
    beginPhase();
    QTimer::singleShot(baselineSeconds * 1000, [&] {
      baselineCpuShare = phaseShare();
      rssStart = residentMiB();
      heapStart = heapInUseMiB();
      rssMax = rssStart;
      sampler.start(1000);
      publishing = true;
      beginPhase();
      QTimer::singleShot(seconds * 1000, [&] {
        const double share = phaseShare();
        const double rssEnd = residentMiB();
        std::printf("tray_tray_available: %s\n", QSystemTrayIcon::isSystemTrayAvailable() ? "yes" : "no");
        std::printf("tray_run_seconds: %d s\n", seconds);
        std::printf("tray_redraws: %d\n", tray.redrawCount());
        std::printf("tray_rss_start: %.2f MiB\n", rssStart);
        std::printf("tray_rss_end: %.2f MiB\n", rssEnd);
        std::printf("tray_rss_max: %.2f MiB\n", rssMax);
        std::printf("tray_rss_growth: %.2f MiB\n", rssEnd - rssStart);
        std::printf("tray_rss_trajectory:");
        for (double rss : trajectory) {
          std::printf(" %.2f", rss);
        }
        std::printf(" MiB\n");
        std::printf("tray_rss_slope_after_warm_up: %.4f MiB/min\n", slopePerMinute(rssAfterWarmUp));
        std::printf("tray_heap_start: %.2f MiB\n", heapStart);
        std::printf("tray_heap_end: %.2f MiB\n", heapInUseMiB());
        std::printf("tray_heap_trajectory:");
        for (double heap : heapTrajectory) {
          std::printf(" %.2f", heap);
        }
        std::printf(" MiB\n");
        std::printf("tray_heap_slope_after_warm_up: %.4f MiB/min\n", slopePerMinute(heapAfterWarmUp));
        std::printf("tray_cpu_baseline: %.3f %% of a core\n", baselineCpuShare * 100);
        std::printf("tray_cpu_changing: %.3f %% of a core\n", share * 100);
        std::printf("tray_cpu_ratio_vs_idle: %.2f x\n", baselineCpuShare > 0 ? share / baselineCpuShare : 0.0);
        QCoreApplication::quit();
      });
    });
  });
  const int status = QApplication::exec();
  stop = true;
  model.join();
  return status;
}
