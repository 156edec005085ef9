// SPDX-License-Identifier: GPL-2.0-or-later
// KvMorvelM64: the archive object of the backup and recovery library.
//
// A host creates one CKvMorvel per archive. Writing:
//   Open(path, FALSE, version); AddFile(...) per file or folder; Close().
// Reading:
//   Open(path, TRUE, 0); then Info(0), ExtractFile(target, 0), Info(1)
//   per entry until Info fails with 259; Close().
// Every member that can fail returns 0 and leaves a code in the error
// holder, read with GetErrorCode().
#ifndef KVMORVEL_H
#define KVMORVEL_H

#include "KvMorvelTypes.h"

#include <vector>

// The error holder: keeps the last code an operation reported.
class KVMORVEL_API CKvError {
 public:
  CKvError();
  CKvError(const CKvError& other);
  const CKvError& operator=(const CKvError& other);
  virtual ~CKvError();

  // Records `code` as the last code. The result carries no meaning.
  int SetError(DWORD code);
  DWORD GetError() const { return m_code; }

 private:
  DWORD m_code;
};

class KVMORVEL_API CKvObject {
 public:
  CKvObject();
  CKvObject(const CKvObject& other);
  CKvObject& operator=(const CKvObject& other);
  virtual ~CKvObject();
  virtual BOOL Dump() = 0;

  // The code the last failing (or explicitly succeeding) operation left.
  DWORD GetErrorCode() const { return m_error.GetError(); }

 protected:
  CKvError m_error;
};

// Per-version control records, entry records and the image walk node.
// Their layouts live with the formats that own them.
struct _MVRL_OBJECT;
struct _MVRL_OBJECT_2;
struct _MVRL_OBJECT_5;
struct _MVRL_FILEENTRY_2;
struct _MVRL_FILEENTRY_MAX_5;
struct _item;

// The 40-byte version 5 header as last read or written.
struct _MVRL_HEADER_5 {
  BYTE signature[8];
  DWORD version;
  ULONGLONG dataStart;
  ULONGLONG catalogueOffset;
  DWORD reserved1;
  DWORD reserved2;
  DWORD partCount;
};

class KVMORVEL_API CKvMorvel : public CKvObject {
 public:
  CKvMorvel();
  CKvMorvel(const CKvMorvel& other);
  ~CKvMorvel() override;
  CKvMorvel& operator=(const CKvMorvel& other);

  BOOL Open(LPCWSTR fileName, BOOL read, DWORD version);
  BOOL Close();
  BOOL Info(BOOL advance);
  BOOL AddFile(LPCWSTR source, LPCWSTR name, void* descriptor,
               DWORD descriptorLength);
  BOOL AddFile(LPCWSTR source, LPCWSTR name, WIN32_FILE_ATTRIBUTE_DATA* data,
               void* descriptor, DWORD descriptorLength);
  BOOL ExtractFile(LPCWSTR target, int flag);

  DWORD GetVersion();
  DWORD GetAttributes();
  WIN32_FILE_ATTRIBUTE_DATA GetAttributesData();
  FILETIME GetCreationTime();
  FILETIME GetLastAccessTime();
  FILETIME GetLastWriteTime();
  LONGLONG GetLength64();
  BOOL GetFile(WCHAR* buffer, DWORD capacity);
  BOOL GetEncryptedFileName(WCHAR* buffer, DWORD capacity);
  BOOL GetMountedDrive(WCHAR* buffer, DWORD capacity);
  // The security descriptor of the entry at the current-entry index (the
  // one ExtractFile restores, so the one Info(0) loaded) of an archive
  // open for reading, self-relative, copied into `buffer`; its
  // size goes to *length. Read from the entry record (version 2) or the
  // part file (version 5), nothing restored. Fails with 122 and the size
  // needed in *length when `capacity` is smaller, 1168 when the entry has
  // none (version 1 and images never do), 87 when no archive is open
  // for reading, 259 past the last entry, 1392 when a version 2 record
  // places it outside itself, and the read's code when a part is missing
  // or ends inside the descriptor.
  BOOL GetEntryDescriptor(BYTE* buffer, DWORD capacity, DWORD* length);
  void SetCompressionLevel(int level);
  ULONGLONG GetSplitSize();
  void SetSplitSize(ULONGLONG size);

