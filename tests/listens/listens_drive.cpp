// The listens thread driven by hand, for host_listens_test.py: asks the
// server at URL whether TOKEN is valid and prints the status line that
// comes back (or "no answer" after 15 s).
//   listens_drive URL TOKEN
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "listens/sender.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: listens_drive URL TOKEN\n", stderr);
    return 2;
  }
  listens::senderCheckToken(argv[1], argv[2]);
  std::string line = "no answer";
  for (int i = 0; i < 1500 && !listens::senderStatusLine(&line); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::printf("%s\n", line.c_str());
  listens::senderQuit();
  return 0;
}
