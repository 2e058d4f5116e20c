// Reader of key=value text files: the server configurations and the FTP
// account files. The whole file is loaded once and cut into lines in place.
//
// Each server declares its keys once, as a table of IniEntry: what a line
// starts with, what its value may be, what is said when it is absent or
// refused, and the function that stores it. ReadKeys walks such a table in
// order; anything else that wants the key list (a check of unknown keys, a
// configuration test, a reload, the manual's key list) can walk the same
// table.
#pragma once
#include <cstddef>
#include <cstdint>

struct Ini {
  char *text = nullptr;   // whole file + NUL; owned, freed by CloseIni
  uint32_t size = 0;      // file length + 1
  uint32_t lines[256];    // offsets of the indexed lines, file order
  uint32_t numbers[256];  // their line numbers in the file, from 1
  uint32_t count = 0;     // entries used in lines
  const char *path = nullptr;  // as opened, for messages
  // Put before every message of the key readers ("Account bob"), so that
  // a message names what it is about; null: nothing.
  const char *label = nullptr;
};

// 0 when the file was loaded and indexed, -1 otherwise (prints
// "Table size exceeded.\n" for more than 256 indexable lines).
int OpenIni(Ini *ini, const char *path);
// The value of the next line from *at on starting with `key` (which
// includes its '='), pointing into the file's text; *at is moved past it.
// A value of size-1 characters or more does not fit a size-byte buffer and
// is passed over. Null (silently) when there is none.
const char *IniLine(const Ini *ini, uint32_t *at, const char *key, size_t size);
// Copies the value of the first line starting with `key` (which includes
// its '='). A value of size-1 characters or more does not fit and the
// search goes on below it. 0 on success, -1 when none fits.
// An optional key: nothing is said when it is absent.
int IniFind(const Ini *ini, const char *key, char *value, size_t size);
// A key the server expects: when none fits, "The line '<key>' is
// missing.\n" is printed before the caller's own default or fault.
int ReadIni(const Ini *ini, char *value, size_t size, const char *key);
// Walks the lines of a repeated key (AddVirtual=, AddCommand=...) in file
// order: *at starts at 0 and is moved past each line returned. 0 for the
// next value, -1 (silently) at the end.
int IniNext(const Ini *ini, uint32_t *at, const char *key, char *value,
            size_t size);
int CloseIni(Ini *ini);

// ---- Keys declared as data ----

enum class IniType : uint8_t {
  kText,      // any text (the empty one too, unless kIniNotEmpty)
  kNumber,    // a whole number (digits after an optional sign) from low to
              // high
  kPort,      // 1 to 65535, digits only
  kFlag,      // exactly "0" or "1"
  kRepeated,  // every line of the key, in file order (a list)
};

// A refused value always stops the reading: a value taken as some default
// would run the server other than its operator wrote. kIniRefusedStops and
// kIniEmptyStops say so in the tables where it has always been the case.
enum : uint8_t {
  kIniNoteAbsent = 1,     // absent: "The line '<key>' is missing.\n" first
  kIniAbsentStops = 2,    // absent: the reading stops after `absent`
  kIniRefusedStops = 4,   // refused: the reading stops after `refused`
  kIniNotEmpty = 8,       // an empty value is refused, with `empty`
  kIniEmptyStops = 16,    // the same
};

struct IniKey {
  const char *name;             // with its '=', as the line starts
  IniType type;
  uint8_t flags;
  const char *absent = nullptr;   // said when the key is absent
  const char *refused = nullptr;  // said when refused; %s takes the value
  const char *empty = nullptr;    // said for an empty value (kIniNotEmpty)
  int64_t low = INT64_MIN;        // kNumber: the accepted range
  int64_t high = INT64_MAX;
  // Replaces the type's own test of the text (bounds still apply).
  bool (*valid)(const char *text) = nullptr;
  // The value buffer of this key; 0: the one the table is read with. A
  // longer value is refused, never cut.
  uint32_t size = 0;
  // What a value must be, for the fault that names a refused one ("yes or
  // no"); null: the type says it (a whole number from low to high...).
  const char *form = nullptr;
};

