#include "transport/skype_null.h"

CSkypeSide::~CSkypeSide() = default;

void CSkypeSide::initialize(HWND, const std::string&, CTransfer*) {}
void CSkypeSide::changeApplication(const std::string&) {}
void CSkypeSide::release() {}

int CSkypeSide::getStatus() { return 0; }
int CSkypeSide::getContactCount() { return 0; }
const CONTACT* CSkypeSide::getContact(int) { return nullptr; }
std::string CSkypeSide::getSkypeId() { return ""; }

int CSkypeSide::isConnectable(const char*) { return 0; }
int CSkypeSide::isConnected(const char*) { return 0; }
void CSkypeSide::connect(const char*) {}
void CSkypeSide::disconnect(const char*) {}
void CSkypeSide::requestSync(const char*, int, SYSTEMTIME) {}

void CSkypeSide::linkLost() {}

CSkypeSide* CSkypeSide::nullSide()
{
    static CSkypeSide side;
    return &side;
}
