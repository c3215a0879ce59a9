#include "cli/commands.h"

#include <csignal>
#include <cstdint>

#include "cli/common.h"
#include "cli/write_out.h"
#include "core/base/error.h"
#include "core/base/text.h"

namespace cartscope::cli {

std::atomic<bool> g_interrupted{false};

namespace {
extern "C" void onInterrupt(int)
{
    g_interrupted = true;
}
} // namespace

void installInterruptHandlers()
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa {};
        sa.sa_handler = onInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(signal, &sa, nullptr);
    }
}

namespace {

constexpr const char* kUsage =
    R"(Usage: cartscope-cli COMMAND [OPTIONS] [--] IMAGE [ARGS...]
Inspects Nintendo DS, iQue DS and DSi cartridge images (.nds, .ids, .dsi, .srl, or a .zip
or .7z holding one).

Commands:
  info [--json] [--hashes] IMAGE
                               the header information report (or every value as JSON;
                               --hashes adds MD5, SHA-1 and SHA-256 to the CRC-32)
  list [--json] [--formats] [--system | --system-only] IMAGE
                               the files inside the image: path, offset (hex), size
                               (--formats: and what each holds)
  list [--json] --narc PATH IMAGE
                               the members of the NARC archive at PATH in the image,
                               with what each holds
  list [--json] --sdat PATH IMAGE
                               the entries of the SDAT sound archive at PATH
  extract [--force] [--decompress] [--system | --system-only] IMAGE DIR [PATH...]
                               extract every file, or only the given paths, into
                               DIR/<internal name>/
  extract [--force] [--decompress] --narc PATH IMAGE DIR
                               extract the members of the NARC archive at PATH into
                               DIR/<archive name without extension>/
  extract [--force] --sdat PATH IMAGE DIR
                               extract the files of the sound archive at PATH into
                               DIR/<archive name without extension>/
  icon IMAGE OUT               save the banner icon as PNG: OUT-Trans.png and
                               OUT-NoTrans.png when it has transparent pixels, else OUT.png
  icon --animated IMAGE OUT    also save the animated icon as OUT-Animated.png (an
                               animated PNG); an error when the banner has none
  render [--palette PATH] [--screen PATH | --cells PATH [--cell N]] IMAGE PATH OUT
         [--sequence N]
                               draw the tile graphics (NCGR) at PATH as an RGBA PNG, an
                               animation (NANR) as an animated PNG (every sequence one
                               after the other, or sequence N), or a font (NFTR) as a
                               glyph sheet plus OUT with .json; files not given are the
                               ones beside PATH with its base name, else the only one
  text [--json] IMAGE PATH     the messages of the BMG file at PATH, one per line
  text --write IMAGE PATH IN OUT
                               write the edited lines of IN into the BMG file as OUT
  sound [--json] IMAGE PATH OUT
                               convert a sound archive entry (as list --sdat prints it):
                               a stream or wave to WAV, a wave archive to the folder OUT
                               of NNNN.wav, a sequence to MIDI, a bank to a listing on
                               standard output and the sound font OUT.sf2
  verify [--dat FILE]... [--jobs N] [--json|--csv] PATH...
                               check dumps against No-Intro DATs: each PATH is an image,
                               a .zip or .7z (every .nds/.ids/.dsi/.srl member) or a folder
                               (walked recursively); without --dat, every DAT in
                               $XDG_DATA_HOME/cartscope/dats/ is loaded
  organise --to DIR [--dat FILE]... [--copy|--move|--link] [--format raw|zip|torrentzip]
           [--pad] [--dry-run] [--jobs N]
           [--1g1r [--prefer-region R,R...] [--prefer-language L,L...]] PATH...
                               put every dump that verifies in DIR/<DAT name>/<rom name>
                               (raw) or DIR/<DAT name>/<game name>.zip; dumps that do not
                               verify stay where they are and are listed
  report [--dat FILE]... [--json] [--missing-csv FILE] [--fixdat DIR] [--jobs N] PATH...
                               per DAT, the games the dumps hold (verified, trimmed or
                               not), the games missing and those held twice; the missing
                               roms as CSV, and DIR/<DAT name> (fixdat).dat for each DAT
  build [--force] [--fill ff|00] [--rehash] [--compact] [--keep-banner-crcs] [--renumber] TREE OUT
        [--no-vram-safe]
                               put the image back together from TREE (DIR/<internal name>
                               as extract wrote it with the system files) and its layout,
                               TREE.layout/, into the file OUT; edited files are written
                               in place, or at the end of the used area when they grew;
                               renamed files keep their IDs, added ones take new IDs.
                               A TREE without a layout ([system]/header.bin, arm9.bin,
                               arm7.bin, ...) is laid out as a new image, holes of --fill
  replace [--force] [--in-place] [--keep-banner-crcs] [--no-vram-safe]
          IMAGE OUT PATH FILE [PATH FILE]...
                               write IMAGE with the file at each PATH (as list shows it,
                               system files under /[system]/) holding the bytes of FILE;
                               a member of a NARC (/a.carc/in.narc/b.bin) rebuilds each
                               archive around it, packed again with its own compression
  trim [--force] [--in-place] IMAGE OUT
                               write IMAGE cut at its used size; refused when the bytes
                               cut are not all 0xFF or all 0x00 (--force cuts them)
  pad [--force] [--in-place] [--fill ff|00] [--size chip|pow2|N] IMAGE OUT
                               write IMAGE padded (default: 0xFF to the chip size)
  pad [--force] [--in-place] --dat FILE IMAGE OUT
                               pad with the fill and to the size that match a DAT entry
  fix [--force] [--in-place] IMAGE OUT
                               write IMAGE with the header and banner CRC-16s set to
                               their computed values; one line per changed field
  diff [--force] ORIGINAL EDITED OUT
                               write a BPS patch that turns ORIGINAL into EDITED
  patch [--force] [--in-place] IMAGE PATCH OUT
                               apply a BPS or IPS patch to IMAGE

Options:
  --json      machine-readable output
  --force     extract even when the files may not fit in the free space of DIR;
              build, replace, trim, pad, fix, diff, patch: replace an existing OUT (trim: also cut
              bytes that are not padding)
  --in-place  trim, pad, fix, patch, replace: OUT may be the input file, which is replaced
  --decompress
              extract: write compressed files (LZ10, LZ11, Huffman, RLE) decompressed under
              their own names, with --system also the ARM9 binary and compressed overlays;
              the layout keeps their original bytes for build
  --no-vram-safe
              build: a decompressed file edited and packed again, replace: a compressed
              archive rebuilt, may use back-references at distance 1 (the console's
              16-bit VRAM decoder cannot read them)
  --rehash    build: compare the files' recorded digests instead of their times
  --compact   build: lay every file out again, one after the other
  --renumber  build: number the files again when some were added to or removed from a
              folder of the image, and print each changed ID as "old -> new  path"
  --keep-banner-crcs
              build, replace: keep the banner's stored CRC-16s when banner.bin changes
  --fill B    pad: the padding byte, ff or 00; build: the byte between the pieces of
              a new image (default 00)
  --size S    pad: chip (the header's chip size), pow2 (the next power of two) or a
              size in bytes (decimal, or hexadecimal after 0x)
  --system    add the system files (header, ARM9/ARM7 binaries, overlay tables,
              overlays, banner) under /[system]/ after the file tree; extracting the
              whole tree so also writes DIR/<internal name>.layout/ for build
  --system-only
              only the system files
  --narc PATH a NARC archive in the image (a member of one: /a.narc/b.narc); a
              compressed archive is decompressed to be read
  --formats   list: a column telling each file's format (by its magic) and compression
              (LZ11 -> NCGR), "-" when unknown; it reads the first 4 KiB of every file
  --sdat PATH an SDAT sound archive in the image
  --hashes    info: also MD5, SHA-1 and SHA-256, from the same read as the CRC-32
  --dat FILE  verify, organise, report, pad: a DAT, Logiqx XML or clrmamepro text (.dat/.xml,
              or a .zip holding them); repeatable
  --jobs N    verify, organise, report: images checked at once (default: the number of
              cores)
  --to DIR    organise: the collection folder
  --copy      organise: copy the dumps (the default)
  --move      organise: move them (a source is removed only once its copy reads back)
  --link      organise: hard-link them (one file system only)
  --format F  organise: raw (default), zip, or torrentzip (the canonical zip)
  --pad       organise: write a trimmed dump padded as it matched the DAT
  --dry-run   organise: print the plan and change nothing
  --1g1r      organise: one game per parent/clone group, chosen by the preferences
  --prefer-region R,R...
              organise --1g1r: region codes, best first (EUR,USA,JPN)
  --prefer-language L,L...
              organise --1g1r: languages, best first (En,Fr)
  --csv       verify: one CSV row per image
  --missing-csv FILE
              report: write the roms of the missing games as CSV (dat, game, rom, size,
              crc32, md5, sha1)
  --fixdat DIR
              report: write a Logiqx DAT of the missing games per DAT into DIR
  --animated  icon: also write the animated icon as OUT-Animated.png
  --palette PATH
              render: the palette (NCLR) to draw with
  --screen PATH
              render: draw the tiles as this screen (NSCR)
  --cells PATH
              render: draw the tiles as these cells (NCER), all on one sheet
  --cell N    render: only cell N of --cells
  --sequence N
              render: only sequence N (from 0) of an animation
  --write     text: write edited messages into a copy of the file
  --help      show this text
  --version   show the version
  --          end of options (for paths that begin with "-")
)";

// Every option the command line knows: its spelling and whether it takes a value (given as
// the next argument). Which command accepts which is in the command table.
struct OptionRule {
    const char* name;
    bool takesValue;
};
constexpr OptionRule kOptions[] = {
    {"--json", false},
    {"--force", false},
    {"--hashes", false},
    {"--dat", true},
    {"--jobs", true},
    {"--csv", false},
    {"--animated", false},
    {"--system", false},
    {"--system-only", false},
    {"--narc", true},
    {"--palette", true},
    {"--screen", true},
    {"--cells", true},
    {"--cell", true},
    {"--sequence", true},
    {"--write", false},
    {"--in-place", false},
    {"--fill", true},
    {"--size", true},
    {"--rehash", false},
    {"--compact", false},
    {"--keep-banner-crcs", false},
    {"--decompress", false},
    {"--no-vram-safe", false},
    {"--renumber", false},
    {"--to", true},
    {"--copy", false},
    {"--move", false},
    {"--link", false},
    {"--format", true},
    {"--pad", false},
    {"--dry-run", false},
    {"--1g1r", false},
    {"--prefer-region", true},
    {"--prefer-language", true},
    {"--formats", false},
    {"--sdat", true},
    {"--missing-csv", true},
    {"--fixdat", true},
};

const std::vector<const Command*>& commandTable()
{
    static const std::vector<const Command*> table = {
        &infoCommand(),  &listCommand(),   &extractCommand(), &iconCommand(),    &verifyCommand(),
        &buildCommand(), &trimCommand(),   &padCommand(),     &fixCommand(),     &diffCommand(),
        &patchCommand(), &renderCommand(), &textCommand(),    &replaceCommand(), &organiseCommand(),
        &soundCommand(), &reportCommand(),
    };
    return table;
}

const OptionRule* findOption(const std::string& name)
{
    for (const auto& o : kOptions)
        if (name == o.name)
            return &o;
    return nullptr;
}

Invocation parse(const std::vector<std::string>& args)
{
    Invocation inv;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            if (a == "--help" || a == "-h") {
                inv.command = "--help";
                continue;
            }
            if (a == "--version") {
                inv.command = inv.command == "--help" ? inv.command : "--version";
                continue;
            }
            const OptionRule* known = findOption(a);
            if (!known)
                throw UsageError("unknown option " + a);
            auto& values = inv.options[a];
            if (known->takesValue) {
                if (i + 1 >= args.size())
                    throw UsageError("option " + a + " needs a value");
                values.push_back(args[++i]);
            }
        } else if (inv.command.empty()) {
            inv.command = a;
        } else if (inv.command == "--help" || inv.command == "--version") {
            continue;
        } else {
            inv.positional.push_back(a);
        }
    }
    return inv;
}

