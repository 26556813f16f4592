#include "verifier/chain/chain_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "encoding/fatal_error.h"
#include "verifier/line/line_source.h"

namespace velm::verify {

static_assert(std::is_trivially_copyable_v<ChainRecord>);

namespace {

[[noreturn]] void temp_failure(const char* what, int err) {
  throw IoError(std::string("cannot ") + what + " the temporary chain table: " + os_error_text(err));
}

int open_unnamed_in(const char* dir) {
  int fd;
  do {
    fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;
  // A file system without O_TMPFILE (vfat, some network and overlay mounts): a named file,
  // unlinked at once.
  std::string name = std::string(dir) + "/.velm-chains-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

// An unnamed file in $TMPDIR (else /tmp), else in `fallback_dir` when one is given; -1 with errno
// set when neither can hold one.
int open_temp_file(const std::string& fallback_dir) {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd = open_unnamed_in(dir);
  if (fd < 0 && !fallback_dir.empty()) {
    const int first_error = errno;
    fd = open_unnamed_in(fallback_dir.c_str());
    if (fd < 0) errno = first_error;
  }
  return fd;
}

bool read_all(int fd, char* out, std::size_t n, std::uint64_t at) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, out + done, n - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int fd, const char* bytes, std::size_t n, std::uint64_t at) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t put = ::pwrite(fd, bytes + done, n - done, static_cast<off_t>(at + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// The file every finished table of this process shares. Regions are handed out at its end; a
// region given back has its blocks freed, and once none is in use the file is emptied. A child
// process after fork makes a file of its own (a new generation) instead of writing into its
// parent's; a table it inherited then reads as an error, never as the parent's data.
struct SharedTables {
  std::mutex mutex;
  UniqueFd file;
  pid_t owner = 0;
  std::uint64_t generation = 0;
  std::uint64_t end = 0;
  std::size_t live = 0;
};

SharedTables* g_shared_tables = nullptr;

// fork() happens with the lock held by the thread that forks, so a child never inherits it held
// by a thread that does not exist there.
void lock_for_fork() { g_shared_tables->mutex.lock(); }
void unlock_after_fork() { g_shared_tables->mutex.unlock(); }

// Never destroyed: a report may be let go of after static destruction has begun.
SharedTables& shared_tables() {
  static SharedTables* const tables = [] {
    g_shared_tables = new SharedTables;
    (void)::pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
    return g_shared_tables;
  }();
  return *tables;
}

}  // namespace

SharedTableRegion::SharedTableRegion(SharedTableRegion&& other) noexcept
    : offset_(other.offset_),
      bytes_(other.bytes_),
      generation_(other.generation_),
      held_(std::exchange(other.held_, false)) {}

SharedTableRegion& SharedTableRegion::operator=(SharedTableRegion&& other) noexcept {
  if (this != &other) {
    release();
    offset_ = other.offset_;
    bytes_ = other.bytes_;
    generation_ = other.generation_;
    held_ = std::exchange(other.held_, false);
  }
  return *this;
}

SharedTableRegion SharedTableRegion::copy_of(int source, std::uint64_t bytes, const std::string& fallback_dir) {
  SharedTables& t = shared_tables();
  SharedTableRegion region;
  int target = -1;
  {
    const std::lock_guard lock(t.mutex);
    if (t.owner != ::getpid()) {
      t.file.reset();
      t.owner = ::getpid();
      ++t.generation;
      t.end = 0;
      t.live = 0;
    }
    if (!t.file) {
      const int fd = open_temp_file(fallback_dir);
      if (fd < 0) return region;
      t.file = UniqueFd(fd);
    }
    region.offset_ = t.end;
    region.bytes_ = bytes;
    region.generation_ = t.generation;
    region.held_ = true;
    t.end += bytes;
    ++t.live;
    target = t.file.get();
  }
  std::vector<char> block(std::size_t{1} << 16);
  for (std::uint64_t done = 0; done < bytes;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), bytes - done));
    if (!read_all(source, block.data(), n, done) || !write_all(target, block.data(), n, region.offset_ + done)) {
      return SharedTableRegion{};  // `region` gives its stretch back as it goes
    }
    done += n;
  }
  return region;
}

void SharedTableRegion::read(std::uint64_t at, char* out, std::size_t n) const {
  SharedTables& t = shared_tables();
  int fd = -1;
  {
    const std::lock_guard lock(t.mutex);
    if (t.owner == ::getpid() && t.generation == generation_) fd = t.file.get();
  }
  if (fd < 0) throw IoError("cannot read the temporary chain table: it was made before this process was forked");
  if (!read_all(fd, out, n, offset_ + at)) temp_failure("read", errno);
}

void SharedTableRegion::release() noexcept {
  if (!std::exchange(held_, false)) return;
  SharedTables& t = shared_tables();
  const std::lock_guard lock(t.mutex);
  if (t.owner != ::getpid() || t.generation != generation_ || !t.file) return;
  if (--t.live == 0) {
    // Nothing in use: the file starts over. (A failed truncation only leaves blocks allocated.)
    t.end = 0;
    const int rc = ::ftruncate(t.file.get(), 0);
    (void)rc;  // a named result: a cast alone does not silence warn_unused_result
  } else if (bytes_ != 0) {
    // Where holes cannot be punched the blocks stay until the file is emptied.
    (void)::fallocate(t.file.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset_),
                      static_cast<off_t>(bytes_));
  }
}

