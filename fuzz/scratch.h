// Scratch trees for the fuzz targets: a temporary directory per process,
// files and directories made and removed in it, and a fingerprint of the
// canary files that must never change.
#pragma once
#include <string>

// A new directory below /dev/shm (or /tmp), by its real path, named
// stem + process id; removed at exit, or by a later run once the process
// is gone.
std::string MakeScratch(const char *stem);
void MakeDir(const std::string &path);
void WriteBytes(const std::string &path, const std::string &bytes);
// Removes path and everything below it (never follows links).
void RemoveTree(const std::string &path);
// Inode, size, times and link count of path and, for a directory, of every
// entry below it: any change to the canary shows up here.
std::string Fingerprint(const std::string &path);
// Bytes no server writes on its own (they hold NULs and control bytes);
// seeded so each target's canary differs.
std::string CanaryBytes(unsigned seed, size_t n);
// True when `text` holds any 16-byte run of `canary`.
bool HoldsCanaryRun(const char *text, size_t n, const std::string &canary);
// Stops the run with a message when `ok` is false.
void Check(bool ok, const char *what, const std::string &detail = "");
// Check for the hot path: the detail is built only when the check fails.
template <class Detail>
void Require(bool ok, const char *what, Detail detail) {
  if (!ok) Check(false, what, detail());
}

// Descriptor leaks: NoteOpenDescriptors remembers which of the first 64
// descriptors are open; NoDescriptorsLeaked says whether that is still so
// (descriptors are handed out lowest first, so anything an input left open
// shows up there). Noted afresh before every input: between inputs the
// fuzzing engine itself opens some (the pipes to its symbolizer when it
// first names a newly covered function), which no input left behind.
void NoteOpenDescriptors();
bool NoDescriptorsLeaked();
