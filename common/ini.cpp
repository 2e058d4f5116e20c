#include "ini.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "addresses.h"
#include "string_helpers.h"

int OpenIni(Ini *ini, const char *path) {
  ini->count = 0;
  ini->text = nullptr;
  ini->size = 0;
  ini->path = path;
  ini->label = nullptr;
  FILE *f = fopen(path, "rb");
  if (!f) return -1;
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
      st.st_size >= 0x7fffffff) {
    fclose(f);
    return -1;
  }
  size_t length = (size_t)st.st_size;
  ini->text = (char *)malloc(length + 1);
  if (!ini->text) {
    fclose(f);
    return -1;
  }
  if (fread(ini->text, 1, length, f) != length) {
    fclose(f);
    return -1;
  }
  ini->text[length] = '\0';
  ini->size = (uint32_t)(length + 1);
  fclose(f);

  char *t = ini->text;
  uint32_t number = 1;
  for (size_t j = 0; t[j] != '\0'; j++) {
    if (t[j] != '\n' && t[j] != '\r') continue;
    number++;
    // A line end: cut here. CR LF counts as one end.
    if (t[j] == '\r' && j + 1 < length && t[j + 1] == '\n') {
      t[j] = '\0';
      j++;
    }
    t[j] = '\0';
    if (j + 1 >= length) return 0;
    char first = t[j + 1];
    if (first == ';' || first == '\0') continue;
    if (ini->count == 256) {
      fputs("Table size exceeded.\n", stderr);
      return -1;
    }
    ini->numbers[ini->count] = number;
    ini->lines[ini->count++] = (uint32_t)(j + 1);
  }
  return 0;
}

const char *IniLine(const Ini *ini, uint32_t *at, const char *key, size_t size) {
  size_t keyLen = strlen(key);
  while (ini->text && *at < ini->count && size > 0) {
    const char *line = ini->text + ini->lines[*at];
    (*at)++;
    if (strncmp(line, key, keyLen) != 0) continue;
    // Values of size-1 characters or more do not count: a copy must carry
    // the NUL within size-1 bytes.
    const char *value = line + keyLen;
    if (strnlen(value, size - 1) < size - 1) return value;
  }
  return nullptr;
}

int IniNext(const Ini *ini, uint32_t *at, const char *key, char *value,
            size_t size) {
  const char *found = IniLine(ini, at, key, size);
  if (!found) return -1;
  memcpy(value, found, strlen(found) + 1);
  return 0;
}

int IniFind(const Ini *ini, const char *key, char *value, size_t size) {
  uint32_t at = 0;
  return IniNext(ini, &at, key, value, size);
}

int ReadIni(const Ini *ini, char *value, size_t size, const char *key) {
  if (IniFind(ini, key, value, size) == 0) return 0;
  fprintf(stderr, "The line '%s' is missing.\n", key);
  return -1;
}

int CloseIni(Ini *ini) {
  free(ini->text);
  ini->text = nullptr;
  return 0;
}

bool IniZeroIsExact(const char *text) {
  return ParseLong(text) != 0 || strcmp(text, "0") == 0;
}

bool IniDigitsOnly(const char *text) {
  size_t digits = strspn(text, "0123456789");
  return digits > 0 && text[digits] == '\0';
}

bool IniYesOrNo(const char *text) { return strcmp(text, "yes") == 0 || strcmp(text, "no") == 0; }

bool IniAddress(const char *text) {
  NetAddress a;
  // A scope (fe80::1%eth0) can make the text longer than a server keeps.
  return strlen(text) < kAddressTextSize && AddressFromText(text, 0, &a) == 0;
}

namespace {

const char kValueTooLong[] = "%s is longer than %u characters.\n";
const char kValueForm[] = "%s%.*s is not %s.\n";
const char kWhere[] = "%s:%u: ";
const char kWholeNumber[] = "a whole number from %lld to %lld";
const char kPortForm[] = "a port number from 1 to 65535";
const char kFlagForm[] = "0 or 1";
const char kSomeForm[] = "a value this key takes";

// Digits after an optional sign, nothing else. One too large to hold is
// held at the end of the range, where the key's bounds judge it.
bool WholeNumber(const char *text, int64_t *number) {
  const char *digits = text + (text[0] == '-' || text[0] == '+');
  size_t n = strspn(digits, "0123456789");
  if (n == 0 || digits[n] != '\0') return false;
  *number = ParseLong(text);
  return true;
}

// Whether the text is a value of the key: the type's form, its bounds and
// the key's own test.
bool Judge(const IniKey &key, const char *text, int64_t *number) {
  *number = 0;
  switch (key.type) {
    case IniType::kPort:
      *number = ParsePort(text);
      if (*number <= 0) return false;
      break;
    case IniType::kFlag:
      if (strcmp(text, "0") != 0 && strcmp(text, "1") != 0) return false;
      *number = text[0] - '0';
      break;
    case IniType::kNumber:
      if (!WholeNumber(text, number) || *number < key.low || *number > key.high) return false;
      break;
    case IniType::kText:
    case IniType::kRepeated:
      break;
  }
  return !key.valid || key.valid(text);
}

// Names the file's subject before one of its messages.
void Label(const Ini *ini) {
  if (ini->label) fprintf(stderr, "%s: ", ini->label);
}

// The fault of a refused value that the key has no words of its own for.
void SayForm(const IniKey &key, const char *text) {
  char form[96];
  const char *said = key.form ? key.form : kSomeForm;
  if (key.type == IniType::kNumber && !key.form) {
    snprintf(form, sizeof form, kWholeNumber, (long long)key.low, (long long)key.high);
    said = form;
  } else if (key.type == IniType::kPort) {
    said = kPortForm;
  } else if (key.type == IniType::kFlag) {
    said = kFlagForm;
  }
  fprintf(stderr, kValueForm, key.name, (int)strnlen(text, 80), text, said);
}

}  // namespace

