#include "verifier/checkpoint.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "encoding/entropy.h"
#include "encoding/unique_fd.h"
#include "engine/key_file.h"

namespace velm::verify {

namespace {

[[noreturn]] void key_fail(const std::string& what, int err) {
  throw WitnessKeyError(what + ": " + std::strerror(err));
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void write_all(int fd, const std::uint8_t* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) key_fail("cannot write the witness key", n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
}

// Puts the complete temporary file in place under `path` unless something is there already.
void publish(const std::string& temp, const std::string& path) {
  if (::link(temp.c_str(), path.c_str()) == 0) return;
  const int err = errno;
  if (err == EEXIST) throw WitnessKeyError("the witness key file already exists; it is never replaced");
  // File systems without hard links (some network and FAT file systems) refuse link(2).
  if (err != EPERM && err != EOPNOTSUPP && err != ENOSYS && err != EMLINK)
    key_fail("cannot create the witness key", err);
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno == EEXIST) throw WitnessKeyError("the witness key file already exists; it is never replaced");
  key_fail("cannot create the witness key", errno);
}

}  // namespace

std::string create_witness_key(const std::string& path, std::string_view name,
                               const std::function<bool(const std::string&)>& announce) {
  if (!valid_key_name(name)) {
    throw NoteError(NoteErrorKind::kBadKey, "key name is empty or holds a space, '+' or control character");
  }
  if (path.empty() || path.find('\0') != std::string::npos)
    throw WitnessKeyError("the witness key path is not a file name");
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0)
    throw WitnessKeyError("the witness key file already exists; it is never replaced");

  std::string temp;
  UniqueFd fd;
  for (unsigned attempt = 0; attempt < 100 && !fd; ++attempt) {
    temp = temporary_name_beside(path, attempt);
    fd = UniqueFd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd && errno != EEXIST) key_fail("cannot create the witness key", errno);
  }
  if (!fd) key_fail("cannot create the witness key", EEXIST);
  struct TempRemover {
    const std::string& path;
    ~TempRemover() { ::unlink(path.c_str()); }
  } remover{temp};

  SigningKey key = signing_key_from_seed(generate_seed());
  if (::fchmod(fd.get(), 0600) != 0) key_fail("cannot create the witness key", errno);  // whatever the umask
  write_all(fd.get(), key.seed().data(), key.seed().size());
  if (::fsync(fd.get()) != 0) key_fail("cannot create the witness key", errno);
  if (::close(fd.release()) != 0) key_fail("cannot create the witness key", errno);
  std::string vkey = format_verifier_key(make_verifier_key(name, key.public_key()));
  // Told before the key takes its name: a key whose verifier key was lost is never kept.
  if (announce && !announce(vkey)) return {};
  publish(temp, path);
  // Make the new name durable; the file is complete either way.
  const UniqueFd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return vkey;
}

