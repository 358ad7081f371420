#ifndef QUORVEX_CORE_NETWORK_QXHITJOURNAL_H_
#define QUORVEX_CORE_NETWORK_QXHITJOURNAL_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/QXStatus.h"
#include "core/network/QXJournalFile.h"
#include "core/network/QXJournalFormat.h"

class QXDataDirectory;

// Hits on their way into the outbox: the one durable step on the caller's
// thread.
//
// Durability: append() writes the hit as one framed, checksummed record with
// a single write() to this process's journal file before it returns; from
// then on the hit survives the process being killed at any moment. Nothing
// is forced to the disk here: the worker moves the records into the outbox
// (QXOutbox::ingest) within moments, and a journal file is deleted only once
// its records are durable there. A power cut therefore loses at most the
// hits that the worker had not yet made durable (see QXDeliveryWorker).
//
// Bounds: the journal refuses no hit for being one too many. It keeps
// count of what waits to be taken in (backlog()), and the worker drops the
// oldest of it, unread into the outbox, when it runs past the outbox's
// bounds (QXJournalIngester): a burst of hits costs the oldest ones, never
// the newest.
//
// Segments (QXJournalFile, format in QXJournalFormat): records live in
// segments, oldest first. The active segment, a file
// "outbox-<16 hex digits>.journal" in the directory, takes this process's
// appends; once it has grown past the rotation size it is sealed and the
// segment the worker prepared takes over, by the caller's append or by the
// worker, whichever comes first. Segments of processes that are gone are
// adopted (adoptOrphans()). A file whose header is not ours, or which only
// a later version can read, is moved aside to "<name>.unreadable" (never
// deleted) and logged at level 4.
//
// Faults: a hit that cannot be written whole (disk full, read-only, I/O
// error, no segment can be made) is refused and stores nothing; the next
// append tries again, so hits are stored again as soon as the directory can
// take them, without a relaunch. The first failure is logged at level 4
// with its cause, the return to normal once, at level 3, with the number
// refused meanwhile. Space prepared ahead never takes the last of the disk:
// segments are written with zeros ahead only while the file system has
// room to spare, and releasePrepared() gives the zeros back.
//
// Memory: with an empty directory (the platform has none), segments live in
// memory and their hits are lost with the process.
//
// Fork: the journal belongs to the process that made it. A child calls
// abandonInChild() from its fork handler, after lockForFork() in the
// parent's: the child closes its copies of the files, and the locks stay
// with the parent.
//
// Threads: append(), diskBytes(), backlog() and setRotateBytes() from any
// thread. The other operations are the worker's, one thread at a time.
class QXHitJournal {
 public:
  using Record = QXJournalFormat::Record;

  // A segment as the worker sees it. `name` is unique among all segments
  // ever made in the directory; the outbox remembers how far each has been
  // ingested, so that a segment replayed after a crash is ingested once.
  struct Segment {
    std::string name;
    bool sealed = false;  // takes no more appends
    bool own = true;      // made by this process: no outbox knows it yet
  };

  // What a reader does with a record, from its creation date and its size.
  enum class Verdict {
    kKeep,
    kLeaveOut,  // past the bounds: read over, not copied
    kTooOld,    // the same, for its age
    kStop,      // ends the chunk before it
  };
  using Keep = std::function<Verdict(int64_t createdMs, uint64_t bytes)>;

  // A record the reader was told to leave out.
  struct Skipped {
    int64_t createdMs = 0;
    std::string url;
    bool tooOld = false;
  };

  struct Chunk {
    std::vector<Record> records;
    std::vector<Skipped> skipped;
    uint64_t end = 0;       // offset just past the last record read or skipped
    uint64_t cutBytes = 0;  // a torn or damaged tail left out, not to be read again
    bool complete = false;  // everything the segment holds has been read
  };

  // What waits to be taken into the outbox: the bytes of every segment's
  // records, and the number of records of this process's own segments (a
  // segment adopted from another process is counted once it is read).
  struct Backlog {
    uint64_t records = 0;
    uint64_t bytes = 0;
  };

  // `directory` empty: in memory. Nothing is made before the first append.
  explicit QXHitJournal(std::string directory);
  ~QXHitJournal();
  QXHitJournal(const QXHitJournal&) = delete;
  QXHitJournal& operator=(const QXHitJournal&) = delete;

  // Stores one hit, or fails and stores nothing.
  QXStatus append(std::string_view url, std::string_view body, bool consent, int64_t createdMs);

