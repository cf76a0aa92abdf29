// The signed comment's fields: what is read stands for one canonical comment, and the time
// recorded for its program and file holds back exactly what is older; a time more than a day
// ahead of the clock is refused.
#include "fuzz_support.h"
#include "trust/trust.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  const std::string text = fuzz::AsString(data, size);
  trust::Refusal why;
  const auto comment = trust::ParseTrustedComment(text, &why);
  if (!comment) {
    FUZZ_CHECK(why.reason == std::string(trust::reason::kIncompleteComment) ||
               why.reason == std::string(trust::reason::kMalformedSignature));
    return 0;
  }
  FUZZ_CHECK(!comment->file.empty() && !comment->program.empty() && comment->timestamp >= 0);
  FUZZ_CHECK(comment->file.find('\t') == std::string::npos);
  FUZZ_CHECK(comment->program.find('\t') == std::string::npos);
  FUZZ_CHECK(comment->client.find('\t') == std::string::npos);
  std::string canonical = "file:" + comment->file + "\tprogram:" + comment->program +
                          "\ttimestamp:" + std::to_string(comment->timestamp);
  if (!comment->client.empty()) canonical += "\tclient:" + comment->client;
  const auto reread = trust::ParseTrustedComment(canonical);
  FUZZ_CHECK(reread && reread->file == comment->file && reread->program == comment->program &&
             reread->timestamp == comment->timestamp && reread->client == comment->client);

  // A name that would break the store's lines is not recorded; any other is, and then holds back
  // only older times, for the same names in any ASCII letter case.
  const auto store_path = fuzz::Scratch().Fresh() / trust::TimestampStore::kFileName;
  const trust::TimestampStore store(store_path.string());
  const bool fits = comment->file.find_first_of(std::string("\r\n\0", 3)) == std::string::npos &&
                    comment->program.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
  const int64_t now = comment->timestamp;
  const auto ahead = store.Check(*comment, now - trust::kMostSignedAheadSeconds - 1);
  FUZZ_CHECK(ahead && ahead->reason == std::string(trust::reason::kSignedInFuture));
  FUZZ_CHECK(!store.Record(*comment) == fits);
  if (!fits) return 0;
  FUZZ_CHECK(!store.Check(*comment, now));
  trust::TrustedComment other_case = *comment;
  for (auto* s : {&other_case.file, &other_case.program}) {
    for (char& c : *s) {
      if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
      else if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c - 'A' + 'a');
    }
  }
  FUZZ_CHECK(!store.Check(other_case, now));
  if (comment->timestamp > 0) {
    --other_case.timestamp;
    const auto older = store.Check(other_case, now);
    FUZZ_CHECK(older && older->reason == std::string(trust::reason::kOlderVersion));
  }
  return 0;
}
