#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "install/install_journal.h"

namespace zepr::testing {

// The bytes of an install journal that holds these records, as an install writes them; and the
// records that bytes of a journal hold whole, up to the first that does not check out. Written
// here from the journal's format, for tests that plant or read journals: a change to the format
// the program makes shows in them.
std::string JournalBytes(const std::vector<JournalRecord>& records);
std::vector<JournalRecord> JournalRecords(std::string_view bytes);

}  // namespace zepr::testing
