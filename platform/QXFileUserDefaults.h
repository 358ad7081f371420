#ifndef QUORVEX_PLATFORM_QXFILEUSERDEFAULTS_H_
#define QUORVEX_PLATFORM_QXFILEUSERDEFAULTS_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/QXStandardUserDefaults.h"

class QXDataDirectory;

// User defaults persisted in one file, as an append-only log of records.
//
// Durability: every setObject/removeObject appends one record with a single
// write() before it returns, so the change survives a crash or a SIGKILL of
// the process; synchronize() also makes it survive a crash of the machine
// (fdatasync; a call with nothing written since the last one costs nothing).
// When the log has grown well beyond the live data it is
// rewritten into a temporary file that replaces the old one by rename.
//
// File format (little-endian), version 1:
//   header  "QXUD" u32 version
//   record  u32 crc32(op..value) | u8 op (1 set, 2 remove) | u32 key length |
//           u32 value length | key bytes | value bytes
//
// Damage: a file whose header is not ours is moved aside to
// "<path>.corrupt-<seconds>" and a fresh file is started; a damaged or
// truncated tail is cut off after the last good record, keeping every key
// before it. Both are reported through QXReportPlatformError; neither throws.
// When the file cannot be opened at all, the values live in memory only and
// the reason is reported once.
//
// One writer: the object holds an advisory lock (flock) on its file while it
// lives. An object that finds the file locked by another process (or by
// another object of this one) starts from what the file holds, keeps its
// changes in memory only, never writes the file, and reports that once; a
// compaction by the writer can then not silently undo its writes. The
// compacted file is locked before it takes the file's name.
//
// The file is created with mode 0600, in a directory that must be the
// process's own; it and its temporary file are opened through
// QXDataDirectory, so a link or a stranger's file found under their names is
// moved aside and never written. When the directory is not the process's
// own, values live in memory only and the reason is reported once.
class QXFileUserDefaults : public QXStandardUserDefaults {
 public:
  explicit QXFileUserDefaults(std::string path);
  ~QXFileUserDefaults() override;

  std::optional<std::string> objectForKey(const std::string& key) override;
  void setObject(const std::string& value, const std::string& key) override;
  void removeObject(const std::string& key) override;
  bool synchronize() override;

  const std::string& path() const { return path_; }
  // False when values live in memory only: the file could not be opened, or
  // another process writes it.
  bool isPersistent() const;

 private:
  void openAndLoad();
  enum class Lock { kTaken, kHeldElsewhere };
  // Locks the file open on `fd`, reopening it when it was replaced under its
  // name meanwhile.
  Lock lockFile(int& fd);
  // For a file another process writes: its values, and nothing written.
  void loadWithoutWriting(int fd);
  // `writer`: this object owns the file and repairs a damaged tail.
  void loadFrom(const std::string& contents, bool writer);
  void appendRecord(uint8_t op, const std::string& key, const std::string& value);
  bool rewrite();  // compaction; also repairs a file that missed writes
  void maybeCompact();
  void moveAside(const std::string& why);

  const std::string path_;
  // Constant after construction: the file's directory (null: memory only)
  // and its name there.
  std::unique_ptr<const QXDataDirectory> directory_;
  const std::string name_;

  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::string> values_;  // guarded by mutex_
  int fd_ = -1;                                          // guarded by mutex_
  uint64_t fileBytes_ = 0;                               // guarded by mutex_
  uint64_t liveBytes_ = 0;                               // guarded by mutex_
  bool missedWrites_ = false;  // guarded by mutex_: the file lacks a change
  bool unsynced_ = false;      // guarded by mutex_: written since the last sync
};

#endif  // QUORVEX_PLATFORM_QXFILEUSERDEFAULTS_H_