enum class IniState : uint8_t {
  kAbsent,   // no line (that fits)
  kGiven,    // a value that passed
  kRefused,  // a value that did not, and did not stop the reading
  kEnd,      // kRepeated: after the last line, for settling the list
};

struct IniValue {
  IniState state;
  const char *text;  // the value as written; "" unless kGiven or kRefused
  int64_t number;    // kNumber, kPort, kFlag: the value read
  const Ini *ini = nullptr;  // where the value stands, for IniSayWhere
  uint32_t line = 0;         // its line number; 0 when absent
};

// Prints "FILE:LINE: " for the value (after the file's label), before an
// apply function's own fault about it, so the operator finds the line.
void IniSayWhere(const IniValue &value);

// Stores a value (or what its absence means) into the server's record.
// 0, or -1 after printing a fault that stops the reading.
template <class Record>
struct IniEntry {
  IniKey key;
  int (*apply)(Record *record, const IniValue &value);
};

// Looks the key up from *at on, judges the value and prints what the key
// says for its state. 1 when a line was read (value filled), 0 when there
// is none more (state kAbsent), -1 when the key stops the reading: a
// refused value does, after its fault is printed as "FILE:LINE: " and the
// key's own `refused` text, or one naming the key and its form.
int IniReadValue(const Ini *ini, const IniKey &key, size_t size, uint32_t *at,
                 IniValue *value);

// Text rules for IniKey::valid that more than one key uses.
bool IniZeroIsExact(const char *text);  // a number; 0 only as "0"
bool IniYesOrNo(const char *text);      // "yes" or "no"
// An IPv4 or IPv6 address as the system reads one, that fits the servers'
// address fields (kAddressTextSize).
bool IniAddress(const char *text);
bool IniDigitsOnly(const char *text);   // one or more digits, nothing else

// The same key with the texts a server says in its own words.
constexpr IniKey IniSaying(IniKey key, const char *absent) {
  key.absent = absent;
  return key;
}
constexpr IniKey IniRefusing(IniKey key, const char *refused) {
  key.refused = refused;
  return key;
}

// ---- Strict checking ----

// Checks every line against the names a file may use (each with its '='):
// a key that is none of them, or blanks around '=', is a fault printed as
// "FILE:LINE: ..." with the nearest known key when one is close; a first
// line that looks like a key draws a warning, since the first line is
// never read. The number of faults.
int IniCheckLines(const Ini *ini, const char *const *names, size_t count);

// The names of a key table, for IniCheckLines; `at` moves past them.
template <class Record, size_t N>
void IniNames(const IniEntry<Record> (&table)[N], const char **names, size_t *at) {
  for (const IniEntry<Record> &e : table) names[(*at)++] = e.key.name;
}

// Reads every key of the table in its order into the record, values of up
// to size-2 characters (unless a key says otherwise). A repeated key's
// apply runs for each of its lines, then once with kEnd. 0, or -1 once a
// key stopped the reading (its message printed).
template <class Record, size_t N>
int ReadKeys(const Ini *ini, const IniEntry<Record> (&table)[N], Record *record,
             size_t size) {
  for (const IniEntry<Record> &e : table) {
    IniValue v;
    uint32_t at = 0;
    if (e.key.type != IniType::kRepeated) {
      if (IniReadValue(ini, e.key, size, &at, &v) < 0) return -1;
      if (e.apply(record, v) != 0) return -1;
      continue;
    }
    int r;
    while ((r = IniReadValue(ini, e.key, size, &at, &v)) > 0)
      if (v.state == IniState::kGiven && e.apply(record, v) != 0) return -1;
    if (r < 0) return -1;
    v.state = IniState::kEnd;
    if (e.apply(record, v) != 0) return -1;
  }
  return 0;
}
