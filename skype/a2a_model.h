// App-to-app applications: the node registers an application with the
// messaging client under a name every node of its party uses ("YUVO000" and
// the party), asks the client to connect it to a contact, and keeps the
// streams the client reports between the two users' copies of it. The model
// holds five application slots (only slot 0 is ever named), routes the
// client's application texts to the slot they name, drives every slot and
// stream from a 100 ms tick and tells its listeners when streams come or go.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/qt/timer.h"
#include "platform/wintypes.h"
#include "protocol/transfer_listeners.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "skype/skype_stream.h"

class ZQ_SKYPEAPPLICATIONLISTENER {
public:
    virtual void onStreamsChanged() {}

protected:
    ~ZQ_SKYPEAPPLICATIONLISTENER() = default;
};

class ZQ_SKYPEAPPLICATION {
public:
    enum State { STATE_NONE = 0, STATE_CREATED = 1, STATE_STREAMING = 2 };
    // Ticks between connectable queries (30.1 s).
    static constexpr int CONNECTABLE_TICKS = 300;
    // More streams than this in one slot are refused.
    static constexpr int MAX_STREAMS = 64;

    ZQ_SKYPEAPPLICATION() = default;
    // Deletes the application with the client when it was created; the
    // streams go without a command.
    ~ZQ_SKYPEAPPLICATION();
    ZQ_SKYPEAPPLICATION(const ZQ_SKYPEAPPLICATION&) = delete;
    ZQ_SKYPEAPPLICATION& operator=(const ZQ_SKYPEAPPLICATION&) = delete;

    // A name that is not one token of the client's texts leaves the slot
    // unnamed (said on the console).
    void setName(const char* name);
    void setIndex(int index) { m_index = index; }
    int hasName(const char* name) const;
    const std::string& name() const { return m_name; }
    int getState() const { return m_state; }

    void create();
    void remove();
    void requestConnectable();
    int connect(const char* skypeId);
    void disconnectStream(const char* skypeId, int streamId);
    void disconnectUser(const char* skypeId);
    void requestSync(const char* skypeId, int mode, SYSTEMTIME since);
    int hasStreamTo(const char* skypeId) const;
    ZQ_SKYPESTREAM* addStream(const char* skypeId, int streamId);
    void addListener(ZQ_SKYPEAPPLICATIONLISTENER* listener);
    void notifyListeners();
    void closeAllStreams();
    void onTimer();

    int onCreateReply(const char* text);
    int onDeleteReply(const char* text);
    void onAlterReply(const char* text);
    void onNotify(const char* text);

    // The streams, with null entries where streams were removed.
    const std::vector<ZQ_SKYPESTREAM*>& streams() const { return m_streams; }
    int streamCount() const;
    // Whether a READ of that stream is asked and not yet answered.
    bool isReadPending(const std::string& key) const { return m_readPending.count(key) != 0; }
    // The client has answered a READ of that stream.
    void onReadAnswered(const std::string& key) { m_readPending.erase(key); }

private:
    struct ListEntry {
        std::string skypeId;
        int streamId = 0;
    };
    // Parses "id:n id:n ..." (entries end at a blank or at `entryEnd`; a
    // received list carries "=count" after the number). False: the list is
    // malformed and dropped whole.
    static bool parseEntries(const char* text, bool received, std::vector<ListEntry>* entries);
    void onStreams(const char* text);
    // Streams marked seen by the stream list being handled.
    int seenCount() const;
    void onSending(const char* text);
    void onReceived(const char* text);
    // Removes the stream; one at work goes once its work has returned.
    void dropStream(std::size_t i);
    // Runs one piece of a stream's work, then deletes it if it was dropped
    // meanwhile.
    template <class Work>
    void work(ZQ_SKYPESTREAM* stream, Work w);
    static void destroyStream(ZQ_SKYPESTREAM* stream);
    int send(const std::string& command);

    int m_index = 0;
    std::string m_name; // "" marks a slot without an application
    std::string m_createCmd;
    std::string m_deleteCmd;
    int m_state = STATE_NONE;
    int m_connectableTicks = 0;
    std::vector<ZQ_SKYPESTREAM*> m_streams;
    std::vector<ZQ_SKYPEAPPLICATIONLISTENER*> m_listeners;
    std::set<std::string> m_readPending;
};

class ZQ_A2AMODEL final : public ZQ_SKYPECOMUSER, public ZQ_SKYPEAPPLICATIONLISTENER {
public:
    static constexpr int TICK_MS = 100;

    static ZQ_A2AMODEL* getInstance();
    // The model while it exists, else null (never makes one).
    static ZQ_A2AMODEL* existingInstance() { return s_instance; }
    static void destroyInstance();

    void addListener(CA2AModelListener* listener);
    void setApplicationName(int index, const char* name);
    void createApplications();
    void deleteApplications();
    int connect(int index, const char* skypeId);
    void disconnect(int index, const char* skypeId);
    void requestSync(int index, const char* skypeId, int mode, SYSTEMTIME since);
    int isConnected(int index, const char* skypeId);
    void closeAllStreams();
    // The 100 ms tick of every slot.
    static void timerProc();

    ZQ_SKYPEAPPLICATION& application(int index) { return m_applications[index]; }

    void onStatus(int status) override;
    void onApplication(const char* text) override;
    void onStreamsChanged() override;

    // A contact's node announced the name another row's neighbour bears,
    // and its stream was refused: the user hears it once per contact and
    // name, as a TCP row answered by another node is said once.
    void sayNameOfAnotherRow(const std::string& skypeId, const std::string& announced);

private:
    ZQ_A2AMODEL();
    ~ZQ_A2AMODEL();
    ZQ_A2AMODEL(const ZQ_A2AMODEL&) = delete;
    ZQ_A2AMODEL& operator=(const ZQ_A2AMODEL&) = delete;

    void init();
    static bool validIndex(int index) { return index >= 0 && index < SKYPE_APPLICATION_SLOTS; }

    platform::CTimer m_timer;
    std::vector<CA2AModelListener*> m_listeners;
    ZQ_SKYPEAPPLICATION m_applications[SKYPE_APPLICATION_SLOTS];
    std::set<std::string> m_refusalsSaid; // contact and name, of each refusal said

    static ZQ_A2AMODEL* s_instance;
};
