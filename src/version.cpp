// The version the library was built as, for programs to compare with the headers they used.
#include <wrenfold/version.hpp>

namespace wrenfold {

const char* library_version() noexcept { return WRENFOLD_VERSION_STRING; }

}  // namespace wrenfold