void IniSayWhere(const IniValue &value) {
  if (!value.ini) return;
  Label(value.ini);
  fprintf(stderr, kWhere, value.ini->path ? value.ini->path : "", value.line);
}

int IniReadValue(const Ini *ini, const IniKey &key, size_t size, uint32_t *at,
                 IniValue *value) {
  if (key.size != 0) size = key.size;
  value->text = "";
  value->number = 0;
  value->ini = ini;
  value->line = 0;
  // The next line of the key, whatever its length: one too long for the
  // value's room is refused, never passed over or cut.
  const char *text = nullptr;
  size_t keyLength = strlen(key.name);
  while (ini->text && *at < ini->count && !text) {
    const char *line = ini->text + ini->lines[*at];
    if (strncmp(line, key.name, keyLength) == 0) {
      text = line + keyLength;
      value->line = ini->numbers[*at];
    }
    (*at)++;
  }
  if (!text) {
    value->state = IniState::kAbsent;
    // The end of a list is no absence.
    if (key.type == IniType::kRepeated) return 0;
    if (key.flags & kIniNoteAbsent) {
      Label(ini);
      fprintf(stderr, "The line '%s' is missing.\n", key.name);
    }
    if (key.absent) {
      Label(ini);
      fputs(key.absent, stderr);
    }
    return (key.flags & kIniAbsentStops) ? -1 : 0;
  }
  value->text = text;
  value->state = IniState::kRefused;
  if (size >= 2 && strnlen(text, size - 1) >= size - 1) {
    IniSayWhere(*value);
    fprintf(stderr, kValueTooLong, key.name, (unsigned)(size - 2));
    return -1;
  }
  bool empty = text[0] == '\0' && (key.flags & (kIniNotEmpty | kIniEmptyStops));
  if (empty && key.empty) {
    IniSayWhere(*value);
    fputs(key.empty, stderr);
    return -1;
  }
  if (!empty && Judge(key, text, &value->number)) {
    value->state = IniState::kGiven;
    return 1;
  }
  IniSayWhere(*value);
  // A key that has always said its fault in its own words goes on doing so.
  if (key.refused)
    fprintf(stderr, key.refused, text);
  else
    SayForm(key, text);
  return -1;
}

namespace {

const char kUnknownKey[] = "%s:%u: %.*s is not a known key%s%.*s%s\n";
const char kBlanks[] = "%s:%u: %.*s: blanks around '=' are not allowed.\n";
const char kFirstLine[] =
    "WARNING! %s:1: the first line is never read; %.*s there is ignored.\n";

// Edit distance of two short texts, letters compared without case.
size_t Distance(const char *a, size_t an, const char *b, size_t bn) {
  size_t row[64];
  if (an >= 64 || bn >= 64) return 64;
  for (size_t j = 0; j <= bn; j++) row[j] = j;
  for (size_t i = 1; i <= an; i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= bn; j++) {
      size_t above = row[j];
      bool same = tolower((unsigned char)a[i - 1]) == tolower((unsigned char)b[j - 1]);
      size_t best = diagonal + (same ? 0 : 1);
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      if (above + 1 < best) best = above + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[bn];
}

// The known name (without its '=') nearest to key, when close enough to
// be a typing error of it; null otherwise.
const char *Nearest(const char *key, size_t n, const char *const *names, size_t count) {
  const char *best = nullptr;
  size_t bestDistance = n / 3 + 1;
  for (size_t i = 0; i < count; i++) {
    size_t d = Distance(key, n, names[i], strlen(names[i]) - 1);
    if (d < bestDistance || (d == bestDistance && !best && d <= 2)) {
      best = names[i];
      bestDistance = d;
    }
  }
  return best;
}

bool Known(const char *key, size_t n, const char *const *names, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (strlen(names[i]) == n + 1 && strncmp(names[i], key, n) == 0) return true;
  return false;
}

}  // namespace

int IniCheckLines(const Ini *ini, const char *const *names, size_t count) {
  const char *path = ini->path ? ini->path : "";
  if (ini->text && ini->text[0] != ';' && ini->text[0] != '#') {
    const char *eq = strchr(ini->text, '=');
    if (eq) fprintf(stderr, kFirstLine, path, (int)(eq - ini->text), ini->text);
  }
  int faults = 0;
  for (uint32_t i = 0; i < ini->count; i++) {
    const char *line = ini->text + ini->lines[i];
    // '#' comments and "[section]" lines have always been passed over.
    if (line[0] == '#' || line[0] == '[') continue;
    const char *eq = strchr(line, '=');
    size_t n = eq ? (size_t)(eq - line) : strlen(line);
    size_t key = n;
    while (key > 0 && (line[key - 1] == ' ' || line[key - 1] == '\t')) key--;
    size_t lead = strspn(line, " \t");
    if (eq && (key != n || lead > 0 || eq[1] == ' ' || eq[1] == '\t') &&
        Known(line + lead, key - lead, names, count)) {
      fprintf(stderr, kBlanks, path, ini->numbers[i], (int)(key - lead), line + lead);
      faults++;
      continue;
    }
    if (eq && Known(line, n, names, count)) continue;
    const char *near = Nearest(line + lead, key - lead, names, count);
    int nearLength = near ? (int)strlen(near) - 1 : 0;
    fprintf(stderr, kUnknownKey, path, ini->numbers[i], (int)(n > 64 ? 64 : n), line,
            near ? " (did you mean " : "", nearLength, near ? near : "", near ? "?)" : "");
    faults++;
  }
  return faults;
}