ChainSummary summarize(const ChainRecord& r, std::size_t max_open_chains) {
  ChainSummary s;
  s.first_line = r.first_line;
  s.last_line = r.last_line;
  s.records = r.records;
  s.head = r.head;
  s.from_genesis = r.from_genesis != 0;
  s.scores_checked = r.scores_checked;
  const std::string at = std::to_string(r.note_line);
  switch (r.note) {
    case ScoresNote::kNone:
      break;
    case ScoresNote::kAfterBreak:
      s.scores_note = "it begins after a break, so the history its scores depend on is unknown";
      break;
    case ScoresNote::kClosed:
      s.scores_note = "replay stopped after line " + at + ": the chain was closed while " +
                      std::to_string(max_open_chains) + " later chains were open";
      break;
    case ScoresNote::kUnreadableScores:
      s.scores_note = "replay stopped at line " + at + ", whose scores could not be read";
      break;
    case ScoresNote::kMismatch:
      s.scores_note = "replay stopped at the score mismatch on line " + at;
      break;
    case ScoresNote::kSinfDiffers:
      s.scores_note = "not replayed: this machine's sinf differs from the engine's C library";
      break;
  }
  return s;
}

std::uint64_t ChainStore::add(const ChainRecord& r) {
  if (!file_ && memory_.size() >= memory_limit_) spill();
  const std::uint64_t n = count_++;
  if (file_) {
    put(n, r);
  } else {
    memory_.push_back(r);
  }
  return n;
}

void ChainStore::spill() {
  const int fd = open_temp_file(fallback_dir_);
  if (fd < 0) {
    // No folder takes a temporary file: the table stays in memory, which costs memory, not the
    // log's verdict.
    memory_limit_ = SIZE_MAX;
    return;
  }
  file_ = UniqueFd(fd);
  for (std::uint64_t n = 0; n < memory_.size(); ++n) put(n, memory_[n]);
  std::vector<ChainRecord>().swap(memory_);
}

void ChainStore::finish() {
  if (!file_) return;
  SharedTableRegion region = SharedTableRegion::copy_of(file_.get(), count_ * sizeof(ChainRecord), fallback_dir_);
  if (!region) return;  // the table stays in its own file
  shared_ = std::move(region);
  file_.reset();
}

void ChainStore::put(std::uint64_t number, const ChainRecord& r) {
  if (!file_) {
    memory_[number] = r;
    return;
  }
  if (!write_all(file_.get(), reinterpret_cast<const char*>(&r), sizeof r, number * sizeof r)) {
    temp_failure("write", errno);
  }
}

