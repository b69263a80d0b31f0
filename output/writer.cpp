#include "output/writer.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string_view>

#include "output/output_text.h"
#include "platform/port_output.h"
#include "platform/port_worker.h"

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
  // Set by the caller that starts the writer, cleared by the writer as it
  // decides to end (no folder, or its quit done).
  bool writerRunning = false;
};

// Made by the first caller, before any writer runs, and let go by
// outputQuit once the writer has ended; a writer that outlives its quit
// keeps it for good (the process may exit while it still runs).
OutputShared* sharedState = nullptr;
OutputShared& shared() {
  if (sharedState == nullptr) sharedState = new OutputShared;
  return *sharedState;
}

// The writer's thread, lock and wake-up: made by the first caller, before
// any writer runs, and let go once the quit has reaped its thread.
platform::Worker* writerWorker = nullptr;
platform::Worker& worker() {
  if (writerWorker == nullptr) writerWorker = &platform::newWorker("trellicast-out");
  return *writerWorker;
}

bool workerStarted = false;  // the callers' thread alone: started and not reaped

class OutputLock {
 public:
  OutputLock() { platform::lockWorker(worker()); }
  ~OutputLock() { platform::unlockWorker(worker()); }
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;
};

// What the writer knows of one file it keeps.
struct OutputFileRecord {
  std::shared_ptr<const std::string> written;  // the bytes on disk, none before the first write
  uint64_t writtenAtMs = 0;
  bool failing = false;         // the last try failed; the latest bytes are tried at retryAtMs
  uint64_t failingSinceMs = 0;  // the first failure since the last write
  uint64_t retryAtMs = 0;
};

bool sameBytes(const std::shared_ptr<const std::string>& a,
               const std::shared_ptr<const std::string>& b) {
  if (a == b) return true;
  return a && b && *a == *b;
}

constexpr std::string_view COVER_FILE = "cover.png";

bool namesCover(std::string_view name) {
  return name == "nowplaying.json" || name == "nowplaying.js";
}

// The cover a snapshot puts in cover.png; none for the transparent picture.
CoverPtr coverShown(const NowPlaying& playing) {
  if (playing.status == PlayStatus::stopped || !playing.cover || playing.cover->bytes.empty())
    return nullptr;
  return playing.cover;
}

bool sameCover(const CoverPtr& a, const CoverPtr& b) {
  return a == b || (a && b && a->sha1 == b->sha1);
}

// The writer's own state, touched by its thread alone.
struct OutputWriter {
  std::string folder;
  std::map<std::string, OutputFileRecord, std::less<>> files;
  bool overlayPending = false;
  CoverPtr coverOnDisk;  // what cover.png holds as far as this writer wrote it; none: no picture
  bool quitSeen = false;
};

// The files of the snapshot with the JSON naming cover (the one on disk, or
// the one about to be written) instead of the snapshot's own.
std::vector<OutputFile> fileSetNaming(const OutputConfig& config, const NowPlaying& playing,
                                      uint64_t updatedMs, const CoverPtr& cover) {
  if (sameCover(coverShown(playing), cover)) return outputFileSet(config, playing, updatedMs);
  NowPlaying named = playing;
  named.cover = cover;
  std::vector<OutputFile> set = outputFileSet(config, playing, updatedMs);
  const std::vector<OutputFile> namedSet = outputFileSet(config, named, updatedMs);
  for (size_t i = 0; i < set.size(); ++i)
    if (namesCover(set[i].name)) set[i].bytes = namedSet[i].bytes;
  return set;
}

// How long a file that could not be replaced waits for its next try.
uint64_t retryDelay(const OutputFileRecord& record, uint64_t now, bool busy, bool quitting) {
  if (quitting) return RETRY_MS;
  if (now - record.failingSinceMs >= RETRY_FOR_MS) return HELD_RETRY_MS;
  return busy ? RETRY_MS : 5 * RETRY_MS;
}

