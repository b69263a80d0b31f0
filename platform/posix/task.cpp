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
#include "platform/posix/module_hold.h"

namespace platform {
namespace {

struct Task {
  TaskBody body;
  void* context;
  void* module;  // null when body lives in the program itself
};
using TaskOwner = std::unique_ptr<Task>;

void* runTask(void* parameter) {
  TaskOwner owner(static_cast<Task*>(parameter));
  const Task task = *owner;
  owner.reset();
  posix::holdUntilThreadEnds(task.module);
  task.body(task.context);
  return nullptr;
}

}  // namespace

bool startTask(TaskBody body, void* context) {
  posix::prepareModuleHolds();
  TaskOwner task(new (std::nothrow) Task{body, context, nullptr});
  if (!task) return false;
  task->module = posix::referenceToObjectOf(reinterpret_cast<const void*>(body));
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
