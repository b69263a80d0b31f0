// A long run of update cycles: the core with the recording double of the
// window services, the real settings store file and the real libcurl
// backend, posting a tagged file's status at the shortest interval to a
// loopback receiver that alternates between healthy and faulty behaviour.
// Every 1000 cycles the settings dialog is confirmed. Every post the
// receiver reads whole must parse back to exactly the fields the player
// gave; a healthy cycle whose post never arrives is a lost post.
//
//   soak [CYCLES]        (10 000 unless given)
//
// Prints resident memory and heap in use at the start (after a warm-up)
// and at the end. Exits 1 on any lost or malformed post, on more than one
// box between two confirmations, or when the heap grows by more than 1 MB.
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/player.h"
#include "base/settings.h"
#include "base/state.h"
#include "dialog/resources/resource.h"
#include "platform/port.h"
#include "platform/posix/http.h"
#include "platform/posix/system.h"
#include "plugin/plugin.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/gauntlet/form_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace fs = std::filesystem;
using gauntlet::Fault;

namespace {

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x50a4);
constexpr int WAIT_MS = 3000;
constexpr size_t CONFIRM_EVERY = 1000;
constexpr size_t WARM_UP = 100;
constexpr long HEAP_GROWTH_LIMIT = 1 << 20;

// Faults repeated thousands of times here; the server that never reads, the
// one that stalls after the headers and the 10 MB answer are covered once
// each by the fault matrix.
const Fault FAULTS[] = {Fault::refuse,  Fault::reset,     Fault::status500,     Fault::status404,
                        Fault::garbage, Fault::cutAnswer, Fault::redirectHttps, Fault::cutRequest};

bool readsWhole(Fault f) {
  return f == Fault::healthy || f == Fault::status500 || f == Fault::status404 ||
         f == Fault::garbage || f == Fault::cutAnswer || f == Fault::redirectHttps;
}

long residentKb() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

long heapInUse() { return static_cast<long>(mallinfo2().uordblks); }

struct Player {
  intptr_t status = 1;
  std::string title;
  std::string file;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t cycles = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  char pattern[] = "/tmp/trellicast-soak-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 2;
  const fs::path dir = pattern;
  platform::posix::setConfigPath((dir / "trellicast.conf").string());

  const std::string tagTitle = "Soak title & more";
  const std::string tagArtist = "Artist = %";
  Player player;
  player.file = (dir / "tagged.mp3").string();
  id3w::writeFile(player.file, id3w::tagV2(3, {id3w::textFrame("TIT2", tagTitle),
                                               id3w::textFrame("TPE1", tagArtist)}) +
                                   id3w::fakeAudio(4));

  gauntlet::FaultServer server;
  if (!server.ok()) return 2;
  fake::freshPlugin(HOST);
  fake::state().host = [&player](uintptr_t wParam, intptr_t code) -> intptr_t {
    switch (code) {
      case GET_STATUS:
        return player.status;
      case GET_LIST_POSITION:
        return 5;
      case GET_TITLE:
        return wParam == 5 ? reinterpret_cast<intptr_t>(player.title.c_str()) : 0;
      case GET_FILE_NAME:
        return wParam == 5 ? reinterpret_cast<intptr_t>(player.file.c_str()) : 0;
    }
    return 0;
  };
  fake::state().dialogTemplate = fake::settingsDialogControls();
  fake::state().dialogScript = [](platform::WindowHandle d) { fake::command(d, IDOK); };

  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/np";
  if (pluginInit() != 0) return 2;
  // The shortest interval: 0 seconds, which the timer raises to its least.
  saveSettings(url.c_str(), 1, 0);
  const auto& calls = fake::state().timerCalls;
  if (calls.empty() || !calls.back().set || calls.back().periodMs != 0) {
    std::fprintf(stderr, "soak: the timer was not armed at the shortest interval\n");
    return 2;
  }

  const long rssBegin = residentKb();
  const long heapBegin = heapInUse();
  long rssWarm = rssBegin, heapWarm = heapBegin;
  size_t lost = 0, malformed = 0, checked = 0, extraBoxes = 0, boxesSeen = 0, confirms = 0;
  const auto began = std::chrono::steady_clock::now();

