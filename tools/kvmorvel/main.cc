// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel: write, list and restore KvMorvel archives, and make disk
// images, from the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "common.h"
#include "common/display_text.h"
#include "interrupt.h"
#include "system.h"

namespace {

const char kUsage[] =
    "usage: kvmorvel VERB [OPTIONS] ARGUMENTS\n"
    "\n"
    "  create [-V 1|2|5] [--level -1|0|1|2] [--split-size BYTES] [--append]\n"
    "         [--json] [-C DIR] [--exclude PATTERN] [--exclude-from FILE]\n"
    "         [--files-from FILE] [--null]\n"
    "         ARCHIVE PATH...     write PATH and everything below it\n"
    "  list [-v] [--time=creation|access|write] [--json] ARCHIVE\n"
    "                             show the entries of an archive or image\n"
    "  extract [--json] [--keep|--keep-newer] [--no-owner] [--dry-run]\n"
    "          [--files-from FILE] [--null] ARCHIVE TARGET [PATTERN...]\n"
    "                             restore the entries (all, or those the\n"
    "                             PATTERNs choose) below TARGET\n"
    "  extract -O ARCHIVE [PATTERN...]\n"
    "                             write the chosen files' data to stdout\n"
    "  mkimage FOLDER IMAGE       make a disk image from FOLDER\n"
    "  verify [--json] ARCHIVE    check that every entry can be restored\n"
    "  diff [--json] ARCHIVE FOLDER [PATTERN...]\n"
    "                             name what differs between the archive and\n"
    "                             the items below FOLDER\n"
    "\n"
    "kvmorvel VERB --help tells more about each verb; kvmorvel --version\n"
    "tells the version.\n"
    "Exit status: 0 all done, 1 an entry failed, 2 usage error or the\n"
    "archive did not open, 130 interrupted (Ctrl-C), 143 terminated\n"
    "(SIGTERM), 129 hung up (SIGHUP); an interrupted run closes the\n"
    "archive cleanly.\n";

bool IsHelp(const char* arg) {
  return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0 ||
         strcmp(arg, "help") == 0;
}

int RunVerb(const std::string& verb, const Args& args) {
  if (verb == "create") return RunCreate(args);
  if (verb == "list") return RunList(args);
  if (verb == "extract") return RunExtract(args);
  if (verb == "mkimage") return RunMkimage(args);
  if (verb == "verify") return RunVerify(args);
  if (verb == "diff") return RunDiff(args);
  fprintf(stderr, "kvmorvel: unknown verb '%s'\n\n%s", DisplayText(verb).c_str(),
          kUsage);
  return kExitUsage;
}

}  // namespace

int RunCommand(const std::vector<std::string>& arguments) {
  if (arguments.empty()) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (IsHelp(arguments[0].c_str())) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (arguments[0] == "--version" || arguments[0] == "-V") {
    printf("kvmorvel %s\n"
           "writes archive versions 1, 2 and 5; reads them and disk images\n",
           KVMORVEL_VERSION);
    return kExitOk;
  }
  const std::string verb = arguments[0];
  const Args args(arguments.begin() + 1, arguments.end());
  // mkimage never looks at the flag, so a handler would only make it deaf
  // to Ctrl-C, SIGTERM and SIGHUP: it keeps the system's default.
  if (verb != "mkimage") InstallInterruptHandler();
  const int status = RunVerb(verb, args);
  return status == kExitInterrupted ? InterruptedExitStatus() : status;
}
