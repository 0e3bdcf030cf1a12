// CronSchedule in a time zone: loading zones and searching across their changes of offset.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "internal/cron_search.h"
#include "internal/fork_guard.h"
#include "internal/text_scan.h"
#include "xcommon/cron_schedule.h"
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

using XInternal::CivilTime;

// Time zones: loaded once per name with cctz from the system's database and kept for the life
// of the process, with a table of their changes of offset that the searches read, with no lock
// and no allocation.
namespace XInternal {

struct CronZone {
  cctz::time_zone zone;
  // The changes of offset up to TABLE_END and the first after it: stretch i runs from starts[i]
  // to starts[i + 1] with offsets[i]; starts begins with INT64_MIN and ends with INT64_MAX.
  std::vector<std::int64_t> starts;
  std::vector<std::int32_t> offsets;
  // The stretch that holds BUCKETS_FROM + (k << BUCKET_BITS), for k up to TABLE_END: from there a
  // look-up steps over a change or two at most, instead of a bisection's ten mispredictions.
  std::vector<std::uint32_t> buckets;
  // The table answers for the seconds before this; cctz for the rest (INT64_MAX when the zone
  // changes no more).
  std::int64_t tableEnd = std::numeric_limits<std::int64_t>::max();
};

}  // namespace XInternal

namespace {

using Instant = cctz::time_point<cctz::seconds>;
using Stretch = XInternal::CronStretch;

// 2400-01-01: the table holds some thousand changes for a zone with summer time.
constexpr std::int64_t TABLE_END = XInternal::daysFromCivil(2400, 1, 1) * 86400;
// Before every change of the database: the table starts its walk here.
constexpr std::int64_t TABLE_START = -(std::int64_t{1} << 57);
// Buckets of 97 days from 1900 on, a few thousand bytes a zone.
constexpr std::int64_t BUCKETS_FROM = XInternal::daysFromCivil(1900, 1, 1) * 86400;
constexpr int BUCKET_BITS = 23;

Instant instant(std::int64_t seconds) { return Instant(cctz::seconds(seconds)); }

std::int64_t wallSeconds(const cctz::civil_second& c) {
  return XInternal::secondsSinceEpoch(
      {c.year(), c.month(), c.day(), c.hour(), c.minute(), c.second()});
}

std::int64_t offsetAt(const cctz::time_zone& zone, std::int64_t seconds) {
  return zone.lookup(instant(seconds)).offset;
}

// Fills the zone's table from cctz, leaving out changes of abbreviation or of summer time alone.
void buildTable(XInternal::CronZone& z) {
  std::int64_t at = TABLE_START, offset = offsetAt(z.zone, at);
  z.starts.push_back(std::numeric_limits<std::int64_t>::min());
  z.offsets.push_back(static_cast<std::int32_t>(offset));
  cctz::time_zone::civil_transition change;
  while (z.zone.next_transition(instant(at), &change)) {
    at = wallSeconds(change.from) - offset;
    const std::int64_t after = offsetAt(z.zone, at);
    if (after != offset) {
      z.starts.push_back(at);
      z.offsets.push_back(static_cast<std::int32_t>(after));
      offset = after;
    }
    if (at >= TABLE_END) {  // the last stretch of the table ends here, a change or not
      if (z.starts.back() != at) {
        z.starts.push_back(at);
        z.offsets.push_back(static_cast<std::int32_t>(offset));
      }
      z.tableEnd = at;
      break;
    }
  }
  z.starts.push_back(std::numeric_limits<std::int64_t>::max());
  std::size_t i = 0;
  for (std::int64_t b = BUCKETS_FROM; b < TABLE_END; b += std::int64_t{1} << BUCKET_BITS) {
    while (z.starts[i + 1] <= b) ++i;
    z.buckets.push_back(static_cast<std::uint32_t>(i));
  }
}

// The stretch that holds `seconds`, from cctz: past the table's end.
Stretch stretchFromZone(const cctz::time_zone& zone, std::int64_t seconds) {
  Stretch s{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
            offsetAt(zone, seconds), 0};
  s.before = s.offset;
  cctz::time_zone::civil_transition change;
  if (zone.next_transition(instant(seconds), &change)) s.end = wallSeconds(change.from) - s.offset;
  if (zone.prev_transition(instant(seconds + 1), &change)) {
    s.start = wallSeconds(change.to) - s.offset;
    s.before = wallSeconds(change.from) - s.start;
  }
  return s;
}

// The stretch that holds `seconds`.
Stretch stretchOf(const XInternal::CronZone& z, std::int64_t seconds) {
  if (seconds >= z.tableEnd) return stretchFromZone(z.zone, seconds);
  std::size_t i = 0;
  if (seconds >= BUCKETS_FROM && seconds < TABLE_END) {
    i = z.buckets[static_cast<std::size_t>((seconds - BUCKETS_FROM) >> BUCKET_BITS)];
    i += z.starts[i + 1] <= seconds ? 1u : 0u;  // a bucket mostly holds one change: no branch
    while (z.starts[i + 1] <= seconds) ++i;
  } else {
    i = static_cast<std::size_t>(std::upper_bound(z.starts.begin(), z.starts.end(), seconds) -
                                 z.starts.begin()) -
        1;
  }
  return {z.starts[i], z.starts[i + 1], z.offsets[i], z.offsets[i > 0 ? i - 1 : 0]};
}

// The remembered stretch that holds `seconds`, or an empty one.
Stretch remembered(const Stretch (&stretches)[2], std::int64_t seconds) {
  for (const Stretch& s : stretches) {
    if (s.start <= seconds && seconds < s.end) return s;
  }
  return {};
}

// The stretch that holds `seconds`, remembered or else the table's; one where a search starts
// is remembered in `first` when it was not.
Stretch stretchAt(const XInternal::CronZone& z, Stretch (&stretches)[2], std::int64_t seconds,
                  bool first) {
  const Stretch known = remembered(stretches, seconds);
  if (known.end != known.start) return known;
  const Stretch s = stretchOf(z, seconds);
  if (first) stretches[0] = s;
  return s;
}

// Whether a local time is so near a year's end that its year needs the offset of its own second.
bool nearYearEnd(const CivilTime& local) {
  return (local.month == 12 && local.day == 31) || (local.month == 1 && local.day == 1);
}

std::mutex& zoneMutex() {
  static std::mutex* const mutex = [] {
    auto* made = new std::mutex();  // never destroyed, like the zones
    XInternal::guardFork(*made);
    return made;
  }();
  return *mutex;
}

// Components of letters, digits and "_-+", joined by single slashes: no "..", no absolute path.
bool wellFormedZoneName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '/' || name.back() == '/') return false;
  std::size_t component = 0;
  for (const char c : name) {
    if (c == '/') {
      if (component == 0) return false;
      component = 0;
    } else if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' ||
               c == '+') {
      ++component;
    } else {
      return false;
    }
  }
  return true;
}

