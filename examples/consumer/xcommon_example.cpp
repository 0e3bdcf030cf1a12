// libxcommon in a few lines: a logger, a schedule in a time zone, and a lock that the workers of
// a forking host share and that survives their deaths.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <xcommon/xcommon.h>

int main() {
  //! [logging]
  XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(stdout, stderr, stdout),
                               XLogger::INFO);
  XLOG(XLogger::INFO, "request {} took {} ms", 42, 3.5);  // arguments unevaluated when suppressed
  //! [logging]

  //! [worker logging]
  {
    const XLogger::Context job("job", 4711);  // "[job=4711 queue=mail]" on this thread's lines
    const XLogger::Context queue("queue", "mail");
    for (int attempt = 1; attempt <= 1000; ++attempt) {
      // A storm of failures: one line, then at most one every 10 s that counts the rest.
      XLOG_EVERY(XLogger::WARNING, std::chrono::seconds(10), "queue server down ({})", attempt);
      XLOG_EVERY_N(XLogger::INFO, 100, "retry {}", attempt);  // the 1st, 101st, 201st ...
    }
  }
  //! [worker logging]

  //! [cron]
  CronSchedule nightly("0 30 2 * * *");  // sec min hour day-of-month month day-of-week
  if (!nightly.set_time_zone("Europe/Berlin")) return 1;     // get_error() says why
  const XTime::Timestamp next = nightly.next(XTime::now());  // {0, 0} on failure
  //! [cron]
  if (next.seconds == 0) return 1;
  XLOG(XLogger::INFO, "next nightly run at {} (epoch seconds)", next.seconds);

  //! [robust lock]
  XRobustSharedReadWriteLock lock("/example-counter-lock");  // shared with children forked later
  XSharedMem counter("/example-counter", sizeof(long));
  auto* value = static_cast<long*>(counter.address());
  if (!lock.is_valid() || !counter.is_valid()) return 1;
  std::fflush(stdout);
  const pid_t worker = fork();
  if (worker == 0) {
    if (lock.lock_for_write()) ++*value;
    _exit(0);  // ends holding the lock, as a killed worker would
  }
  waitpid(worker, nullptr, 0);
  if (!lock.lock_for_write()) return 1;  // not blocked by the dead worker; error() says why
  if (!lock.is_consistent()) {
    // Repair what the dead writer may have left half done, then say so.
    if (!lock.mark_consistent()) return 1;
  }
  const long seen = *value;
  if (!lock.unlock()) return 1;
  //! [robust lock]
  XLOG(XLogger::INFO, "counter {}, {} dead holder(s) released", seen, lock.dead_holders());
  return seen == 1 && lock.dead_holders() == 1 ? 0 : 1;
}
