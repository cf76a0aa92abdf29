// The connection value of the command line: the split, the launcher's escapes and their
// encoding for a child updater.
#include <algorithm>

#include "core/connection_text.h"
#include "fuzz_support.h"

namespace {

bool HoldsEscape(const std::string& item) {
  for (const char* escape : {"7890+", "7891+", "7892+", "7893+"}) {
    if (item.find(escape) != std::string::npos) return true;
  }
  return false;
}

bool NoConnection(const std::vector<std::string>& items) {
  return items.empty() || items == std::vector<std::string>{"x"};
}

void CheckSplit(const std::string& text, char separator) {
  const std::vector<std::string> items = zepr::SplitToList(text, separator);
  FUZZ_CHECK(!items.empty());
  std::string joined;
  for (size_t i = 0; i < items.size(); ++i) {
    FUZZ_CHECK(items[i].find(separator) == std::string::npos);
    FUZZ_CHECK(i + 1 == items.size() || !items[i].empty());
    joined += items[i];
  }
  std::string without = text;
  without.erase(std::remove(without.begin(), without.end(), separator), without.end());
  FUZZ_CHECK(joined == without);
  // The last item is what follows the last separator.
  const size_t last = text.rfind(separator);
  FUZZ_CHECK(items.back() == (last == std::string::npos ? text : text.substr(last + 1)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zepr;
  if (size == 0) return 0;
  // The first byte picks the separator for the split; the rest is the text.
  const std::string text = fuzz::AsString(data + 1, size - 1);
  CheckSplit(text, static_cast<char>(data[0]));
  CheckSplit(text, ',');

  // What the launcher passes decodes to items that a child updater gets back exactly. No
  // list and the list of the one item "x" both mean "no connection" to the decoding; a child
  // is always given the four items of a connection.
  const std::vector<std::string> decoded = DecodeConnectionText(text);
  for (const auto& item : decoded) FUZZ_CHECK(!HoldsEscape(item));
  if (!NoConnection(decoded)) {
    FUZZ_CHECK(DecodeConnectionText(EncodeConnectionList(decoded)) == decoded);
  }

  // Items made up here (NUL separates them): every list the encoding is meant for travels
  // whole. Split items never hold an empty one but the last, as with the decoded ones.
  std::vector<std::string> items = SplitToList(text, '\0');
  if (std::none_of(items.begin(), items.end(), HoldsEscape) && !NoConnection(items)) {
    const std::string encoded = EncodeConnectionList(items);
    for (char c : {'&', '"', '%'}) FUZZ_CHECK(encoded.find(c) == std::string::npos);
    FUZZ_CHECK(DecodeConnectionText(encoded) == items);
  }
  return 0;
}
