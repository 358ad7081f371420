// The files the SDK keeps, written by one build and read by another: a
// device's data directory outlives the build that made it (an update from a
// build of another compiler or architecture, a directory copied from one
// machine to another), so each build must read exactly what every other
// writes.
//
//   stored_files write <dir>   makes <dir> and fills it with known content
//   stored_files read <dir>    checks that <dir> holds exactly that content
//
// Exit status: 0 when everything written was read back exactly, 1 when
// something differs (each difference on standard error), 2 on bad usage.
//
// What is written: the user defaults file (binary values, an overwritten and
// a removed key, a value larger than the reader's buffer), a QXAppVars
// archive, an outbox database with hits and a removed hit, and a journal
// segment whose hits its writer never took in. The reader adopts the
// segment, takes its hits into the outbox and lists them all, ids and
// identifiers included: an id or identifier that changes on the way is a
// hit that a collector would count twice.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "QXSDK/QXAppVars.h"
#include "core/QXDynamicStore.h"
#include "core/network/QXHitJournal.h"
#include "core/network/QXOutbox.h"
#include "platform/QXFakePlatform.h"
#include "platform/QXFileUserDefaults.h"

namespace {

namespace fs = std::filesystem;

const char kDefaultsFile[] = "user-defaults.qxud";
const char kAppVarsFile[] = "app-vars.qxav";
const char kOutboxFile[] = "outbox.sqlite";
// The ids and identifiers the writer's outbox gave its hits, one "id
// identifier" a line: they are the writer's to choose, the reader's to keep.
const char kOutboxIdsFile[] = "outbox-ids.txt";

// Every byte value, so that no byte is read back as another whatever the
// signedness of char.
std::string allBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i)
    bytes.push_back(static_cast<char>(i));
  return bytes;
}

struct Entry {
  std::string key;
  std::string value;
};

std::vector<Entry> defaultsEntries() {
  return {{"QXVisitorID", "067B4390-D225-453A-AECC-6EFDDFCB83F4"},
          {"QXNumberOfVisits", "2147483648"},
          {"every byte", allBytes()},
          {std::string("key \x80\xFF\0 with NUL", 15), "\xE2\x82\xAC 89,90"},
          {"empty", ""},
          // Past the 64 KiB the file is read in at a time.
          {"large", std::string(70000, '\xA5') + "end"}};
}
const char kOverwrittenKey[] = "QXNumberOfVisits";
const char kOverwrittenValue[] = "2147483649";
const char kRemovedKey[] = "QXRemoved";

std::vector<Entry> appVarsEntries() {
  return {{"page", "home"},
          {"basket[product_price][0]", "89.90"},
          {"every byte \xFF", allBytes()},
          {"negative", "-9223372036854775808"},
          {"empty", ""}};
}
const char kAppVarsRemovedKey[] = "removed";

struct Hit {
  std::string url;
  std::string body;
  bool consent;
  int64_t createdMs;
};

// Kept in the outbox; the one at kOutboxRemovedIndex is delivered (removed)
// before the writer ends.
std::vector<Hit> outboxHits() {
  return {{"https://collect.example.com/7/", "page=home&QX_DEVICE=x86_64", false, 1796680238615},
          {"https://collect.example.com/7/", "page=removed", false, 1796680238616},
          {"http://127.0.0.1:8080/7/", "consent=1&" + allBytes(), true, -1},
          {"https://collect.example.com/7/", "late=1", false, std::numeric_limits<int64_t>::max()}};
}
constexpr size_t kOutboxRemovedIndex = 1;

// Left in a journal segment that no process holds any more.
std::vector<Hit> journalHits() {
  return {{"https://collect.example.com/7/", "page=checkout&n=1", false, 1796680239000},
          {"https://collect.example.com/7/", std::string("binary=\0\x80\xFF", 10), true,
           std::numeric_limits<int64_t>::min()},
          {"https://collect.example.com/9/", std::string(5000, '\xC3') + "tail", false, 0}};
}

// Collects the differences between what was expected and what was read.
class Check {
 public:
  void fail(const std::string& what) {
    std::fprintf(stderr, "stored_files: %s\n", what.c_str());
    ++failures_;
  }
  void equal(const std::string& what, const std::string& expected, const std::string& actual) {
    if (expected != actual)
      fail(what + ": expected " + printable(expected) + ", read " + printable(actual));
  }
  void equal(const std::string& what, int64_t expected, int64_t actual) {
    if (expected != actual)
      fail(what + ": expected " + std::to_string(expected) + ", read " + std::to_string(actual));
  }
  int failures() const { return failures_; }

 private:
  // Short and on one line, whatever the bytes.
  static std::string printable(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size() && i < 48; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
        out.push_back(static_cast<char>(byte));
      } else {
        char escape[5];
        std::snprintf(escape, sizeof escape, "\\x%02X", byte);
        out += escape;
      }
    }
    if (text.size() > 48) out += "...(" + std::to_string(text.size()) + " bytes)";
    return out + "\"";
  }

  int failures_ = 0;
};

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

