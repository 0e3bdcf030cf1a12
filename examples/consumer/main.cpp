// Configures the logger the way a worker host does, logs from several threads and from a
// forked worker, and times its own work.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <xcommon/xcommon.h>
#include <xjson/xjson.h>
#include <xmsg/xmsg.h>

namespace {

// A monitoring event as a PHP request would report it.
xavro::protobuf::Monitor::Event slowRequestEvent() {
  xavro::protobuf::Monitor::Event event;
  event.set_event_type(xavro::protobuf::Monitor::Event::SlowRequestExecution);
  event.set_rule_name("slow request");
  event.mutable_exec_time()->set_seconds(3);
  auto* frame = event.add_stack_trace();
  frame->set_function_name("handle");
  frame->set_line_no(42);
  return event;
}

// The event through the wire and back.
bool reportSlowRequest() {
  const std::string wire = slowRequestEvent().SerializeAsString();
  xavro::protobuf::Monitor::Event received;
  if (!received.ParseFromString(wire)) return false;
  XLOG(XLogger::INFO, "event '{}' of {} bytes, exec time {} s, top frame {}", received.rule_name(),
       wire.size(), received.exec_time().seconds(), received.stack_trace(0).function_name());
  return received.data_case() == xavro::protobuf::Monitor::Event::kExecTime;
}

// The same event summarised as JSON for a dashboard.
std::string summarise(const std::string& rule, double seconds) {
  XJson::Object event;
  event.insert("rule", XJson::Value(rule));
  event.insert("seconds", XJson::Value(seconds));
  XJson::Array tags;
  tags.push_back(XJson::Value("php"));
  tags.push_back(XJson::Value("slow"));
  event.insert("tags", XJson::Value(tags));
  const XJson::Document doc(event);
  const std::string text = doc.toJson(XJson::JsonFormat::Compact);
  // Read it back the way a receiver would.
  const XJson::Document parsed = XJson::Document::fromJson(text);
  XLOG(XLogger::INFO, "json summary {} (rule read back: {})", text,
       parsed.object().value("rule").to_string("?"));
  return text;
}

double work(int n) {
  double sum = 0;
  for (int i = 1; i <= n; ++i) sum += 1.0 / i;
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  // --write-event FILE: only write the event's wire bytes, for other tools to read.
  if (argc == 3 && std::string(argv[1]) == "--write-event") {
    std::ofstream out(argv[2], std::ios::binary);
    return slowRequestEvent().SerializeToOstream(&out) ? 0 : 1;
  }
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

  if (!reportSlowRequest()) return 1;
  if (summarise("slow request", 3.0).empty()) return 1;
  XLOG(XLogger::INFO, "all work took {}.{:06d} s", elapsed.seconds, elapsed.nanoseconds / 1000);
  XLOG(XLogger::DBG2, "never shown: {}", "DBG2 is above every sink");
  return 0;
}
