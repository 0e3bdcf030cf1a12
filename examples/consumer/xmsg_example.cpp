// libxmsg in a few lines: a monitoring event to the wire and back.
#include <cstdio>
#include <string>

#include <xmsg/xmsg.h>

int main() {
  //! [event]
  xavro::protobuf::Monitor::Event event;
  event.set_rule_name("slow request");
  event.mutable_exec_time()->set_seconds(3);
  const std::string wire = event.SerializeAsString();

  xavro::protobuf::Monitor::Event received;
  if (!received.ParseFromString(wire)) return 1;
  //! [event]
  std::printf("%s took %lld s (%zu bytes on the wire)\n", received.rule_name().c_str(),
              static_cast<long long>(received.exec_time().seconds()), wire.size());
  return received.rule_name() == "slow request" ? 0 : 1;
}