SigningKey load_witness_key(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw WitnessKeyError("the witness key path is not a file name");
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) key_fail("cannot read the witness key", errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) key_fail("cannot read the witness key", errno);
  if (!S_ISREG(st.st_mode)) throw WitnessKeyError("the witness key is not a regular file");
  SecretSeed seed;
  std::uint8_t extra = 0;
  std::size_t got = 0;
  while (got < seed.size()) {
    const ssize_t n = ::read(fd.get(), seed.data() + got, seed.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) key_fail("cannot read the witness key", errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ssize_t more;
  do {
    more = ::read(fd.get(), &extra, 1);
  } while (more < 0 && errno == EINTR);
  sodium_memzero(&extra, sizeof extra);
  if (got != seed.size() || more != 0) {
    throw WitnessKeyError("the witness key file does not hold exactly 32 bytes");
  }
  return signing_key_from_seed(std::move(seed));
}

void add_report_failure(LogReport& report, std::uint64_t line, FailureKind kind, std::string detail) {
  ++report.failure_counts[static_cast<std::size_t>(kind)];
  Failure f{report.path, line, kind, std::move(detail)};
  const auto at = std::upper_bound(
      report.failures.begin(), report.failures.end(), f,
      [](const Failure& a, const Failure& b) { return a.line != b.line ? a.line < b.line : a.kind < b.kind; });
  report.failures.insert(at, std::move(f));
}

CheckpointSet::CheckpointSet(std::vector<CheckpointInput> inputs, std::span<const NoteVerifierKey> witnesses,
                             std::string_view expected_origin) {
  for (CheckpointInput& input : inputs) {
    Entry e;
    e.source = std::move(input.source);
    try {
      VerifiedCheckpoint opened = open_checkpoint(input.note, witnesses, expected_origin);
      e.checkpoint = std::move(opened.checkpoint);
      e.verified_by = std::move(opened.verified_by);
    } catch (const NoteError& error) {
      e.error = error.what();
    }
    entries_.push_back(std::move(e));
  }
}

void CheckpointSet::prepare(VerifyOptions& options) {
  options.tree = true;
  first_size_ = options.tree_sizes.size();
  for (const Entry& e : entries_) options.tree_sizes.push_back(e.checkpoint ? e.checkpoint->size : 0);
}

void CheckpointSet::judge(LogReport& report) const {
  if (!report.readable()) return;
  if (report.tree_roots.size() < first_size_ + entries_.size())
    throw std::logic_error("the log was not verified with the checkpoints' tree sizes");
  const auto e_source = [&](std::size_t i) -> const std::string& { return entries_[i].source; };
  enum class State { kUnopened, kMatch, kMismatch, kShort, kUnread };
  std::vector<State> states(entries_.size(), State::kUnopened);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (!e.checkpoint) {
      add_report_failure(report, 0, FailureKind::kCheckpointSignature, e.source + ": " + e.error);
      continue;
    }
    const std::uint64_t n = e.checkpoint->size;
    const std::optional<TreeHash>& root = report.tree_roots[first_size_ + i];
    if (report.tree_gap_line != 0 && n >= report.tree_gap_line) {
      states[i] = State::kUnread;
      add_report_failure(report, report.tree_gap_line, FailureKind::kCheckpointMismatch,
                         e.source + ": line " + std::to_string(report.tree_gap_line) +
                             " was too long to read, so the first " + std::to_string(n) +
                             " lines cannot be matched against the checkpoint");
    } else if (n > report.tree_leaves || !root) {
      states[i] = State::kShort;
      add_report_failure(report, report.tree_leaves + 1, FailureKind::kLogTruncated,
                         e.source + ": the checkpoint covers " + std::to_string(n) + " lines, the log has only " +
                             std::to_string(report.tree_leaves) + " complete lines: lines " +
                             std::to_string(report.tree_leaves + 1) + ".." + std::to_string(n) +
                             " were removed or cut off");
    } else {
      states[i] = *root == e.checkpoint->root ? State::kMatch : State::kMismatch;
    }
  }
  // The first change lies past the largest size that matches below a mismatch, and at or before
  // the smallest size past that which does not match.
  const auto size_of = [&](std::size_t i) { return entries_[i].checkpoint->size; };
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (states[i] != State::kMismatch) continue;
    std::uint64_t matched = 0;
    std::optional<std::size_t> matched_by;
    for (std::size_t j = 0; j < entries_.size(); ++j) {
      if (states[j] == State::kMatch && size_of(j) < size_of(i) && size_of(j) >= matched) {
        matched = size_of(j);
        matched_by = j;
      }
    }
    std::uint64_t first_bad = size_of(i);
    for (std::size_t j = 0; j < entries_.size(); ++j) {
      if (states[j] == State::kMismatch && size_of(j) > matched) first_bad = std::min(first_bad, size_of(j));
    }
    const std::string range = matched + 1 == first_bad
                                  ? "line " + std::to_string(first_bad)
                                  : "lines " + std::to_string(matched + 1) + ".." + std::to_string(first_bad);
    add_report_failure(
        report, matched + 1, FailureKind::kCheckpointMismatch,
        e_source(i) + ": the first " + std::to_string(size_of(i)) +
            " lines do not give the checkpoint's root: a line was changed, removed, inserted or "
            "reordered; the first change lies in " +
            range +
            (matched_by ? " (lines 1.." + std::to_string(matched) + " match " + e_source(*matched_by) + ")"
                        : std::string()));
  }
  // Pairs that cannot both describe this log: equal sizes with different roots, or a later
  // checkpoint that matches the log while an earlier one it should extend does not.
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (!entries_[i].checkpoint) continue;
    for (std::size_t j = 0; j < entries_.size(); ++j) {
      if (j == i || !entries_[j].checkpoint) continue;
      if (size_of(i) == size_of(j) && i < j && entries_[i].checkpoint->root != entries_[j].checkpoint->root) {
        add_report_failure(report, 0, FailureKind::kCheckpointConflict,
                           e_source(i) + " and " + e_source(j) + " both cover " + std::to_string(size_of(i)) +
                               " lines with different roots: they cannot both be right");
      }
    }
    if (states[i] != State::kMismatch) continue;
    // The smallest larger checkpoint that the log matches: it should extend this one.
    std::optional<std::size_t> later;
    for (std::size_t j = 0; j < entries_.size(); ++j) {
      if (states[j] == State::kMatch && size_of(j) > size_of(i) && (!later || size_of(j) < size_of(*later))) later = j;
    }
    if (later) {
      add_report_failure(report, 0, FailureKind::kCheckpointConflict,
                         e_source(*later) + " matches the log but does not extend " + e_source(i) + ": its first " +
                             std::to_string(size_of(i)) + " lines were rewritten before it was signed");
    }
  }
}

CheckpointOutcome make_checkpoint(const std::string& log_path, const PublicKey& log_key, const SigningKey& witness,
                                  std::string_view origin, const std::optional<CheckpointInput>& previous,
                                  VerifyOptions options) {
  const NoteVerifierKey own = make_verifier_key(origin, witness.public_key());
  std::optional<CheckpointSet> earlier;
  if (previous) earlier.emplace(std::vector<CheckpointInput>{*previous}, std::span(&own, 1), origin);
  options.tree = true;
  if (earlier) earlier->prepare(options);
  CheckpointOutcome out{verify_log_file(log_path, log_key, options), {}};
  if (earlier) earlier->judge(out.report);
  if (out.report.ok()) out.note = sign_checkpoint(origin, out.report.tree_leaves, out.report.tree_root, witness);
  return out;
}

}  // namespace velm::verify