// --- Writing ---------------------------------------------------------------

bool writeDefaults(const fs::path& dir) {
  QXFileUserDefaults defaults((dir / kDefaultsFile).string());
  for (const Entry& entry : defaultsEntries()) {
    defaults.setObject(entry.key == kOverwrittenKey ? std::string("0") : entry.value, entry.key);
  }
  defaults.setObject(kOverwrittenValue, kOverwrittenKey);
  defaults.setObject("gone", kRemovedKey);
  defaults.removeObject(kRemovedKey);
  return defaults.isPersistent() && defaults.synchronize();
}

bool writeAppVars(const fs::path& dir) {
  QXAppVars vars;
  for (const Entry& entry : appVarsEntries()) {
    vars.addData(entry.key, entry.value);
    if (entry.key == "page") vars.addData(kAppVarsRemovedKey, std::string("soon gone"));
  }
  vars.removeData(kAppVarsRemovedKey);
  return writeFile(dir / kAppVarsFile, vars.encode());
}

bool writeOutbox(const fs::path& dir) {
  QXOutbox outbox((dir / kOutboxFile).string());
  if (!outbox.open().ok() || outbox.inMemory()) return false;
  std::vector<int64_t> ids;
  for (const Hit& hit : outboxHits()) {
    int64_t id = 0;
    if (!outbox.add(hit.url, hit.body, hit.consent, hit.createdMs, &id).ok()) return false;
    ids.push_back(id);
  }
  if (!outbox.remove({ids[kOutboxRemovedIndex]}).ok() || !outbox.makeDurable().ok()) return false;
  std::ostringstream list;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i != kOutboxRemovedIndex) list << ids[i] << ' ' << outbox.identifierFor(ids[i]) << '\n';
  }
  return writeFile(dir / kOutboxIdsFile, list.str());
}

bool writeJournal(const fs::path& dir) {
  QXHitJournal journal(dir.string());
  for (const Hit& hit : journalHits()) {
    if (!journal.append(hit.url, hit.body, hit.consent, hit.createdMs).ok()) return false;
  }
  return !journal.inMemory();
}

int write(const fs::path& dir) {
  std::error_code error;
  if (fs::exists(dir, error) && !fs::is_empty(dir, error)) {
    std::fprintf(stderr, "stored_files: %s is not empty\n", dir.c_str());
    return 2;
  }
  fs::create_directories(dir, error);
  // The SDK uses a data directory that is the process's own only, whatever
  // the umask made of it.
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, error);
  const std::pair<const char*, bool (*)(const fs::path&)> writers[] = {
      {"user defaults", writeDefaults},
      {"QXAppVars archive", writeAppVars},
      {"outbox", writeOutbox},
      {"journal", writeJournal}};
  for (const auto& [what, writer] : writers) {
    if (!writer(dir)) {
      std::fprintf(stderr, "stored_files: the %s could not be written in %s\n", what, dir.c_str());
      return 1;
    }
  }
  std::printf("stored_files: wrote %s\n", dir.c_str());
  return 0;
}

// --- Reading ---------------------------------------------------------------

void readDefaults(const fs::path& dir, Check& check) {
  QXFileUserDefaults defaults((dir / kDefaultsFile).string());
  for (const Entry& entry : defaultsEntries()) {
    const std::optional<std::string> value = defaults.objectForKey(entry.key);
    if (!value) {
      check.fail("user defaults: key " + entry.key + " is missing");
      continue;
    }
    check.equal("user defaults: " + entry.key,
                entry.key == kOverwrittenKey ? std::string(kOverwrittenValue) : entry.value,
                *value);
  }
  if (defaults.objectForKey(kRemovedKey)) check.fail("user defaults: a removed key is back");
}

void readAppVars(const fs::path& dir, Check& check) {
  const std::string archive = fileText(dir / kAppVarsFile);
  std::unique_ptr<QXAppVars> vars;
  const QXStatus status = QXAppVars::decode(archive, &vars);
  if (!status.ok() || vars == nullptr || vars->dynamicStore() == nullptr) {
    check.fail("QXAppVars archive refused: " + status.toString());
    return;
  }
  std::vector<std::string> keys;
  for (const Entry& entry : appVarsEntries()) {
    keys.push_back(entry.key);
    check.equal("QXAppVars: " + entry.key, entry.value,
                vars->getData(entry.key).value_or("(missing)"));
  }
  if (vars->dynamicStore()->orderedKeys() != keys) check.fail("QXAppVars: keys out of order");
  // The archive is a function of its content: the reader's archive of what
  // it read is the writer's, byte for byte.
  if (vars->encode() != archive) check.fail("QXAppVars: archived again, the bytes differ");
}

