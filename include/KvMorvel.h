// SPDX-License-Identifier: GPL-2.0-or-later
// KvMorvelM64: the archive object of the backup and recovery library.
//
// A host creates one CKvMorvel per archive. Writing:
//   Open(path, FALSE, version); AddFile(...) per file or folder; Close().
// Reading:
//   Open(path, TRUE, 0); then Info(0), ExtractFile(target, 0), Info(1)
//   per entry until Info fails with 259; Close().
// Every member that can fail returns 0 and leaves a code in the error
// holder, read with GetErrorCode(): a Windows code, or one of the
// library's own, 0x10000002 (a null target or a bad buffer), 0x10000203
// (no archive open), 0x10000204 (Open on an object that holds an open
// archive), 0x10000205 (a source changed while it was read; a cause, see
// GetErrorCause) and 0x10000405 (no image mounted, or its unmount
// failed). A name or path that does not fit its field is refused with
// 122, never cut. A member that succeeds leaves the holder as it was
// unless its comment says it sets 0.
//
// The thread's last error (GetLastError) is whatever the last system call
// the member made left there: after a failure it mostly holds the failing
// call's code, but it is never reset on success and may hold the code of
// a later clean-up call. The holder is the code to read; the few places
// where a code is given through the last error only are named below.
#ifndef KVMORVEL_H
#define KVMORVEL_H

#include "KvMorvelTypes.h"

#include <atomic>
#include <vector>

// The error holder: keeps the last code an operation reported.
class KVMORVEL_API CKvError {
 public:
  // Starts with 0. Copies take the code of the copied holder.
  CKvError();
  CKvError(const CKvError& other);
  const CKvError& operator=(const CKvError& other);
  virtual ~CKvError();

  // Records `code` as the last code. The result carries no meaning.
  // The thread's last error is not touched.
  int SetError(DWORD code);
  // The code last recorded (0 when none was).
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
  // For the derived class; CKvMorvel's always returns 1.
  virtual BOOL Dump() = 0;

  // The code the last failing (or explicitly succeeding) operation left.
  // Reads only: neither the holder nor the last error changes.
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
struct KvManifestWriter;

// A host's receiver of the data ReadEntryData streams: called with the
// entry's decompressed bytes in order, `size` of them at `bytes` (valid
// for the call only; never more than 1 MiB at once), and `context` as
// given. Returns 0 to take them, or a code of the host's choosing, which
// stops the read: ReadEntryData then fails with that code.
typedef DWORD (*KvDataSink)(void* context, const BYTE* bytes, DWORD size);

// How ExtractFile treats what it finds at an entry's path
// (CKvMorvel::SetRestoreOptions), combined with |. Without any, an
// existing file is replaced and an existing folder takes the stored
// metadata.
//
// Nothing at the path is replaced or changed: a file, link or folder
// already there stays as it is.
constexpr DWORD KV_RESTORE_KEEP_EXISTING = 0x1;
// What is already at the path is replaced (a folder: given the stored
// metadata) only when the entry's stored last-write time is later than
// its own.
constexpr DWORD KV_RESTORE_KEEP_NEWER = 0x2;
// The stored descriptor's owner and group are not applied: the restored
// object keeps the owner and group it was made with (the restoring
// user's), and the descriptor's entries for the stored owner and group
// are given to them, as tar --no-same-owner keeps the mode.
constexpr DWORD KV_RESTORE_NO_OWNER = 0x4;

// What the last ExtractFile did at the entry's path
// (CKvMorvel::GetRestoreOutcome).
constexpr DWORD KV_RESTORED_NOTHING = 0;   // no restore yet, it failed, or
                                           // wrote nothing
constexpr DWORD KV_RESTORED_CREATED = 1;   // nothing was there; made
constexpr DWORD KV_RESTORED_REPLACED = 2;  // something was there and was
                                           // replaced (a folder: it took
                                           // the stored metadata)
constexpr DWORD KV_RESTORED_KEPT = 3;      // something was there and, by the
                                           // options, was left as it was

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
  // No archive open; version 1, compression level 0, split size 620 MiB
  // (650117120 bytes), holder 0.
  CKvMorvel();
  // A copy shares the open archive (its control record and part handle)
  // with `other` rather than opening it again: only one of the two may
  // Close it, and the other must not be used on it after that.
  CKvMorvel(const CKvMorvel& other);
  // Frees the entry lists and lets a manifest being kept go (marked
  // incomplete): an archive or image left open is neither written nor
  // closed (Close does that).
  ~CKvMorvel() override;
  // As the copy constructor, over this object's state.
  CKvMorvel& operator=(const CKvMorvel& other);

