// A pre-fork worker host under load and faults: a master that logs, rotates its log, hands jobs
// to forked workers of several threads through shared memory and a robust shared lock, kills
// workers with SIGKILL at random instants (now and then a third of the pool at once) and
// replaces them, while every worker takes a sampling profiler's SIGPROF each millisecond of its
// CPU time; it checks at the end that no job, line or process was lost, torn or hung.
//
//   soak [--seconds S] [--workers W] [--threads T] [--dir DIR]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include <xcommon/xcommon.h>
#include <xjson/xjson.h>
#include <xmsg/xmsg.h>

namespace {

using Clock = std::chrono::steady_clock;
using xavro::protobuf::Monitor::Event;

constexpr int MAX_WORKERS = 16;
constexpr int MAX_THREADS = 16;
constexpr std::size_t RING = 256;       // jobs waiting in shared memory
constexpr std::size_t JOB_TEXT = 1024;  // room for one job's JSON text
constexpr auto HANG_LIMIT = std::chrono::seconds(10);

struct Options {
  int seconds = 60;
  int workers = 4;
  int threads = 4;
  std::string dir;
};

struct Job {
  std::uint64_t id;
  std::uint32_t size;
  char text[JOB_TEXT];
};

// One worker's place: the worker beats and names its jobs in flight.
struct Slot {
  std::atomic<std::uint64_t> heartbeat;
  std::atomic<std::uint64_t> inFlight[MAX_THREADS];
};

// Shared with every worker; the ring and the records of jobs in flight change only under the
// shared write lock. A job is at the ring's head or recorded in flight, never both: a writer
// killed between recording a job and moving the head breaks that, and leaves the lock
// inconsistent until the next writer repairs it.
struct Shared {
  std::atomic<std::uint64_t> head;
  std::atomic<std::uint64_t> tail;
  Job ring[RING];
  Slot slots[MAX_WORKERS];
  std::atomic<bool> quit;
  std::atomic<std::uint64_t> repairs;
};

// A record of the job at the ring's head was made by a writer killed before it moved the head:
// the job was not taken, so the record goes.
void repair(Shared& shared) {
  const std::uint64_t head = shared.head.load();
  if (head != shared.tail.load()) {
    const std::uint64_t id = shared.ring[head % RING].id;
    for (Slot& slot : shared.slots)
      for (auto& flight : slot.inFlight) {
        std::uint64_t expected = id;
        flight.compare_exchange_strong(expected, 0);
      }
  }
  ++shared.repairs;
}

// The write lock, with the shared state repaired first when a writer died holding it.
bool lockForWrite(XRobustSharedReadWriteLock& lock, Shared& shared) {
  if (!lock.lock_for_write()) return false;
  if (!lock.is_consistent()) {
    repair(shared);
    if (!lock.mark_consistent()) std::abort();  // a writer may always mark
  }
  return true;
}

// What the master expects back for an issued job.
struct Expected {
  std::int64_t next;
  bool tokenOk;
  std::string payload;
};

const char* const CRONS[] = {"*/5 * * * * *",   "0 */15 * * * *", "30 0 12 * * MON-FRI",
                             "0 0 0 1 * *",     "0 0 0 29 2 *",   "15 10 9-17 * * *",
                             "0 0 0 31 12 SUN", "*/7 */3 * * * *"};

// The header "[YYYY-mm-dd HH:MM:SS.mmm pP/tT LEVEL] " at the start of a line.
bool header(std::string_view line) {
  static constexpr std::string_view SHAPE = "[dddd-dd-dd dd:dd:dd.ddd p";
  if (line.size() < SHAPE.size() || line.find("] ") == std::string_view::npos) return false;
  for (std::size_t i = 0; i < SHAPE.size(); ++i)
    if (SHAPE[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) == 0
                        : line[i] != SHAPE[i])
      return false;
  return true;
}

// The location " (file.cpp:N)" at the end of a line.
bool location(std::string_view line) {
  const std::size_t open = line.rfind(" ("), colon = line.rfind(':');
  if (open == std::string_view::npos || colon == std::string_view::npos || colon < open ||
      line.empty() || line.back() != ')')
    return false;
  const std::string_view number = line.substr(colon + 1, line.size() - colon - 2);
  return !number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos;
}

// Counts the entries of a log and the torn ones, fed a piece at a time. An entry is a header
// line, then any lines of a multi-line message (they start with a tab), the last of which ends
// with the location.
class LogChecker {
 public:
  void feed(std::string_view text) {
    m_partial.append(text);
    std::size_t start = 0;
    for (std::size_t nl; (nl = m_partial.find('\n', start)) != std::string::npos; start = nl + 1)
      line(std::string_view(m_partial).substr(start, nl - start));
    m_partial.erase(0, start);
  }
  // Ends the log: an unterminated tail is torn.
  void finish() {
    if (!m_partial.empty()) {
      ++torn;
      line(m_partial);
      m_partial.clear();
    }
    if (m_open && !location(m_last)) ++torn;
    m_open = false;
  }

