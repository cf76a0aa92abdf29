#include "core/connection_text.h"

#include "core/text.h"

namespace zepr {

std::vector<std::string> SplitToList(const std::string& text, char separator) {
  std::vector<std::string> items;
  std::string current;
  for (char c : text) {
    if (c != separator) {
      current += c;
    } else {
      if (!current.empty()) items.push_back(current);
      current.clear();
    }
  }
  items.push_back(current);
  return items;
}

std::vector<std::string> DecodeConnectionText(const std::string& text) {
  if (text == "x") return {};
  auto items = SplitToList(text, ',');
  for (auto& item : items) {
    item = ReplaceAll(item, "7890+", "&");
    item = ReplaceAll(item, "7891+", ",");
    item = ReplaceAll(item, "7892+", "\"");
    item = ReplaceAll(item, "7893+", "%");
  }
  return items;
}

std::string EncodeConnectionList(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    std::string item = items[i];
    item = ReplaceAll(item, "&", "7890+");
    item = ReplaceAll(item, ",", "7891+");
    item = ReplaceAll(item, "\"", "7892+");
    item = ReplaceAll(item, "%", "7893+");
    out += item;
  }
  return out;
}

std::string ConnectionTextForLog(const std::string& text) {
  if (DecodeConnectionText(text).size() < 3) return text;
  // The items as DecodeConnectionText counts them: the escapes hold no comma, empty items but
  // the last are dropped.
  std::string shown;
  size_t item = 0;
  size_t begin = 0;
  while (true) {
    const size_t end = text.find(',', begin);
    std::string piece = text.substr(begin, end == std::string::npos ? end : end - begin);
    if (!piece.empty() || end == std::string::npos) {
      if (item == 2) piece = "***";
      ++item;
    }
    shown += piece;
    if (end == std::string::npos) break;
    shown += ',';
    begin = end + 1;
  }
  return shown;
}

}  // namespace zepr
