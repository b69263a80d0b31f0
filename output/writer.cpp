#include "output/writer.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>

#include "output/output_text.h"
#include "platform/port_output.h"

namespace output {
namespace {

// Files' times of writing come from the system's coarse clock, which may
// lag the monotonic one by a tick: the spacing gets that much more.
constexpr uint64_t FILE_TIME_GRAIN_MS = 10;

// What the callers hand over and the writer takes, under the port's lock.
struct OutputShared {
  OutputConfig config;
  NowPlaying playing;
  uint64_t updatedMs = 0;
  bool hasSnapshot = false;
  uint64_t generation = 0;  // counts every change of config or snapshot
  bool quitting = false;
  uint64_t quitDeadlineMs = 0;
};

// Made by the first caller, before any writer runs, and let go by
// outputQuit once the writer has ended; a writer that outlives its quit
// keeps it for good (the process may exit while it still runs).
OutputShared* sharedState = nullptr;
OutputShared& shared() {
  if (sharedState == nullptr) sharedState = new OutputShared;
  return *sharedState;
}

bool workerStarted = false;  // the callers' thread alone

class OutputLock {
 public:
  OutputLock() { platform::lockOutput(); }
  ~OutputLock() { platform::unlockOutput(); }
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;
};

// What the writer knows of one file it keeps.
struct OutputFileRecord {
  std::shared_ptr<const std::string> written;  // the bytes on disk, none before the first write
  uint64_t writtenAtMs = 0;
  std::shared_ptr<const std::string> failing;  // the bytes that could not be written yet
  uint64_t failingSinceMs = 0;
  uint64_t retryAtMs = 0;
  std::shared_ptr<const std::string> givenUp;  // bytes given up on after RETRY_FOR_MS
};

bool sameBytes(const std::shared_ptr<const std::string>& a,
               const std::shared_ptr<const std::string>& b) {
  if (a == b) return true;
  return a && b && *a == *b;
}

// The writer's own state, touched by its thread alone.
struct OutputWriter {
  std::string folder;
  uint64_t coverGeneration = 0;  // the snapshot's generation the cover was looked up for
  CoverPtr cover;
  std::map<std::string, OutputFileRecord, std::less<>> files;
  bool overlayPending = false;
};

// One pass: writes what is due. Returns how long to wait before the next
// pass (0: nothing pending, wait for a change).
uint64_t writeDue(OutputWriter& writer, const OutputConfig& config, const NowPlaying& playing,
                  uint64_t updatedMs) {
  if (writer.overlayPending) {
    const platform::FileReplace outcome = platform::replaceFileWhole(
        writer.folder, OVERLAY_FILE, OVERLAY_HTML.data(), OVERLAY_HTML.size(), true);
    writer.overlayPending = !outcome.written && outcome.busy;
  }
  const std::vector<OutputFile> set = outputFileSet(config, playing, updatedMs);
  uint64_t now = platform::outputClockMs();
  uint64_t dueMs = now;
  bool anyDirty = false;
  for (const OutputFile& file : set) {
    OutputFileRecord& record = writer.files[file.name];
    if (sameBytes(record.written, file.bytes) || sameBytes(record.givenUp, file.bytes)) continue;
    anyDirty = true;
    if (record.written)
      dueMs = std::max(dueMs, record.writtenAtMs + FILE_SPACING_MS + FILE_TIME_GRAIN_MS);
    if (sameBytes(record.failing, file.bytes)) dueMs = std::max(dueMs, record.retryAtMs);
  }
  if (!anyDirty) return writer.overlayPending ? RETRY_MS : 0;
  if (dueMs > now) return dueMs - now;
  for (const OutputFile& file : set) {
    OutputFileRecord& record = writer.files[file.name];
    if (sameBytes(record.written, file.bytes) || sameBytes(record.givenUp, file.bytes)) continue;
    // The spacing counts from before the write: the file's time of writing
    // is taken as it is written, before the flush and the rename.
    const uint64_t startedMs = platform::outputClockMs();
    const platform::FileReplace outcome = platform::replaceFileWhole(
        writer.folder, file.name, file.bytes->data(), file.bytes->size(), false);
    now = platform::outputClockMs();
    if (outcome.written) {
      record.written = file.bytes;
      record.writtenAtMs = startedMs;
      record.failing.reset();
      record.givenUp.reset();
      continue;
    }
    if (!sameBytes(record.failing, file.bytes)) {
      record.failing = file.bytes;
      record.failingSinceMs = now;
    }
    if (now - record.failingSinceMs >= RETRY_FOR_MS) {
      record.givenUp = file.bytes;
      record.failing.reset();
    } else {
      record.retryAtMs = now + (outcome.busy ? RETRY_MS : 5 * RETRY_MS);
    }
  }
  return 1;  // look again at once: what is left is due later
}

// The snapshot's cover, looked up here, on the writer's thread, once per
// snapshot: the player's thread never reads a picture. A cover the caller
// gave is kept as it is.
void lookUpCoverOf(OutputWriter& writer, uint64_t generation, NowPlaying& playing) {
  if (playing.cover || playing.status == PlayStatus::stopped) return;
  if (!playing.mediaFile && !playing.artFile) return;
  if (writer.coverGeneration != generation) {
    writer.coverGeneration = generation;
    const platform::FileName* art = playing.artFile ? &*playing.artFile : nullptr;
    writer.cover = lookUpCover(playing.mediaFile.value_or(platform::FileName{}), art);
  }
  playing.cover = writer.cover;
}

void runWriter(void*) {
  OutputWriter writer;
  platform::lockOutput();
  for (;;) {
    uint64_t generation = 0, quitDeadlineMs = 0, waitMs = 0;
    bool quitting = false;
    {
      // Copies, taken under the lock and let go (a cover's last reference
      // among them) after it is released.
      const OutputShared& state = shared();
      const OutputConfig config = state.config;
      NowPlaying playing = state.playing;
      const uint64_t updatedMs = state.updatedMs;
      const bool hasSnapshot = state.hasSnapshot;
      generation = state.generation;
      quitting = state.quitting;
      quitDeadlineMs = state.quitDeadlineMs;
      platform::unlockOutput();

      if (config.folder != writer.folder) {
        writer.folder = config.folder;
        writer.files.clear();
        writer.overlayPending = !writer.folder.empty();
      }
      if (!writer.folder.empty() && hasSnapshot) {
        lookUpCoverOf(writer, generation, playing);
        waitMs = writeDue(writer, config, playing, updatedMs);
      }
    }
    if (quitting && (waitMs == 0 || platform::outputClockMs() >= quitDeadlineMs)) return;

    platform::lockOutput();
    if (shared().generation == generation) platform::waitOutput(waitMs == 0 ? 1000 : waitMs);
  }
}

bool startWriter() {
  if (workerStarted) {
    // A writer outputQuit stopped waiting for is done once it has ended.
    bool quitting = false;
    {
      const OutputLock lock;
      quitting = shared().quitting;
    }
    if (!quitting) return true;
    if (!platform::joinOutputWorker(0)) return false;
    workerStarted = false;
    const OutputLock lock;
    shared().quitting = false;
  }
  workerStarted = platform::startOutputWorker(&runWriter, nullptr);
  return workerStarted;
}

}  // namespace

void outputConfigure(const std::string& folder, const std::string& templateText,
                     const std::string& stoppedText) {
  {
    const OutputLock lock;
    OutputShared& state = shared();
    if (state.config.folder != folder || state.config.templateText != templateText ||
        state.config.stoppedText != stoppedText) {
      state.config = {folder, templateText, stoppedText};
      ++state.generation;
    }
  }
  startWriter();
  platform::wakeOutput();
}

void outputPublish(const NowPlaying& playing) {
  NowPlaying copy = playing;
  NowPlaying previous;  // let go after the lock: it may hold a cover's last reference
  {
    const OutputLock lock;
    OutputShared& state = shared();
    if (state.hasSnapshot && sameNowPlaying(state.playing, copy)) return;
    previous = std::move(state.playing);
    state.playing = std::move(copy);
    state.updatedMs = platform::unixTimeMs();
    state.hasSnapshot = true;
    ++state.generation;
  }
  startWriter();
  platform::wakeOutput();
}

void outputQuit() {
  if (!workerStarted) return;
  {
    const OutputLock lock;
    OutputShared& state = shared();
    NowPlaying stopped;
    if (!state.hasSnapshot || !sameNowPlaying(state.playing, stopped)) {
      state.playing = stopped;
      state.updatedMs = platform::unixTimeMs();
      state.hasSnapshot = true;
    }
    state.quitting = true;
    state.quitDeadlineMs = platform::outputClockMs() + QUIT_WAIT_MS - 500;
    ++state.generation;
  }
  platform::wakeOutput();
  if (!platform::joinOutputWorker(QUIT_WAIT_MS)) return;
  workerStarted = false;
  delete sharedState;
  sharedState = nullptr;
}

}  // namespace output
