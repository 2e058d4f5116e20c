// Reading log files into a summary: the numbered files of the current
// directory, or files named one by one (plain or gzip-compressed, "-" for
// standard input).
#pragma once
#include <cstdio>
#include <zlib.h>

#include "log_summary.h"

// Reads one open log file; every line that does not parse goes to errors
// as "FILE:LINE: reason: the line". -1 when the file could not be read to
// its end (also reported in errors).
int SummariseFile(gzFile in, const char *name, Summary *s, FILE *errors);

// Reads log0000.log when present, then log0001.log, log0002.log, ... up to
// the first missing number (printing "No more files to be found.\n" there)
// or log9999.log; messages go to talk. Each file is closed once read. -1 when some file that is
// present could not be read.
int WalkLogs(Summary *s, FILE *errors, FILE *talk);

// Reads the file `name` ("-": standard input). -1 when it could not be
// opened or read to its end (said in errors and on talk).
int ReadNamedLog(const char *name, Summary *s, FILE *errors, FILE *talk);

// Ends the progress line, when one was shown.
void EndProgress(Summary *s);
