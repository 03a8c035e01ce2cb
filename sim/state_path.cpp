#include "sim/state_path.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <climits>
#endif

namespace {

#if defined(_WIN32)
constexpr const char* SEPARATORS = "/\\";
constexpr char SEPARATOR = '\\';

// Windows resolves ".." and "." in the text of the path; links to folders are rare
// enough there to be left as they are.
bool realFolder(const std::string& folder, std::string* real) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(folder.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) {
        return false;
    }
    *real = full;
    return true;
}
#else
constexpr const char* SEPARATORS = "/";
constexpr char SEPARATOR = '/';

bool realFolder(const std::string& folder, std::string* real) {
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr) {
        return false;
    }
    *real = resolved;
    return true;
}
#endif

}  // namespace

std::string simCanonicalStatePath(const std::string& path) {
    const size_t split = path.find_last_of(SEPARATORS);
    const std::string folder = split == std::string::npos ? "."
                               : split == 0               ? path.substr(0, 1)
                                                          : path.substr(0, split);
    const std::string name = split == std::string::npos ? path : path.substr(split + 1);
    std::string real;
    if (name.empty() || name == "." || name == ".." || !realFolder(folder, &real)) {
        return path;
    }
    if (real.empty() || real.back() != SEPARATOR) {
        real += SEPARATOR;
    }
    return real + name;
}
