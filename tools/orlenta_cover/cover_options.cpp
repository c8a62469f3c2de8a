#include "tools/orlenta_cover/cover_options.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

namespace orlenta {

namespace {

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

std::optional<CoverStyle> styleFromName(std::string_view name) {
    // The labels are the names the app shows ("Blur"); on the command line any case will do.
    const std::string wanted = lowerCase(name);
    for (CoverStyle style : allCoverStyles)
        if (lowerCase(label(style)) == wanted)
            return style;
    return std::nullopt;
}

ParsedCommandLine failure(std::string message) {
    ParsedCommandLine parsed;
    parsed.error = std::move(message);
    return parsed;
}

} // namespace

std::string lowerCaseExtension(std::string_view path) {
    return lowerCase(std::filesystem::path(path).extension().string());
}

std::optional<MediaKind> mediaKindForOutput(std::string_view path) {
    const std::string extension = lowerCaseExtension(path);
    if (extension == ".webm" || extension == ".mp4" || extension == ".mkv")
        return MediaKind::video;
    if (extension == ".png" || extension == ".jpg" || extension == ".jpeg")
        return MediaKind::image;
    return std::nullopt;
}

std::string outputNameInFolder(std::string_view input, MediaKind kind) {
    const std::filesystem::path path(input);
    if (mediaKindForOutput(input) == kind)
        return path.filename().string();
    return path.stem().string() + (kind == MediaKind::video ? ".webm" : ".png");
}

ParsedCommandLine parseCoverCommandLine(const std::vector<std::string>& arguments) {
    CoverOptions options;
    std::vector<std::string> operands;
    bool optionsEnded = false;

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.empty() || argument == "-" || argument[0] != '-') {
            operands.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            ParsedCommandLine parsed;
            parsed.helpRequested = true;
            return parsed;
        }

        // "--name value" or "--name=value".
        std::string name = argument;
        std::optional<std::string> value;
        if (const size_t equals = argument.find('=');
            argument.starts_with("--") && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        if (name == "--virtual-camera" || name == "--loop") {
            if (value)
                return failure("option " + name + " takes no value");
            (name == "--loop" ? options.loop : options.virtualCamera) = true;
            continue;
        }
        if (name == "-o")
            name = "--output-folder";
        if (name != "--style" && name != "--faces" && name != "--model" &&
            name != "--output-folder")
            return failure("unknown option '" + name + "'");
        if (!value) {
            if (i + 1 >= arguments.size())
                return failure("option " + name + " needs a value");
            value = arguments[++i];
        }
        if (value->empty())
            return failure("option " + name + " needs a value");

        if (name == "--style") {
            const std::optional<CoverStyle> style = styleFromName(*value);
            if (!style)
                return failure("unknown style '" + *value + "' (use blur, pixelate or box)");
            options.style = *style;
        } else if (name == "--faces") {
            options.facesPath = *value;
        } else if (name == "--output-folder") {
            options.outputFolder = *value;
        } else {
            options.modelPath = *value;
        }
    }

    if (options.loop && !options.virtualCamera)
        return failure("--loop goes with --virtual-camera");
    if (!options.outputFolder.empty()) {
        if (options.virtualCamera)
            return failure("-o cannot be used with --virtual-camera");
        if (!options.facesPath.empty())
            return failure("--faces names one file; it cannot be used with -o");
        if (operands.empty())
            return failure("missing INPUT");
        std::set<std::string> names;
        for (const std::string& input : operands) {
            if (input.empty())
                return failure("INPUT is an empty name");
            // Video or image is known only once a file is opened; either way the stem decides.
            const std::string stem = std::filesystem::path(input).stem().string();
            if (!names.insert(stem).second)
                return failure("two inputs named '" + stem +
                               "' would be written to the same file in the output folder");
        }
        options.inputs = std::move(operands);
        ParsedCommandLine parsed;
        parsed.options = std::move(options);
        return parsed;
    }
    if (options.virtualCamera) {
        if (!options.facesPath.empty())
            return failure("--faces cannot be used with --virtual-camera");
        if (operands.empty())
            return failure("missing INPUT");
        if (operands.size() > 1)
            return failure("--virtual-camera takes only INPUT, not '" + operands[1] + "'");
        if (operands[0].empty())
            return failure("INPUT is an empty name");
        options.input = operands[0];
        ParsedCommandLine parsed;
        parsed.options = std::move(options);
        return parsed;
    }
    if (operands.size() < 2)
        return failure(operands.empty() ? "missing INPUT and OUTPUT" : "missing OUTPUT");
    if (operands.size() > 2)
        return failure("too many arguments: '" + operands[2] + "'");
    options.input = operands[0];
    options.output = operands[1];
    if (options.input.empty())
        return failure("INPUT is an empty name");
    if (options.output.empty())
        return failure("OUTPUT is an empty name");

    const std::optional<MediaKind> kind = mediaKindForOutput(options.output);
    if (!kind)
        return failure("cannot tell what to write from the name '" + options.output +
                       "': OUTPUT must end in .webm, .mp4 or .mkv (video) or .png or .jpg (image)");
    options.outputKind = *kind;

    ParsedCommandLine parsed;
    parsed.options = std::move(options);
    return parsed;
}

std::string coverUsage() {
    return "Usage: orlenta-cover [--style blur|pixelate|box] [--faces FILE] [--model FILE] INPUT "
           "OUTPUT\n"
           "       orlenta-cover [--style blur|pixelate|box] [--model FILE] INPUT... -o FOLDER\n"
           "       orlenta-cover --virtual-camera [--loop] [--style blur|pixelate|box] [--model "
           "FILE] INPUT\n"
           "\n"
           "Covers every face in a video or an image and writes the result, or plays it as the\n"
           "\"Orlenta Camera\" virtual camera.\n"
           "\n"
           "  INPUT          a video file (WebM, MP4, MJPEG, ...) or an image (PNG, JPEG, ...)\n"
           "  OUTPUT         .webm (VP8), .mp4 (H.264) or .mkv for a video input, .png or .jpg\n"
           "                 for an image; the output keeps the input's size and timing, and a\n"
           "                 video's sound and other tracks where the container can hold them\n"
           "  -o, --output-folder FOLDER\n"
           "                 cover every INPUT into FOLDER (made if missing), each under its own\n"
           "                 file name (.webm or .png where its own cannot be written); a file\n"
           "                 that fails is reported and the others still run\n"
           "  --style STYLE  how faces are covered: blur (default), pixelate or box\n"
           "  --faces FILE   also write one JSON line per frame with the faces found in it\n"
           "  --model FILE   the face detection model (default: the installed one)\n"
           "  --virtual-camera\n"
           "                 play the covered frames into the virtual camera (the\n"
           "                 orlenta-camera-extension daemon) in real time, at the input's\n"
           "                 frame rate, instead of writing OUTPUT\n"
           "  --loop         with --virtual-camera: start over at the end, until interrupted\n"
           "  -h, --help     show this help\n"
           "\n"
           "Exit status: 0 done, 1 failed (nothing written, or the virtual camera never\n"
           "reached; with -o: some file failed), 2 bad command line, 130 interrupted.\n";
}

} // namespace orlenta