// A zone file of the database that cctz reads.
bool isZoneFile(const std::string& name) {
  const std::string path = CronSchedule::time_zone_directory() + "/" + name;
  struct stat st = {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The loaded zone of `name`, or null. Loads run under the fork guard: a child forked meanwhile
// never inherits cctz's own lock held.
const XInternal::CronZone* loadZone(const std::string& name) {
  static auto* const loaded = new std::map<std::string, const XInternal::CronZone*, std::less<>>();
  const std::lock_guard<std::mutex> lock(zoneMutex());
  const auto it = loaded->find(name);
  if (it != loaded->end()) return it->second;
  if (!wellFormedZoneName(name) || !isZoneFile(name)) return nullptr;
  auto zone = std::make_unique<XInternal::CronZone>();
  if (!cctz::load_time_zone(name, &zone->zone)) return nullptr;
  buildTable(*zone);
  return loaded->emplace(name, zone.release()).first->second;
}

}  // namespace

bool CronSchedule::set_time_zone(const std::string& name) {
  if (name.empty() || name == "UTC") {
    m_zone = nullptr;
    m_time_zone = name;
    return true;
  }
  const XInternal::CronZone* zone = loadZone(name);
  if (zone == nullptr) return fail(fmt::format("unknown time zone '{}'", XInternal::shown(name)));
  m_time_zone = name;
  m_zone = zone;
  m_stretches[0] = m_stretches[1] = {};  // of another zone
  return true;
}

// The search walks the stretches of one offset in order from the start, applying the rules for
// skipped and repeated local times at their edges; the first stretch is mostly one remembered
// from the search before.
bool CronSchedule::nextInZone(std::int64_t start, std::int64_t& result) {
  const std::int64_t from = start + 1;
  Stretch s = stretchAt(*m_zone, m_stretches, from, true);
  // The start's local time read with the offset of the second after it (exactly only near a
  // year's end, where the years limit needs it), and that second's, which run() carries.
  CivilTime local = XInternal::civilFromSeconds(start + s.offset), first = local;
  ++first.second;
  if (nearYearEnd(local))
    local = XInternal::civilFromSeconds(start + stretchOf(*m_zone, start).offset);
  const int year = XInternal::searchYear(XInternal::CronSets(*this), local);
  for (std::int64_t at = from;;) {
    std::int64_t wall = at + s.offset;
    // Fixed-time: local times skipped just before this stretch fire at its start; those it
    // repeats fired in the stretch before.
    const bool afterGap = m_fixed_time && at == s.start && s.before < s.offset;
    if (afterGap) wall = s.start + s.before;
    if (m_fixed_time && s.before > s.offset) wall = std::max(wall, s.start + s.before);
    CivilTime t = at == from && wall == from + s.offset ? first : XInternal::civilFromSeconds(wall);
    m_recursions = 0;
    if (!XInternal::CronSearch(*this, year).run(t)) return false;
    wall = XInternal::secondsSinceEpoch(t);
    if (afterGap && wall < s.start + s.offset) {
      result = s.start;
      break;
    }
    if (wall - s.offset < s.end) {
      result = wall - s.offset;
      break;
    }
    at = s.end;
    s = stretchAt(*m_zone, m_stretches, at, false);
  }
  m_stretches[1] = s;
  return true;
}

// The same backwards from the end, by the same rules: in a stretch a fixed-time schedule fires
// neither at the local times that repeat the stretch before nor in a gap, but a match in the
// gap just before the stretch fires at its start.
bool CronSchedule::prevInZone(std::int64_t end, std::int64_t& result) {
  constexpr std::int64_t FIRST = std::numeric_limits<std::int64_t>::min();
  std::int64_t last = end - 1;
  Stretch s = stretchAt(*m_zone, m_stretches, last, true);
  // The end's local year, as next() reads a start's, and the second before the end, which
  // runBack() borrows.
  CivilTime local = XInternal::civilFromSeconds(end + s.offset), first = local;
  --first.second;
  if (nearYearEnd(local)) local = XInternal::civilFromSeconds(end + stretchOf(*m_zone, end).offset);
  const int year = static_cast<int>(local.year - 1900);
  for (;;) {
    const std::int64_t low =
        s.start == FIRST ? FIRST
                         : s.start + (m_fixed_time ? std::max(s.before, s.offset) : s.offset);
    const std::int64_t wall = last + s.offset;
    if (wall >= low) {
      CivilTime t = last == end - 1 ? first : XInternal::civilFromSeconds(wall);
      m_recursions = 0;
      if (!XInternal::CronSearch(*this, year).runBack(t)) return false;
      const std::int64_t match = XInternal::secondsSinceEpoch(t);
      if (match >= low) {
        result = match - s.offset;
        break;
      }
      if (m_fixed_time && s.before < s.offset && match >= s.start + s.before) {
        result = s.start;
        break;
      }
    }
    last = s.start - 1;
    s = stretchAt(*m_zone, m_stretches, last, false);
  }
  m_stretches[1] = s;
  return true;
}

// cctz's own choice of folder, kept in step with it.
std::string CronSchedule::time_zone_directory() {
  const char* dir = std::getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

// The start as the search saw it: in the schedule's local time.
std::string CronSchedule::startText() const {
  if (m_zone == nullptr) return Calendar(m_start_time).to_string();
  const std::int64_t seconds = m_start_time.seconds;
  return XInternal::civilText(
      XInternal::civilFromSeconds(seconds + stretchOf(*m_zone, seconds).offset));
}