  // What the journal's files take on disk.
  uint64_t diskBytes() const { return diskBytes_.load(std::memory_order_acquire); }
  Backlog backlog() const;
  // An append seals the active segment once it holds this many bytes and a
  // prepared segment waits to take over, or twice as many without one (0:
  // only the worker seals it).
  void setRotateBytes(uint64_t bytes) { rotateBytes_.store(bytes, std::memory_order_relaxed); }
  // No directory, or one that is not the process's own: every segment
  // lives in memory.
  bool inMemory() const { return directory_.empty() || refused_.load(std::memory_order_acquire); }
  // The file of a segment; empty in memory.
  std::string pathOf(const std::string& name) const;

  // --- The worker's ---
  // Every segment that may hold records, oldest first; the active one last.
  std::vector<Segment> segments();
  // Records of `segment` from offset `from` (0: its first record), about
  // `maxBytes` of them at most, but always a whole record. Those that `keep`
  // leaves out are not copied: only their date and URL come back.
  Chunk read(const Segment& segment, uint64_t from, size_t maxBytes, const Keep& keep = nullptr);
  // Size of the active segment's records.
  uint64_t activeBytes() const { return activeBytes_.load(std::memory_order_acquire); }
  // Whether the active segment was prepared (or there is none yet).
  bool activePrepared() const;
  // Makes the segment that takes over at the next rotation, unless there is
  // one: headed, locked, and with room reserved up to `capacity` while the
  // file system has plenty of it, so that appends to it only copy into
  // cached pages (QXJournalFile). First the mappings of sealed segments go
  // (unmapSealed()).
  void prepare(uint64_t capacity);
  // Unmaps the sealed segments, which nothing writes again: a mapping counts
  // in the process's resident memory. Here, on the worker's thread, not in
  // the append that seals a segment: unmapping costs more than many appends.
  void unmapSealed();
  // Gives back what was written ahead of the records (the disk is full).
  void releasePrepared();
  // Seals the active segment when it holds records; the prepared one, or a
  // new one made by the next append, takes over.
  void rotate();
  // Records that `segment` has been taken in up to `offset`, `records`
  // records more than before (kept or skipped).
  void markIngested(const Segment& segment, uint64_t offset, uint64_t records);
  // Deletes a sealed segment, whose records are all durable in the outbox
  // or were dropped. False when its file cannot be deleted now (the
  // directory cannot be written): the segment stays, and the outbox must
  // go on knowing how far it was taken in, or the next process would take
  // it in again.
  bool retire(const Segment& segment);
  // Takes over the segments that no live process holds. Returns how many.
  size_t adoptOrphans();

  // --- Fork handlers (see above) ---
  void lockForFork();
  void unlockInParent();
  void abandonInChild() noexcept;

 private:
  using File = QXJournalFile;

  QXStatus openActiveLocked();
  void noteFailureLocked(const QXStatus& status);
  void rotateLocked();
  File* findLocked(const std::string& name);
  std::unique_ptr<File> makeFile(uint64_t capacity, std::string* error);
  // The directory, opened at the first need: null with `*memory` set when
  // segments live in memory, null alone when it cannot be opened now.
  const QXDataDirectory* folder(bool* memory, std::string* why);
  // Bytes [from, to) of a segment; fewer when the file cannot be read.
  std::string readRange(File& file, uint64_t from, uint64_t to);

  // Constant after construction.
  const std::string directory_;

  std::mutex folderMutex_;
  std::unique_ptr<const QXDataDirectory> folder_;  // guarded by folderMutex_; set once
  std::atomic<bool> refused_{false};               // the directory is not the process's own

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::unique_ptr<File> active_;
  std::unique_ptr<File> spare_;               // prepared to take over from active_
  std::deque<std::unique_ptr<File>> sealed_;  // oldest first
  bool failing_ = false;
  uint64_t refusedWhileFailing_ = 0;
  bool rotatedByAppend_ = false;  // since the last prepare()

  std::atomic<uint64_t> activeBytes_{0};  // published after each append
  std::atomic<uint64_t> diskBytes_{0};
  std::atomic<uint64_t> backlogBytes_{0};
  std::atomic<uint64_t> backlogRecords_{0};  // of own segments
  std::atomic<uint64_t> rotateBytes_{0};
  // A segment of this directory was mapped: its file system allows it.
  std::atomic<bool> mapsWrites_{false};
};

#endif  // QUORVEX_CORE_NETWORK_QXHITJOURNAL_H_
