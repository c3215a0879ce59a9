#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <utility>

#include "core/base/error.h"
#include "core/verify/dat.h"
#include "core/verify/dat_builder.h"

// The Logiqx XML form of a DAT, parsed by pugixml under a memory budget.
namespace cartscope::core {

namespace {

using dat::DatError;

// The XML parser's memory, counted against a budget for the parse running on this thread: a
// DAT of a given size can make it allocate only so much, however its elements are packed.
thread_local std::size_t t_parseBudget = SIZE_MAX;
thread_local std::size_t t_parseUsed = 0;
constexpr std::size_t kAllocationHeader = alignof(std::max_align_t);

void* parserAllocate(std::size_t size)
{
    if (size > t_parseBudget - t_parseUsed || size > SIZE_MAX - kAllocationHeader)
        return nullptr; // the parser reports it as out of memory
    auto* block = static_cast<unsigned char*>(std::malloc(size + kAllocationHeader));
    if (!block)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    t_parseUsed += size;
    return block + kAllocationHeader;
}

void parserDeallocate(void* p)
{
    if (!p)
        return;
    auto* block = static_cast<unsigned char*>(p) - kAllocationHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    t_parseUsed -= std::min(size, t_parseUsed);
    std::free(block);
}

// The budget for one parse, for as long as the object lives (declared before the document, so
// the document's memory is returned while it still counts).
class ParseBudget {
public:
    explicit ParseBudget(std::size_t budget)
    {
        // Once, before the first document; every document of the process then goes through it.
        static const bool installed = [] {
            pugi::set_memory_management_functions(parserAllocate, parserDeallocate);
            return true;
        }();
        (void)installed;
        t_parseBudget = budget;
        t_parseUsed = 0;
    }
    ~ParseBudget() { t_parseBudget = SIZE_MAX; }
    ParseBudget(const ParseBudget&) = delete;
    ParseBudget& operator=(const ParseBudget&) = delete;
};

// The root <datafile> element of a DAT that parses within its budget and declares no entities.
pugi::xml_node parseDatafile(pugi::xml_document& doc, const std::string& file,
                             std::span<const char> xml, const DatError& err)
{
    // pugixml expands only the five predefined entities and character references, and never
    // reads anything but this buffer; the DOCTYPE is kept so that declarations can be refused.
    const unsigned options = pugi::parse_default | pugi::parse_doctype;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(xml.data(), xml.size(), options, pugi::encoding_auto);
    if (parsed.status == pugi::status_out_of_memory)
        throw Error("DAT \"" + file + "\" would take more than " +
                    std::to_string(kMaxDatParseFactor) +
                    " times its size in memory to read: it holds more XML elements than a DAT "
                    "of its size honestly can");
    if (!parsed)
        err.at(parsed.offset, std::string("not well-formed XML (") + parsed.description() + ")");
    for (const pugi::xml_node& node : doc.children())
        if (node.type() == pugi::node_doctype && std::strstr(node.value(), "<!ENTITY"))
            err.at(node.offset_debug(), "entity declarations are not allowed in a DAT");
    const pugi::xml_node root = doc.document_element();
    if (std::strcmp(root.name(), "datafile") != 0)
        err.at(root.offset_debug(),
               std::string("not a Logiqx datafile (the root element is <") + root.name() + ">)");
    return root;
}

// MAME-style DATs call a game a machine.
bool isGame(const pugi::xml_node& node)
{
    return std::strcmp(node.name(), "game") == 0 || std::strcmp(node.name(), "machine") == 0;
}

// The entries of every game, refused past kMaxDatEntries. Bounded by the document's elements,
// themselves bounded by the parse budget.
std::size_t countEntries(const pugi::xml_node& root, const std::string& file,
                         dat::DatBuilder& builder)
{
    std::size_t count = 0;
    for (const pugi::xml_node& game : root.children()) {
        builder.checkCancelled();
        if (isGame(game))
            for ([[maybe_unused]] const pugi::xml_node& rom : game.children("rom"))
                if (++count > kMaxDatEntries)
                    throw Error("DAT \"" + file + "\" has more than " +
                                std::to_string(kMaxDatEntries) + " entries");
    }
    return count;
}

dat::GameFields gameFields(const pugi::xml_node& game)
{
    dat::GameFields g;
    g.name = game.attribute("name").as_string();
    g.id = game.attribute("id").as_string();
    g.cloneOf = game.attribute("cloneof").as_string();
    g.cloneOfId = game.attribute("cloneofid").as_string();
    // Bounded by the document's elements, like the roms.
    for (const pugi::xml_node& release : game.children("release"))
        g.releases.append(release.attribute("region").as_string())
            .append("/")
            .append(release.attribute("language").as_string())
            .append("\n");
    return g;
}

dat::RomFields romFields(const pugi::xml_node& rom)
{
    dat::RomFields r;
    r.offset = rom.offset_debug();
    r.name = rom.attribute("name").as_string();
    r.size = rom.attribute("size").as_string();
    r.crc = rom.attribute("crc").as_string();
    r.md5 = rom.attribute("md5").as_string();
    r.sha1 = rom.attribute("sha1").as_string();
    r.sha256 = rom.attribute("sha256").as_string();
    r.serial = rom.attribute("serial").as_string();
    r.status = rom.attribute("status").as_string();
    return r;
}

// The DAT's name, version and text header fields, at most kMaxDatHeaderFields of them.
DatInfo headerInfo(const pugi::xml_node& root, const std::string& file)
{
    DatInfo info;
    info.file = file;
    const pugi::xml_node header = root.child("header");
    info.name = header.child_value("name");
    info.version = header.child_value("version");
    // Bounded by kMaxDatHeaderFields.
    for (const pugi::xml_node& field : header.children()) {
        if (info.header.size() == kMaxDatHeaderFields)
            break;
        // Text alone: an element of attributes (<clrmamepro forcenodump=...>) is the source
        // DAT's own business.
        const pugi::xml_node text = field.first_child();
        if (field.type() == pugi::node_element && !text.next_sibling() &&
            (text.type() == pugi::node_pcdata || text.type() == pugi::node_cdata))
            info.header.emplace_back(field.name(), text.value());
    }
    return info;
}

} // namespace

void DatSet::addXml(const std::string& file, std::span<const char> xml,
                    const std::function<bool()>& cancelled)
{
    const DatError err(file, xml);
    if (xml.size() > kMaxDatSize)
        throw Error("DAT \"" + file + "\" is too large (over " + std::to_string(kMaxDatSize >> 20) +
                    " MiB)");
    // The parser's copy of the text, then its elements: at most kMaxDatParseFactor times the
    // text, and a little for the smallest DATs.
    const ParseBudget budget(static_cast<std::size_t>(xml.size() * (1 + kMaxDatParseFactor)) +
                             (std::size_t{1} << 20));
    pugi::xml_document doc;
    const pugi::xml_node root = parseDatafile(doc, file, xml, err);
    DatInfo info = headerInfo(root, file);

    dat::DatBuilder builder(*this, err, cancelled);
    const std::size_t count = countEntries(root, file, builder);
    builder.reserve(count);
    for (const pugi::xml_node& game : root.children()) {
        if (!isGame(game))
            continue;
        bool begun = false; // the game's fields are read for its first rom
        for (const pugi::xml_node& rom : game.children("rom")) {
            if (!begun) {
                builder.beginGame(gameFields(game));
                begun = true;
            }
            builder.addRom(romFields(rom));
        }
    }
    builder.commit(std::move(info));
}

} // namespace cartscope::core
