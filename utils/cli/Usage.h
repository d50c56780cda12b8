// The usage texts: the plain one scripts know, and the switches' lines that --help adds.
#pragma once

#include <cstdio>
#include <string>

// The plain usage text, as scripts know it.
std::string UsageText();
// On stdout, as scripts know it; on stderr under --json, where stdout carries the object alone.
void PrintUsage(FILE* out = stdout);
// The switches' own lines, shown by --help only: the plain usage text stays as scripts know it.
void PrintSwitchUsage();