  for (size_t i = 0; i < cycles; ++i) {
    // The timer paces sends: the previous one has ended (each is bounded)
    // before the server changes modes and the next tick comes, which would
    // otherwise send nothing.
    for (int waited = 0; platform::posix::sendRunning() && waited < 2 * WAIT_MS; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (i == WARM_UP) {
      rssWarm = residentKb();
      heapWarm = heapInUse();
    }
    if (i > 0 && i % CONFIRM_EVERY == 0) {
      // The user confirms the settings: boxes are allowed again.
      if (fake::state().boxes.size() > 1) extraBoxes += fake::state().boxes.size() - 1;
      boxesSeen += fake::state().boxes.size();
      fake::state().boxes.clear();
      fake::state().timerCalls.clear();
      pluginConfig();
      ++confirms;
      if (errorShown) {
        std::fprintf(stderr, "soak: cycle %zu: the dialog did not clear the error flag\n", i);
        return 1;
      }
    }
    const Fault fault = i % 2 == 0 ? Fault::healthy : FAULTS[(i / 2) % std::size(FAULTS)];
    if (!server.setFault(fault)) {
      std::fprintf(stderr, "soak: the server did not switch modes\n");
      return 2;
    }
    player.status = static_cast<intptr_t>(i % 4) - 1;
    player.title = "cycle " + std::to_string(i) + " & \xE9\x01 100%";
    fake::state().hostMessages.clear();
    const size_t acceptedBefore = server.accepted();
    if (!fake::fireTimer(HOST, UPDATE_TIMER_ID)) {
      std::fprintf(stderr, "soak: cycle %zu: the timer is not armed\n", i);
      return 1;
    }
    // The tick returns once the send has started, maybe before the server
    // took the connection; the server must serve it in this cycle's mode.
    for (int waited = 0;
         fault != Fault::refuse && server.accepted() == acceptedBefore && waited < WAIT_MS;
         waited += 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!readsWhole(fault)) {
      server.take();
      continue;
    }
    const auto posts = server.wait(1, WAIT_MS);
    server.take();
    if (posts.size() != 1) {
      ++lost;
      std::fprintf(stderr, "soak: cycle %zu (%s): %zu posts arrived\n", i,
                   gauntlet::faultName(fault), posts.size());
      continue;
    }
    const auto fields = gauntlet::parseForm(posts[0].body);
    const gauntlet::Fields expected = {{"wm_action", "wm_data"},
                                       {"wm_data[status]", std::to_string(player.status)},
                                       {"wm_data[title]", player.title},
                                       {"wm_id3[47]", tagTitle},
                                       {"wm_id3[61]", tagArtist}};
    ++checked;
    if (!posts[0].complete || !fields || *fields != expected) {
      ++malformed;
      std::fprintf(stderr, "soak: cycle %zu (%s): malformed post: %s\n", i,
                   gauntlet::faultName(fault), posts[0].body.c_str());
    }
  }
  if (fake::state().boxes.size() > 1) extraBoxes += fake::state().boxes.size() - 1;
  boxesSeen += fake::state().boxes.size();

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const long rssEnd = residentKb();
  const long heapEnd = heapInUse();
  pluginQuit();
  fs::remove_all(dir);
  std::printf(
      "soak: %zu cycles in %.1f s, %zu posts checked, %zu lost, %zu malformed, %zu boxes over %zu "
      "confirmations (%zu beyond one per confirmation)\n",
      cycles, seconds, checked, lost, malformed, boxesSeen, confirms, extraBoxes);
  std::printf("soak: resident memory %ld kB at start, %ld kB after %zu cycles, %ld kB at end\n",
              rssBegin, rssWarm, std::min(cycles, WARM_UP), rssEnd);
  std::printf("soak: heap in use %ld bytes at start, %ld after %zu cycles, %ld at end\n", heapBegin,
              heapWarm, std::min(cycles, WARM_UP), heapEnd);
  const bool heapGrew = cycles > WARM_UP && heapWarm > 0 && heapEnd - heapWarm > HEAP_GROWTH_LIMIT;
  if (heapGrew) std::printf("soak: the heap grew by %ld bytes\n", heapEnd - heapWarm);
  return lost == 0 && malformed == 0 && extraBoxes == 0 && !heapGrew ? 0 : 1;
}
