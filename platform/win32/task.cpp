// A short task on a Win32 thread of its own. The thread holds a reference to
// the module its body lives in (GetModuleHandleExW) and ends with
// FreeLibraryAndExitThread, so a player that unloads the module while it
// runs leaves the code mapped until then.
#include <windows.h>

#include <memory>
#include <new>

#include "platform/port_task.h"
#include "platform/win32/module_thread.h"

namespace platform {
namespace {

struct Task {
  TaskBody body;
  void* context;
  HMODULE module;
};
using TaskOwner = std::unique_ptr<Task>;

DWORD WINAPI runTask(void* parameter) {
  TaskOwner owner(static_cast<Task*>(parameter));
  const Task task = *owner;
  owner.reset();
  task.body(task.context);
  FreeLibraryAndExitThread(task.module, 0);
}

}  // namespace

bool startTask(TaskBody body, void* context) {
  TaskOwner task(new (std::nothrow) Task{body, context, nullptr});
  if (!task) return false;
  const HANDLE thread = win32::startModuleThread(
      runTask, task.get(), reinterpret_cast<const void*>(body), &task->module);
  if (thread == nullptr) return false;
  (void)task.release();  // the thread's now
  CloseHandle(thread);
  return true;
}

}  // namespace platform
