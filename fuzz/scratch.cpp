#include "scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<std::string> scratchDirs;

void RemoveAll() {
  for (const std::string &dir : scratchDirs) RemoveTree(dir);
}

// A run that stopped on a finding (abort) never got to RemoveAll: its
// directory, named after its process, goes once that process is gone.
void RemoveStale(const char *base, const char *stem) {
  DIR *dir = opendir(base);
  if (!dir) return;
  size_t n = strlen(stem);
  std::vector<std::string> stale;
  while (struct dirent *e = readdir(dir)) {
    if (strncmp(e->d_name, stem, n) != 0) continue;
    long pid = strtol(e->d_name + n, nullptr, 10);
    if (pid > 0 && kill((pid_t)pid, 0) != 0 && errno == ESRCH)
      stale.push_back(std::string(base) + "/" + e->d_name);
  }
  closedir(dir);
  for (const std::string &path : stale) RemoveTree(path);
}

}  // namespace

std::string MakeScratch(const char *stem) {
  // Memory-backed when there is one: inputs that change the tree make it
  // be built again, which on a disk file system costs more than the run.
  const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  RemoveStale(base, stem);
  char pattern[64];
  snprintf(pattern, sizeof pattern, "%s/%s%d-XXXXXX", base, stem, (int)getpid());
  Check(mkdtemp(pattern) != nullptr, "mkdtemp", pattern);
  char real[PATH_MAX];
  Check(realpath(pattern, real) != nullptr, "realpath", pattern);
  if (scratchDirs.empty()) atexit(RemoveAll);
  scratchDirs.push_back(real);
  return real;
}

void MakeDir(const std::string &path) {
  Check(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST, "mkdir", path);
}

void WriteBytes(const std::string &path, const std::string &bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "create", path);
  Check(write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size(), "write", path);
  close(fd);
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // A directory the fuzz input left without permissions still goes.
    chmod(path.c_str(), 0700);
    if (DIR *dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent *e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
          names.push_back(e->d_name);
      closedir(dir);
      for (const std::string &name : names) RemoveTree(path + "/" + name);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::string Fingerprint(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return path + ": missing\n";
  char line[256];
  snprintf(line, sizeof line, ": %lu %o %lld %ld.%09ld %ld.%09ld %lu\n",
           (unsigned long)st.st_ino, (unsigned)st.st_mode, (long long)st.st_size,
           (long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec, (long)st.st_ctim.tv_sec,
           st.st_ctim.tv_nsec, (unsigned long)st.st_nlink);
  std::string text = path + line;
  if (S_ISDIR(st.st_mode)) {
    if (DIR *dir = opendir(path.c_str())) {
      std::vector<std::string> names;
      while (struct dirent *e = readdir(dir))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
          names.push_back(e->d_name);
      closedir(dir);
      for (const std::string &name : names) text += Fingerprint(path + "/" + name);
    }
  }
  return text;
}

std::string CanaryBytes(unsigned seed, size_t n) {
  std::string bytes;
  uint32_t x = 0x9e3779b9u ^ seed;
  for (size_t i = 0; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Every eighth byte a NUL or control byte: no text a server builds
    // (status lines, error pages, replies) can hold such a run.
    bytes += (i % 8 == 0) ? (char)(x % 0x20) : (char)(x & 0xff);
  }
  return bytes;
}

bool HoldsCanaryRun(const char *text, size_t n, const std::string &canary) {
  const size_t kRun = 16;
  if (n < kRun) return false;
  // A plain loop on purpose: libFuzzer hooks memmem and would feed the
  // canary's bytes back into its inputs.
  for (size_t start = 0; start + kRun <= canary.size(); start += kRun)
    for (size_t i = 0; i + kRun <= n; i++) {
      size_t k = 0;
      while (k < kRun && text[i + k] == canary[start + k]) k++;
      if (k == kRun) return true;
    }
  return false;
}

void Check(bool ok, const char *what, const std::string &detail) {
  if (ok) return;
  fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
  abort();
}

namespace {
const int kWatchedDescriptors = 64;
uint64_t openAtStart = 0;

uint64_t OpenDescriptors() {
  uint64_t open = 0;
  for (int fd = 0; fd < kWatchedDescriptors; fd++)
    if (fcntl(fd, F_GETFD) != -1) open |= 1ull << fd;
  return open;
}
}  // namespace

void NoteOpenDescriptors() { openAtStart = OpenDescriptors(); }

bool NoDescriptorsLeaked() { return OpenDescriptors() == openAtStart; }
