#pragma once

#include <string>
#include <vector>

namespace zepr::platform {

// Folder of the running executable, with a trailing separator.
std::string ExecutableFolder();

// Whether a graphical display can be opened (else the headless view is used). ZEPR_HEADLESS=1
// in the environment says no, so that tests can choose the headless view.
bool DisplayAvailable();

// The program's command line as UTF-8, argv[0] first. On Windows main's argv is in the ANSI
// code page, so the arguments are read again from the system as they were given.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Output nobody reads must not end or misdirect the run: writing to a pipe whose reader has
// gone fails instead of ending the process (programs we start get the default back), and a
// standard stream that was closed is opened on the null device, so that no file we open later
// takes its number and receives the output.
void PrepareStandardStreams();

// The thousands and decimal separators of the user's numeric locale (LC_ALL, then LC_NUMERIC,
// then LANG), in UTF-8. Empty where the locale has none (C, POSIX) or cannot be loaded; the
// process locale is neither read nor changed.
struct LocaleSeparators {
  std::string thousands;
  std::string decimal;
};
LocaleSeparators UserNumericSeparators();

}  // namespace zepr::platform

namespace zepr::platform {

// Asks the system to connect a network folder, letting it ask the operator for credentials
// where it needs them; the outcome is not reported (the copy that follows tells).
void ConnectShare(const std::string& folder);

}  // namespace zepr::platform
