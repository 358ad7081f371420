#ifndef QUORVEX_CORE_NETWORK_QXOUTBOXLEASE_H_
#define QUORVEX_CORE_NETWORK_QXOUTBOXLEASE_H_

// Private to the core: never included by a public header.

#include <cstdint>
#include <string>

class QXDataDirectory;

// Which process is alive to send the hits it stored in an outbox that
// several processes of one application share.
//
// Each process (each outbox object) stores its hits under an owner number
// of its own and holds a lease on it: a file "outbox-<16 hex digits>.lease"
// in the data directory, locked (flock) for as long as the outbox is open.
// A process sends only the hits of its own number, so two processes never
// send the same hit. Hits whose owner holds no lease any more (it exited or
// was killed) are adopted by the next process that looks (QXOutbox).
//
// A lease is made and locked under another name and only then linked into
// place, so no process ever finds it unlocked while its owner lives. Its
// files are made, opened and removed through the data directory
// (QXDataDirectory), never through a link.
//
// Fork: the lease belongs to the process that took it; a child closes its
// copy of the descriptor (closeInherited()) and the lock stays with the
// parent.
class QXOutboxLease {
 public:
  QXOutboxLease() = default;
  ~QXOutboxLease() { release(); }
  QXOutboxLease(const QXOutboxLease&) = delete;
  QXOutboxLease& operator=(const QXOutboxLease&) = delete;

  // Takes the lease of `owner` in `directory`. False, with the reason in
  // `*error`, when its file cannot be made.
  bool take(const QXDataDirectory& directory, int64_t owner, std::string* error);
  bool held() const { return fd_ >= 0; }
  // Lets go of the lease and deletes its file.
  void release();
  void closeInherited() noexcept;

  // Whether the process of `owner` has gone: no lease file, or one whose
  // lock can be taken. A lease found so is deleted.
  static bool ownerGone(const QXDataDirectory& directory, int64_t owner);
  static std::string fileName(int64_t owner);

 private:
  int fd_ = -1;
  const QXDataDirectory* directory_ = nullptr;  // outlives the lease (the outbox's)
  std::string name_;
};

#endif  // QUORVEX_CORE_NETWORK_QXOUTBOXLEASE_H_
