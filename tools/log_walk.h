// Reading the numbered log files of the current directory into a summary.
#pragma once
#include <cstdio>

#include "log_summary.h"

// Reads one open log file; every line that does not parse goes to errors
// as "FILE:LINE: reason: the line". -1 when the file could not be read to
// its end (also reported in errors).
int SummariseFile(FILE *in, const char *name, Summary *s, FILE *errors);

// Reads log0000.log when present, then log0001.log, log0002.log, ... up to
// the first missing number (printing "No more files to be found.\n" there)
// or log9999.log. Each file is closed once read. -1 when some file that is
// present could not be read.
int WalkLogs(Summary *s, FILE *errors);
