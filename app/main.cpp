#include "app/startup.h"

int main(int argc, char** argv) { runDovelflash(argc, argv); }
