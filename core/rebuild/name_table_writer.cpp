#include "core/rebuild/name_table_writer.h"

#include "core/base/le.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::size_t kMainEntrySize = 8;
constexpr std::uint8_t kFolderFlag = 0x80;

} // namespace

std::vector<std::uint8_t> encodeNameTable(std::span<const NameTableFolder> folders)
{
    std::vector<std::uint8_t> table(kMainEntrySize * folders.size());
    std::vector<std::uint8_t> subTables;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const NameTableFolder& f = folders[i];
        const std::size_t at = kMainEntrySize * i;
        // +0 sub-table offset (from the table's start), +4 first file ID, +6 parent (the root:
        // the folder count)
        putLe32(table, at, static_cast<std::uint32_t>(table.size() + subTables.size()));
        putLe16(table, at + 4, f.firstFileId);
        putLe16(table, at + 6,
                i == 0 ? static_cast<std::uint16_t>(folders.size())
                       : static_cast<std::uint16_t>(kRootFolderId | f.parent));
        for (const std::string& name : f.files) {
            subTables.push_back(static_cast<std::uint8_t>(name.size()));
            subTables.insert(subTables.end(), name.begin(), name.end());
        }
        for (const auto& [name, index] : f.folders) {
            const auto id = static_cast<std::uint16_t>(kRootFolderId | index);
            subTables.push_back(static_cast<std::uint8_t>(kFolderFlag | name.size()));
            subTables.insert(subTables.end(), name.begin(), name.end());
            subTables.push_back(static_cast<std::uint8_t>(id & 0xFF));
            subTables.push_back(static_cast<std::uint8_t>(id >> 8));
        }
        subTables.push_back(0);
    }
    table.insert(table.end(), subTables.begin(), subTables.end());
    return table;
}

} // namespace cartscope::core::rebuild