  // Opens `fileName` for reading (`read` 1), or for writing (`read` 0):
  // a new archive of `version` (1, 2 or 5) is created, and an existing
  // one is opened to add to it (version 5 refuses a file of another
  // version). For reading, the version is read from the file: 1, 2, 5, or
  // 3 for a disk image, which is mounted on the last free drive letter
  // from Z: down (through virtdisk.dll) and walked from its root.
  // Returns 1; the holder is 0 after an existing archive or an image was
  // opened, and as it was after a new archive was created. Returns 0
  // with 87 for a null or empty name, 122 for a name of 260 characters
  // or more, the open's code (2, 3, 5, 32, ...) when the file cannot be
  // opened or created, 222 for a pipe or device, 11 for a file that is
  // not an archive (too short for the header; for writing, version 5
  // also gives 11 for another version's file), 1392 for a damaged
  // catalogue (versions 1 and 2: also one that cannot be read), 8 out of
  // memory, the write's code when a new version 5
  // archive's header or first part cannot be written, and for an image
  // 15 (no free drive letter), 13 (the mount failed, whatever the mount
  // library's reason) or the code of listing its root (the image then
  // stays mounted until Close). Returns 0 with 0x10000204, before
  // any file is touched, when this object still holds an open archive or
  // a mounted image: that one stays open and untouched (Close it first).
  // Nothing else is left open after a failure, and a file this Open
  // created is removed again (through its handle; a file that was there
  // before is never removed). Version 5 also leaves 11 and 1392 as the thread's last
  // error.
  BOOL Open(LPCWSTR fileName, BOOL read, DWORD version);
  // Finishes and releases the open archive: a written version 1 or 2
  // archive gets its catalogue and then its header; version 5 writes the
  // part's gathered bytes, the records not yet written and the header.
  // Returns 1 with 0. Returns 0 with 0x10000203 when no archive is open
  // (87 in version 1, and before any Open), or with the code of the
  // first write that failed: versions 2 and 5 release the archive even
  // then, version 1 keeps it open so that Close can be called again. For
  // an image: unmounts it and returns 1 with 0; 1 with 0x10000405 when
  // it was not mounted (closed already); 0 with 0x10000405 when the
  // unmount failed (the image stays mounted and Close can be retried).
  BOOL Close();
  // Loads the entry at the cursor as the current entry (the accessors
  // below read it) and, with `advance` 1, moves the cursor past it; with
  // 0 the next call loads the same entry. ExtractFile restores the entry
  // at the cursor, so a listing is Info(0), ExtractFile, Info(1).
  // Returns 1, the holder as it was. Returns 0 with 259 past the last
  // entry, 1392 when a damaged record ends the list (the entries before
  // it are listed), 87 when no archive is open. An image walks folders
  // before their contents; an item whose path passes 260 characters is
  // logged and stepped over; the end of the walk returns 0 and leaves
  // the holder as it was.
  BOOL Info(BOOL advance);
  // Adds `source` under the entry name `name` ("dir\file"), with the
  // attributes and times GetFileAttributesExW reads from `source` (zeroed
  // when it cannot read them: the add then fails on opening the source).
  // `descriptor` (a self-relative security descriptor of
  // `descriptorLength` bytes, or null) is stored with the entry by
  // versions 2 and 5; version 1 keeps none. See the overload below for
  // the results.
  BOOL AddFile(LPCWSTR source, LPCWSTR name, void* descriptor,
               DWORD descriptorLength);
  // Adds `source` with the attributes and times in `data`: a folder (no
  // data), a reparse point (its reparse data, versions 2 and 5) or a
  // file (its data compressed). Returns 1, the holder as it was. Returns
  // 0 with 87 when no archive is open or an argument is null, 0x80004001
  // for an image, 5 for an archive opened for reading, 122 when the name
  // does not fit the record (455 characters in version 1, 631 in version
  // 5; in version 2 name and descriptor share 1520 bytes), 8 out of
  // memory or (versions 1 and 2) a catalogue that would pass 4 GiB, the
  // code of creating or writing the file beside the archive where
  // versions 1 and 2 keep added records past their first MiB until
  // Close, the source open's code (versions 2 and 5; version 1 leaves
  // the holder as it was and gives that code as the thread's last error
  // only), 1359 when a file's data could not be read, compressed and
  // written (GetErrorCause gives why: 112 disk full, 0x10000205 the source
  // changed while it was read, the failed read's code; version 2: a
  // failed seek's own code), and in version 5 the code of the failed
  // write of a reparse point or descriptor (112 disk full, the reparse
  // point's read codes). A failed add leaves the entries before it whole.
  BOOL AddFile(LPCWSTR source, LPCWSTR name, WIN32_FILE_ATTRIBUTE_DATA* data,
               void* descriptor, DWORD descriptorLength);
  // Adds what the open handle `source` holds, under `name`, with the
  // attributes and times in `data` (null: read through the handle). The
  // handle is read, never the path it was opened by: the host opens the
  // item once (for a reparse point, the point itself, with
  // FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, and
  // GENERIC_READ for a file's data), checks it is the item it looked at,
  // and nothing can be put in its place meanwhile. The handle stays the
  // host's. Results as AddFile's; also 87 for a null or invalid handle,
  // and 0x10000205 when what the handle holds is not the kind `data`
  // says (a file, a folder or a reparse point). AddFile by path opens the
  // source this way and adds it here.
  BOOL AddOpenedFile(HANDLE source, LPCWSTR name,
                     WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                     DWORD descriptorLength);
  // Restores the entry at the cursor below the folder `target`: its
  // folders, data, attributes, times, short name, descriptor and reparse
  // point, with every stored name confined to `target`. `flag` 0 skips a
  // version 1 entry named "TEPH.DAV" (returns 1 without writing it); 1
  // restores it. An image's item is copied from the mounted drive. An
  // existing file is replaced. Returns 1 (images set the holder to 0,
  // archives leave it as it was). Returns 0 with 0x10000002 for a null
  // (or, for an image, empty) target, 0x10000203 when no archive is
  // open, 0x10000405 when no image is mounted or no item was loaded,
  // 259 past the last entry, 122 when the path does not fit, 123 for a
  // stored name that would leave the target, 1921 for a path through a
  // link, 1392 for a damaged record, 1359 when the data cannot be
  // restored (a read error, a missing part, a damaged stream, data not
  // of the recorded size; the log and GetErrorCause name the cause,
  // GetFailedPartFile the part file), 1392 also for an entry whose stored
  // data lies where data already restored for an earlier entry lies (each
  // stored byte belongs to one entry), 183 for a folder entry whose path
  // holds a file or a file entry whose path holds a folder (left as it
  // was), 1223 when the host asked to stop (Cancel), or the code of the
  // failing create, write or descriptor call. An entry whose data lies in
  // a missing part (version 5) creates and replaces nothing; a file whose
  // data cannot be restored whole is removed again (a file it replaced is
  // not brought back).
  BOOL ExtractFile(LPCWSTR target, int flag);
  // Streams the decompressed data of the entry at the cursor (the one
  // ExtractFile would restore, so the one Info(0) loaded) of an archive
  // open for reading to `sink`, through the restore's own data path and
  // its rule: no byte past the recorded size reaches the sink, and data
  // that ends short of it fails. No file is created or written, and the
  // entry's name is never used as a path. A folder or a link has no data:
  // nothing is streamed and the call succeeds (a version 1 entry always
  // has data). The cursor does not move. Returns 1, the holder as it
  // was. Returns 0 with 87 for a null sink or no archive open for
  // reading, 0x80004001 for an image, 259 past the last entry, 1392 for
  // a damaged record, 1359 for data that holds more or fewer bytes than
  // the recorded size (the bytes up to the size were streamed) or a
  // damaged version 5 block, 13 for a damaged deflate stream, the read's
  // code (2 a missing part, 38 a part or archive that ends too soon), 8
  // out of memory, or the code the sink returned.
  BOOL ReadEntryData(KvDataSink sink, void* context);
  // Keeps a manifest beside the archive open for writing (its name is
  // CKvMorvelHost::GetManifestFileName's; docs/formats.md gives its
  // form): the SHA-256 of the data each later AddFile of a file reads
  // from its source (the adder digests what it reads, no second read),
  // then at a successful Close the SHA-256 of the main file and of each
  // part file, in lines `sha256sum -c` checks. The manifest is written
  // at once, marked incomplete, and marked complete only as the last
  // step of a successful Close, so a run that did not finish leaves it
  // marked incomplete. An archive opened to add to keeps the entry lines
  // of the manifest it had. Returns 1, the holder as it was. Returns 0
  // with 87 when no archive is open for writing, 0x80004001 for an
  // image, 183 when a manifest is kept already, 122 when the name does
  // not fit, 1921 when a link stands at the manifest's name (nothing is
  // written through it), or the code of reading the earlier manifest or
  // writing the new one. A failed write of an entry line later fails that AddFile
  // with the write's code (the entry is in the archive); a failure
  // completing it fails Close with its code (the archive is closed).
  BOOL BeginManifest();
  // Lets the manifest BeginManifest began go as it stands, marked
  // incomplete, for a host whose run stopped before it added all it
  // meant to (interrupted): Close then completes none. Returns 1, the
  // holder as it was; 0 with 87 when no manifest is kept.
  BOOL LeaveManifestIncomplete();

