// options.h - the program's options, in one table.
//
// Options come before the positional arguments: the first argument that does
// not begin with "-" ends them, and "--" ends them explicitly. Each option
// has one entry in the table of options.cpp (name, value, range, help line),
// from which both the parsing and the --help text come. ParseOptions writes
// the option fields of the settings; it runs on the main thread before
// anything else. With no option given, nothing in the settings changes.
#pragma once

enum OptionsResult {
  kOptionsOk,       // *piFirstPositional: index of the port argument
  kOptionsHelp,     // --help, --version or --list was answered: end with status 0
  kOptionsRefused,  // a message and the usage text were printed
};

OptionsResult ParseOptions(int iArgCount, char **pArgs, int *piFirstPositional);

// Is the word one of the options' names, with or without "=value"? (An
// option written after the port is refused rather than taken as text.)
bool IsOptionWord(const char *szWord);
// Is it --batch, however written?
bool IsBatchWord(const char *szWord);

// The usage text: four lines, as the program has always printed it.
void PrintUsage();
