#include "report/cover_lookup.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "platform/port_task.h"
#include "report/cover_post.h"

namespace {

// What the player's thread and the lookup task share: whether a lookup
// runs, whether one ended since the timer last looked, and the generation a
// reset moves on, so an older task tells nobody.
std::atomic<bool> lookupRunning{false};
std::atomic<bool> lookupEnded{false};
std::atomic<uint32_t> lookupGeneration{0};

// Touched on the player's thread alone.
void (*endedHandler)() = nullptr;
std::set<std::string> settled;  // url, '\n', hash

struct LookupTask {
  platform::FileName file;
  bool hasArt = false;
  platform::FileName art;
  uint32_t generation = 0;
};

void runLookup(void* context) {
  const std::unique_ptr<LookupTask> task(static_cast<LookupTask*>(context));
  // Kept by tags/cover.h, where the next attachCover finds it.
  (void)lookUpCover(task->file, task->hasArt ? &task->art : nullptr);
  if (task->generation != lookupGeneration.load()) return;
  lookupEnded.store(true);
  lookupRunning.store(false);
}

void onCoverPoll(platform::WindowHandle window, unsigned, uintptr_t, uint32_t) {
  const bool ended = lookupEnded.exchange(false);
  if (!lookupRunning.load()) platform::killTimer(window, COVER_TIMER_ID);
  if (ended && endedHandler != nullptr) endedHandler();
}

std::string settledKey(const char* url, const Cover& cover) {
  std::string key = url;
  key += '\n';
  key += cover.sha1;
  return key;
}

}  // namespace

void attachCover(platform::WindowHandle window, PlayerSnapshot& snapshot, void (*onEnded)()) {
  snapshot.cover = nullptr;
  snapshot.coverPending = false;
  try {
    auto task = std::make_unique<LookupTask>();
    if (snapshot.hasFile) task->file = snapshot.file;
    task->hasArt = askArtFile(window, &task->art);
    CoverPtr kept;
    if (keptCover(task->file, task->hasArt ? &task->art : nullptr, &kept)) {
      snapshot.cover = std::move(kept);
      return;
    }
    snapshot.coverPending = true;
    // One at a time: the one that runs tells when it ends, and the read
    // that follows starts the next.
    endedHandler = onEnded;
    if (lookupRunning.exchange(true)) return;
    task->generation = lookupGeneration.load();
    if (!platform::startTask(runLookup, task.get())) {
      lookupRunning.store(false);
      snapshot.coverPending = false;
      return;
    }
    (void)task.release();  // the task's now
    platform::setTimer(window, COVER_TIMER_ID, COVER_POLL_MS, onCoverPoll);
  } catch (const std::bad_alloc&) {
    snapshot.coverPending = false;
  }
}

void stopCoverLookup(platform::WindowHandle window) {
  platform::killTimer(window, COVER_TIMER_ID);
  endedHandler = nullptr;
}

bool coverUploadOwed(const char* url, const Cover& cover) {
  if (cover.size() > COVER_UPLOAD_MAX) return false;
  try {
    return settled.count(settledKey(url, cover)) == 0;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void noteCoverSettled(const char* url, const Cover& cover) {
  try {
    settled.insert(settledKey(url, cover));
  } catch (const std::bad_alloc&) {
  }
}

void resetCoverState() {
  ++lookupGeneration;
  lookupRunning.store(false);
  lookupEnded.store(false);
  settled.clear();
  endedHandler = nullptr;
}
