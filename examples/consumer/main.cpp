// Configures the logger the way a worker host does, logs from several threads and from a
// forked worker, and times its own work.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <xcommon/xcommon.h>

namespace {

double work(int n) {
  double sum = 0;
  for (int i = 1; i <= n; ++i) sum += 1.0 / i;
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string logPath = argc > 1 ? argv[1] : "consumer.log";

  // Configure once, before any other thread logs.
  XLogger* logger = XLogger::instance();
  logger->addSink(std::make_unique<XLogger::StdOutSink>(stdout, stderr, stdout), XLogger::INFO);
  logger->addSink(std::make_unique<XLogger::FileSink>(logPath), XLogger::DBG1);

  XTime::Timestamp elapsed;
  {
    XTime::ScopedTimer timer([&elapsed](const XTime::Timestamp& t) { elapsed = t; });

    XLOG(XLogger::INFO, "consumer starting, pid {}, log file {}", XUtils::get_pid(), logPath);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        const double result = work(100000 * (t + 1));
        XLOG(XLogger::INFO, "thread {} (tid {}) computed {:.6f}", t, XUtils::get_tid(), result);
        XLOG(XLogger::DBG1, "thread {} done", t);  // file only
      });
    }
    for (auto& th : threads) th.join();

    std::fflush(stdout);  // a forked child would otherwise write our buffered lines again
    const pid_t child = fork();
    if (child == 0) {
      XLOG(XLogger::INFO, "worker child pid {} tid {}", XUtils::get_pid(), XUtils::get_tid());
      std::fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    XLOG(XLogger::INFO, "worker {} exited with {}", child, WEXITSTATUS(status));
  }

  XLOG(XLogger::INFO, "all work took {}.{:06d} s", elapsed.seconds, elapsed.nanoseconds / 1000);
  XLOG(XLogger::DBG2, "never shown: {}", "DBG2 is above every sink");
  return 0;
}
