// The settings interface of the node. The main window implements it over
// its connection list; exactly one settings object exists per run.
//
// Folder paths are native paths ('/' separators, as the file system holds
// them). Every other text is CP932.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/setting_values.h"

// The command line's switches that the lower layers obey. Start-up reads
// them and the main window hands them on (getSwitches), like every other
// setting; off by default.
struct Switches {
    int pasvMode = 0;        // "-PASV": messaging-client streams send no hello and no poll
    int serverOnly = 0;      // "-SERVER": no outgoing TCP links
    int clientOnly = 0;      // "-CLIENT": no TCP listening
    int catalogCashMode = 0; // "-CATALOGCASH": catalog.dat written at the end only
    int useSkype = 1;        // "-NOSKYPE" sets it to 0: no search for the client
};

class CPropatyTandrel {
public:
    CPropatyTandrel();
    virtual ~CPropatyTandrel();

    static CPropatyTandrel* getInstance();
    // The switches of the settings object, or the defaults while there is
    // none.
    static const Switches& switches();
    // Sets out to <current directory>/Yuvo.ini and returns it.
    static std::string& getIniPath(std::string& out);
    // The party name as the INI file in the current directory holds it, cut
    // like readSetting cuts it; for start-up, before
    // any settings object exists.
    static std::string& readPartyName(std::string& out);
    // Removes the temporaries that a crash in the middle of a write left in
    // the folders under the current directory where the node makes them:
    // the working directory itself (Yuvo.ini), CATALOG (catalog.dat), SEND
    // (copies and shortcuts) and SEND/YUVO (dirlist.dat). For start-up,
    // once the working directory's lock is held (no other node writes
    // there) and before the node writes anything. Returns how many went.
    static int removeLeftovers();

    virtual const char* getRecvFolder();
    virtual const char* getSendFolder();
    virtual const char* getRecComment(int i);
    virtual const char* getRecHostName(int i);
    virtual const char* getRecHost(int i) = 0;
    virtual int getRecPort(int i) = 0;
    virtual const char* getRecSkypeId(int i);
    virtual const char* getRecTransport(int i);
    virtual int getConnectNum();
    virtual const char* getNodeName();
    virtual const char* getRecName(int i);
    virtual int isAcceptSkypeId(const char* skypeId);
    virtual const char* getPartyName();
    virtual int getLimitDay();
    virtual int getWindow() = 0;
    virtual void setWindow(int w) = 0;
    virtual void setListenPort(int port) = 0;
    virtual int getListenPort() = 0;
    // NAME of the first row whose transport (0 "SKYPE", 1 "TCP") and host
    // part match, else "".
    virtual std::string& findRecName(std::string& out, int transport, const char* host) = 0;
    virtual void renameRecName(int transport, const char* host, const char* oldName,
                               const char* newName) = 0;
    // The first row whose NAME is `name` among the rows other than those of
    // that transport (0 "SKYPE", 1 "TCP") and host part, or -1: the row of
    // another neighbour of that name. Every link is identified by a row (a
    // TCP link by a TCP row of its name, a stream by the row of its
    // contact), so this covers the nodes linked as well.
    int otherRowNamed(const std::string& name, int transport, const char* host);
    virtual void setRecComment(int i, const char* text);
    virtual void setRecvFolder(const char* folder);
    virtual void setSendFolder(const char* folder);
    virtual void setRecHostName(int i, const char* text);
    virtual void setRecSkypeId(int i, const char* text);
    virtual void setRecTransport(int i, const char* text);
    virtual void setRecName(int i, const char* text);
    virtual void setNodeName(const char* name);
    virtual void setPartyName(const char* name);
    virtual void setLimitDay(int days);
    // The defaults here; the main window answers with the command line's.
    virtual const Switches& getSwitches();

