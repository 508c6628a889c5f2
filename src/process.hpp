// The process's surroundings: the standard streams, limits and the console
// it is given, and the one registry of what a run must undo however it
// ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// On POSIX systems, opens the null device onto any of the standard streams
// that the parent closed, so that no file the program opens can take a
// stream's place (an input read as replies, say); and makes a file-size
// limit or a reader that went away fail a write with an error instead of
// ending the process without a word (SIGXFSZ and SIGPIPE are ignored).
// On Windows, it instead makes the console show UTF-8, so that Polish reads
// right, and has Ctrl+C and closing the window end the run as signals do.
void prepare_process();

// Ends the run with `status`: where the program has a console window of its
// own, which closes with it (a double-click on Windows), it first waits
// for Enter, so that its last lines can be read.
int end_process(int status);

// Whether the parent had closed stdout: a run that only prints has then
// failed.
bool standard_output_was_closed();

// Whether stderr is a terminal (a console on Windows), where a person may
// be watching.
bool standard_error_is_terminal();

// The arguments after the program's name, in UTF-8 (on Windows, from the
// wide command line, so that a file in a folder named "Zdjęcia" is found).
std::vector<std::string> process_arguments(int argc, char** argv);

// What a run must undo however it ends, in one place: the named temporary
// file while one exists, and on Windows the console's code pages. One
// handler serves every signal that would end the process (SIGBUS and
// SIGTRAP among them) while there is something to undo or an input is
// mapped; it undoes, then lets the signal end the process as it would
// have. What the parent ignored stays ignored. SIGKILL, which no handler
// sees, leaves a named temporary file behind.
//
// The file `leaf` in the folder `folder` (its descriptor, or on Windows its
// name ending in a separator) is removed if the run ends before
// forget_temporary.
void remember_temporary(std::intptr_t folder, const std::string& folder_path, const std::string& leaf);
void forget_temporary();
// Undoes now. Safe in a signal handler: for failures that end the process
// at once.
void undo_run() noexcept;

// While inputs are mapped, a fault on a mapped page (a file cut by another
// program) ends the run with status 1, the one line `line_for` gives for the
// faulting address, and the same undoing. nullptr stops watching.
void watch_faults(std::string_view (*line_for)(const void* address));

// Holds back, while held, every signal (on Windows, Ctrl+C and the closing
// of the console), so that the steps that put the output in place are
// never cut apart. Nests.
void hold_signals(bool hold);
