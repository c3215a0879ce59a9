#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/image_input.h"
#include "core/base/hex.h"
#include "core/formats/identify.h"
#include "core/fs/filelist.h"
#include "core/fs/narc.h"
#include "core/io/stream.h"
#include "core/load.h"

// What every command shares: the parsed command line, the input image, terminal escaping and a
// small JSON writer.
namespace cartscope::cli {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Interrupted {};

// Throws Interrupted once Ctrl-C (or a hang-up, a termination request) has been seen.
void checkInterrupted();

// One command line after parsing: the positional arguments and the options given, each with
// the values it was given (an option without a value appears with an empty list).
struct Invocation {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;

    bool has(const std::string& option) const { return options.count(option) != 0; }
    // Every value of a repeatable option, in command-line order.
    std::vector<std::string> values(const std::string& option) const;
    // The last value of an option, when given.
    std::optional<std::string> value(const std::string& option) const;
};

// Where a command writes: `out` for its result, `err` for messages and progress.
struct Context {
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;
};

// One entry of the command table. `options` lists the options the command accepts; each
// option's spelling and whether it takes a value live in the option table (commands.cpp).
struct Command {
    const char* name;
    std::size_t minArgs;
    std::size_t maxArgs;
    std::vector<std::string> options;
    int (*run)(const Invocation&, Context&);
};

// The image the command reads, opened once (archive::InputImage): the file given, or the image
// member of a .zip read in place, in memory or from a private copy removed with the object.
// Ctrl-C stops a member's read. `copySinks` see the image's bytes while an archive member is
// checked or copied (that is their one read); for a plain image they are handed to the load's
// read pass instead (LoadOptions). `exclusive` locks a plain image file.
using archive::InputImage;
archive::InputOptions inputOptions(bool exclusive = false,
                                   std::span<core::ReadSink* const> copySinks = {});

// The load the file commands share, from an image the command already holds open (and keeps
// open for later steps), so no step reopens the file by its path. No whole-file read: these
// commands print no CRC-32.
core::LoadedImage load(InputImage& image, core::Rows rows = core::Rows::Build);

// Text from an image never reaches the terminal raw.
std::string safe(const std::string& s);

// Upper-case hex of raw bytes, two digits each, in file order.
using core::hexBytes;

// A small JSON object writer: keys in insertion order, values already encoded.
class JsonObject {
public:
    JsonObject& raw(const std::string& key, const std::string& encoded);
    JsonObject& str(const std::string& key, const std::string& value);
    JsonObject& num(const std::string& key, std::int64_t value);
    JsonObject& boolean(const std::string& key, bool value);
    std::string text(int indent = 0) const;
    // The object on one line (JSON Lines).
    std::string line() const;

private:
    std::vector<std::pair<std::string, std::string>> m_items;
};

// The list rows as a JSON array of {path, offset, size, pathBytes}: pathBytes is the hex of the
// path's raw bytes, exact where the text had to replace a byte that is not UTF-8.
// System rows add "system": true and, when they cannot be extracted, "problem".
// With `formats` (one per row), each row adds "format" and "compression" (null when unknown).
std::string filesJson(const std::vector<core::FileRow>& rows, int indent,
                      const std::vector<core::formats::FileFormat>* formats = nullptr);

// `, "format": "NCGR", "compression": "LZ11"`, either null when unknown.
std::string formatJsonFields(const core::formats::FileFormat& f);

// A NARC archive as JSON: {path, named, notes, members: [{path, offset, size, narc,
// compressed, format, compression[, problem]}]}; a compressed archive adds "compression" and
// its members have offset null (they are not in the image as they are) and "offsetInArchive".
std::string narcJson(const core::Narc& narc, const core::Stream& image, int indent);

// The commands, one source file each.
const Command& infoCommand();
const Command& listCommand();
const Command& extractCommand();
const Command& iconCommand();
const Command& verifyCommand();
const Command& organiseCommand();
const Command& reportCommand();
const Command& buildCommand();
const Command& renderCommand();
const Command& textCommand();
const Command& soundCommand();

} // namespace cartscope::cli
