// The texts of --help (-h) and --version, which end the run at once: no banner, no
// CAN link, no prompt.
#pragma once

// Prints the text the request asks for on standard output.
void printUsageRequest(const char* request);

void printUsage();
// One line: the ways to run the utility.
void printUsageLine();
void printVersion();
