#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/events.h"

namespace {

class Recorder : public ZQ_EVENTCATALOGLISTENER {
public:
    std::vector<std::string> log;
    void onRecord(const CatalogRecord* rec) override { log.push_back(std::string("record ") + rec->findData.cFileName); }
    void onRecordAt(int i, const CatalogRecord* rec) override
    {
        log.push_back("at " + std::to_string(i) + " " + rec->findData.cFileName);
    }
};

// The catalog fires while it holds its own lock, and a listener may cause
// another event on the same thread: the broadcaster must let it through.
TEST(Events, AListenerMayFireAndSubscribeFromInsideItsCall)
{
    struct Refiring : ZQ_EVENTCATALOGLISTENER {
        Recorder* late;
        int depth = 0;
        void onRecord(const CatalogRecord* rec) override
        {
            if (depth++ > 0)
                return;
            ZQ_EVENTCATALOG::getInstance()->addListener(late);
            ZQ_EVENTCATALOG::getInstance()->fireRecordAt(3, rec);
        }
    } refiring;
    Recorder late;
    refiring.late = &late;
    ZQ_EVENTCATALOG::getInstance()->addListener(&refiring);

    CatalogRecord a;
    std::memset(&a, 0, sizeof a);
    std::strcpy(a.findData.cFileName, "a");
    ZQ_EVENTCATALOG::getInstance()->fireRecord(&a);
    EXPECT_EQ(late.log, (std::vector<std::string> {"at 3 a", "record a"}));
    ZQ_EVENTCATALOG::destroyInstance();
}

} // namespace
