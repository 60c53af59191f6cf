// The node record: the fixed-size file "nodeInfomation.nod" that every node
// publishes about itself (presence, Skype ID, mail address, neighbours,
// program version, free text), and its in-memory form CNodeInfo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/wintypes.h"
#include "store/setting_values.h"

using setting::NODE_RECORD_FILE;

// Presence code carried in the record, the INI key "NODESTATUS" and the
// presence radio buttons. Any other integer is stored and carried unchanged.
enum NodeStatus : int {
    NODE_PRESENT_CONTACTABLE = 0,
    NODE_PRESENT_NOT_CONTACTABLE = 1,
    NODE_ABSENT = 2,
};

constexpr int NODE_NAME_LEN = 32;
constexpr int NODE_SKYPEID_LEN = 33;
constexpr int NODE_MAIL_LEN = 256;
constexpr int NODE_ADJACENT_MAX = 16;
constexpr int NODE_VERSION_LEN = 64;
constexpr int NODE_INFO_LEN = 1024;
constexpr int NODE_ROUTE_MAX = 10;
constexpr std::uint32_t NODE_RECORD_SIZE = 9124;

// The file, byte for byte (little-endian, texts CP932, fields zero-padded
// and unterminated when full).
struct NodeInfoRecord {
    std::uint32_t recordKind; // always 1
    std::uint32_t recordSize; // always 9124
    SYSTEMTIME time;          // local time the origin built the record
    char name[NODE_NAME_LEN];
    std::uint32_t status;
    char skypeId[NODE_SKYPEID_LEN];
    char mail[NODE_MAIL_LEN];
    BYTE pad[3];
    std::int32_t adjacentCount; // 0 to 16 when well formed
    char adjacent[NODE_ADJACENT_MAX][NODE_NAME_LEN];
    char version[NODE_VERSION_LEN];
    char info[NODE_INFO_LEN];
    BYTE reserved[7168];
};
static_assert(sizeof(NodeInfoRecord) == NODE_RECORD_SIZE);
static_assert(offsetof(NodeInfoRecord, recordKind) == 0);
static_assert(offsetof(NodeInfoRecord, recordSize) == 4);
static_assert(offsetof(NodeInfoRecord, time) == 8);
static_assert(offsetof(NodeInfoRecord, name) == 24);
static_assert(offsetof(NodeInfoRecord, status) == 56);
static_assert(offsetof(NodeInfoRecord, skypeId) == 60);
static_assert(offsetof(NodeInfoRecord, mail) == 93);
static_assert(offsetof(NodeInfoRecord, pad) == 349);
static_assert(offsetof(NodeInfoRecord, adjacentCount) == 352);
static_assert(offsetof(NodeInfoRecord, adjacent) == 356);
static_assert(offsetof(NodeInfoRecord, version) == 868);
static_assert(offsetof(NodeInfoRecord, info) == 932);
static_assert(offsetof(NodeInfoRecord, reserved) == 1956);

// One node's information in memory.
class CNodeInfo {
public:
    CNodeInfo() = default;
    CNodeInfo(const CNodeInfo&) = default;
    CNodeInfo& operator=(const CNodeInfo&) = default;
    virtual ~CNodeInfo() = default;

    std::string m_name;
    std::string m_skypeId;
    std::string m_mail;
    int m_status = NODE_PRESENT_NOT_CONTACTABLE;
    SYSTEMTIME m_time{};
    int m_adjacentCount = 0;
    std::string m_adjacent[NODE_ADJACENT_MAX];
    std::string m_version;
    int m_routeCount = 0;
    std::string m_route[NODE_ROUTE_MAX];
    std::string m_info;
};

// A record read from a peer's file: every text ends at its field's first
// zero byte and never runs past the field; the neighbour count is limited
// to 0..16. The route is left empty (it comes from the catalog).
CNodeInfo nodeInfoFromRecord(const NodeInfoRecord& rec);

// The node list's texts (CP932): the presence ("" for a code without one),
// the time stamp, and the version with "," as "-" and ";" as ".".
std::string nodeStatusText(int status);
std::string nodeTimeText(const SYSTEMTIME& t);
std::string nodeVersionText(const std::string& version);

// "mailto:" and the address with every byte outside letters, digits and
// "@.-_+" percent-escaped, so that an address from a peer reaches the mail
// program as an address only, never as headers or parameters.
std::string mailtoUrl(const std::string& mail);
