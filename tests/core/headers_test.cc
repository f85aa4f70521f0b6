// The core's public headers, all in one translation unit: the build lists
// them from the files under core/ (CMakeLists.txt), so a header added there
// is included here at the next build, and the interpreter check sees
// whatever any of them pulls in.
#include "core_headers.inc"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace quillscore {
namespace {

TEST(CoreIsInterpreterFree, NoPythonHeaderReachable) {
#ifdef Py_PYTHON_H
  FAIL() << "a core header includes Python.h; the core must build without the interpreter";
#endif
}

TEST(CoreHeaders, ListIsEveryPublicHeaderOnDisk) {
  namespace fs = std::filesystem;
  const fs::path root(QUILLSCORE_SOURCE_DIR);
  std::vector<std::string> on_disk;
  for (const auto& entry : fs::recursive_directory_iterator(root / "core")) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || entry.path().extension() != ".h") continue;
    if (name.ends_with("_internal.h")) continue;
    on_disk.push_back(entry.path().lexically_relative(root).generic_string());
  }
  std::sort(on_disk.begin(), on_disk.end());
  std::vector<std::string> listed(std::begin(kCoreHeaders), std::end(kCoreHeaders));
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, on_disk);
}

}  // namespace
}  // namespace quillscore