ChainRecord ChainStore::get(std::uint64_t number) const {
  ChainRecord r;
  get_range(number, 1, &r);
  return r;
}

void ChainStore::for_each_chain(const std::function<void(const ChainRecord&)>& visit) const {
  for_each_numbered([&](std::uint64_t, const ChainRecord& r) { visit(r); });
}

void ChainStore::for_each_numbered(const std::function<void(std::uint64_t, const ChainRecord&)>& visit) const {
  constexpr std::size_t kBlock = 1024;
  std::vector<ChainRecord> block(kBlock);
  for (std::uint64_t first = 0; first < size(); first += kBlock) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size() - first));
    get_range(first, count, block.data());
    for (std::size_t i = 0; i < count; ++i) {
      if (block[i].dissolved == 0) visit(first + i, block[i]);
    }
  }
}

void ChainStore::get_range(std::uint64_t first, std::size_t count, ChainRecord* out) const {
  auto* bytes = reinterpret_cast<char*>(out);
  const std::size_t total = count * sizeof(ChainRecord);
  if (shared_) {
    shared_.read(first * sizeof(ChainRecord), bytes, total);
  } else if (file_) {
    if (!read_all(file_.get(), bytes, total, first * sizeof(ChainRecord))) temp_failure("read", errno);
  } else {
    std::memcpy(static_cast<void*>(out), memory_.data() + first, total);
  }
}

GenesisIndex::GenesisIndex() {
  // A failed draw leaves a fixed key: lookups stay correct, only the spread is then foreseeable.
  std::size_t got = 0;
  while (got < key_.size()) {
    const ssize_t n = ::getrandom(key_.data() + got, key_.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
}

std::size_t GenesisIndex::slot_of(const Digest& root, const IdKey& id) const noexcept {
  blake3_hasher h;
  blake3_hasher_init_keyed(&h, key_.data());
  blake3_hasher_update(&h, root.data(), root.size());
  blake3_hasher_update(&h, id.data(), id.size());
  std::uint64_t v;
  blake3_hasher_finalize(&h, reinterpret_cast<std::uint8_t*>(&v), sizeof v);
  return static_cast<std::size_t>(v) & (slots_.size() - 1);
}

void GenesisIndex::add(const ChainStore& store, std::uint64_t number, const Digest& first_root, const IdKey& first_id) {
  if (number >= UINT32_MAX) return;  // past four billion chains, repeats of first records go unnoticed
  if (2 * (used_ + 1) > slots_.size()) grow(store);
  std::size_t s = slot_of(first_root, first_id);
  while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
  slots_[s] = static_cast<std::uint32_t>(number + 1);
  ++used_;
}

void GenesisIndex::grow(const ChainStore& store) {
  std::vector<std::uint32_t> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : 2 * old.size(), 0);
  for (const std::uint32_t entry : old) {
    if (entry == 0) continue;
    const ChainRecord r = store.get(entry - 1);
    ++store_reads_;
    std::size_t s = slot_of(r.first_root, r.first_id);
    while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
    slots_[s] = entry;
  }
}

std::uint64_t GenesisIndex::find(const ChainStore& store, const Digest& first_root, const IdKey& id) const {
  if (slots_.empty()) return 0;
  // A chain whose damaged first root was mended later may repeat a pair already held: the earliest
  // is named, whatever the order of the slots.
  std::uint64_t earliest = 0;
  for (std::size_t s = slot_of(first_root, id); slots_[s] != 0; s = (s + 1) & (slots_.size() - 1)) {
    const ChainRecord r = store.get(slots_[s] - 1);
    ++store_reads_;
    if (r.first_root == first_root && r.has_first_id != 0 && r.first_id == id &&
        (earliest == 0 || r.first_line < earliest)) {
      earliest = r.first_line;
    }
  }
  return earliest;
}

}  // namespace velm::verify
