#include "sim/state_path.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// More links in a row than this are a loop.
constexpr int MAX_LINKS_FOLLOWED = 40;

}  // namespace

std::string simRealPath(const std::string& text) {
    std::error_code error;
    fs::path path = fs::absolute(fs::path(text), error);
    if (error) {
        return text;
    }
    for (int i = 0; i < MAX_LINKS_FOLLOWED && fs::is_symlink(path, error); ++i) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
        // A link's target is resolved from the folder the link lies in, as the system does;
        // ".." in it climbs from that folder's real place.
        const fs::path folder = fs::weakly_canonical(path.parent_path(), error);
        if (!error) {
            path = folder / path.filename();
        }
    }
    const fs::path canonical = fs::weakly_canonical(path, error);
    return (error ? path.lexically_normal() : canonical).string();
}
