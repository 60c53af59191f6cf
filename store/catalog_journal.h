// The catalog's journal, CATALOG/catalog.jnl: a copy of every record about
// to be written over a complete record of catalog.dat in place, on the disk
// before the in-place write starts. A power cut that tears such a write
// leaves a damaged record in catalog.dat and its whole copy here; the next
// load takes the copy. The journal belongs to one catalog.dat (its device
// and inode): a whole rewrite makes a new file, and the journal is dropped
// with it.
//
// Layout: a 24-byte header ("YUVOJNL1", u64 device, u64 inode of that
// catalog.dat), then entries of 832 bytes: u32 0x4C4E4A59, u32 record
// index, the 820-byte record, u32 CRC-32 of the 828 bytes before it. A torn
// last entry fails its CRC and is ignored.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "store/catalog_record.h"

namespace catalog_detail {

class CatalogJournal {
public:
    static constexpr std::size_t HEADER_SIZE = 24;
    static constexpr std::size_t ENTRY_SIZE = 832;

    void setPath(std::string path) { m_path = std::move(path); }
    const std::string& path() const { return m_path; }

    // Appends copies of the records (index, record) for the catalog file
    // `owner` and syncs them to the disk. False (errno in *err) when they
    // are not safely there.
    bool append(const platform::FileId& owner, const std::vector<std::pair<int, CatalogRecord>>& entries,
                int* err = nullptr);
    // The last whole copy of each index that the journal holds for `owner`;
    // empty when there is no journal or it belongs to another file.
    std::map<int, CatalogRecord> lastCopies(const platform::FileId& owner) const;
    // Bytes the journal holds now.
    std::uint64_t size() const;
    // Drops the journal (after a whole rewrite of catalog.dat).
    void clear();

private:
    std::string m_path;
};

} // namespace catalog_detail
