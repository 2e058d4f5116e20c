// The content codings a client accepts (its Accept-Encoding value), as far
// as the server has files for them: the compressed variants NAME.br and
// NAME.gz kept beside a file.
#pragma once
#include <cstdint>

constexpr uint8_t kCodingBr = 1;
constexpr uint8_t kCodingGzip = 2;

// The codings of kCodingBr | kCodingGzip the Accept-Encoding value allows:
// named with a weight above 0, or left to a "*" with a weight above 0. A
// coding's own entry wins over "*"; an unreadable weight refuses. Null
// (no field) allows none.
uint8_t AcceptedCodings(const char *value);
