#ifndef QUORVEX_CORE_NETWORK_QXJOURNALFILE_H_
#define QUORVEX_CORE_NETWORK_QXJOURNALFILE_H_

// Private to the core: never included by a public header.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class QXDataDirectory;

// One segment of the journal (QXHitJournal): a file in the data directory,
// held with an exclusive advisory lock (flock) for as long as this process
// has it, or bytes in memory.
//
// A new segment is made and locked under another name, headed, and only
// then linked into place, which never replaces a file: no other process
// ever sees a segment unlocked or without its header. A segment whose lock
// can be taken belongs to no live process (its writer exited or was
// killed); adopt() takes it over.
//
// Threads: none of its own; QXHitJournal serialises every use.
struct QXJournalFile {
  enum class Adoption {
    kAdopted,  // locked, headed: `file` holds it
    kLive,     // another process holds it, or it was retired meanwhile
    kEmpty,    // too short for a header: removed, its hits (if any) lost
    kLaterVersion,
    kNotAJournal,  // both moved aside to "<name>.unreadable"
  };

  std::string name;
  std::string path;  // empty in memory
  int fd = -1;
  std::string memory;     // the segment, in memory
  uint64_t size = 0;      // header and whole records: where the next record goes
  uint64_t capacity = 0;  // bytes of the file already written (records, then zeros)
  uint64_t ingested = 0;  // offset up to which the worker has taken it in
  uint64_t order = 0;
  bool sealed = false;
  // Made by this process: no outbox can hold an offset of it yet, and its
  // records are counted as they are appended.
  bool own = true;
  uint64_t recordsLeft = 0;  // own segments: records not yet taken in
  bool ahead = false;        // made with room for its records (reserved or zeros)
  // A segment made with room ahead is mapped into memory, [0, mappedBytes),
  // where the file system writes into blocks it has allocated without
  // allocating again (mapsWritesOn()): a record then goes in with a copy,
  // not a system call.
  char* mapped = nullptr;
  uint64_t mappedBytes = 0;

  QXJournalFile() = default;
  ~QXJournalFile();
  QXJournalFile(const QXJournalFile&) = delete;
  QXJournalFile& operator=(const QXJournalFile&) = delete;

  // Makes segment `name` in `directory` (null: in memory), headed with
  // `order` and, on disk, reserved up to `capacity` (reading as zeros) and
  // mapped where the file system allows. Null, with
  // errno's text in `*error` and errno in `*cause`, when it cannot be made.
  // Files are made, opened, linked and removed through the directory, never
  // through a link (QXDataDirectory).
  static std::unique_ptr<QXJournalFile> make(const QXDataDirectory* directory,
                                             const std::string& name, uint64_t order,
                                             uint64_t capacity, std::string* error, int* cause);
  // Takes over segment `name` of `directory` when no live process holds it.
  static Adoption adopt(const QXDataDirectory& directory, const std::string& name,
                        std::unique_ptr<QXJournalFile>* file);

  // Writes a record at `size` with as few system calls as the file system
  // allows. Returns 0, or errno when it could not be written whole; what
  // was written of it is then zeroed again, so that it ends the segment
  // cleanly for a reader and the next record goes in its place.
  int write(const char* head, size_t headSize, std::string_view url, std::string_view body);
  // Bytes [from, to) of the file; fewer when it cannot be read.
  std::string readFile(uint64_t from, uint64_t to) const;
  // Gives the zeros written ahead of the records back to the file system.
  void releaseZeros();
  // Takes the page faults of the mapping's pages past the records now.
  void faultInMapping() noexcept;
  // Closes the descriptor without unlocking: after fork, in the child, the
  // lock stays with the parent's descriptor; the child's copy of the
  // mapping goes too, so that it never writes into the parent's segment.
  void closeInherited() noexcept;
  // Unmaps the segment, when it is mapped; later records go by pwritev.
  void unmap() noexcept;

  // A mapping taken off its file, to be unmapped where it costs nobody.
  struct Mapping {
    char* at = nullptr;
    uint64_t bytes = 0;
    void unmap() noexcept;
  };
  Mapping takeMapping() noexcept;

  // Whether a file system of type `type` (statfs's f_type) writes into a
  // mapped file's blocks, once written, without allocating again: only then
  // can a write through a mapping never fault for want of space (which
  // would be SIGBUS in the host, not an error). Copy-on-write file systems
  // allocate on every write; they are written with pwritev.
  static bool mapsWritesOn(int64_t type);
};

#endif  // QUORVEX_CORE_NETWORK_QXJOURNALFILE_H_
