#include "store/dir_list.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t NAME_FIELD = sizeof(WIN32_FIND_DATAA::cFileName);

} // namespace

void CDirList::clear()
{
    std::vector<Entry>().swap(m_entries);
    std::string().swap(m_names);
    std::vector<DirListRecord>().swap(m_whole);
}

void CDirList::swap(CDirList& other) noexcept
{
    m_entries.swap(other.m_entries);
    m_names.swap(other.m_names);
    m_whole.swap(other.m_whole);
}

void CDirList::push_back(const DirListRecord& rec)
{
    const WIN32_FIND_DATAA& fd = rec.findData;
    Entry e{rec.isLink,        fd.dwFileAttributes, fd.ftCreationTime, fd.ftLastAccessTime, fd.ftLastWriteTime,
            fd.nFileSizeHigh,  fd.nFileSizeLow,     fd.dwReserved0,    fd.dwReserved1,      0,
            0};
    const std::size_t len = strnlen(fd.cFileName, NAME_FIELD);
    e.at = static_cast<std::uint32_t>(m_names.size());
    e.nameLen = static_cast<std::uint16_t>(len);
    m_names.append(fd.cFileName, len);
    m_entries.push_back(e);
    // Kept compact only when it comes back exactly.
    const DirListRecord back = (*this)[m_entries.size() - 1];
    if (std::memcmp(&back, &rec, sizeof rec) != 0) {
        m_names.resize(e.at);
        m_entries.back().at = static_cast<std::uint32_t>(m_whole.size());
        m_entries.back().nameLen = WHOLE;
        m_whole.push_back(rec);
    }
}

void CDirList::appendFrom(const CDirList& other, std::size_t i)
{
    Entry e = other.m_entries[i];
    if (e.nameLen == WHOLE) {
        e.at = static_cast<std::uint32_t>(m_whole.size());
        m_whole.push_back(other.m_whole[other.m_entries[i].at]);
    } else {
        e.at = static_cast<std::uint32_t>(m_names.size());
        m_names.append(other.m_names, other.m_entries[i].at, e.nameLen);
    }
    m_entries.push_back(e);
}

bool CDirList::sameRecord(std::size_t i, const CDirList& other, std::size_t j) const
{
    const Entry& a = m_entries[i];
    const Entry& b = other.m_entries[j];
    if (a.nameLen == WHOLE || b.nameLen == WHOLE) {
        const DirListRecord x = (*this)[i];
        const DirListRecord y = other[j];
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    // Compact entries hold every byte but their names' zeros.
    return a.isLink == b.isLink && a.attributes == b.attributes && a.sizeHigh == b.sizeHigh &&
           a.sizeLow == b.sizeLow && a.reserved0 == b.reserved0 && a.reserved1 == b.reserved1 &&
           std::memcmp(&a.created, &b.created, sizeof a.created) == 0 &&
           std::memcmp(&a.accessed, &b.accessed, sizeof a.accessed) == 0 &&
           std::memcmp(&a.written, &b.written, sizeof a.written) == 0 && name(i) == other.name(j);
}

DirListRecord CDirList::operator[](std::size_t i) const
{
    const Entry& e = m_entries[i];
    if (e.nameLen == WHOLE)
        return m_whole[e.at];
    DirListRecord r;
    std::memset(&r, 0, sizeof r);
    r.isLink = e.isLink;
    WIN32_FIND_DATAA& fd = r.findData;
    fd.dwFileAttributes = e.attributes;
    fd.ftCreationTime = e.created;
    fd.ftLastAccessTime = e.accessed;
    fd.ftLastWriteTime = e.written;
    fd.nFileSizeHigh = e.sizeHigh;
    fd.nFileSizeLow = e.sizeLow;
    fd.dwReserved0 = e.reserved0;
    fd.dwReserved1 = e.reserved1;
    std::memcpy(fd.cFileName, m_names.data() + e.at, e.nameLen);
    return r;
}

CDirList::Stamp CDirList::stamp(std::size_t i) const
{
    const Entry& e = m_entries[i];
    if (e.nameLen == WHOLE) {
        const DirListRecord& r = m_whole[e.at];
        return {r.isLink, r.findData.nFileSizeHigh, r.findData.nFileSizeLow, r.findData.ftLastWriteTime};
    }
    return {e.isLink, e.sizeHigh, e.sizeLow, e.written};
}

std::string_view CDirList::name(std::size_t i) const
{
    const Entry& e = m_entries[i];
    if (e.nameLen == WHOLE) {
        const char* n = m_whole[e.at].findData.cFileName;
        return std::string_view(n, strnlen(n, NAME_FIELD));
    }
    return std::string_view(m_names).substr(e.at, e.nameLen);
}

bool CDirList::writeTo(const std::function<bool(const void* data, std::size_t n)>& write) const
{
    constexpr std::size_t PIECE = 256;
    std::vector<DirListRecord> piece;
    piece.reserve(std::min(PIECE, size()));
    for (std::size_t i = 0; i < size(); ++i) {
        piece.push_back((*this)[i]);
        if (piece.size() == PIECE || i + 1 == size()) {
            if (!write(piece.data(), piece.size() * sizeof(DirListRecord)))
                return false;
            piece.clear();
        }
    }
    return true;
}
