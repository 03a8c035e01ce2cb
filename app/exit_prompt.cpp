#include <cstdio>
#include <cstdlib>

#include "app/console.h"

void exitPrompt() {
    std::printf("\nPress any key to exit...");
    waitKey();
    std::printf("\nDone.\n\n");
    std::exit(0);
}