  // Asks this object to stop adding or restoring: callable from a signal
  // handler or another thread while AddFile or ExtractFile runs (it only
  // sets a lock-free atomic flag, and is async-signal-safe). The data of
  // a file is read and written in pieces of 1 MiB, and the flag is looked
  // at between them: the AddFile or ExtractFile in progress fails with
  // 1223 (ERROR_CANCELLED) within one piece, however large the file. The
  // entry being added is not in the catalogue and the entries before it
  // stay whole; a file being restored is left part written. The request
  // stays for the object's life: every later AddFile and ExtractFile fails
  // with 1223 at once, while Info, the accessors and Close work as
  // before, so the host closes the archive cleanly. A copy made later
  // starts with the request. No code changes.
  void Cancel();

  // The open archive's version: 1, 2, 5, or 3 for an image; before any
  // Open, 1. The accessors below read the current entry Info loaded (all
  // zero or empty before the first one) and change no code.
  DWORD GetVersion();
  DWORD GetAttributes();
  WIN32_FILE_ATTRIBUTE_DATA GetAttributesData();
  // Times as stored: every writer stores the UTC times the source had
  // (an image shows the mounted files' times). The restore of version 1
  // reads its stored times as local time and converts them.
  FILETIME GetCreationTime();
  FILETIME GetLastAccessTime();
  FILETIME GetLastWriteTime();
  // The entry's size in bytes (its data before compression).
  LONGLONG GetLength64();
  // Copy the current entry's name, the name an encrypted file is
  // restored under ("NAME.RANDOM.TIME", made by Info; empty for other
  // entries) or the mounted image's drive ("Z:\", empty without an
  // image) into `buffer` of `capacity` characters with its terminator.
  // Return 1, the holder as it was; 0 with 0x10000002 when `buffer`
  // cannot take `capacity` characters (null), 122 when the text and its
  // terminator do not fit (nothing written).
  // GetFile copies the whole name, as GetEntryName does: a name longer
  // than `capacity` allows fails with 122 and is never cut.
  BOOL GetFile(WCHAR* buffer, DWORD capacity);
  BOOL GetEncryptedFileName(WCHAR* buffer, DWORD capacity);
  BOOL GetMountedDrive(WCHAR* buffer, DWORD capacity);
  // The current entry's whole name, as stored ("dir\file"; up to the
  // longest name a version stores, past the 260 characters of GetFile's
  // usual buffers), copied into `buffer` of `capacity` characters with
  // its terminator. *needed is set to the characters the name takes,
  // terminator included (1 before the first entry). Returns 1, the
  // holder as it was. Returns 0 with 122 when `capacity` is below
  // *needed (nothing written: a null `buffer` and capacity 0 ask for the
  // size), 0x10000002 when `needed` is null or `buffer` cannot take the
  // name.
  BOOL GetEntryName(WCHAR* buffer, DWORD capacity, DWORD* needed);
  // The security descriptor of the entry at the current-entry index (the
  // one ExtractFile restores, so the one Info(0) loaded) of an archive
  // open for reading, self-relative, copied into `buffer`; its
  // size goes to *length. Read from the entry record (version 2) or the
  // part file (version 5), nothing restored. Fails with 122 and the size
  // needed in *length when `capacity` is smaller, 1168 when the entry has
  // none (version 1 and images never do; a version 5 descriptor block of
  // length 0 holds none), 87 when no archive is open
  // for reading, 259 past the last entry, 1392 when a version 2 record
  // places it outside itself, and the read's code when a part is missing
  // or ends inside the descriptor.
  BOOL GetEntryDescriptor(BYTE* buffer, DWORD capacity, DWORD* length);
  // The part file behind the last failed ExtractFile of a version 5
  // entry: the one holding its data or reparse record that could not be
  // opened or read, or that ends inside it. Open, reading a version 5
  // archive, also leaves here the first part file its header counts that
  // is missing, and opens the archive all the same (the catalogue is in
  // the main file, so it lists whole); the next ExtractFile replaces it.
  // Copies the name into `buffer` of `capacity` characters and that
  // failure's own code into *cause (`cause` may be null): 2 for a missing
  // part file, 5 for one that may not be read, 38 for one that ends
  // inside the entry's data. Returns 1, the holder as it was; with an
  // empty name and *cause 0 when no part file is behind the last failure
  // (always so for versions 1 and 2 and images). Returns 0 with
  // 0x10000002 when `buffer` cannot take `capacity` characters, 122 when
  // the name and its terminator do not fit (nothing written).
  BOOL GetFailedPartFile(WCHAR* buffer, DWORD capacity, DWORD* cause);
  // The deflate level of the files versions 1 and 2 add from now on: -1
  // stored, 0 fastest, 1 zlib's default, 2 best, any other value fastest.
  // Version 5 data is LZO whatever the level. No code changes.
  void SetCompressionLevel(int level);
  // The size (bytes) past which version 5 begins a new part file; read
  // and set without a code. 0 puts every block in a part of its own.
  ULONGLONG GetSplitSize();
  void SetSplitSize(ULONGLONG size);

