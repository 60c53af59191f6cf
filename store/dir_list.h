// The snapshot of the SEND folder that the scan compares each listing with:
// the records of SEND/YUVO/dirlist.dat, kept in memory in a compact form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

// One snapshot entry and the unit of dirlist.dat: 344 raw little-endian
// bytes, records back to back with no header.
struct DirListRecord {
    DWORD isLink;              // 1: SEND holds a shortcut and findData is its target's
    BYTE zero[20];
    WIN32_FIND_DATAA findData; // cFileName: the plain file name in CP932
};

static_assert(sizeof(DirListRecord) == 344);
static_assert(offsetof(DirListRecord, isLink) == 0);
static_assert(offsetof(DirListRecord, zero) == 4);
static_assert(offsetof(DirListRecord, findData) == 24);
static_assert(offsetof(DirListRecord, findData.dwFileAttributes) == 24);
static_assert(offsetof(DirListRecord, findData.ftCreationTime) == 28);
static_assert(offsetof(DirListRecord, findData.ftLastAccessTime) == 36);
static_assert(offsetof(DirListRecord, findData.ftLastWriteTime) == 44);
static_assert(offsetof(DirListRecord, findData.nFileSizeHigh) == 52);
static_assert(offsetof(DirListRecord, findData.nFileSizeLow) == 56);
static_assert(offsetof(DirListRecord, findData.dwReserved0) == 60);
static_assert(offsetof(DirListRecord, findData.dwReserved1) == 64);
static_assert(offsetof(DirListRecord, findData.cFileName) == 68);
static_assert(offsetof(DirListRecord, findData.cAlternateFileName) == 328);

// The snapshot's records. A record of 344 bytes is mostly the zeros after its
// name; each is kept as its fixed fields and its name (about 80 bytes a
// file), and given back whole. A record that would not come back the same
// byte for byte (bytes after the name's end, an alternate name, a non-zero
// pad) is kept whole, so that nothing read is ever changed.
class CDirList {
public:
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    // Empties the list and gives its storage back.
    void clear();
    void reserve(std::size_t n) { m_entries.reserve(n); }
    void push_back(const DirListRecord& rec);
    // Appends record i of other as it stands there, without taking it apart.
    void appendFrom(const CDirList& other, std::size_t i);
    void swap(CDirList& other) noexcept;
    // Whether record i is byte for byte record j of other.
    bool sameRecord(std::size_t i, const CDirList& other, std::size_t j) const;

    // Record i, whole.
    DirListRecord operator[](std::size_t i) const;
    // What a check compares of record i, without making the whole record.
    struct Stamp {
        DWORD isLink;
        DWORD sizeHigh;
        DWORD sizeLow;
        FILETIME written;
    };
    Stamp stamp(std::size_t i) const;
    // Record i's file name (cFileName up to its terminating zero).
    std::string_view name(std::size_t i) const;

    // Hands the records back to back, as dirlist.dat holds them, to write
    // a few hundred at a time; false as soon as a write fails.
    bool writeTo(const std::function<bool(const void* data, std::size_t n)>& write) const;

    class const_iterator {
    public:
        const_iterator(const CDirList* list, std::size_t i) : m_list(list), m_i(i) {}
        DirListRecord operator*() const { return (*m_list)[m_i]; }
        const_iterator& operator++()
        {
            ++m_i;
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return m_i != o.m_i; }

    private:
        const CDirList* m_list;
        std::size_t m_i;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

private:
    struct Entry {
        DWORD isLink;
        DWORD attributes;
        FILETIME created, accessed, written;
        DWORD sizeHigh, sizeLow, reserved0, reserved1;
        std::uint32_t at;       // the name in m_names, or for a whole record its index in m_whole
        std::uint16_t nameLen;  // WHOLE for a record kept whole
    };
    static constexpr std::uint16_t WHOLE = 0xFFFF;

    std::vector<Entry> m_entries;
    std::string m_names;                // the names back to back
    std::vector<DirListRecord> m_whole; // the records kept whole
};