  BOOL Dump() override;
  void Release();

 protected:
  // Version 1 (one file, chunked deflate data).
  BOOL InitStructuresV1(HANDLE file, _MVRL_OBJECT* record);
  BOOL CloseStructuresV1();
  ULONGLONG GetFileSize64(HANDLE file);
  BOOL AddFileProcess(LPCWSTR source, LPCWSTR name,
                      WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                      DWORD descriptorLength);
  BOOL MorvelExtractFile(LPCWSTR target, int flag);
  BOOL ZIPCompressFile(HANDLE source, LONGLONG length, HANDLE archive,
                       LONGLONG* stored, int level);
  BOOL ZIPDecompressFile(HANDLE archive, LONGLONG stored, HANDLE target,
                         LONGLONG* written);

  // Version 5 (main file, part files, LZO blocks).
  BOOL CreateHeader5();
  BOOL CloseStructuresV5();
  BOOL LoadNextEntries();
  BOOL InitStructuresV5(HANDLE file, _MVRL_OBJECT_5* record);
  BOOL WriteVector5(HANDLE file);
  HANDLE OpenPart5(DWORD part);
  BOOL AddPart();
  BOOL PointToLastPart5();
  // Writes `size` bytes at `offset` of the part being written (m_partFill
  // or just behind it; the caller advances the fill). The bytes are
  // gathered and go out in large writes; FALSE, with the last error, when
  // a write fails.
  BOOL WritePart5(ULONGLONG offset, const void* bytes, DWORD size);
  // Writes out the bytes gathered for the part. After a failed write the
  // entries whose bytes were lost leave the batch (they were never in the
  // catalogue) and m_partFill goes back to where those bytes began.
  BOOL WritePartGather5();
  // Writes out what is gathered, flushes and closes the part being
  // written. FALSE, with the write's last error, when the gathered bytes
  // could not be written; the part is let go either way.
  BOOL ReleaseWritePart5();
  void GetPartName(DWORD part, WCHAR* buffer, DWORD capacity);
  BOOL ZIPCompressFile5(HANDLE source, _MVRL_FILEENTRY_MAX_5* entry,
                        LONGLONG length, int level);
  BOOL ZIPDecompressFile5(HANDLE target, _MVRL_FILEENTRY_MAX_5* entry);
  BOOL AddFileProcess5(LPCWSTR source, LPCWSTR name,
                       WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                       DWORD descriptorLength);
  // Steps of AddFileProcess5; each returns 0 or the code that fails the
  // add.
  DWORD StoreReparsePoint5(LPCWSTR source, _MVRL_FILEENTRY_MAX_5* entry);
  DWORD StoreFileData5(LPCWSTR source, _MVRL_FILEENTRY_MAX_5* entry);
  DWORD StoreDescriptor5(const void* descriptor, DWORD length,
                         _MVRL_FILEENTRY_MAX_5* entry);
  // Writes a length-prefixed item (reparse record or descriptor block) to
  // the part at m_partFill: u32 `size`, then the bytes. Returns 0 or the
  // failing write's code.
  DWORD WritePrefixedItem5(const void* bytes, DWORD size);
  DWORD AppendEntry5(_MVRL_FILEENTRY_MAX_5& entry);
  // Writes the batch to the main file behind its entries' data, made
  // durable first; returns 0 or the failing code.
  DWORD FlushBatch5();
  // Whether the periodic rule (m_flushEntries, m_flushMilliseconds) asks
  // for a flush of the batch now.
  bool BatchFlushDue5();
  // Sets the periodic flush of the batch (see m_flushEntries); 0, 0 leaves
  // only the flush past 10000 entries and the one at Close.
  void SetBatchFlushPolicy(DWORD entries, DWORD milliseconds);