  // How later ExtractFile calls treat what they find at an entry's path:
  // KV_RESTORE_* flags (0, the default, replaces). Unknown bits are
  // ignored. Read and set without a code.
  void SetRestoreOptions(DWORD options);
  DWORD GetRestoreOptions() const;
  // What the last ExtractFile did at the entry's path: KV_RESTORED_*.
  // Only a successful ExtractFile sets anything but KV_RESTORED_NOTHING;
  // one that kept what was there returns 1 as well. Reads only.
  DWORD GetRestoreOutcome() const;

  // Why the last failure the holder reports as 1359 (the data of an entry
  // could not be stored or restored) happened: the code of the cause,
  // such as 112 (disk full), 2 (a part file is missing: *part names it),
  // 0x10000205 (the source changed while it was read: it ended before the
  // length it was added with), 13 or 1359 (the stored data is damaged or
  // does not hold the recorded size), or the failing read's or write's
  // code. With a non-null `part`, *part is the number of the version 5
  // part file that could not be opened or read, 0 when no part file was
  // at fault. Returns 0 (and *part 0) when the holder does not hold 1359.
  // Reads only: no code changes.
  DWORD GetErrorCause(DWORD* part) const;

  // Returns 1; does nothing else.
  BOOL Dump() override;
  // Deletes the object (the host's counterpart of new); a null object is
  // left alone. An archive left open is not closed.
  void Release();

