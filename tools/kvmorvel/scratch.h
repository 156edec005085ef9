// SPDX-License-Identifier: GPL-2.0-or-later
// A private folder the command restores into and removes again: verify
// restores each entry there to read its data back.
#ifndef KVMORVEL_TOOL_SCRATCH_H
#define KVMORVEL_TOOL_SCRATCH_H

#include <string>

class ScratchFolder {
 public:
  // Makes a new folder of its own under $TMPDIR (else /tmp); check ok().
  ScratchFolder();
  // Removes the folder and everything below it.
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Removes what an entry named `name` ('\' between folders) left in the
  // folder, unless it is a folder: the next entries may go into it.
  void RemoveItem(const std::u16string& name) const;

 private:
  std::string path_;
};

// Restores of encrypted files stay at their own path: the variable that
// would send them to another folder is cleared for this process.
void KeepEncryptedFilesInPlace();

#endif  // KVMORVEL_TOOL_SCRATCH_H
