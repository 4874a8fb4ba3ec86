#pragma once

// Process set-up for the command line, made first thing in main().

// Opens /dev/null on any of descriptors 0-2 that is closed (read for 0, write for 1 and 2). Call
// it before anything opens a descriptor (before QCoreApplication): otherwise the next one opened,
// such as the event loop's own eventfd, takes number 1 and received bytes are written into it.
void openMissingStandardDescriptors();

// A write to a pipe whose reader has gone then fails with EPIPE ("Broken pipe"), which the run
// reports, instead of SIGPIPE ending the program without a word.
void ignoreBrokenPipe();
