#pragma once

#include <csignal>

#include <sys/resource.h>

// While it lives, no file this process writes can grow past a kilobyte, as
// if the disk were full: writes fail instead of the process being stopped.
class DiskFull {
 public:
  DiskFull() {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~DiskFull() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  DiskFull(const DiskFull&) = delete;
  DiskFull& operator=(const DiskFull&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};
