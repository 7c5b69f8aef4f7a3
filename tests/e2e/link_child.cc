// A stand-in for a driver that dies at the worst moment: it connects to one panel through the
// panel interface library, takes one event, prints it and then waits, without ever asking for
// the next event (which is what would acknowledge the first), until it is killed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "panelif/panelif.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: link_child CONNECTION-TEXT\n");
    return 2;
  }
  INITMONITOR();
  std::string connect = argv[1];
  INITIALIZEPANEL(connect.data());
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    std::string buffer(ORDANE_EVENT_BUFFER_SIZE, ' ');
    GETEVENTRESPONSE(buffer.data());
    if (buffer != std::string(ORDANE_EVENT_BUFFER_SIZE, ' ')) {
      std::printf("%s\n", buffer.c_str());
      std::fflush(stdout);
      for (;;) pause();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 1;
}