// One pass: writes what is due. Returns how long to wait before the next
// pass (0: nothing pending, wait for a change).
uint64_t writeDue(OutputWriter& writer, const OutputConfig& config, const NowPlaying& playing,
                  uint64_t updatedMs, bool quitting) {
  if (writer.overlayPending) {
    const platform::FileReplace outcome = platform::replaceFileWhole(
        writer.folder, OVERLAY_FILE, OVERLAY_HTML.data(), OVERLAY_HTML.size(), true);
    writer.overlayPending = !outcome.written && outcome.busy;
  }
  uint64_t now = platform::clockMs();
  if (quitting && !writer.quitSeen) {
    // The stopped state goes out at once, held files included.
    writer.quitSeen = true;
    for (auto& entry : writer.files) entry.second.retryAtMs = now;
  }
  const auto waiting = [&](const OutputFileRecord& record) {
    return record.failing && record.retryAtMs > now;
  };
  // The JSON names the snapshot's cover only when cover.png is written in
  // this pass; else the cover on disk.
  const CoverPtr wantedCover = coverShown(playing);
  CoverPtr named = writer.coverOnDisk;
  if (!sameCover(wantedCover, writer.coverOnDisk)) {
    const OutputFileRecord& cover = writer.files[std::string(COVER_FILE)];
    if (!waiting(cover)) named = wantedCover;
  }
  std::vector<OutputFile> set = fileSetNaming(config, playing, updatedMs, named);

  uint64_t dueMs = now;
  uint64_t retryMs = 0;  // the earliest retry of a file still waiting; 0: none
  bool anyDirty = false;
  for (const OutputFile& file : set) {
    OutputFileRecord& record = writer.files[file.name];
    if (sameBytes(record.written, file.bytes)) continue;
    if (waiting(record)) {
      retryMs = retryMs == 0 ? record.retryAtMs : std::min(retryMs, record.retryAtMs);
      continue;
    }
    anyDirty = true;
    if (record.written)
      dueMs = std::max(dueMs, record.writtenAtMs + FILE_SPACING_MS + FILE_TIME_GRAIN_MS);
  }
  const auto untilRetry = [&](uint64_t waitMs) {
    if (retryMs == 0) return waitMs;
    const uint64_t retryIn = retryMs > now ? retryMs - now : 1;
    return waitMs == 0 ? retryIn : std::min(waitMs, retryIn);
  };
  if (!anyDirty) return untilRetry(writer.overlayPending ? RETRY_MS : 0);
  if (dueMs > now) return untilRetry(dueMs - now);
  bool coverWritten = false;
  for (OutputFile& file : set) {
    OutputFileRecord& record = writer.files[file.name];
    if (namesCover(file.name) && !coverWritten && !sameCover(named, writer.coverOnDisk)) {
      // cover.png could not be replaced: the JSON keeps naming what is there.
      NowPlaying onDisk = playing;
      onDisk.cover = writer.coverOnDisk;
      const std::vector<OutputFile> kept = outputFileSet(config, onDisk, updatedMs);
      for (const OutputFile& same : kept)
        if (std::string_view(same.name) == file.name) file.bytes = same.bytes;
    }
    if (sameBytes(record.written, file.bytes) || waiting(record)) continue;
    // The spacing counts from before the write: the file's time of writing
    // is taken as it is written, before the flush and the rename.
    const uint64_t startedMs = platform::clockMs();
    const platform::FileReplace outcome = platform::replaceFileWhole(
        writer.folder, file.name, file.bytes->data(), file.bytes->size(), false);
    now = platform::clockMs();
    if (outcome.written) {
      record.written = file.bytes;
      record.writtenAtMs = startedMs;
      record.failing = false;
      if (file.name == COVER_FILE) {
        writer.coverOnDisk = wantedCover;
        coverWritten = true;
      }
      continue;
    }
    if (!record.failing) {
      record.failing = true;
      record.failingSinceMs = now;
    }
    record.retryAtMs = now + retryDelay(record, now, outcome.busy, quitting);
  }
  return 1;  // look again at once: what is left is due later
}

