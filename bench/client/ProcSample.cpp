// Sampling the server process from /proc and the counting allocator's file.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ProcSample.hh"

namespace ostra_bench {

ProcSample sampleProc(Options const& o) {
  ProcSample s;
  if (o.pid <= 0) return s;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", int(o.pid));
  FILE* f = std::fopen(path, "r");
  if (!f) return s;
  char buf[4096];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // Fields after the command name, which ends at the last ')'.
  char* q = std::strrchr(buf, ')');
  if (!q) return s;
  unsigned long long utime = 0, stime = 0;
  // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
  if (std::sscanf(q + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return s;
  s.cpuSec = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  // The scheduler's run time of every thread, in nanoseconds: far finer than clock ticks.
  std::snprintf(path, sizeof path, "/proc/%d/task", int(o.pid));
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char sp[352];
      std::snprintf(sp, sizeof sp, "/proc/%d/task/%s/schedstat", int(o.pid), e->d_name);
      if (FILE* sf = std::fopen(sp, "r")) {
        unsigned long long run = 0;
        if (std::fscanf(sf, "%llu", &run) == 1) s.runNs += run;
        std::fclose(sf);
      }
    }
    closedir(d);
  }
  std::snprintf(path, sizeof path, "/proc/%d/status", int(o.pid));
  f = std::fopen(path, "r");
  if (f) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (!std::strncmp(line, "VmRSS:", 6)) s.rssKb = std::atol(line + 6);
      if (!std::strncmp(line, "VmHWM:", 6)) s.hwmKb = std::atol(line + 6);
      if (!std::strncmp(line, "Threads:", 8)) s.threads = std::atoi(line + 8);
    }
    std::fclose(f);
  }
  if (!o.allocFile.empty()) {
    f = std::fopen(o.allocFile.c_str(), "rb");
    if (f) {
      uint64_t v[4] = {0, 0, 0, 0};
      if (std::fread(v, sizeof(uint64_t), 4, f) == 4 && v[0] == 0x6f73747261616c63ull) {
        s.allocs = v[1];
        s.frees = v[2];
        s.allocBytes = v[3];
      }
      std::fclose(f);
    }
  }
  s.ok = true;
  return s;
}

}  // namespace ostra_bench