 protected:
  // Version 1 (one file, chunked deflate data).
  BOOL InitStructuresV1(HANDLE file, _MVRL_OBJECT* record);
  BOOL CloseStructuresV1();
  ULONGLONG GetFileSize64(HANDLE file);
  // The adders read `source`, an open handle; `path` names it for the
  // short names only.
  BOOL AddFileProcess(HANDLE source, LPCWSTR path, LPCWSTR name,
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
  BOOL AddFileProcess5(HANDLE source, LPCWSTR path, LPCWSTR name,
                       WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                       DWORD descriptorLength);
  // Steps of AddFileProcess5; each returns 0 or the code that fails the
  // add.
  DWORD StoreReparsePoint5(HANDLE source, LPCWSTR path,
                           _MVRL_FILEENTRY_MAX_5* entry);
  DWORD StoreFileData5(HANDLE source, _MVRL_FILEENTRY_MAX_5* entry);
  DWORD StoreDescriptor5(const void* descriptor, DWORD length,
                         _MVRL_FILEENTRY_MAX_5* entry);
  // Writes a length-prefixed item (reparse record or descriptor block) to
  // the part at m_partFill: u32 `size`, then the bytes. Returns 0 or the
  // failing write's code.
  DWORD WritePrefixedItem5(const void* bytes, DWORD size);
  DWORD AppendEntry5(_MVRL_FILEENTRY_MAX_5& entry);
  // Writes the batch to the main file behind its entries' data, made
  // durable first when a sync is due; returns 0 or the failing code.
  DWORD FlushBatch5();
  // Whether the periodic rule (m_flushEntries, m_flushMilliseconds) asks
  // for a flush of the batch now.
  bool BatchFlushDue5();
  // Sets the periodic flush of the batch (see m_flushEntries); 0, 0 leaves
  // only the flush past 10000 entries and the one at Close.
  void SetBatchFlushPolicy(DWORD entries, DWORD milliseconds);
  // Sets how long a batch flush of the open version 5 archive waits
  // before it makes the files durable again (5000 ms by default; 0 makes
  // every flush durable). Close always does.
  void SetSyncInterval5(DWORD milliseconds);

  // Version 2 (one file, descriptors in the records).
  BOOL InitStructuresV2(HANDLE file, _MVRL_OBJECT_2* record);
  BOOL CloseStructuresV2();
  void FillVector(int load);
  BOOL WriteVector(HANDLE file);
  BOOL AddFileProcess2(HANDLE source, LPCWSTR path, LPCWSTR name,
                       WIN32_FILE_ATTRIBUTE_DATA* data, void* descriptor,
                       DWORD descriptorLength);
  BOOL ZIPCompressFile2(HANDLE source, ULONGLONG length, ULONGLONG budget,
                        HANDLE archive, ULONGLONG* stored, int level);
  // AddFileProcess2's step for a file: its deflate stream at the write
  // position, its stored length and data offset into `entry`.
  BOOL StoreFileData2(HANDLE source, _MVRL_FILEENTRY_2* entry);
  // AddFile and AddOpenedFile past their argument checks: `path` names
  // the opened `source` (null: its name is asked of the handle).
  // `dataFromHandle`: `data` was just read through `source`, so it is not
  // read again to check the item's kind.
  BOOL AddFromHandle(HANDLE source, LPCWSTR path, LPCWSTR name,
                     WIN32_FILE_ATTRIBUTE_DATA* data, bool dataFromHandle,
                     void* descriptor, DWORD descriptorLength);

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
  // Makes `name` the current entry's name: whole in m_entryWholeName,
  // and in m_entryName cut to its 260 characters as before.
  void SetEntryName(LPCWSTR name);
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
  // The current entry's whole name with its terminator (empty: no name
  // yet). m_entryName keeps its first 259 characters for the hosts that
  // read that field; GetFile and GetEntryName read this one, as long as
  // it still begins with m_entryName.
  std::vector<WCHAR> m_entryWholeName;
  // Set by Cancel; the adders and restores look at it between pieces.
  std::atomic<bool> m_cancel;
  // What GetErrorCause reports: set wherever 1359 goes to the holder.
  DWORD m_errorCause;
  DWORD m_errorCausePart;
  // SetRestoreOptions' flags, and what the last ExtractFile did.
  DWORD m_restoreOptions;
  DWORD m_restoreOutcome;
  // Records `cause` (and the part file at fault, 0 for none) behind the
  // 1359 it leaves in the holder.
  void SetDataFailure(DWORD cause, DWORD part);
  // The manifest BeginManifest began (null when none). Owned by this
  // object: a copy keeps none, an assignment lets this object's go, and
  // the destructor lets it go, marked incomplete unless Close completed
  // it.
  KvManifestWriter* m_manifest;
};

#endif  // KVMORVEL_H
