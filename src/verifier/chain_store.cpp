#include "verifier/chain_store.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "encoding/fatal_error.h"
#include "verifier/line_source.h"

namespace velm::verify {

static_assert(std::is_trivially_copyable_v<ChainRecord>);

namespace {

[[noreturn]] void temp_failure(const char* what, int err) {
  throw IoError(std::string("cannot ") + what + " the temporary chain table: " + os_error_text(err));
}

}  // namespace

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
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd;
  do {
    fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) temp_failure("create", errno);
  file_ = UniqueFd(fd);
  for (std::uint64_t n = 0; n < memory_.size(); ++n) put(n, memory_[n]);
  std::vector<ChainRecord>().swap(memory_);
}

void ChainStore::put(std::uint64_t number, const ChainRecord& r) {
  if (!file_) {
    memory_[number] = r;
    return;
  }
  const auto* bytes = reinterpret_cast<const char*>(&r);
  std::size_t done = 0;
  while (done < sizeof r) {
    const ssize_t n =
        ::pwrite(file_.get(), bytes + done, sizeof r - done, static_cast<off_t>(number * sizeof r + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) temp_failure("write", n < 0 ? errno : ENOSPC);
    done += static_cast<std::size_t>(n);
  }
}

ChainRecord ChainStore::get(std::uint64_t number) const {
  ChainRecord r;
  get_range(number, 1, &r);
  return r;
}

void ChainStore::get_range(std::uint64_t first, std::size_t count, ChainRecord* out) const {
  if (!file_) {
    std::memcpy(static_cast<void*>(out), memory_.data() + first, count * sizeof(ChainRecord));
    return;
  }
  auto* bytes = reinterpret_cast<char*>(out);
  const std::size_t total = count * sizeof(ChainRecord);
  std::size_t done = 0;
  while (done < total) {
    const ssize_t n =
        ::pread(file_.get(), bytes + done, total - done, static_cast<off_t>(first * sizeof(ChainRecord) + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) temp_failure("read", n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
}

std::size_t GenesisIndex::slot_of(const Digest& root) const noexcept {
  std::uint64_t v;
  // Roots are BLAKE3 outputs: any eight of their bytes are as good as a hash.
  std::memcpy(&v, root.data(), sizeof v);
  return static_cast<std::size_t>(v) & (slots_.size() - 1);
}

void GenesisIndex::add(const ChainStore& store, std::uint64_t number, const Digest& first_root) {
  if (number >= UINT32_MAX) return;  // past four billion chains, repeats of first records go unnoticed
  if (2 * (used_ + 1) > slots_.size()) grow(store);
  std::size_t s = slot_of(first_root);
  while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
  slots_[s] = static_cast<std::uint32_t>(number + 1);
  ++used_;
}

void GenesisIndex::grow(const ChainStore& store) {
  std::vector<std::uint32_t> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : 2 * old.size(), 0);
  for (const std::uint32_t entry : old) {
    if (entry == 0) continue;
    std::size_t s = slot_of(store.get(entry - 1).first_root);
    while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
    slots_[s] = entry;
  }
}

std::uint64_t GenesisIndex::find(const ChainStore& store, const Digest& first_root, const IdKey& id) const {
  if (slots_.empty()) return 0;
  for (std::size_t s = slot_of(first_root); slots_[s] != 0; s = (s + 1) & (slots_.size() - 1)) {
    const ChainRecord r = store.get(slots_[s] - 1);
    if (r.first_root == first_root && r.has_first_id != 0 && r.first_id == id) return r.first_line;
  }
  return 0;
}

}  // namespace velm::verify
