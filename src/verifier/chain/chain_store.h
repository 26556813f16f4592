// Every chain a log holds, in the order of their first lines. A log of many short chains (one
// engine per process run) holds a great many of them, so past a few thousand the table moves to
// an unnamed temporary file: memory stays the same whatever the number of chains.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "encoding/digest.h"
#include "encoding/unique_fd.h"
#include "verifier/line/line_check.h"

namespace velm::verify {

// Why some of a chain's scores were not checked.
enum class ScoresNote : std::uint8_t {
  kNone,
  kAfterBreak,        // it begins after a break: its history is unknown
  kClosed,            // closed while the most chains were open (note_line: its last line)
  kUnreadableScores,  // a record's scores could not be read (note_line: that line)
  kMismatch,          // replay stopped at a score mismatch (note_line: that line)
  kSinfDiffers,       // this machine's sinf is not the engine's
};

// One chain, in a fixed-size form that can be written to a file as it is.
struct ChainRecord {
  std::uint64_t first_line = 0;
  std::uint64_t last_line = 0;
  std::uint64_t records = 0;
  std::uint64_t scores_checked = 0;
  std::uint64_t note_line = 0;
  Digest head{};                  // the merkle_root of its last record
  Digest first_root{};            // the merkle_root of its first record
  IdKey first_id{};               // the id of its first record, when has_first_id
  std::uint8_t from_genesis = 0;  // 0: it begins after a break
  std::uint8_t dissolved = 0;     // its only record turned out to belong to another chain
  std::uint8_t has_first_id = 0;
  ScoresNote note = ScoresNote::kNone;
  std::uint32_t reserved = 0;
};

// What the report shows of a chain.
struct ChainSummary {
  std::uint64_t first_line = 0;
  std::uint64_t last_line = 0;
  std::uint64_t records = 0;
  Digest head{};
  bool from_genesis = false;
  std::uint64_t scores_checked = 0;  // records whose scores were compared with the replay
  std::string scores_note;           // why the others were not, empty when all were
};

ChainSummary summarize(const ChainRecord& r, std::size_t max_open_chains);

// A stretch of the one temporary file that every finished chain table of this process shares;
// given back (its disk blocks freed) when the table goes.
class SharedTableRegion {
 public:
  SharedTableRegion() noexcept = default;
  ~SharedTableRegion() { release(); }
  SharedTableRegion(SharedTableRegion&& other) noexcept;
  SharedTableRegion& operator=(SharedTableRegion&& other) noexcept;
  SharedTableRegion(const SharedTableRegion&) = delete;
  SharedTableRegion& operator=(const SharedTableRegion&) = delete;

  // A new region holding the first `bytes` bytes of `source`; empty when the shared file cannot
  // take them (the caller then keeps its own file).
  // The shared file is made as ChainStore makes its own (`fallback_dir`: see there).
  static SharedTableRegion copy_of(int source, std::uint64_t bytes, const std::string& fallback_dir = {});
  explicit operator bool() const noexcept { return held_; }
  // `n` bytes from `at` within the region. Throws IoError.
  void read(std::uint64_t at, char* out, std::size_t n) const;

 private:
  void release() noexcept;

  std::uint64_t offset_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t generation_ = 0;  // which shared file: a child process after fork starts another
  bool held_ = false;
};

class ChainStore {
 public:
  // Past `records_in_memory` chains the table moves to an unnamed file in $TMPDIR (else /tmp), or,
  // where that folder cannot hold one, in `fallback_dir` (the log's folder); where neither can, it
  // stays in memory.
  explicit ChainStore(std::size_t records_in_memory = 4096, std::string fallback_dir = {})
      : memory_limit_(records_in_memory), fallback_dir_(std::move(fallback_dir)) {}

  // The table changes no more. One that has moved to a file of its own moves on into the file
  // that all finished tables of this process share, so that a run over many logs keeps two
  // temporary files open, not one per log.
  void finish();

  // Appends a chain and returns its number. Throws IoError when the temporary file fails.
  std::uint64_t add(const ChainRecord& r);
  void put(std::uint64_t number, const ChainRecord& r);
  ChainRecord get(std::uint64_t number) const;
  // `count` records from `first` into `out`.
  void get_range(std::uint64_t first, std::size_t count, ChainRecord* out) const;
  std::uint64_t size() const noexcept { return count_; }
  // Every chain but the dissolved ones, in order, read a block at a time.
  void for_each_chain(const std::function<void(const ChainRecord&)>& visit) const;
  // The same chains with their numbers in the store.
  void for_each_numbered(const std::function<void(std::uint64_t number, const ChainRecord&)>& visit) const;

 private:
  void spill();

  std::size_t memory_limit_;
  std::string fallback_dir_;
  std::vector<ChainRecord> memory_;
  UniqueFd file_;
  SharedTableRegion shared_;  // once finished, in place of file_
  std::uint64_t count_ = 0;
};

// The chains begun at genesis, by the merkle_root and id of their first record, to notice a first
// record repeated anywhere later. Holds 4 bytes per slot and reads the records themselves from the
// store. Many chains may share a first root (engines whose first capture is the same health
// check), so a slot is chosen by root and id together, through a key drawn for each index: ids are
// not sealed, and a log's writer cannot choose them to crowd one run of slots.
class GenesisIndex {
 public:
  GenesisIndex();
  void add(const ChainStore& store, std::uint64_t number, const Digest& first_root, const IdKey& first_id);
  // The first line of the earliest chain whose first record has this root and id; 0 if none.
  std::uint64_t find(const ChainStore& store, const Digest& first_root, const IdKey& id) const;
  // Records read from the store so far: about two per lookup and per chain added, whatever the
  // roots.
  std::uint64_t store_reads() const noexcept { return store_reads_; }

 private:
  std::size_t slot_of(const Digest& root, const IdKey& id) const noexcept;
  void grow(const ChainStore& store);

  std::array<std::uint8_t, 32> key_{};
  std::vector<std::uint32_t> slots_;  // chain number + 1; 0 is empty
  std::size_t used_ = 0;
  mutable std::uint64_t store_reads_ = 0;
};

}  // namespace velm::verify
