#pragma once

// What the oracle reads from a file's attributes (private to the oracle's sources).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <optional>
#include <string>

#include "usage/LiveUsageOracle.h"

namespace quorvin {

struct LiveUsageOracle::Facts {
  bool regular = false;  // a regular file itself, not a link to one
  uint64_t size = 0;
  std::optional<FileIdentity> identity;
  std::optional<WallTime> modified;
  std::optional<WallTime> created;  // not every file system records it
  std::optional<WallTime> changed;  // status change

  // One statx call, never following a symbolic link: a link beside a log would count it
  // twice, and a link could pull in a file from outside the log folders. birthTimes
  // false ignores the birth time, as on file systems that record none.
  static std::optional<Facts> read(const std::string& path, bool birthTimes) noexcept {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
                STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      return std::nullopt;
    }
    return of(sx, birthTimes);
  }

  // The same for an open descriptor.
  static std::optional<Facts> read(int fd, bool birthTimes) noexcept {
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      return std::nullopt;
    }
    return of(sx, birthTimes);
  }

  // Whether the last failed read found nothing at the path (rather than, say, a folder it
  // may not search for now).
  static bool lastReadFoundNothing() noexcept { return errno == ENOENT || errno == ENOTDIR; }

  static Facts of(const struct statx& sx, bool birthTimes) noexcept {
    Facts facts;
    facts.regular = S_ISREG(sx.stx_mode);
    facts.size = sx.stx_size;
    if (sx.stx_mask & STATX_INO) {
      // Encoded like stat's st_dev.
      FileIdentity identity{uint64_t(makedev(sx.stx_dev_major, sx.stx_dev_minor)), sx.stx_ino, std::nullopt};
      if (birthTimes && (sx.stx_mask & STATX_BTIME)) {
        identity.born = FileTime{int64_t(sx.stx_btime.tv_sec), int64_t(sx.stx_btime.tv_nsec)};
      }
      facts.identity = identity;
    }
    if (sx.stx_mask & STATX_MTIME) facts.modified = wallTime(sx.stx_mtime);
    if (birthTimes && (sx.stx_mask & STATX_BTIME)) facts.created = wallTime(sx.stx_btime);
    if (sx.stx_mask & STATX_CTIME) facts.changed = wallTime(sx.stx_ctime);
    return facts;
  }

  static WallTime wallTime(const struct statx_timestamp& t) noexcept {
    using namespace std::chrono;
    return WallTime(duration_cast<WallTime::duration>(seconds(t.tv_sec) + nanoseconds(t.tv_nsec)));
  }
};

}  // namespace quorvin