  std::uint64_t lines = 0, torn = 0;

 private:
  void line(std::string_view text) {
    if (m_open && !text.empty() && text[0] == '\t') {
      m_last = text;
      return;
    }
    if (m_open && !location(m_last)) ++torn;
    ++lines;
    m_open = header(text);
    if (!m_open) ++torn;
    m_last = text;
  }

  std::string m_partial, m_last;
  bool m_open = false;
};

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class Worker {
 public:
  Worker(Shared& shared, XRobustSharedReadWriteLock& lock, int slot, int threads, int events)
      : m_shared(shared),
        m_lock(lock),
        m_slot(shared.slots[slot]),
        m_threads(threads),
        m_events(events) {}

  [[noreturn]] void run() {
    // A sampling profiler's signal, handled, every millisecond of the process's CPU time.
    struct sigaction action = {};
    action.sa_handler = [](int) {};
    action.sa_flags = SA_RESTART;
    sigaction(SIGPROF, &action, nullptr);
    const itimerval every_ms{{0, 1000}, {0, 1000}};
    setitimer(ITIMER_PROF, &every_ms, nullptr);
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(m_threads));
    for (int t = 0; t < m_threads; ++t) threads.emplace_back([this, t] { loop(t); });
    for (auto& th : threads) th.join();
    _exit(0);
  }

