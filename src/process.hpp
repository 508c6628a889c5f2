// The process's surroundings, made safe before anything else runs.
#pragma once

// Opens the null device onto any of the standard streams that the parent
// closed, so that no file the program opens can take a stream's place
// (an input read as replies, say); and makes a file-size limit fail a write
// with an error instead of ending the process without a word, for the
// prompts, the output and the error line alike.
void prepare_process();
