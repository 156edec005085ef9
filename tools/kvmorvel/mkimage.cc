// SPDX-License-Identifier: GPL-2.0-or-later
// kvmorvel mkimage: packs a folder into a disk image.
#include <cstdio>

#include "args.h"
#include "common.h"
#include "image_pack.h"

namespace {
const char kHelp[] =
    "usage: kvmorvel mkimage FOLDER IMAGE\n"
    "\n"
    "Makes the disk image IMAGE from FOLDER and everything below it, with\n"
    "the attributes, times, short names, security descriptors and links\n"
    "the files carry. 'kvmorvel list' and 'kvmorvel extract' read it as\n"
    "they read archives.\n";
}  // namespace

int RunMkimage(const Args& args) {
  std::vector<std::string> positional;
  const int early = ReadPlainArguments(args, "mkimage", kHelp, 2,
                                       "a FOLDER and an IMAGE are needed", &positional);
  if (early >= 0) return early;
  std::string reason;
  const unsigned code = KvPackImage(AbsolutePath(positional[0]),
                                    AbsolutePath(positional[1]), &reason);
  if (code != 0) {
    ReportFailure("cannot make " + positional[1] +
                      (reason.empty() ? std::string() : ": " + reason),
                  code);
    return kExitFailed;
  }
  return kExitOk;
}