    // Reads Yuvo.ini. A NAME or PARTY longer than its field, or a LIMITDAY
    // above its range, is used cut to its limit; a LIMITDAY or LISTENPORT
    // that is empty, no decimal whole number or below its range, or a
    // LISTENPORT above it, gives way to the default. Each is said (see
    // takeSettingNotices); the file keeps its value as it stands until the
    // setting is changed (writeSetting writes it back unchanged while the
    // node's value is still the one made from it). An empty PARTY or NAME,
    // or one other nodes would refuse (no CP932 text, text saved as UTF-8),
    // is said too. So is every connection section the node cannot use as
    // written (see readConnectionRows).
    void readSetting();
    // False when a value could not be written (the file is not writable, or
    // a value the file cannot hold); the caller tells the user. Each row goes
    // back to the section it was read from, and a section the node does not
    // use stays as the user wrote it, until the rows are changed in the
    // window (connectionRowsEdited): then the rows are the whole connection
    // part, REC1 .. REC<n>, and the sections after them go, so that none is
    // left behind as a stale copy of a row.
    bool writeSetting();
    // The user added, changed or deleted a connection row in the window.
    void connectionRowsEdited() { m_rowsEdited = true; }
    // What readSetting found out of its limits, as texts for the user
    // (CP932): which value is too long or out of range and which value the
    // node uses. Handed out once.
    std::vector<std::string> takeSettingNotices();

    // The catalog folder: <working directory>/CATALOG (no trailing '/').
    std::string getCatalogFolder() const;
    const std::string& getCurDir() const { return m_curDir; }
    const std::string& iniPath() const { return m_iniPath; }

protected:
    std::string m_iniPath;
    std::string m_curDir;
    std::string m_recvFolder;
    std::string m_sendFolder;

private:
    // A value of the file that the node uses cut to its limit.
    struct HeldValue {
        bool held = false;
        std::string inFile; // as the file holds it
        std::string used;   // what the node made of it
    };
    // The text to write for a setting whose value is now `current`.
    static std::string toWrite(const HeldValue& v, const std::string& current);
    // A name of section SYSTEM as the node uses it: cut to its field, and
    // held (and said) when the file's value is longer. `what` names it
    // for the user (UTF-8).
    // An empty name, or one other nodes would not take, is said as well.
    std::string readHeldName(const char* what, const setting::TextValue& v, bool nodeName, HeldValue& held);
    // A whole-number setting of section SYSTEM as the node uses it: the
    // default when the key is absent (in silence), or empty, no whole number
    // or below the range (said and held); a value above the range is cut to
    // it (clampAbove) or gives way to the default. `uses` words the value
    // used (UTF-8, one %d).
    int readHeldInt(const char* what, const setting::IntValue& v, bool clampAbove, const char* uses,
                    HeldValue& held);
    // The connection sections REC1 .. REC<CONNECTNUM> (10 at most). Without
    // a count the node can use (CONNECTNUM absent, empty, no whole number or
    // negative) it reads the sections the file has among REC1 .. REC10, and
    // keeps the file's connection part as it stands until the rows change.
    // A carrier name is taken in any case. Said: such a count, a count
    // above 10, sections within the count that are not there, a section
    // skipped (no NAME, no TRS, no SKYPEID or HOSTNAME for its carrier), a
    // row of an unknown carrier and a TCP row whose HOSTNAME is no usable
    // host and port; the last two stay rows and are never dialled.
    void readConnectionRows();
    // Every row's texts, to tell whether the rows changed since reading.
    std::vector<std::string> rowsAsText();
    // Writes row i into connection section k (from 1).
    bool writeRow(int i, int k);

    HeldValue m_heldParty;
    HeldValue m_heldName;
    HeldValue m_heldLimitDay;
    HeldValue m_heldListenPort;
    bool m_keepConnectionSections = false;
    std::vector<std::string> m_rowsRead;
    // Where the connection part of the file stands: the section (from 1)
    // each row was read from or last written to, the count the file gives
    // (-1: none the node can use), and the last section the node read or
    // wrote. Sections not used are not rows: they stay as they are.
    std::vector<int> m_rowSections;
    int m_countInFile = -1;
    int m_lastSection = 0;
    bool m_rowsEdited = false;
    std::vector<std::string> m_settingNotices;

    static CPropatyTandrel* s_instance;
};
