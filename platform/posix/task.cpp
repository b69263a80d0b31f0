// A short task on a detached POSIX thread. Like the output worker, the
// thread holds a reference to the object its body lives in and drops it
// (dlclose) from a thread-specific value's destructor, after the body has
// returned for good.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <memory>
#include <new>

#include "platform/port_task.h"

namespace platform {
namespace {

struct Task {
  TaskBody body;
  void* context;
  void* module;  // null when body lives in the program itself
};
using TaskOwner = std::unique_ptr<Task>;

class TaskModuleKey {
 public:
  TaskModuleKey() { ready_ = pthread_key_create(&key_, &release) == 0; }
  ~TaskModuleKey() {
    if (ready_) pthread_key_delete(key_);
  }
  TaskModuleKey(const TaskModuleKey&) = delete;
  TaskModuleKey& operator=(const TaskModuleKey&) = delete;
  bool hold(void* module) const { return ready_ && pthread_setspecific(key_, module) == 0; }

 private:
  static void release(void* module) { dlclose(module); }
  pthread_key_t key_{};
  bool ready_ = false;
};

const TaskModuleKey& taskModuleKey() {
  static const TaskModuleKey key;
  return key;
}

void* runTask(void* parameter) {
  TaskOwner owner(static_cast<Task*>(parameter));
  const Task task = *owner;
  owner.reset();
  // Should the key refuse it, the reference is never dropped: the object
  // stays loaded for good rather than risk running it unmapped.
  if (task.module != nullptr) (void)taskModuleKey().hold(task.module);
  task.body(task.context);
  return nullptr;
}

void* taskReferenceTo(const void* code) {
  Dl_info info{};
  if (dladdr(code, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

}  // namespace

bool startTask(TaskBody body, void* context) {
  (void)taskModuleKey();
  TaskOwner task(new (std::nothrow) Task{body, context, nullptr});
  if (!task) return false;
  task->module = taskReferenceTo(reinterpret_cast<const void*>(body));
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    if (task->module != nullptr) dlclose(task->module);
    return false;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  const int started = pthread_create(&thread, &attributes, runTask, task.get());
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attributes);
  if (started != 0) {
    if (task->module != nullptr) dlclose(task->module);
    return false;
  }
  (void)task.release();  // the thread's now
  return true;
}

}  // namespace platform
