#pragma once

// What the oracle reads from a file's attributes (private to the oracle's sources).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <optional>
#include <string>

#include "usage/LiveUsageOracle.h"

namespace quorvin {

struct LiveUsageOracle::Facts {
  bool regular = false;
  uint64_t size = 0;
  std::optional<FileIdentity> identity;
  bool timesRead = false;  // whether `modified` and `created` were asked for
  std::optional<WallTime> modified;
  std::optional<WallTime> created;  // not every file system records it

  // withTimes: also the modification and creation times (one statx call); otherwise a
  // plain stat, the cheapest call for the per-snapshot poll.
  static std::optional<Facts> read(const std::string& path, bool withTimes) noexcept {
    Facts facts;
    if (!withTimes) {
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) return std::nullopt;
      facts.regular = S_ISREG(st.st_mode);
      facts.size = static_cast<uint64_t>(st.st_size);
      facts.identity = fileIdentityOf(st);
      return facts;
    }
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      return std::nullopt;
    }
    facts.regular = S_ISREG(sx.stx_mode);
    facts.size = sx.stx_size;
    if (sx.stx_mask & STATX_INO) {
      // Encoded like stat's st_dev, so identities from both calls compare equal.
      facts.identity = FileIdentity{uint64_t(makedev(sx.stx_dev_major, sx.stx_dev_minor)), sx.stx_ino};
    }
    facts.timesRead = true;
    if (sx.stx_mask & STATX_MTIME) facts.modified = wallTime(sx.stx_mtime);
    if (sx.stx_mask & STATX_BTIME) facts.created = wallTime(sx.stx_btime);
    return facts;
  }

  static WallTime wallTime(const struct statx_timestamp& t) noexcept {
    using namespace std::chrono;
    return WallTime(duration_cast<WallTime::duration>(seconds(t.tv_sec) + nanoseconds(t.tv_nsec)));
  }
};

}  // namespace quorvin
