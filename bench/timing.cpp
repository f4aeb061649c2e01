#include "timing.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace bench {

std::string make_scratch_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "odb-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a scratch folder");
  return tmpl;
}

void remove_dir(std::string const& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

}  // namespace bench
