// The command-line test client: reads request lines "FILE ANGLE ACTION",
// sends each file to the daemon and writes the result next to it or prints
// the returned figures.
#pragma once

#include "plume/Boxes.h"

#include <cstdio>
#include <string>

namespace Xadra {

struct ClientSettings {
    std::string host = "127.0.0.1";
    bool hasStamp = false;
    std::string stamp;  // empty when no "-s" was given
    std::string inputFile;  // empty: standard input
};

// Parses the options (argv[0] skipped; arguments starting with "--" were
// consumed by the configuration and log passes and are skipped here).
// Changes the working directory for each "-c" at once. Throws
// Plume::Exception (category 32, level 3) or Plume::CException.
ClientSettings parseClientOptions(int argc, char** argv);

// The annotation list of an action word: the comma-separated FDF files after
// the first comma, each read into a byte-array stream. Null-free list, empty
// when the word has no comma. Throws CException "Unable to stat file %s".
Plume::ObjPtr<Plume::List> buildAnnotations(const std::string& action);

// The output name for an input: its last four characters replaced by ".pdf"
// or ".png"; names of four characters or fewer stay unchanged.
std::string outputName(const std::string& input, bool pdf);

// MIME type by file name: "application/pdf" for names longer than four
// characters ending in ".pdf", else "image/hpgl".
std::string mimeTypeFor(const std::string& file);

// The whole program; returns the exit status (always 0).
int runClient(int argc, char** argv);

}  // namespace Xadra
