// The process's surroundings, made safe before anything else runs.
#pragma once

#include <string>
#include <vector>

// Opens the null device onto any of the standard streams that the parent
// closed, so that no file the program opens can take a stream's place
// (an input read as replies, say); and makes a file-size limit fail a write
// with an error instead of ending the process without a word, for the
// prompts, the output and the error line alike.
// On Windows, it instead makes the console show UTF-8, so that Polish reads
// right, and has Ctrl+C and closing the window end the run as signals do.
void prepare_process();

// Puts back what prepare_process changed outside the process: the
// console's code pages, on Windows. Safe where the process ends at once.
void restore_process() noexcept;

// Ends the run with `status`: where the program has a console window of its
// own, which closes with it (a double-click on Windows), it first waits
// for Enter, so that its last lines can be read.
int end_process(int status);

// Whether the parent had closed stdout, which prepare_process reopened onto
// the null device: a run that only prints has then failed.
bool standard_output_was_closed();

// The arguments after the program's name, in UTF-8 (on Windows, from the
// wide command line, so that a file in a folder named "Zdjęcia" is found).
std::vector<std::string> process_arguments(int argc, char** argv);