 private:
  void loop(int t) {
    for (;;) {
      m_slot.heartbeat.fetch_add(1, std::memory_order_relaxed);
      Job job{};
      if (!take(t, job)) {
        if (m_shared.quit.load() && queueEmpty()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      process(t, job);
    }
  }

  bool queueEmpty() {
    if (!m_lock.lock_for_read()) return true;
    const bool empty = m_shared.head == m_shared.tail;
    if (!m_lock.unlock()) std::abort();
    return empty;
  }

  // The job is recorded in flight before the head moves past it (see repair()).
  bool take(int t, Job& job) {
    if (!lockForWrite(m_lock, m_shared)) {
      XLOG(XLogger::ERROR, "lock: {}", m_lock.error());
      return false;
    }
    const std::uint64_t head = m_shared.head.load();
    const bool some = head != m_shared.tail.load();
    if (some) {
      job = m_shared.ring[head % RING];
      m_slot.inFlight[t].store(job.id);
      m_shared.head.store(head + 1);
    }
    if (!m_lock.unlock()) std::abort();
    if (some) XLOG(XLogger::INFO, "took job {}", job.id);
    return some;
  }

  // The job is worked out under a read hold, as a worker reads shared settings, so that kills
  // often land in one; the event goes out after it, since the master drains the events.
  void process(int t, const Job& job) {
    if (!m_lock.lock_for_read()) std::abort();
    const XJson::Document doc = XJson::Document::fromJson(std::string(job.text, job.size));
    const std::string token = doc.object().value("token").to_string();
    const bool tokenOk = XAccessToken(token.c_str(), token.size()).is_valid();
    XLOG(XLogger::INFO, "job {} token {}", job.id, tokenOk ? "ok" : "rejected");
    CronSchedule schedule(doc.object().value("cron").to_string());
    const auto from = static_cast<std::int64_t>(doc.object().value("from").to_number());
    const XTime::Timestamp next = schedule.next({from, 0});
    XLOG(XLogger::INFO, "job {} next {}", job.id, next.seconds);
    if (!m_lock.unlock()) std::abort();
    Event event;
    event.set_event_type(Event::CustomEvent);
    event.set_rule_name(std::to_string(job.id));
    event.mutable_timestamp()->set_seconds(next.seconds);
    event.mutable_custom()->set_type(tokenOk ? "token ok" : "token rejected");
    event.mutable_custom()->set_text(doc.object().value("payload").to_string());
    const std::string wire = event.SerializeAsString();
    const auto size = static_cast<std::uint32_t>(wire.size());
    std::string frame(reinterpret_cast<const char*>(&size), sizeof size);
    frame += wire;
    if (frame.size() > PIPE_BUF || !writeAll(m_events, frame.data(), frame.size())) std::abort();
    m_slot.inFlight[t].store(0);
    XLOG(XLogger::INFO, "job {} sent {} bytes", job.id, wire.size());
  }

  Shared& m_shared;
  XRobustSharedReadWriteLock& m_lock;
  Slot& m_slot;
  int m_threads;
  int m_events;
};

class Master {
 public:
  explicit Master(const Options& options)
      : m_options(options),
        m_memory(("/xsoak.q." + std::to_string(getpid())).c_str(), sizeof(Shared)),
        m_lock(("/xsoak.l." + std::to_string(getpid())).c_str()),
        m_logPath(options.dir + "/soak.log") {}

  int run();

 private:
  void startLogging();
  void stopLogging();
  void fork(int slot);
  void issue();
  void readEvents(bool drain);
  void onEvent(const std::string& wire);
  void reap();
  void killWorkers();
  void reaped(int slot, int status, Clock::time_point dead = {});
  void rotate();
  void checkHeartbeats();
  void finish();
  void checkFile(const std::string& path);
  long loop();

  const Options& m_options;
  XSharedMem m_memory;
  XRobustSharedReadWriteLock m_lock;
  Shared* m_shared = nullptr;
  std::string m_logPath;
  int m_events[2] = {-1, -1};
  int m_pipe[2] = {-1, -1};  // the StdOutSink's
  FILE* m_pipeOut = nullptr;
  std::thread m_drain;
  std::vector<std::thread> m_loggers;
  std::atomic<bool> m_stopLogging{false};
  LogChecker m_pipeLog;  // the drain thread's until it ends

  pid_t m_pids[MAX_WORKERS] = {};
  Clock::time_point m_beatSeen[MAX_WORKERS];
  std::uint64_t m_beats[MAX_WORKERS] = {};
  std::map<std::uint64_t, Expected> m_outstanding;
  std::uint64_t m_nextId = 1;
  std::string m_eventBuffer;
  std::mt19937_64 m_random{std::random_device{}()};
  int m_rotations = 0;
  LogChecker m_fileLog;
  std::uint64_t m_forks = 0, m_kills = 0, m_done = 0, m_killedInFlight = 0, m_lost = 0, m_hung = 0;
  double m_longestReleaseMs = 0;  // from the death of killed workers to the master's write lock
};

void Master::startLogging() {
  XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(m_logPath), XLogger::INFO);
  if (pipe(m_pipe) != 0) std::abort();
  m_pipeOut = fdopen(m_pipe[1], "w");
  XLogger::instance()->addSink(
      std::make_unique<XLogger::StdOutSink>(m_pipeOut, m_pipeOut, m_pipeOut), XLogger::INFO);
  // Reads the pipe and checks its lines; it never logs, or a full pipe could stall a fork.
  m_drain = std::thread([this] {
    char buf[65536];
    for (ssize_t n; (n = read(m_pipe[0], buf, sizeof buf)) > 0;)
      m_pipeLog.feed({buf, static_cast<std::size_t>(n)});
    m_pipeLog.finish();
  });
  for (int t = 0; t < 2; ++t)
    m_loggers.emplace_back([this, t] {
      for (std::uint64_t i = 0; !m_stopLogging; ++i) {
        XLOG(XLogger::INFO, "master {} tick {}", t, i);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
}

void Master::stopLogging() {
  m_stopLogging = true;
  for (auto& th : m_loggers) th.join();
  XLogger::destroyInstance();
  std::fclose(m_pipeOut);
  m_drain.join();
  close(m_pipe[0]);
}

// Forks the worker of `slot` while the master's threads go on logging.
void Master::fork(int slot) {
  Slot& s = m_shared->slots[slot];
  for (auto& id : s.inFlight) id = 0;
  const pid_t pid = ::fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a worker never outlives its master
    close(m_events[0]);
    Worker(*m_shared, m_lock, slot, m_options.threads, m_events[1]).run();
  }
  m_pids[slot] = pid;
  m_beats[slot] = s.heartbeat.load();
  m_beatSeen[slot] = Clock::now();
  ++m_forks;
}

// Keeps the ring full of jobs; one in sixteen carries a token that was never issued.
void Master::issue() {
  if (!lockForWrite(m_lock, *m_shared)) return;
  while (m_shared->tail - m_shared->head < RING && !m_shared->quit) {
    const std::uint64_t id = m_nextId++;
    const char* cron = CRONS[m_random() % std::size(CRONS)];
    const auto from = static_cast<std::int64_t>(1700000000 + m_random() % 100000000);
    const bool tokenOk = m_random() % 16 != 0;
    const std::string token =
        tokenOk ? XAccessToken::generate(600, false).text() : "not-a-token-" + std::to_string(id);
    std::string payload(20 + m_random() % 200, 'a');
    for (char& c : payload) c = static_cast<char>('a' + m_random() % 26);
    XJson::Object object;
    object.insert("id", XJson::Value(static_cast<double>(id)));
    object.insert("cron", XJson::Value(cron));
    object.insert("token", XJson::Value(token));
    object.insert("from", XJson::Value(static_cast<double>(from)));
    object.insert("payload", XJson::Value(payload));
    const std::string text = XJson::Document(object).toJson(XJson::JsonFormat::Compact);
    Job& job = m_shared->ring[m_shared->tail % RING];
    job.id = id;
    job.size = static_cast<std::uint32_t>(text.size());
    std::memcpy(job.text, text.data(), std::min(text.size(), JOB_TEXT));
    CronSchedule schedule(cron);
    m_outstanding[id] = {schedule.next({from, 0}).seconds, tokenOk, payload};
    ++m_shared->tail;
  }
  if (!m_lock.unlock()) std::abort();
}

void Master::onEvent(const std::string& wire) {
  Event event;
  std::uint64_t id = 0;
  if (event.ParseFromString(wire)) id = std::strtoull(event.rule_name().c_str(), nullptr, 10);
  const auto it = m_outstanding.find(id);
  if (it == m_outstanding.end()) {  // unknown, or done twice
    fmt::print(stderr, "soak: unexpected event for job {}\n", id);
    ++m_lost;
    return;
  }
  const Expected& e = it->second;
  if (event.timestamp().seconds() != e.next ||
      event.custom().type() != (e.tokenOk ? "token ok" : "token rejected") ||
      event.custom().text() != e.payload) {
    fmt::print(stderr, "soak: job {} came back wrong\n", id);
    ++m_lost;
  }
  m_outstanding.erase(it);
  ++m_done;
}

// Reads what the event pipe holds; with `drain`, until it is empty.
void Master::readEvents(bool drain) {
  pollfd p{m_events[0], POLLIN, 0};
  if (poll(&p, 1, drain ? 0 : 10) <= 0) return;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(m_events[0], buf, sizeof buf);
    if (n <= 0) break;
    m_eventBuffer.append(buf, static_cast<std::size_t>(n));
    if (!drain) break;
  }
  std::size_t at = 0;
  while (m_eventBuffer.size() - at >= sizeof(std::uint32_t)) {
    std::uint32_t size = 0;
    std::memcpy(&size, m_eventBuffer.data() + at, sizeof size);
    if (m_eventBuffer.size() - at - sizeof size < size) break;
    onEvent(m_eventBuffer.substr(at + sizeof size, size));
    at += sizeof size + size;
  }
  m_eventBuffer.erase(0, at);
}

// Every worker that has ended is handled by reaped().
void Master::reap() {
  for (int slot = 0; slot < m_options.workers; ++slot) {
    int status = 0;
    if (m_pids[slot] != 0 && waitpid(m_pids[slot], &status, WNOHANG) == m_pids[slot])
      reaped(slot, status);
  }
}

// SIGKILL at whatever the workers' threads are doing, to one worker or, one time in four, to a
// third of the pool at once; then their replacements.
void Master::killWorkers() {
  const auto workers = static_cast<unsigned>(m_options.workers);
  const unsigned count = m_random() % 4 == 0 ? std::max(2U, workers / 3) : 1U;
  std::vector<int> killed;
  for (unsigned first = static_cast<unsigned>(m_random() % workers), i = 0;
       i < std::min(count, workers); ++i) {
    const auto slot = static_cast<int>((first + i) % workers);
    if (m_pids[slot] != 0 && kill(m_pids[slot], SIGKILL) == 0) killed.push_back(slot);
  }
  std::vector<int> statuses(killed.size());
  for (std::size_t i = 0; i < killed.size(); ++i) waitpid(m_pids[killed[i]], &statuses[i], 0);
  const auto dead = Clock::now();
  m_kills += killed.size();
  // The first write lock after the deaths waits for every hold the dead left.
  for (std::size_t i = 0; i < killed.size(); ++i)
    reaped(killed[i], statuses[i], i == 0 ? dead : Clock::time_point{});
}

// A killed worker's jobs in flight are counted apart (unless their events already came), and
// a replacement takes its place. Its records are read under the write lock, after the repair of
// what it may have left half done.
void Master::reaped(int slot, int status, Clock::time_point dead) {
  m_pids[slot] = 0;
  readEvents(true);  // every frame the dead worker wrote is in the pipe by now
  if (!lockForWrite(m_lock, *m_shared)) std::abort();
  if (dead != Clock::time_point{})
    m_longestReleaseMs = std::max(
        m_longestReleaseMs, std::chrono::duration<double, std::milli>(Clock::now() - dead).count());
  for (auto& flight : m_shared->slots[slot].inFlight) {
    const std::uint64_t id = flight.exchange(0);
    if (id != 0 && m_outstanding.erase(id) == 1) ++m_killedInFlight;
  }
  if (!m_lock.unlock()) std::abort();
  const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (!killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    fmt::print(stderr, "soak: worker {} ended with status {}\n", slot, status);
    ++m_lost;
  }
  if (!m_shared->quit) fork(slot);
}

// Renames the log away as logrotate does. Two rotations later every process has moved off a
// rotated file (a sink looks at its path at least once a second while it writes), so it is
// checked then and removed, which bounds the disk a long run takes.
void Master::rotate() {
  const std::string to = m_logPath + "." + std::to_string(++m_rotations);
  std::rename(m_logPath.c_str(), to.c_str());
  if (m_rotations <= 2) return;
  const std::string old = m_logPath + "." + std::to_string(m_rotations - 2);
  checkFile(old);
  std::filesystem::remove(old);
}

void Master::checkFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0)
    m_fileLog.feed({buf, static_cast<std::size_t>(in.gcount())});
  m_fileLog.finish();
}