void expectHit(Check& check, const std::string& what, const Hit& expected,
               const QXOutbox::Hit& hit) {
  check.equal(what + " url", expected.url, hit.url);
  check.equal(what + " body", expected.body, hit.body);
  check.equal(what + " consent", expected.consent, hit.consent);
  check.equal(what + " created ms", expected.createdMs, hit.createdMs);
}

// The journal's records as its reader sees them, every segment adopted.
void readJournal(const fs::path& dir, QXOutbox& outbox, Check& check) {
  QXHitJournal journal(dir.string());
  if (journal.adoptOrphans() != 1) check.fail("journal: not exactly one segment adopted");
  std::vector<QXHitJournal::Record> records;
  for (const QXHitJournal::Segment& segment : journal.segments()) {
    // As the worker does: what the outbox has from a segment is not taken
    // in again, so that reading a directory twice finds it unchanged.
    const uint64_t ingested = outbox.ingestedTo(segment.name);
    uint64_t from = 0;
    for (;;) {
      QXHitJournal::Chunk chunk = journal.read(segment, from, 1 << 20);
      if (chunk.cutBytes != 0) check.fail("journal: " + segment.name + " has a damaged tail");
      if (chunk.end > ingested && !outbox.ingest(segment.name, chunk.end, chunk.records).ok())
        check.fail("journal: its hits cannot be taken into the outbox");
      records.insert(records.end(), chunk.records.begin(), chunk.records.end());
      from = chunk.end;
      if (chunk.complete) break;
    }
  }
  const std::vector<Hit> expected = journalHits();
  check.equal("journal: records", static_cast<int64_t>(expected.size()),
              static_cast<int64_t>(records.size()));
  for (size_t i = 0; i < expected.size() && i < records.size(); ++i) {
    const std::string what = "journal record " + std::to_string(i);
    check.equal(what + " url", expected[i].url, records[i].url);
    check.equal(what + " body", expected[i].body, records[i].body);
    check.equal(what + " consent", expected[i].consent, records[i].consent);
    check.equal(what + " created ms", expected[i].createdMs, records[i].createdMs);
  }
}

void readOutbox(const fs::path& dir, Check& check) {
  QXOutbox outbox((dir / kOutboxFile).string());
  if (!outbox.open().ok() || outbox.inMemory()) {
    check.fail("outbox: cannot be opened");
    return;
  }
  std::vector<std::pair<int64_t, std::string>> written;
  std::istringstream list(fileText(dir / kOutboxIdsFile));
  int64_t id = 0;
  std::string identifier;
  while (list >> id >> identifier)
    written.emplace_back(id, identifier);
  std::vector<Hit> expected = outboxHits();
  expected.erase(expected.begin() + kOutboxRemovedIndex);
  if (written.size() != expected.size()) {
    check.fail("outbox: " + std::string(kOutboxIdsFile) + " lists " +
               std::to_string(written.size()) + " hits");
    return;
  }
  readJournal(dir, outbox, check);

  // Oldest first: the writer's hits with their ids, then the journal's with
  // ids above them and the same identity.
  const std::vector<QXOutbox::Hit> hits = outbox.read(0, 100);
  const std::vector<Hit> fromJournal = journalHits();
  check.equal("outbox: hits", static_cast<int64_t>(expected.size() + fromJournal.size()),
              static_cast<int64_t>(hits.size()));
  if (hits.size() != expected.size() + fromJournal.size()) return;
  const std::string identity = written[0].second.substr(0, written[0].second.rfind('-'));
  for (size_t i = 0; i < hits.size(); ++i) {
    const std::string what = "outbox hit " + std::to_string(i);
    if (i < expected.size()) {
      check.equal(what + " id", written[i].first, hits[i].id);
      check.equal(what + " identifier", written[i].second, hits[i].identifier);
      expectHit(check, what, expected[i], hits[i]);
    } else {
      if (hits[i].id <= written.back().first) check.fail(what + ": an id that was given before");
      check.equal(what + " identifier", identity + "-" + std::to_string(hits[i].id),
                  hits[i].identifier);
      expectHit(check, what, fromJournal[i - expected.size()], hits[i]);
    }
  }
  check.equal("outbox: identifier of the first hit", written[0].second,
              outbox.identifierFor(written[0].first));
}

int read(const fs::path& dir) {
  Check check;
  readDefaults(dir, check);
  readAppVars(dir, check);
  readOutbox(dir, check);
  if (check.failures() != 0) {
    std::fprintf(stderr, "stored_files: %d difference(s) in %s\n", check.failures(), dir.c_str());
    return 1;
  }
  std::printf("stored_files: read %s, every value as written\n", dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "write" && mode != "read") {
    std::fprintf(stderr, "usage: stored_files write|read <dir>\n");
    return 2;
  }
  // The fake platform: its random source and clock are all the files need,
  // and it reads nothing of the machine.
  QXFakePlatform::installNew();
  return mode == "write" ? write(argv[2]) : read(argv[2]);
}