const Command& findCommand(const Invocation& inv)
{
    for (const Command* c : commandTable())
        if (inv.command == c->name)
            return *c;
    throw UsageError(inv.command.empty() ? "no command given" : "unknown command " + inv.command);
}

void checkUsage(const Command& c, const Invocation& inv)
{
    for (const auto& [name, values] : inv.options) {
        bool accepted = false;
        for (const auto& o : c.options)
            accepted = accepted || o == name;
        if (!accepted)
            throw UsageError("option " + name + " does not apply to " + c.name);
    }
    if (inv.positional.size() < c.minArgs || inv.positional.size() > c.maxArgs)
        throw UsageError(std::string("wrong number of arguments for ") + c.name);
}

} // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        bool errIsTerminal)
{
    Context ctx{out, err, errIsTerminal};
    try {
        const Invocation inv = parse(args);
        if (inv.command == "--help") {
            out << kUsage;
            return 0;
        }
        if (inv.command == "--version") {
            out << "cartscope-cli " << CARTSCOPE_VERSION << '\n';
            return 0;
        }
        const Command& command = findCommand(inv);
        checkUsage(command, inv);
        return command.run(inv, ctx);
    } catch (const UsageError& e) {
        err << "cartscope-cli: " << safe(e.what()) << "\n\n" << kUsage;
        return 2;
    } catch (const Interrupted&) {
        err << "Interrupted\n";
        return 130;
    } catch (const std::exception& e) {
        // Messages carry paths built from image and archive names (a failed create names the
        // full path): escaped here, once, like every other text from an image.
        err << safe(core::withFullStop(e.what())) << '\n';
        return 1;
    }
}

} // namespace cartscope::cli
