#pragma once
// Folders that the user granted to the browser.
#include <string>

namespace bridge {

struct Place {
  std::string id;    // 12 lower-case hex characters
  std::string name;  // last component of `path`, or the whole path for "/"
  std::string path;  // canonical folder path
};

}  // namespace bridge
