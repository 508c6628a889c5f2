// The process's surroundings, made safe before anything else runs.
#pragma once

#include <string>
#include <vector>

// Opens the null device onto any of the standard streams that the parent
// closed, so that no file the program opens can take a stream's place
// (an input read as replies, say); and makes a file-size limit fail a write
// with an error instead of ending the process without a word, for the
// prompts, the output and the error line alike.
// On Windows, it also makes the console show UTF-8, so that Polish reads
// right, and has Ctrl+C and closing the window end the run as signals do.
void prepare_process();

// The arguments after the program's name, in UTF-8 (on Windows, from the
// wide command line, so that a file in a folder named "Zdjęcia" is found).
std::vector<std::string> process_arguments(int argc, char** argv);