  // Version 2 (one file, descriptors in the records).
  BOOL InitStructuresV2(HANDLE file, _MVRL_OBJECT_2* record);
  BOOL CloseStructuresV2();
  void FillVector(int load);
  BOOL WriteVector(HANDLE file);
  BOOL AddFileProcess2(LPCWSTR source, LPCWSTR name,
                       WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                       DWORD descriptorLength);
  BOOL ZIPCompressFile2(HANDLE source, ULONGLONG length, ULONGLONG budget,
                        HANDLE archive, ULONGLONG* stored, int level);
  // AddFileProcess2's step for a file: its deflate stream at the write
  // position, its stored length and data offset into `entry`.
  BOOL StoreFileData2(LPCWSTR source, _MVRL_FILEENTRY_2* entry);

  // Restoring version 5 and version 2 entries.
  BOOL MorvelExtractFile5(LPCWSTR target, int flag);
  BOOL MorvelExtractFile2(LPCWSTR target, int flag);

  // Disk images (version 3).
  BOOL OpenSIMImage(LPCWSTR image);
  BOOL GetFreeVolume(WCHAR* buffer, DWORD capacity);
  BOOL MountImage(LPCWSTR image, LPCWSTR mountPoint);
  BOOL UnmountImage(WCHAR drive);
  BOOL VDBuildItems();
  void VDCloseFindHandles();
  BOOL GetPath(_item* node, WCHAR* buffer, DWORD capacity);
  BOOL VDInfo(BOOL advance);
  BOOL VDExtractFile(LPCWSTR target);
  BOOL CreateJunction(LPCWSTR source, LPCWSTR target);

  // Fills the current entry from an entry's attribute data and name, and
  // makes a fresh encrypted-file name when the entry is an encrypted file.
  void LoadCurrentEntry(const WIN32_FILE_ATTRIBUTE_DATA& data, LPCWSTR name);
  void ReleaseEntryLists();
  // Info for version 1: the record at the catalogue's read cursor.
  BOOL InfoV1(BOOL advance);
  // Copies `text` into a host's buffer of `capacity` characters.
  BOOL CopyOut(const WCHAR* text, WCHAR* buffer, DWORD capacity);
  // Open's steps for each kind of file.
  BOOL OpenV5(HANDLE file, BOOL existing);
  BOOL OpenV1V2(HANDLE file, BOOL existing);

  // State, in the order the object keeps it.
  WCHAR m_archivePath[260];
  WCHAR m_entryName[260];
  WCHAR m_encryptedName[260];
  WIN32_FILE_ATTRIBUTE_DATA m_entryData;
  void* m_control;  // _MVRL_OBJECT, _MVRL_OBJECT_2 or _MVRL_OBJECT_5
  int m_compressionLevel;
  BOOL m_read;
  DWORD m_version;
  ULONGLONG m_freeSpaceKiB;
  _item* m_currentItem;
  BOOL m_mounted;
  WCHAR m_drive[260];
  DWORD m_currentIndex;
  ULONGLONG m_splitSize;
  std::vector<_MVRL_FILEENTRY_2> m_entries2;
  std::vector<_MVRL_FILEENTRY_MAX_5> m_entries5;
  DWORD m_partNumber;
  ULONGLONG m_partFill;
  BOOL m_modified;
  HANDLE m_partHandle;
  _MVRL_HEADER_5 m_header5;
  ULONGLONG m_nextCataloguePos;
  BOOL m_catalogueEnded;
  // Set by an Open that reads an existing version 5 catalogue: the first
  // add empties the loaded batch so that old records are not written again.
  BOOL m_batchHoldsLoaded;
  // Set by VDInfo: whether the image item it loaded has a plain name (see
  // IsPlainFileName) at every level. VDExtractFile copies nothing else.
  BOOL m_entryNamePlain;
  // The code Info reports at the end of a version 2 or 5 listing: 259
  // when the catalogue ended, 1392 when a damaged record ended it.
  DWORD m_listEndCode;
  // Version 5 adding: the batch also reaches the main file every
  // m_flushEntries entries and at the first add m_flushMilliseconds after
  // the last flush (0 turns that rule off); m_lastFlushTick is when that
  // was (GetTickCount).
  DWORD m_flushEntries;
  DWORD m_flushMilliseconds;
  DWORD m_lastFlushTick;
};

#endif  // KVMORVEL_H
