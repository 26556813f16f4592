// The checks of one line on its own: its form, its seal and its signature. A LineChecker shares
// nothing with other lines except its scratch space, so one checker per thread can take any line;
// what links lines together (chains, score replay) comes after, in log order.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/digest.h"
#include "encoding/ed25519.h"
#include "records/human_delta_chain.h"
#include "records/ppp_triplet.h"
#include "records/sealed_record.h"
#include "verifier/line/failure.h"

namespace velm::verify {

// What score replay needs from a line.
struct ScoreInput {
  bool usable = false;  // all of the below were read
  std::uint64_t prompt_bytes = 0;
  std::uint64_t output_bytes = 0;
  double coherence = 0.0;
  double reputation = 0.0;
  std::optional<std::string> insight;
};

// Names a record id in 16 bytes (a BLAKE3 prefix of its text), to notice a record repeated.
using IdKey = std::array<std::uint8_t, 16>;

struct LineFacts {
  std::string form_problem;      // the first form problem found, empty when none
  std::optional<Digest> hash;    // the stored hash, when it is 64 lowercase hex digits
  std::optional<Digest> root;    // the stored merkle_root, likewise
  std::optional<Digest> sealed;  // the digest of the sealed fields, when all of them were read
  bool hash_mismatch = false;    // sealed and hash both read, and they differ
  bool bad_signature = false;    // hash and signature both read, and it does not verify
  std::optional<IdKey> id;       // when the id was read as a string
  ScoreInput scores;
  // The timestamp when it is in the engine's form (it always fits), else empty.
  std::array<char, 40> time{};
  std::uint8_t time_size = 0;
  std::string_view time_text() const noexcept { return {time.data(), time_size}; }
};

// Every value a line holds, as the checker read it, for callers that show records themselves.
struct LineValues {
  // The fields of SealedRecordData (the members of a record line), in its order.
  enum Field : std::size_t {
    kId,
    kTimestamp,
    kNanos,
    kHash,
    kSignature,
    kRoot,
    kCoherence,
    kReputation,
    kPpp,
    kCtx,
    kPrompt,
    kTrace,
    kOutput,
    kReview,
    kInsight,
    kSlotCount
  };
  SealedRecordData record;
  std::array<bool, kSlotCount> have{};  // per field: read, with its type
  std::optional<PPPTripletData> ppp;
  std::optional<HumanDeltaChainData> review;
};

class LineChecker {
 public:
  // How a line is read. Both give the same facts for every line; the first is faster on the
  // lines the engine writes, the second exists so that tests can hold the two side by side.
  enum class Reading { kEngineFormFirst, kGeneralOnly };
  static constexpr std::size_t kFieldCount = LineValues::kSlotCount;  // members of a record line

  explicit LineChecker(const PublicKey& key, Reading reading = Reading::kEngineFormFirst);
  ~LineChecker();
  LineChecker(const LineChecker&) = delete;
  LineChecker& operator=(const LineChecker&) = delete;

  // `line` without its line feed. Fills every field of `out`.
  void check(std::string_view line, LineFacts& out);
  // Only reads what `line` holds, without checking its seal or signature.
  LineValues read(std::string_view line);

 private:
  struct Scratch;
  // Reads the line's values into the scratch space; false when it is not a JSON object.
  bool read_line(std::string_view line, LineFacts& f, std::array<bool, kFieldCount>& have, bool& canonical);
  bool read_members(std::string_view line, LineFacts& f, std::array<bool, kFieldCount>& have);
  const PPPTripletData* check_nested_and_form(std::string_view line, LineFacts& f,
                                              const std::array<bool, kFieldCount>& have, bool& review_read);

  PublicKey key_;
  Reading reading_;
  std::unique_ptr<Scratch> scratch_;
};

}  // namespace velm::verify