void Master::checkHeartbeats() {
  for (int slot = 0; slot < m_options.workers; ++slot) {
    if (m_pids[slot] == 0) continue;
    const std::uint64_t beat = m_shared->slots[slot].heartbeat.load();
    if (beat != m_beats[slot]) {
      m_beats[slot] = beat;
      m_beatSeen[slot] = Clock::now();
    } else if (Clock::now() - m_beatSeen[slot] > HANG_LIMIT) {
      fmt::print(stderr, "soak: worker {} (pid {}) hangs\n", slot, m_pids[slot]);
      ++m_hung;
      kill(m_pids[slot], SIGKILL);
      m_beatSeen[slot] = Clock::now();
    }
  }
}

// Lets the workers empty the ring and end, reading their last events.
void Master::finish() {
  m_shared->quit = true;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  auto alive = [this] {
    int n = 0;
    for (int slot = 0; slot < m_options.workers; ++slot) n += m_pids[slot] != 0 ? 1 : 0;
    return n;
  };
  while (alive() > 0) {
    readEvents(false);
    reap();
    checkHeartbeats();
    if (Clock::now() > deadline) {
      for (int slot = 0; slot < m_options.workers; ++slot)
        if (m_pids[slot] != 0) {
          fmt::print(stderr, "soak: worker {} does not end\n", slot);
          ++m_hung;
          kill(m_pids[slot], SIGKILL);
        }
    }
  }
  readEvents(true);
  m_lost += m_outstanding.size();
}

