#include "store/catalog_journal.h"

#include <array>
#include <cstring>

namespace catalog_detail {

namespace {

constexpr char MAGIC[8] = {'Y', 'U', 'V', 'O', 'J', 'N', 'L', '1'};
constexpr std::uint32_t ENTRY_MAGIC = 0x4C4E4A59;
// A journal is dropped at every whole rewrite, which comes long before it
// grows this far; anything larger is not ours to read.
constexpr std::uint64_t MAX_READ = 256ull << 20;

std::uint32_t crc32(const unsigned char* p, std::size_t n)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t {};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i)
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putU32(unsigned char* p, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<unsigned char>(v >> (8 * k));
}

void putU64(unsigned char* p, std::uint64_t v)
{
    for (int k = 0; k < 8; ++k)
        p[k] = static_cast<unsigned char>(v >> (8 * k));
}

std::uint32_t getU32(const unsigned char* p)
{
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k)
        v = v << 8 | p[k];
    return v;
}

std::array<unsigned char, CatalogJournal::HEADER_SIZE> headerFor(const platform::FileId& owner)
{
    std::array<unsigned char, CatalogJournal::HEADER_SIZE> h {};
    std::memcpy(h.data(), MAGIC, sizeof MAGIC);
    putU64(h.data() + 8, owner.dev);
    putU64(h.data() + 16, owner.ino);
    return h;
}

} // namespace

bool CatalogJournal::append(const platform::FileId& owner,
                            const std::vector<std::pair<int, CatalogRecord>>& entries, int* err)
{
    static_assert(ENTRY_SIZE == 8 + sizeof(CatalogRecord) + 4);
    if (entries.empty())
        return true;
    platform::CFile f;
    if (!f.Open(m_path, platform::CFile::modeCreate | platform::CFile::modeNoTruncate
                            | platform::CFile::modeReadWrite,
                err))
        return false;
    try {
        std::vector<unsigned char> bytes;
        std::uint64_t at = f.GetLength();
        const auto header = headerFor(owner);
        std::array<unsigned char, HEADER_SIZE> held {};
        bool ours = at >= HEADER_SIZE;
        if (ours) {
            f.SeekToBegin();
            ours = f.Read(held.data(), held.size()) == held.size() && held == header;
        }
        if (!ours) {
            // Another catalog file's journal (or none): this one starts anew.
            f.SetLength(0);
            at = 0;
            bytes.insert(bytes.end(), header.begin(), header.end());
        } else {
            // A torn last entry is cut, so the new ones follow whole ones.
            at = HEADER_SIZE + (at - HEADER_SIZE) / ENTRY_SIZE * ENTRY_SIZE;
        }
        for (const auto& [index, rec] : entries) {
            unsigned char e[ENTRY_SIZE];
            putU32(e, ENTRY_MAGIC);
            putU32(e + 4, static_cast<std::uint32_t>(index));
            std::memcpy(e + 8, &rec, sizeof rec);
            putU32(e + 8 + sizeof rec, crc32(e, 8 + sizeof rec));
            bytes.insert(bytes.end(), e, e + ENTRY_SIZE);
        }
        f.Seek(static_cast<std::int64_t>(at), platform::CFile::begin);
        f.Write(bytes.data(), bytes.size());
        f.SetLength(at + bytes.size());
        f.Flush();
        f.Close();
    } catch (const platform::CFileException& e) {
        if (err)
            *err = e.m_errno;
        return false;
    }
    return true;
}

std::map<int, CatalogRecord> CatalogJournal::lastCopies(const platform::FileId& owner) const
{
    std::map<int, CatalogRecord> out;
    platform::CFile f;
    if (m_path.empty() || !platform::fileExists(m_path) || !f.Open(m_path, platform::CFile::modeRead))
        return out;
    try {
        const std::uint64_t length = f.GetLength();
        if (length < HEADER_SIZE || length > MAX_READ)
            return out;
        std::vector<unsigned char> bytes(static_cast<std::size_t>(length));
        if (f.Read(bytes.data(), bytes.size()) != bytes.size())
            return out;
        const auto header = headerFor(owner);
        if (std::memcmp(bytes.data(), header.data(), HEADER_SIZE) != 0)
            return out;
        for (std::size_t at = HEADER_SIZE; at + ENTRY_SIZE <= bytes.size(); at += ENTRY_SIZE) {
            const unsigned char* e = bytes.data() + at;
            if (getU32(e) != ENTRY_MAGIC || getU32(e + 8 + sizeof(CatalogRecord)) != crc32(e, 8 + sizeof(CatalogRecord)))
                break; // the torn end of the last append
            CatalogRecord rec;
            std::memcpy(&rec, e + 8, sizeof rec);
            out[static_cast<int>(getU32(e + 4))] = rec;
        }
    } catch (const platform::CFileException&) {
        out.clear();
    }
    return out;
}

std::uint64_t CatalogJournal::size() const
{
    const std::int64_t n = m_path.empty() ? -1 : platform::fileSize(m_path);
    return n < 0 ? 0 : static_cast<std::uint64_t>(n);
}

void CatalogJournal::clear()
{
    if (!m_path.empty())
        platform::deleteFile(m_path);
}

} // namespace catalog_detail
