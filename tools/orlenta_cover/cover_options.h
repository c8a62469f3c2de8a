// The command line of orlenta-cover, parsed and checked for form only: whether the files exist,
// can be read or written is found out later, when they are opened.
//
//   orlenta-cover [--style blur|pixelate|box] [--faces FILE] [--model FILE] INPUT OUTPUT
//   orlenta-cover [--style blur|pixelate|box] [--model FILE] INPUT... -o FOLDER
//   orlenta-cover --virtual-camera [--loop] [--style blur|pixelate|box] [--model FILE] INPUT
//
// Options may come before, between or after the operands, as "--style box" or "--style=box"; a
// later copy of an option replaces an earlier one; "--" ends the options. --virtual-camera and
// --loop take no value; --loop and --virtual-camera go together, and --faces does not go with
// --virtual-camera or -o. With -o (--output-folder) every operand is an input, and each is written
// into FOLDER under its own file name (see outputNameInFolder); no two inputs may share a name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/pipeline/cover_style.h"

namespace orlenta {

enum class MediaKind { video, image };

struct CoverOptions {
    CoverStyle style = CoverStyle::blur;
    std::string facesPath; // empty: no face log
    std::string modelPath; // empty: the default model
    std::string input;
    std::string output;                      // empty with virtualCamera or outputFolder
    std::vector<std::string> inputs;         // with outputFolder: every input, in order
    std::string outputFolder;                // -o: write each input into this folder
    MediaKind outputKind = MediaKind::video; // from OUTPUT's extension
    // Play the covered frames into the virtual camera in real time instead of writing a file.
    bool virtualCamera = false;
    // With virtualCamera: start the input over at its end, until interrupted.
    bool loop = false;
};

struct ParsedCommandLine {
    std::optional<CoverOptions> options; // set when the command line can be run
    bool helpRequested = false;          // --help / -h: print coverUsage() and succeed
    std::string error;                   // otherwise: one line saying what is wrong
};

// The arguments without the program name.
ParsedCommandLine parseCoverCommandLine(const std::vector<std::string>& arguments);

// What the output file name asks for: .webm, .mp4 and .mkv are videos, .png, .jpg and .jpeg images
// (any letter case). Absent for any other name.
std::optional<MediaKind> mediaKindForOutput(std::string_view path);

// The name an input gets in an output folder: its own file name where that extension can be
// written for its kind, otherwise the stem with .webm (video) or .png (image).
std::string outputNameInFolder(std::string_view input, MediaKind kind);

// The lower-case extension of a file name, with its dot ("" when there is none).
std::string lowerCaseExtension(std::string_view path);

std::string coverUsage();

} // namespace orlenta
