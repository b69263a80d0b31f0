#include "platform/posix/module_hold.h"

#include <dlfcn.h>
#include <pthread.h>

namespace platform {

namespace posix {
namespace {

// The per-thread slot holding a thread's module reference; its destructor
// is dlclose. Created once per load, deleted when the object is unloaded
// (possibly by that very destructor, after the C library has read it).
class ModuleKey {
 public:
  ModuleKey() { ready_ = pthread_key_create(&key_, &release) == 0; }
  ~ModuleKey() {
    if (ready_) pthread_key_delete(key_);
  }
  ModuleKey(const ModuleKey&) = delete;
  ModuleKey& operator=(const ModuleKey&) = delete;
  bool hold(void* module) const { return ready_ && pthread_setspecific(key_, module) == 0; }

 private:
  static void release(void* module) { dlclose(module); }
  pthread_key_t key_{};
  bool ready_ = false;
};

const ModuleKey& moduleKey() {
  static const ModuleKey key;
  return key;
}

}  // namespace

void* referenceToObjectOf(const void* code) {
  Dl_info info{};
  if (dladdr(code, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

void prepareModuleHolds() { (void)moduleKey(); }

void holdUntilThreadEnds(void* module) {
  if (module != nullptr) (void)moduleKey().hold(module);
}

}  // namespace posix

}  // namespace platform
