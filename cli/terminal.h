#pragma once
// Whether the command line talks to a person: a progress bar is drawn only on a terminal, never
// into a file or a pipe a script reads.

namespace cli {

bool StderrIsTerminal();

} // namespace cli
