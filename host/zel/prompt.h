// zel's interactive prompt, for standard input on a terminal.
#pragma once

namespace zel {

// Reads entries at the prompt and runs each once it is complete; the value of
// an entry's last bare expression is shown, an error is reported and the
// prompt carries on. Ctrl-C abandons the entry being typed, or stops the one
// running. Opens with a one-line banner when standard output is a terminal
// too. Built with libedit, it edits lines, completes names on Tab and keeps
// the history of entries in a file between runs (ZEL_HISTORY, else
// ~/.zel_history); a history file that cannot be used is one warning line on
// standard error. Returns at the end of input; throws std::bad_alloc when
// memory runs out.
void prompt();

}  // namespace zel
