// Shared by the listing tests: the page pieces as the server writes them,
// and a reader that takes a listing page apart into its rows.
#pragma once
#include <string>
#include <vector>

#include "mirt_fixture.h"

namespace mirt_test {

std::string ListingHead(const std::string &path);
extern const char kParentRow[];
extern const char kColumnTitles[];
extern const char kListingFoot[];
std::string FileRow(const std::string &href, const std::string &text,
                    const std::string &size, const std::string &date);
std::string DirectoryRow(const std::string &href, const std::string &text,
                         const std::string &date);

struct Row {
  std::string href, text, size, date;  // size "Directory" for directories
};
// The rows of a listing page after its column titles, in page order.
// `complete` tells whether the foot followed the last row.
std::vector<Row> Rows(const std::string &page, bool *complete = nullptr);

// Sets a file's access and modification time.
void SetTime(const std::string &path, long seconds);

}  // namespace mirt_test
