// One name for a file, whichever path reaches it: the simulated hand's state file is
// locked by it, and the run's settings compare the files they read and write by it.
#pragma once

#include <string>

// The real path of path: made absolute, every link followed (the file's own too, also a
// link whose target does not exist yet, since writing through it makes that target),
// then "." and ".." and links in its folders resolved as far as they exist. A loop of
// links, or a path that cannot be taken apart, is named as it stands once made absolute.
std::string simRealPath(const std::string& path);
