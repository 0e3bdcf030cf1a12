// A loaded module's use of libxmsg: a message through the wire and its descriptor.
#include <string>

#include "xmsg/monitor.pb.h"

extern "C" __attribute__((visibility("default"))) int x_plugin_run() {
  xavro::protobuf::Monitor::Event event;
  event.set_rule_name("slow request");
  xavro::protobuf::Monitor::Event back;
  if (!back.ParseFromString(event.SerializeAsString())) return 1;
  if (back.rule_name() != "slow request") return 2;
  if (back.GetDescriptor()->full_name() != "xavro.protobuf.Monitor.Event") return 3;
  return 0;
}
