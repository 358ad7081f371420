#include "core/network/QXOutboxIds.h"

#include <unistd.h>

#include <algorithm>

void QXOutboxIds::start(const QXOutboxMeta& meta) {
  removedUpTo_ = meta.removedUpTo;
  highestStored_ = std::max(meta.maxId, meta.removedUpTo);
  next_ = std::max(highestStored_, meta.reservedUpTo) + 1;
  reservedTo_ = next_ - 1;
}

std::optional<int64_t> QXOutboxIds::checkState(bool known, int64_t highest, int64_t removed) {
  if (!known || highest <= highestStored_) return std::nullopt;
  const int64_t lost = highest - std::max(highestStored_, std::min(removed, highest));
  next_ = std::max(next_, highest + 1);
  reservedTo_ = next_ - 1;
  return std::max<int64_t>(lost, 0);
}

void QXOutboxIds::openState(const QXDataDirectory& directory, const std::string& name) {
  closeState();
  stateFd_ = QXOutboxDatabase::openState(directory, name);
  writeState();
}

void QXOutboxIds::closeState() {
  if (stateFd_ >= 0) ::close(stateFd_);
  stateFd_ = -1;
}

int64_t QXOutboxIds::blockStart(int64_t highestInFile) const {
  return std::max(next_, highestInFile + 1);
}

int64_t QXOutboxIds::blockEnd(int64_t start, int64_t count) {
  return start + std::max(count, kReserveBlock) - 1;
}

void QXOutboxIds::reservedBlock(int64_t start, int64_t last) {
  next_ = start;
  reservedTo_ = last;
}

void QXOutboxIds::stored(int64_t count) {
  next_ += count;
  if (count > 0) highestStored_ = next_ - 1;
  writeState();
}

void QXOutboxIds::removed(int64_t id) {
  removedUpTo_ = std::max(removedUpTo_, id);
  writeState();
}

void QXOutboxIds::writeState() {
  QXOutboxDatabase::writeState(stateFd_, highestStored_, removedUpTo_);
}
