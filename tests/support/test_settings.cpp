#include "support/test_settings.h"

namespace testsupport {

void TestSettings::addRow(const char* name, const char* trs, const char* target, const char* comment)
{
    const int r = rows.getConnectNum();
    rows.setRecName(r, name);
    rows.setRecTransport(r, trs);
    rows.setRecHostName(r, target);
    rows.setRecComment(r, comment);
}

} // namespace testsupport
