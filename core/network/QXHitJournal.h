#ifndef QUORVEX_CORE_NETWORK_QXHITJOURNAL_H_
#define QUORVEX_CORE_NETWORK_QXHITJOURNAL_H_

// Private to the core: never included by a public header.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/QXStatus.h"

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
// Segments: records live in segments, oldest first. The active segment, a
// file "outbox-<16 hex digits>.journal" in the directory, takes this
// process's appends; the worker seals it once it has grown (rotate()) and a
// new one takes over. A process holds an exclusive advisory lock (flock) on
// each of its segment files for as long as it has them, so a segment whose
// lock can be taken belongs to no live process: its writer exited or was
// killed, and the next worker that looks adopts it (adoptOrphans()). A
// segment is created under another name and renamed into place once locked
// and headed, so no other process ever sees it half made.
//
// Memory: with an empty directory, one that is not the process's own (see
// QXDataDirectory), or when no file can be made there (logged once at level
// 4), segments live in memory; their hits are lost with the process. Every
// file is made, opened, linked, renamed and removed through QXDataDirectory:
// a link or a stranger's file under a segment's name is moved aside, never
// followed.
//
// Format (little-endian): a header "QXHJ", u16 version, u16 oldest version
// that can read it, u64 order (the nanoseconds of the real clock when made,
// increasing within a process; segments are taken in this order); then
// records, each u32 payload
// length, u32 CRC-32 of the payload, payload = u8 flags (bit 0: consent),
// u64 created ms, u32 URL length, URL, body. The worker prepares segments
// written with zeros ahead of the records (prepare()), so a frame whose
// length is 0 ends the records. A record that runs past the end of a sealed
// segment or fails its checksum is a torn tail: it and whatever follows are
// cut off and counted (Chunk::cutBytes). A file whose header is
// not ours, or which only a later version can read, is moved aside to
// "<name>.unreadable" (never deleted) and logged at level 4.
//
// Faults: an append that cannot be written whole (disk full, I/O error) is
// undone (what was written of it is zeroed again) and fails; the hit is then
// not stored. The first failure is logged at level 4 with its cause,
// the return to normal once, at level 3, with the number refused meanwhile.
//
// Threads: append(), diskBytes(), backlogBytes() and setMaxBacklogBytes()
// from any thread. The other operations are the worker's, one thread at a time.
class QXHitJournal {
 public:
  struct Record {
    int64_t createdMs = 0;
    bool consent = false;
    std::string url;
    std::string body;
  };

  // A segment as the worker sees it. `name` is unique among all segments
  // ever made in the directory; the outbox remembers how far each has been
  // ingested, so that a segment replayed after a crash is ingested once.
  struct Segment {
    std::string name;
    bool sealed = false;  // takes no more appends
  };

  struct Chunk {
    std::vector<Record> records;
    uint64_t end = 0;       // offset just past the last record read
    uint64_t cutBytes = 0;  // a torn or damaged tail left out, not to be read again
    bool complete = false;  // everything the segment holds has been read
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
  // Bytes of records not yet ingested.
  uint64_t backlogBytes() const { return backlogBytes_.load(std::memory_order_acquire); }
  // Past this backlog, append() refuses hits (0: no limit): the worker cannot
  // take them in as fast as they come, or the outbox cannot take them at
  // all. Keeps the journal, and the disk it takes, bounded.
  void setMaxBacklogBytes(uint64_t bytes) {
    maxBacklogBytes_.store(bytes, std::memory_order_relaxed);
  }
  bool inMemory() const;
  // The file of a segment; empty in memory.
  std::string pathOf(const std::string& name) const;

  // --- The worker's ---
  // Every segment that may hold records, oldest first; the active one last.
  std::vector<Segment> segments();
  // Records of `segment` from offset `from` (0: its first record), about
  // `maxBytes` of them at most, but always a whole record.
  Chunk read(const Segment& segment, uint64_t from, size_t maxBytes);
  // Size of the active segment's records.
  uint64_t activeBytes() const;
  // Whether the active segment was prepared (or there is none yet).
  bool activePrepared() const;
  // Makes the segment that takes over at the next rotation, unless there is
  // one: headed, locked and written with zeros up to `capacity`, so that
  // appends to it only copy into cached pages.
  void prepare(uint64_t capacity);
  // Seals the active segment when it holds records; the prepared one, or a
  // new one made by the next append, takes over.
  void rotate();
  // Records that `segment` has been ingested up to `offset`.
  void markIngested(const Segment& segment, uint64_t offset);
  // Deletes a sealed segment, whose records are all durable in the outbox.
  void retire(const Segment& segment);
  // Takes over the segments that no live process holds. Returns how many.
  size_t adoptOrphans();

 private:
  struct File;

  QXStatus openActiveLocked();
  QXStatus appendLocked(const char* head, size_t headSize, std::string_view url,
                        std::string_view body);
  void noteFailureLocked(const QXStatus& status);
  std::unique_ptr<File> makeFile(bool memory, uint64_t capacity, std::string* error);
  // Bytes [from, to) of a segment; fewer when the file cannot be read.
  std::string readRange(File& file, uint64_t from, uint64_t to);
  static bool parseRecord(const std::string& data, size_t at, uint64_t length,
                          std::vector<Record>& records);

  // Constant after construction.
  const std::string directory_;
  const std::unique_ptr<const QXDataDirectory> folder_;  // null: in memory

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  bool memory_ = false;
  std::unique_ptr<File> active_;
  std::unique_ptr<File> spare_;               // prepared to take over from active_
  std::deque<std::unique_ptr<File>> sealed_;  // oldest first
  bool failing_ = false;
  uint64_t refusedWhileFailing_ = 0;

  std::atomic<uint64_t> activeBytes_{0};  // published after each append
  std::atomic<uint64_t> diskBytes_{0};
  std::atomic<uint64_t> backlogBytes_{0};
  std::atomic<uint64_t> maxBacklogBytes_{0};
};

#endif  // QUORVEX_CORE_NETWORK_QXHITJOURNAL_H_
