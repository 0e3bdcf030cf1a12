// The option iterator over fuzzed word vectors: the input is cut into words at NUL bytes, and a
// word of the single byte 0xFF stands for a null pointer. Every walk must end at end() within a
// step per byte, with items that point into the words and carry a matched entry where they say.
#include "xcommon/xcmdline.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const XCmdLine::Option OPTIONS[] = {
    {'v', "verbose", XCmdLine::NONE},
    {'o', "output", XCmdLine::REQUIRED},
    {'x', nullptr, XCmdLine::REQUIRED},
    {'q', "", XCmdLine::NONE},
    {'=', "eq", static_cast<XCmdLine::Argument>(200)},
    {0, nullptr, XCmdLine::END},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> store(1, "prog");
  for (std::size_t start = 0; start <= size;) {
    const void* nul = std::memchr(data + start, 0, size - start);
    const std::size_t stop =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data)
                       : size;
    store.emplace_back(reinterpret_cast<const char*>(data + start), stop - start);
    start = stop + 1;
  }
  std::vector<char*> argv;
  for (std::string& w : store) argv.push_back(w == "\xff" ? nullptr : w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(store.size());
  const XCmdLine cl(OPTIONS, argc, argv.data());
  std::size_t steps = 0;
  auto it = cl.begin();
  for (; it != cl.end(); ++it) {
    if (++steps > size + store.size()) std::abort();
    const char id = it->id();
    if (id == XCmdLine::ID_END) std::abort();
    if (id == XCmdLine::ID_ARGUMENT && (it->argument() == nullptr || it->option() != nullptr))
      std::abort();
    if (id == XCmdLine::ID_UNRECOGNISED && (it->text().empty() || it->option() != nullptr))
      std::abort();
    if (id > XCmdLine::ID_UNRECOGNISED && (it->option() == nullptr || it->text().empty()))
      std::abort();
    if (const char* arg = it->argument()) {
      bool inside = false;  // must point into one of the words, never at a copy
      for (std::size_t i = 1; i < store.size() && !inside; ++i)
        inside = argv[i] != nullptr && arg >= argv[i] && arg <= argv[i] + store[i].size();
      if (!inside) std::abort();
    }
  }
  if (it.id() != XCmdLine::ID_END || !it.text().empty()) std::abort();
  return 0;
}