void runWriter(void*) {
  OutputWriter writer;
  platform::lockWorker(worker());
  for (;;) {
    uint64_t generation = 0, quitDeadlineMs = 0, waitMs = 0;
    bool quitting = false;
    {
      // Copies, taken under the lock and let go (a cover's last reference
      // among them) after it is released.
      OutputShared& state = shared();
      if (state.config.folder.empty()) {
        state.writerRunning = false;
        platform::unlockWorker(worker());
        return;
      }
      const OutputConfig config = state.config;
      const NowPlaying playing = state.playing;
      const uint64_t updatedMs = state.updatedMs;
      const bool hasSnapshot = state.hasSnapshot;
      generation = state.generation;
      quitting = state.quitting;
      quitDeadlineMs = state.quitDeadlineMs;
      platform::unlockWorker(worker());

      if (config.folder != writer.folder) {
        writer.folder = config.folder;
        writer.files.clear();
        writer.coverOnDisk = nullptr;
        writer.overlayPending = true;
      }
      if (hasSnapshot) waitMs = writeDue(writer, config, playing, updatedMs, quitting);
    }
    platform::lockWorker(worker());
    if (quitting && (waitMs == 0 || platform::clockMs() >= quitDeadlineMs)) {
      shared().writerRunning = false;
      platform::unlockWorker(worker());
      return;
    }
    // Untimed while nothing is due: a change wakes it.
    if (shared().generation == generation)
      platform::waitWorker(
          worker(), waitMs == 0 ? platform::WORKER_WAIT_UNTIMED
                                : static_cast<uint32_t>(std::min<uint64_t>(waitMs, HELD_RETRY_MS)));
  }
}

// Starts the writer when a folder is set and none runs; true when one runs.
bool startWriter() {
  bool quitting = false;
  {
    const OutputLock lock;
    const OutputShared& state = shared();
    if (state.config.folder.empty()) return false;
    if (state.writerRunning && !state.quitting) return true;
    quitting = state.writerRunning;  // still finishing a quit outputQuit stopped waiting for
  }
  if (workerStarted) {
    // A writer that has decided to end is gone in a moment; one still
    // quitting is done once it has ended.
    if (!platform::joinWorker(worker(), quitting ? 0 : QUIT_WAIT_MS)) return false;
    workerStarted = false;
  }
  {
    const OutputLock lock;
    shared().quitting = false;
    shared().writerRunning = true;
  }
  workerStarted = platform::startWorker(worker(), &runWriter, nullptr);
  if (!workerStarted) {
    const OutputLock lock;
    shared().writerRunning = false;
  }
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
  // Without a folder a running writer sees it and ends.
  startWriter();
  platform::wakeWorker(worker());
}

void outputPublish(const NowPlaying& playing) {
  NowPlaying copy = playing;
  NowPlaying previous;  // let go after the lock: it may hold a cover's last reference
  bool hasFolder = false;
  {
    const OutputLock lock;
    OutputShared& state = shared();
    if (state.hasSnapshot && sameNowPlaying(state.playing, copy)) return;
    // The same snapshot with its cover found: the same moment.
    NowPlaying uncovered = copy;
    uncovered.cover = state.playing.cover;
    const bool coverOnly = state.hasSnapshot && sameNowPlaying(state.playing, uncovered);
    previous = std::move(state.playing);
    state.playing = std::move(copy);
    if (!coverOnly) state.updatedMs = platform::unixTimeMs();
    state.hasSnapshot = true;
    ++state.generation;
    hasFolder = !state.config.folder.empty();
  }
  if (!hasFolder) return;
  startWriter();
  platform::wakeWorker(worker());
}

void outputQuit() {
  if (!workerStarted) {
    // No thread: what the callers made for one goes.
    delete sharedState;
    sharedState = nullptr;
    if (writerWorker != nullptr) platform::releaseWorker(*writerWorker);
    writerWorker = nullptr;
    return;
  }
  bool running = false;
  {
    const OutputLock lock;
    OutputShared& state = shared();
    running = state.writerRunning;
    if (running) {
      NowPlaying stopped;
      if (!state.hasSnapshot || !sameNowPlaying(state.playing, stopped)) {
        state.playing = stopped;
        state.updatedMs = platform::unixTimeMs();
        state.hasSnapshot = true;
      }
      state.quitting = true;
      state.quitDeadlineMs = platform::clockMs() + QUIT_WAIT_MS - 500;
      ++state.generation;
    }
  }
  platform::wakeWorker(worker());
  if (!platform::joinWorker(worker(), QUIT_WAIT_MS)) return;
  workerStarted = false;
  delete sharedState;
  sharedState = nullptr;
  platform::releaseWorker(worker());
  writerWorker = nullptr;
}

}  // namespace output
