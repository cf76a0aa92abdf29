#include "ftp_cases.h"

namespace zepr::testing {

std::vector<FailedLoginCase> FailedLoginCases(const std::string& user, const std::string& password,
                                              const std::string& refused) {
  return {
      {"wrong password", user, "kriva", false, "Authentication failed."},
      {"unknown user", "nitko", password, false, "Authentication failed."},
      {"nobody listening", user, password, true, refused},
      {"line break in the password", user, password + "\r\nDELE x", false, "Invalid character"},
  };
}

std::vector<FailedRetrievalCase> FailedRetrievalCases(const std::string& cut_error) {
  return {
      {"Update.zip", "Existing.zip", "Destination file already exists."},
      {"Nema.zip", "Nema.zip", "No such file or directory."},
      {"Cut.zip", "Cut.zip", cut_error},
      {"x\r\nDELE Update.zip", "x", ""},
      {"", "Listing", "No file name given."},
      {"Update.zip", "Big.zip", "datoteka je dulja od 999999 bajtova", 999'999},
  };
}

const std::vector<CutRetrievalCase>& CutRetrievalCases() {
  static const std::vector<CutRetrievalCase> cases = {
      {"cut at 90 %",
       "Once.zip",
       {"--cut", "Once.zip:900000:1"},
       true,
       false,
       {"REST 900000"},
       2000},
      {"cut every 300000 bytes",
       "Every.zip",
       {"--cut", "Every.zip:300000"},
       true,
       false,
       {"REST 300000", "REST 600000", "REST 900000"},
       14000},
      {"replaced after the cut",
       "Swap.zip",
       {"--cut", "Swap.zip:500000:1", "--replace", "Swap.zip:Nova.zip"},
       true,
       true,
       {},
       2000},
      {"cut at the same point again",
       "Fixed.zip",
       {"--cut-at", "Fixed.zip:400000"},
       false,
       false,
       {"REST 400000"},
       2000},
  };
  return cases;
}

}  // namespace zepr::testing