// The main loop: jobs in, events out, a rotation every three seconds and a worker killed at a
// random instant every second and a half on average. Returns the resident memory after warm-up.
long Master::loop() {
  const auto start = Clock::now(), end = start + std::chrono::seconds(m_options.seconds);
  const auto warm = start + std::chrono::seconds(std::min(10, m_options.seconds / 4 + 1));
  auto nextRotation = start + std::chrono::seconds(3);
  auto nextKill = start + std::chrono::seconds(2);
  auto nextCheck = start + std::chrono::seconds(1);
  long warmRss = 0;
  while (Clock::now() < end) {
    issue();
    readEvents(false);
    const auto now = Clock::now();
    if (warmRss == 0 && now >= warm) warmRss = residentKiB();
    if (now >= nextRotation) {
      rotate();
      nextRotation = now + std::chrono::seconds(3);
    }
    if (now >= nextKill) {
      killWorkers();
      nextKill = now + std::chrono::microseconds(m_random() % 3000000);
    }
    if (now >= nextCheck) {
      reap();
      checkHeartbeats();
      nextCheck = now + std::chrono::seconds(1);
    }
  }
  return warmRss;
}

int Master::run() {
  if (!m_memory.is_valid() || !m_lock.is_valid()) {
    fmt::print(stderr, "soak: {}{}\n", m_memory.error(), m_lock.error());
    return 2;
  }
  m_shared = new (m_memory.address()) Shared{};
  if (pipe2(m_events, O_NONBLOCK) != 0) return 2;
  fcntl(m_events[1], F_SETFL, 0);  // workers block on a full pipe; the master never waits
  startLogging();
  // The master's own watchdog: a run that overstays by a minute has hung.
  std::thread([limit = m_options.seconds + 60] {
    std::this_thread::sleep_for(std::chrono::seconds(limit));
    fmt::print(stderr, "soak: the master hangs\n");
    _exit(3);
  }).detach();
  for (int slot = 0; slot < m_options.workers; ++slot) fork(slot);

  const long warmRss = loop();
  finish();
  const long endRss = residentKiB();
  stopLogging();
  for (const auto& entry : std::filesystem::directory_iterator(m_options.dir))
    checkFile(entry.path().string());
  const std::uint64_t torn = m_fileLog.torn + m_pipeLog.torn;
  const double rss =
      warmRss > 0 ? 100.0 * static_cast<double>(endRss - warmRss) / static_cast<double>(warmRss)
                  : 0;
  if (rss > 10) fmt::print("soak: resident memory grew {:.1f}% after warm-up\n", rss);
  fmt::print(
      "soak: {} s, {} forks, {} kills, {} dead holders, {} repairs, {} jobs ({} in flight at a "
      "kill), {} log lines, longest death-to-release {:.1f} ms, lost {}, torn {}, hung {}, rss "
      "{:+.1f}%\n",
      m_options.seconds, m_forks, m_kills, m_lock.dead_holders(), m_shared->repairs.load(),
      m_done + m_killedInFlight, m_killedInFlight, m_fileLog.lines, m_longestReleaseMs, m_lost,
      torn, m_hung, rss);
  return m_lost == 0 && torn == 0 && m_hung == 0 ? 0 : 1;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--seconds")
      options.seconds = std::atoi(value);
    else if (name == "--workers")
      options.workers = std::atoi(value);
    else if (name == "--threads")
      options.threads = std::atoi(value);
    else if (name == "--dir")
      options.dir = value;
    else
      return false;
  }
  return argc % 2 == 1 && options.seconds > 0 && options.workers > 0 &&
         options.workers <= MAX_WORKERS && options.threads > 0 && options.threads <= MAX_THREADS;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: soak [--seconds S] [--workers W] [--threads T] [--dir DIR]\n");
    return 2;
  }
  std::string made;
  if (options.dir.empty()) {
    char dir[] = "/tmp/soak-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 2;
    options.dir = made = dir;
  }
  signal(SIGPIPE, SIG_IGN);
  const int rc = Master(options).run();
  if (!made.empty() && rc == 0) std::filesystem::remove_all(made);
  if (rc != 0) std::printf("soak: logs kept in %s\n", options.dir.c_str());
  return rc;
}
