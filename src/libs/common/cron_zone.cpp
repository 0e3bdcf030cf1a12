// CronSchedule in a time zone: loading zones and searching across their changes of offset.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#include "internal/cron_search.h"
#include "internal/fork_guard.h"
#include "internal/text_scan.h"
#include "xcommon/cron_schedule.h"
#include <cctz/civil_time.h>
#include <cctz/time_zone.h>

using XInternal::CivilTime;

// Time zones: loaded once per name with cctz from the system's database and kept for the life
// of the process; a search reads offsets and transitions through the handle, with no lock and
// no allocation.
namespace XInternal {

struct CronZone {
  cctz::time_zone zone;
};

}  // namespace XInternal

namespace {

using Instant = cctz::time_point<cctz::seconds>;

Instant instant(std::int64_t seconds) { return Instant(cctz::seconds(seconds)); }

std::int64_t wallSeconds(const cctz::civil_second& c) {
  return XInternal::secondsSinceEpoch(
      {c.year(), c.month(), c.day(), c.hour(), c.minute(), c.second()});
}

std::int64_t offsetAt(const cctz::time_zone& zone, std::int64_t seconds) {
  return zone.lookup(instant(seconds)).offset;
}

using Stretch = XInternal::CronStretch;

// The stretch that holds `seconds`; its start only when `withStart`.
Stretch stretchAt(const cctz::time_zone& zone, std::int64_t seconds, bool withStart) {
  Stretch s{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
            offsetAt(zone, seconds), 0};
  s.before = s.offset;
  cctz::time_zone::civil_transition change;
  if (zone.next_transition(instant(seconds), &change)) s.end = wallSeconds(change.from) - s.offset;
  if (withStart && zone.prev_transition(instant(seconds + 1), &change)) {
    s.start = wallSeconds(change.to) - s.offset;
    s.before = wallSeconds(change.from) - s.start;
  }
  return s;
}

Stretch following(const cctz::time_zone& zone, const Stretch& s) {
  Stretch next = stretchAt(zone, s.end, false);
  next.start = s.end;
  next.before = s.offset;
  return next;
}

// The remembered stretch that holds `seconds`, or an empty one.
Stretch remembered(const Stretch (&stretches)[2], std::int64_t seconds) {
  for (const Stretch& s : stretches) {
    if (s.start <= seconds && seconds < s.end) return s;
  }
  return {};
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

// A zone file of the database that cctz reads (TZDIR, else /usr/share/zoneinfo).
bool isZoneFile(const std::string& name) {
  const char* dir = std::getenv("TZDIR");
  const std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + name;
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
  const cctz::time_zone& zone = m_zone->zone;
  const std::int64_t from = start + 1;
  Stretch s = remembered(m_stretches, from);
  if (s.end == s.start) {
    s = stretchAt(zone, from, true);
    m_stretches[0] = s;
  }
  // The local year of the start, exactly only near a year's end, where it matters.
  CivilTime local = XInternal::civilFromSeconds(start + s.offset);
  if ((local.month == 12 && local.day == 31) || (local.month == 1 && local.day == 1))
    local = XInternal::civilFromSeconds(start + offsetAt(zone, start));
  const int year = XInternal::searchYear(XInternal::CronSearch(*this, 0), local);
  for (std::int64_t at = from;;) {
    std::int64_t wall = at + s.offset;
    // Fixed-time: local times skipped just before this stretch fire at its start; those it
    // repeats fired in the stretch before.
    const bool afterGap = m_fixed_time && at == s.start && s.before < s.offset;
    if (afterGap) wall = s.start + s.before;
    if (m_fixed_time && s.before > s.offset) wall = std::max(wall, s.start + s.before);
    CivilTime t = XInternal::civilFromSeconds(wall);
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
    const Stretch known = remembered(m_stretches, at);
    s = known.end != known.start ? known : following(zone, s);
  }
  m_stretches[1] = s;
  return true;
}

// The start as the search saw it: in the schedule's local time.
std::string CronSchedule::startText() const {
  if (m_zone == nullptr) return Calendar(m_start_time).to_string();
  const std::int64_t local = m_start_time.seconds + offsetAt(m_zone->zone, m_start_time.seconds);
  CronSchedule::Calendar at(XTime::Timestamp{});
  XInternal::storeInto(at.time, XInternal::civilFromSeconds(local));
  return at.to_string();
}
