#include "report/cover_step.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/port_task.h"
#include "report/cover_post.h"

namespace {

// Finished lookups kept, newest last: enough for a track and the few before
// it.
constexpr size_t KEPT_LOOKUPS = 4;

struct FinishedLookup {
  std::string file;  // the file's native name
  CoverPtr cover;
};

// What the player's thread and the lookup task share, under lookupBusy:
// the finished lookups, and the one that runs.
struct Lookups {
  std::vector<FinishedLookup> finished;
  bool running = false;
  bool ended = false;       // a lookup ended since the timer last looked
  uint64_t generation = 0;  // a reset drops what an older task finds
};
Lookups lookups;

// Held only to look through or change a few entries, never while a file is
// read, so a spin lock serves (the Windows build's thread model has no
// std::mutex).
std::atomic_flag lookupBusy = ATOMIC_FLAG_INIT;
struct LookupHold {
  LookupHold() {
    while (lookupBusy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~LookupHold() { lookupBusy.clear(std::memory_order_release); }
  LookupHold(const LookupHold&) = delete;
  LookupHold& operator=(const LookupHold&) = delete;
};

// Touched on the player's thread alone.
void (*endedHandler)() = nullptr;
std::set<std::string> delivered;  // url, '\n', hash

struct LookupTask {
  platform::FileName file;
  bool hasArt = false;
  platform::FileName art;
  uint64_t generation = 0;
};

void runLookup(void* context) {
  const std::unique_ptr<LookupTask> task(static_cast<LookupTask*>(context));
  CoverPtr cover = lookUpCover(task->file, task->hasArt ? &task->art : nullptr);
  const LookupHold hold;
  if (task->generation != lookups.generation) return;
  lookups.running = false;
  lookups.ended = true;
  try {
    if (lookups.finished.size() == KEPT_LOOKUPS) lookups.finished.erase(lookups.finished.begin());
    lookups.finished.push_back({task->file.native, std::move(cover)});
  } catch (const std::bad_alloc&) {
    // Not kept: the next post asks again.
  }
}

void onCoverPoll(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  bool ended = false;
  bool running = false;
  {
    const LookupHold hold;
    ended = lookups.ended;
    running = lookups.running;
    lookups.ended = false;
  }
  if (!running) platform::killTimer(window, COVER_TIMER_ID);
  if (ended && endedHandler != nullptr) endedHandler();
}

std::string deliveredKey(const char* url, const Cover& cover) {
  std::string key = url;
  key += '\n';
  key += cover.sha1;
  return key;
}

}  // namespace

CoverPtr knownCover(platform::WindowHandle window, const PlayerSnapshot& snapshot,
                    void (*onEnded)()) {
  if (!snapshot.hasFile || snapshot.file.native.empty()) return nullptr;
  try {
    {
      const LookupHold hold;
      for (const FinishedLookup& lookup : lookups.finished)
        if (lookup.file == snapshot.file.native) return lookup.cover;
      if (lookups.running) return nullptr;  // the next post asks again once it ends
    }
    auto task = std::make_unique<LookupTask>();
    task->file = snapshot.file;
    task->hasArt = askArtFile(window, &task->art);
    {
      const LookupHold hold;
      task->generation = lookups.generation;
      lookups.running = true;
    }
    endedHandler = onEnded;
    if (!platform::startTask(runLookup, task.get())) {
      const LookupHold hold;
      lookups.running = false;
      return nullptr;
    }
    (void)task.release();  // the task's now
    platform::setTimer(window, COVER_TIMER_ID, COVER_POLL_MS, onCoverPoll);
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}

bool coverUploadOwed(const char* url, const Cover& cover) {
  if (cover.size() > COVER_UPLOAD_MAX) return false;
  try {
    return delivered.count(deliveredKey(url, cover)) == 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void noteCoverDelivered(const char* url, const Cover& cover) {
  try {
    delivered.insert(deliveredKey(url, cover));
  } catch (const std::bad_alloc&) {
  }
}

void resetCoverState() {
  {
    const LookupHold hold;
    lookups.finished.clear();
    lookups.running = false;
    lookups.ended = false;
    ++lookups.generation;
  }
  delivered.clear();
  endedHandler = nullptr;
}
