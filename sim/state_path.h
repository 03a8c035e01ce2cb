// One name for a state file, whichever path reaches it.
#pragma once

#include <string>

// The real path of the folder of path (links and ".." resolved), a separator and the
// file's own name. The file itself need not exist, and is named as itself even when
// it is a link: the state is written beside it and renamed over that name. A folder
// that cannot be resolved (missing) leaves path as it is.
std::string simCanonicalStatePath(const std::string& path);
