// SPDX-License-Identifier: GPL-2.0-or-later
// Makes the seed corpus of every fuzz target with the project's own
// writers: CKvMorvel writes version 1, 2 and 5 archives of a small tree
// (folders, files, a link to a folder and to a file, a descriptor); the
// image packer packs the same tree; the layer writes the metadata the
// decoder targets read (user.DOSATTRIB, a descriptor, reparse buffers).
//
//   fuzz_seeds <corpus folder>    writes <corpus>/<target>/seed-*
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "KvMorvel.h"
#include "fuzz/fuzz_support.h"
#include "image_pack.h"
#include "kvwin32.h"

namespace {

std::string g_corpus;

std::u16string W(const std::string& s) { return std::u16string(s.begin(), s.end()); }
void Emit(const std::string& target, const std::string& name, const FuzzBytes& bytes) {
  const std::string folder = g_corpus + "/" + target;
  mkdir(folder.c_str(), 0755);
  std::ofstream f(folder + "/seed-" + name, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) {
    fprintf(stderr, "cannot write %s/seed-%s\n", folder.c_str(), name.c_str());
    exit(1);
  }
}

void Must(bool ok, const std::string& what) {
  if (ok) return;
  fprintf(stderr, "seed: %s failed (%u)\n", what.c_str(), static_cast<unsigned>(GetLastError()));
  exit(1);
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The descriptor the layer gives `path`: owner, group and a DACL.
FuzzBytes DescriptorOf(const std::string& path) {
  FuzzBytes sd(4096);
  DWORD needed = 0;
  Must(GetFileSecurityW(AsWideChars(W(path)), 15, sd.data(), static_cast<DWORD>(sd.size()), &needed),
       "GetFileSecurityW");
  sd.resize(needed);
  return sd;
}

FuzzBytes ReparseOf(const std::string& path) {
  HANDLE h = CreateFileW(AsWideChars(W(path)), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  Must(h != INVALID_HANDLE_VALUE, "open " + path);
  FuzzBytes out(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD got = 0;
  Must(DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, nullptr, 0, out.data(),
                       static_cast<DWORD>(out.size()), &got, nullptr),
       "FSCTL_GET_REPARSE_POINT " + path);
  CloseHandle(h);
  out.resize(got);
  return out;
}

// The tree every writer stores:
//   docs/  docs/notes.txt (a few KiB)  docs/empty.txt  docs/hidden.ini
//   docs/up -> ..  (relative link to a folder)  docs/abs -> <tree>/docs
//   (absolute link to a folder, a junction)  docs/note -> notes.txt
void MakeTree(const std::string& tree) {
  mkdir(tree.c_str(), 0755);
  const std::string docs = tree + "/docs";
  mkdir(docs.c_str(), 0755);
  std::string notes;
  for (int i = 0; i < 120; ++i) notes += "line " + std::to_string(i) + " of the notes\n";
  WriteText(docs + "/notes.txt", notes);
  WriteText(docs + "/empty.txt", "");
  WriteText(docs + "/hidden.ini", "[x]\n");
  Must(SetFileAttributesW(AsWideChars(W(docs + "/hidden.ini")),
                          FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY |
                              FILE_ATTRIBUTE_ARCHIVE),
       "SetFileAttributesW");
  Must(symlink("..", (docs + "/up").c_str()) == 0, "symlink up");
  Must(symlink(docs.c_str(), (docs + "/abs").c_str()) == 0, "symlink abs");
  Must(symlink("notes.txt", (docs + "/note").c_str()) == 0, "symlink note");
}

// Names below the tree in the order the archives store them; version 1
// holds files only.
const char* const kEntries[] = {"docs",       "docs/notes.txt", "docs/empty.txt",
                                "docs/hidden.ini", "docs/up", "docs/abs", "docs/note"};

std::string Backslashed(std::string s) {
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

void ArchiveSeeds(const std::string& tree, const std::string& scratch, DWORD version) {
  const std::string path = scratch + "/v" + std::to_string(version) + ".arc";
  CKvMorvel archive;
  Must(archive.Open(AsWideChars(W(path)), FALSE, version), "Open for writing");
  const FuzzBytes descriptor = DescriptorOf(tree + "/docs/notes.txt");
  for (const char* entry : kEntries) {
    const std::string source = tree + "/" + entry;
    struct stat st;
    lstat(source.c_str(), &st);
    if (version == 1 && !S_ISREG(st.st_mode)) continue;
    const bool withDescriptor = version != 1 && S_ISREG(st.st_mode);
    Must(archive.AddFile(AsWideChars(W(source)), AsWideChars(W(Backslashed(entry))),
                         withDescriptor ? const_cast<uint8_t*>(descriptor.data()) : nullptr,
                         withDescriptor ? static_cast<DWORD>(descriptor.size()) : 0),
         std::string("AddFile ") + entry);
  }
  Must(archive.Close(), "Close");
  const std::string v = "v" + std::to_string(version);
  FuzzBytes input = ReadFileBytes(path);
  if (version == 5) input = JoinInput(input, ReadFileBytes(scratch + "/v5_0001.arc"));
  Emit("list_" + v, "tree", input);
  Emit("restore_" + v, "tree", input);
}

// Entries whose names lead through the links the scratch target holds
// (target/link and target/junction, both to a folder beside it), out of
// it by "..", or to a drive: a restore must refuse or confine each. The
// writer stores what it accepts; names it refuses are left out.
void EscapeSeeds(const std::string& tree, const std::string& scratch, DWORD version) {
  const std::string path = scratch + "/e" + std::to_string(version) + ".arc";
  const std::string v = std::to_string(version);
  CKvMorvel archive;
  Must(archive.Open(AsWideChars(W(path)), FALSE, version), "Open for writing");
  const std::string source = tree + "/docs/notes.txt";
  for (const char* name : {"link\\probe.txt", "junction\\probe.txt", "link",
                           "..\\probe.txt", "C:\\probe.txt", "present.txt"})
    archive.AddFile(AsWideChars(W(source)), AsWideChars(W(name)), nullptr, 0);
  Must(archive.Close(), "Close");
  FuzzBytes input = ReadFileBytes(path);
  if (version == 5) input = JoinInput(input, ReadFileBytes(scratch + "/e5_0001.arc"));
  Emit("restore_v" + v, "escape", input);
}

void ImageSeeds(const std::string& tree, const std::string& scratch) {
  std::string error;
  Must(KvPackImage(tree, scratch + "/tree.img", &error) == 0, "KvPackImage " + error);
  Emit("image", "tree", ReadFileBytes(scratch + "/tree.img"));
  const std::string one = scratch + "/one";
  mkdir(one.c_str(), 0755);
  WriteText(one + "/a.txt", "alpha");
  Must(KvPackImage(one, scratch + "/one.img", &error) == 0, "KvPackImage " + error);
  Emit("image", "one", ReadFileBytes(scratch + "/one.img"));
}

void LayerSeeds(const std::string& tree) {
  const std::string hidden = tree + "/docs/hidden.ini";
  FuzzBytes dos(256);
  const ssize_t n = getxattr(hidden.c_str(), "user.DOSATTRIB", dos.data(), dos.size());
  Must(n > 0, "getxattr user.DOSATTRIB");
  dos.resize(static_cast<size_t>(n));
  Emit("dosattrib", "hidden", dos);
  Emit("dosattrib", "hex", FuzzBytes{'0', 'x', '2', '2', 0});
  Emit("descriptor", "notes", DescriptorOf(tree + "/docs/notes.txt"));
  Emit("descriptor", "folder", DescriptorOf(tree + "/docs"));
  Emit("reparse", "relative", ReparseOf(tree + "/docs/up"));
  Emit("reparse", "junction", ReparseOf(tree + "/docs/abs"));
  Emit("reparse", "file", ReparseOf(tree + "/docs/note"));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seeds <corpus folder>\n");
    return 2;
  }
  g_corpus = argv[1];
  mkdir(g_corpus.c_str(), 0755);
  char pattern[] = "/tmp/kvseed.XXXXXX";
  Must(mkdtemp(pattern) != nullptr, "mkdtemp");
  const std::string scratch = pattern;
  MakeTree(scratch + "/tree");
  for (DWORD version : {1u, 2u, 5u}) {
    ArchiveSeeds(scratch + "/tree", scratch, version);
    EscapeSeeds(scratch + "/tree", scratch, version);
  }
  ImageSeeds(scratch + "/tree", scratch);
  LayerSeeds(scratch + "/tree");
  const std::string cleanup = "rm -rf '" + scratch + "'";
  if (system(cleanup.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", pattern);
  printf("seeds written to %s\n", g_corpus.c_str());
  return 0;
}
