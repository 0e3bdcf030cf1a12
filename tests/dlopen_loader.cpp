// Loads a module with dlopen, as PHP loads an extension, and runs its x_plugin_run().
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  auto* run = reinterpret_cast<int (*)()>(dlsym(module, "x_plugin_run"));
  if (run == nullptr) {
    std::fprintf(stderr, "dlsym: %s\n", dlerror());
    return 1;
  }
  const int result = run();
  if (result != 0) std::fprintf(stderr, "x_plugin_run failed at check %d\n", result);
  dlclose(module);
  return result;
}
