// SPDX-License-Identifier: GPL-2.0-or-later
// The command line of kvmorvel extract, and the run that writes the
// chosen entries' data to standard output (-O).
#ifndef KVMORVEL_TOOL_EXTRACT_OPTIONS_H
#define KVMORVEL_TOOL_EXTRACT_OPTIONS_H

#include <string>
#include <vector>

#include "common.h"
#include "manifest_check.h"
#include "pattern.h"

struct ExtractOptions {
  std::string archive;
  std::string target;                 // empty with -O
  std::vector<std::string> patterns;  // as given on the command line
  std::string filesFrom;              // --files-from: more patterns
  bool nulSeparated = false;          // --null
  bool toStdout = false;              // -O, --to-stdout
  bool keep = false;                  // --keep
  bool keepNewer = false;             // --keep-newer
  bool noOwner = false;               // --no-owner
  bool dryRun = false;                // --dry-run

  // The library's restore options these ask for.
  DWORD RestoreFlags() const;
  // Every pattern, those of --files-from included, into *chosen; false
  // with *problem in words when one is no pattern or the list cannot be
  // read.
  bool ChoosePatterns(PatternSet* chosen, std::string* problem) const;
};

// The manifest's entry lines a run choosing by `chosen` needs: all when
// it has no pattern (a null filter).
ManifestCheck::EntryFilter ManifestLinesFor(const PatternSet& chosen);

// Reads extract's arguments into *options. Returns -1 when the run is to
// go on, otherwise the exit status to end with (0 after --help).
int ParseExtractOptions(const Args& args, ExtractOptions* options);

// Reports each pattern of `chosen` that chose no entry, "PATTERN: not
// found in the archive" (with --json an error line); false when there
// was one.
bool ReportUnusedPatterns(const PatternSet& chosen);

// Writes the data of each chosen file entry, in archive order, to
// standard output and nothing else (folders and links have none); checked
// against the manifest as it streams when there is one. Messages go to
// stderr. Returns the exit status.
int WriteChosenToStdout(CKvMorvel* archive, const ExtractOptions& options,
                        PatternSet* chosen);

#endif  // KVMORVEL_TOOL_EXTRACT_OPTIONS_H
